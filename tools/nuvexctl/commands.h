// The verbs of nuvexctl, one registration function per family.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
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

// The journal of the main driver's policy table: before a change of many requests replaces
// the table, the table as it stands is saved (as a policy file) in the user's state folder, and
// removed again once the change is complete or undone. A run killed in the middle leaves it
// behind; `nuvexctl policy restore` puts that table back, and a later change keeps the older
// journal instead of saving the half-changed table over it.
class PolicyJournal {
public:
    // Saves the table unless an interrupted change left a journal (then kept, with a warning).
    // False, with a message already reported and its exit status in `status`, when the table
    // cannot be kept: the change must then not start.
    bool Begin(const std::string& operation, int& status);
    // The change is over: `whole` when the table is now entirely the new one or entirely the
    // one from before. A journal left by an interrupted change goes only when the new table is
    // complete (`complete`).
    void End(bool whole, bool complete);

private:
    std::string path_;  // as messages show it
    std::filesystem::path journal_;
    bool leftover_ = false;
};

// Warns (on standard error) when an interrupted policy change left its journal behind.
void WarnOfLeftoverJournal();

// "Example:" footer for a verb's --help.
std::string Example(const std::string& lines);

// Runs an export that takes no arguments and says "<what>: done" (or reports its failure).
int CallAndConfirm(const std::string& what, const char* exportName, uint32_t (*call)());

}  // namespace nuvexctl
