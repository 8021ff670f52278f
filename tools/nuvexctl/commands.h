// The verbs of nuvexctl, one registration function per family.
#pragma once

#include <CLI/CLI.hpp>

namespace nuvexctl {

// The exit status that the chosen verb produced.
int& ExitStatus();

void AddStatusCommands(CLI::App& app);
void AddDriverCommands(CLI::App& app);
void AddLogCommands(CLI::App& app);
void AddDocumentCommands(CLI::App& app);
void AddPolicyCommands(CLI::App& app);
void AddAclCommands(CLI::App& app);
void AddPassPathCommands(CLI::App& app);
void AddKeyCommands(CLI::App& app);
void AddListCommands(CLI::App& app);
void AddDemoCommand(CLI::App& app);
void AddCodesCommand(CLI::App& app);

// Runs `verb` and stores its exit status.
template <typename F>
void Bind(CLI::App* command, F verb) {
    command->callback([verb] { ExitStatus() = verb(); });
}

// "Example:" footer for a verb's --help.
std::string Example(const std::string& lines);

}  // namespace nuvexctl
