// Characters of 8-bit paths as the file system counts them. An 8-bit path is text in the
// process's code page (Windows: the ANSI code page, where one character may take two bytes and
// the second byte may equal '\\'; host: UTF-8); path limits such as MAX_PATH count characters,
// not bytes, so a path is measured and cut only at character boundaries.
#pragma once

#include <cstddef>

namespace nuvex::platform {

// One character of an 8-bit path: the bytes it takes, and how many characters the file
// system's path limits count for it (Windows: UTF-16 units; host: one).
struct PathCharacter {
    std::size_t bytes;
    std::size_t counted;
};

// The character at the start of `text`, which is not at its terminating zero. A character cut
// short by the zero, or a byte that starts no character, is one byte counted as one.
PathCharacter PathCharacterAt(const char* text);

// The characters of the first `bytes` bytes of `text` as the path limits count them.
std::size_t CountPathCharacters(const char* text, std::size_t bytes);

}  // namespace nuvex::platform
