// The verbs of nuvexctl, one registration function per family.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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
void AddStateCommands(CLI::App& app);
void AddLogFollowCommand(CLI::App* log);
void AddDemoCommand(CLI::App& app);
void AddCodesCommand(CLI::App& app);

// "nuvexctl doc encrypt" for the command `command`.
std::string VerbName(const CLI::App* command);
// Reports a failure that escaped a verb (out of memory, a file system error) and returns the
// exit status for it: no verb ends the run by an exception.
int ReportEscaped(const CLI::App* command, const char* what);

// Runs `verb` and stores its exit status; every failure becomes exit status 1 with a message.
template <typename F>
void Bind(CLI::App* command, F verb) {
    command->callback([verb, command] {
        try {
            ExitStatus() = verb();
        } catch (const std::exception& e) {
            ExitStatus() = ReportEscaped(command, e.what());
        } catch (...) {
            ExitStatus() = ReportEscaped(command, "unknown failure");
        }
    });
}

// Options for numbers, parsed whole (decimal or 0x hexadecimal) and checked against the field
// they go into; anything else is a usage error.
CLI::Option* AddNumber(CLI::App* command, const std::string& name, uint32_t& target,
                       const std::string& description, uint32_t max = UINT32_MAX);
CLI::Option* AddNumbers(CLI::App* command, const std::string& name, std::vector<uint32_t>& target,
                        const std::string& description);

// "Example:" footer for a verb's --help.
std::string Example(const std::string& lines);

}  // namespace nuvexctl
