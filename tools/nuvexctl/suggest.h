// Hints for a command line the parser refused: the verb or option a person most likely meant.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace nuvexctl {

// For the arguments (without the program name) of a refused command line: a message naming the
// first unknown verb or option and the closest known ones ("unknown verb 'instal' of 'driver';
// did you mean 'install'?"), or empty when every verb and option is known (the refusal is then
// about something else: a missing or extra argument, a bad value).
std::string SuggestCorrection(const CLI::App& app, const std::vector<std::string>& args);

// Edit distance between two words (insertions, deletions, substitutions and swaps of two
// neighbouring letters each count one).
std::size_t EditDistance(const std::string& a, const std::string& b);

}  // namespace nuvexctl
