// Key checks of the documents this user's runs made. Documents carry no check of their key, so
// deciphering one under another key turns it into garbage without a word from the library. The
// tool keeps a check of its own: for every document a `doc encrypt` run makes, the document's
// GUID and a keyed check of that GUID (HMAC-SHA-256 under the document key, 16 bytes), one line
// per document in `document-keys` in the user's state folder. `doc decrypt` of a document
// whose GUID is listed refuses a key whose check differs, before the document is touched. A
// document the tool did not make (or made for another user, or on another machine) is not
// listed and is deciphered as asked. The check shows nothing of the key: it cannot be turned
// back into the key, and differs from document to document.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tool_files.h"

namespace nuvexctl {

// HMAC-SHA-256 of `message` under `key`.
std::vector<uint8_t> HmacSha256(const std::vector<uint8_t>& key, const uint8_t* message, std::size_t length);

class DocumentKeyChecks {
public:
    enum class Verdict { kUnknown, kSameKey, kOtherKey };

    // Reads the checks kept so far; false (with the reason) when the state folder cannot be had
    // or the file cannot be read. A run without checks goes on unchecked.
    bool Load(std::string& why);
    // What the checks say of `key` for the document with this GUID. `key` empty: the built-in key.
    Verdict Check(const uint8_t (&guid)[16], const std::vector<uint8_t>& key) const;
    // No document is listed: there is nothing to look up.
    bool Empty() const { return checks_.empty(); }
    // Keeps the check of a document just made; safe from several threads at once.
    bool Record(const uint8_t (&guid)[16], const std::vector<uint8_t>& key, std::string& why);
    // Flushes the checks kept by this run to the disk; false (with the reason) when they could
    // not be kept.
    bool Finish(std::string& why);

private:
    std::filesystem::path path_;
    std::map<std::string, std::string> checks_;  // GUID to check, both in hexadecimal
    std::mutex appending_;
    AppendFile file_;  // opened by the first Record
    bool opened_ = false;
};

}  // namespace nuvexctl
