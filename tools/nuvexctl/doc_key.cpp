#include "doc_key.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define STDIN_FILENO 0
#else
#include <unistd.h>
#endif

#include <cctype>
#include <iostream>

#include "output.h"
#include "secret.h"
#include "text.h"
#include "tool_files.h"

namespace nuvexctl {
namespace {

// A key file is small: anything longer is not a key (hexadecimal of 256 bytes with a line
// break every byte stays well under this).
constexpr std::size_t kLongestKeyFile = 4096;

bool IsHexText(const std::string& bytes) {
    bool digits = false;
    for (unsigned char c : bytes) {
        if (std::isxdigit(c)) digits = true;
        else if (!std::isspace(c)) return false;
    }
    return digits;
}

}  // namespace

void AddKeyOptions(CLI::App* verb, KeyChoice& choice) {
    verb->add_option("--key-file", choice.file,
                     "Document key: a file of hexadecimal digits or of the key's raw bytes (1 to 256), "
                     "yours (or root's) and readable by nobody else; - reads standard input. Without it a terminal is asked");
    verb->add_flag("--default-key", choice.defaultKey,
                   "Use the built-in key that every copy of the library holds (protects nothing)");
}

bool KeyFromFileBytes(const std::string& bytes, std::vector<uint8_t>& key, std::string& why) {
    key.reserve(kLongestKeyFile);
    if (IsHexText(bytes)) {
        std::string digits;
        digits.reserve(bytes.size());
        WipeOnExit<std::string> wipeDigits(digits);
        for (unsigned char c : bytes)
            if (std::isxdigit(c)) digits.push_back(static_cast<char>(c));
        if (!ParseHex(digits, key)) {
            why = "a key file of hexadecimal digits needs two digits per byte";
            return false;
        }
    } else {
        key.assign(bytes.begin(), bytes.end());
    }
    if (key.empty() || key.size() > kLongestKey) {
        why = "a key has 1 to 256 bytes";
        return false;
    }
    return true;
}

int ReadDocumentKey(const KeyChoice& choice, std::vector<uint8_t>& key, std::string& why) {
    key.reserve(kLongestKeyFile);
    if (choice.defaultKey && !choice.file.empty()) {
        why = "give --key-file or --default-key, not both";
        return kExitUsage;
    }
    if (choice.defaultKey) {
        Warn("--default-key: the built-in document key is in every copy of the library, so it "
             "protects nothing; anyone can decrypt documents made under it");
        key.clear();
        return kExitOk;
    }
    std::string bytes;
    bytes.reserve(kLongestKeyFile + 1);
    WipeOnExit<std::string> wipeBytes(bytes);
    if (choice.file == "-") {
        char c;
        while (bytes.size() <= kLongestKeyFile && std::cin.get(c)) bytes.push_back(c);
    } else if (!choice.file.empty()) {
        // A key file that is not there or cannot be opened is an input that cannot be read (1),
        // as in every verb. One refused for what it is (another user's file or link, one that
        // others may read or write, a pipe or a device, which is never waited on), or that holds
        // no valid key, is a wrong argument (2).
        InputFile file;
        if (!file.Open(PathFromText(choice.file), InputKind::Secret, why)) {
            const bool refused = file.Refused();
            why = (refused ? "the key file " + choice.file + " " : "cannot read the key file " + choice.file + ": ") + why;
            return refused ? kExitUsage : kExitFailed;
        }
        // Read straight into the room reserved above, so that no buffer of a reader keeps a copy
        // of the key; one byte more than a key file may hold tells that it is too long.
        bytes.resize(kLongestKeyFile + 1);
        std::size_t got = 0;
        for (long n = 1; n > 0 && got < bytes.size(); got += static_cast<std::size_t>(n)) {
            n = file.Read(&bytes[got], bytes.size() - got);
            if (n < 0) {
                bytes.resize(got);
                why = "cannot read the key file " + choice.file;
                return kExitFailed;
            }
        }
        bytes.resize(got);
    } else if (isatty(STDIN_FILENO)) {
        std::cerr << "Document key (hexadecimal): " << std::flush;
        const bool ok = PromptWithoutEcho(bytes);
        std::cerr << "\n";
        if (!ok || !IsHexText(bytes)) {
            why = "the key typed at the prompt takes hexadecimal digits, two per byte";
            return kExitUsage;
        }
    } else {
        why = "no document key: give --key-file FILE (or - for standard input), or --default-key "
              "to use the built-in key that protects nothing";
        return kExitUsage;
    }
    if (bytes.size() > kLongestKeyFile) {
        why = "the key is longer than a key can be";
        return kExitUsage;
    }
    return KeyFromFileBytes(bytes, key, why) ? kExitOk : kExitUsage;
}

}  // namespace nuvexctl
