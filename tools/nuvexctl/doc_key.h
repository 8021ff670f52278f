// The document key of one nuvexctl run. Every run is a process of its own, and the library
// keeps the key that NuvexCtrl_SetKey hands the driver only for the process that called it, so
// a run that enciphers or deciphers documents takes its key explicitly: from a key file, from
// standard input, or typed at a prompt, and never from the command line (where every user can
// read it in the process list). The built-in key, which every copy of the library holds and
// which therefore protects nothing, is used only when the run says so with --default-key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace nuvexctl {

struct KeyChoice {
    std::string file;         // --key-file: a path, or "-" for standard input
    bool defaultKey = false;  // --default-key
};

// Adds --key-file and --default-key to a verb.
void AddKeyOptions(CLI::App* verb, KeyChoice& choice);

// The longest key the library and the driver take.
constexpr std::size_t kLongestKey = 256;

// Reads the key a run chose into `key` (room reserved beforehand, so no copy is left behind;
// the caller wipes it). A key file holds hexadecimal digits, two per byte, with white space
// anywhere ignored, or else the key's raw bytes (1 to 256). A key file that other users may
// read is refused. Without --key-file a terminal is asked at a prompt without echo; with
// neither a key file nor a terminal (nor --default-key) there is no key. Returns the exit
// status: kExitOk with the key (empty for the built-in key), kExitFailed when a key file
// cannot be read, kExitUsage when no valid key was given; the reason in `why`.
int ReadDocumentKey(const KeyChoice& choice, std::vector<uint8_t>& key, std::string& why);

// The same rules for the bytes of a key file (hexadecimal or raw).
bool KeyFromFileBytes(const std::string& bytes, std::vector<uint8_t>& key, std::string& why);

}  // namespace nuvexctl
