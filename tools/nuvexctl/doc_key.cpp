#include "doc_key.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define STDIN_FILENO 0
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "output.h"
#include "secret.h"
#include "text.h"

namespace fs = std::filesystem;
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

// Other users must not be able to read a key file (POSIX permission bits; Windows files are
// guarded by their access-control lists, which the user's profile keeps private).
bool PrivateEnough(const std::string& path, std::string& why) {
#if defined(_WIN32)
    static_cast<void>(path);
    static_cast<void>(why);
    return true;
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return true;  // the read reports it
    if ((info.st_mode & 077) != 0) {
        why = "the key file " + path + " can be read or written by other users (chmod 600 it)";
        return false;
    }
    return true;
#endif
}

}  // namespace

void AddKeyOptions(CLI::App* verb, KeyChoice& choice) {
    verb->add_option("--key-file", choice.file,
                     "Document key: a file of hexadecimal digits or of the key's raw bytes (1 to 256), "
                     "readable by its owner only; - reads standard input. Without it a terminal is asked");
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
        // A key file that is not there is an input that cannot be read (1), as in every verb;
        // one that holds no valid key, or that others may read, is a wrong argument (2).
        std::error_code missing;
        if (!fs::exists(fs::status(PathFromText(choice.file), missing))) {
            why = "cannot read the key file " + choice.file + ": no such file";
            return kExitFailed;
        }
        if (!PrivateEnough(choice.file, why)) return kExitUsage;
        // Read into the room reserved above, a character at a time, so that no buffer of the
        // reader keeps a copy of the key; only a regular file (a pipe or device is refused).
        if (!RegularOrAbsent(choice.file, why)) {
            why = "the key file " + choice.file + " " + why;
            return kExitUsage;
        }
        std::ifstream in(PathFromText(choice.file), std::ios::binary);
        if (!in) {
            why = "cannot read the key file " + choice.file + ": it cannot be opened";
            return kExitFailed;
        }
        in.rdbuf()->pubsetbuf(nullptr, 0);
        char c;
        while (bytes.size() <= kLongestKeyFile && in.get(c)) bytes.push_back(c);
        if (in.bad()) {
            why = "cannot read the key file " + choice.file;
            return kExitFailed;
        }
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
