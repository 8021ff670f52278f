// What the tool says about itself, made from the same definitions as --help: shell completion
// scripts, the manual page and the table of exit statuses.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace nuvexctl {

// `nuvexctl completion bash|zsh|powershell` and the hidden `nuvexctl man`. Registered last:
// they describe every verb registered before them.
void AddReferenceCommands(CLI::App& app);

// The scripts and pages for `app` as it is defined (every verb that is not hidden).
std::string BashCompletion(const CLI::App& app);
std::string ZshCompletion(const CLI::App& app);
std::string PowerShellCompletion(const CLI::App& app);
std::string ManualPage(const CLI::App& app);
// The exit statuses as a Markdown table (the one in docs/nuvexctl.md).
std::string ExitStatusMarkdown();

}  // namespace nuvexctl
