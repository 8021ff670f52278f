// Passwords and keys: their memory is overwritten before it is given back, on every path.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

namespace nuvexctl {

class InputFile;

// Overwrites `size` bytes with zeros in a way the compiler may not drop.
inline void Wipe(void* data, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

// Wipes a string's or a vector's whole storage (its capacity) when the scope ends. Reserve
// the room before filling the container: growing moves the bytes and leaves a copy behind.
template <typename Container>
class WipeOnExit {
public:
    explicit WipeOnExit(Container& c) : c_(c) {}
    ~WipeOnExit() {
        std::size_t size = c_.size();
        c_.resize(c_.capacity());
        if (!c_.empty()) Wipe(&c_[0], c_.size() * sizeof(c_[0]));
        c_.resize(size);
        c_.clear();
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Container& c_;
};

// The longest secret line read: a rights password, or a key typed in hexadecimal.
constexpr std::size_t kPasswordMax = 1024;

// Reads one line (up to a line feed or the end) into room reserved beforehand, one character at
// a time, so that no copy is left behind by growing. False when nothing was read or the line is
// longer than kPasswordMax.
bool ReadPasswordLine(std::istream& in, std::string& password);
// The same from a password file, read a byte at a time so that it is read no further than the
// line and no buffer keeps a copy.
bool ReadPasswordLine(InputFile& in, std::string& password);

// Reads a line from the terminal with its echo off; the echo comes back also when the run is
// ended by a signal meanwhile. Without a terminal, a plain line from standard input.
bool PromptWithoutEcho(std::string& line);

}  // namespace nuvexctl
