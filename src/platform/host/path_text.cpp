// Characters of 8-bit paths on the host, where the code page is UTF-8: a character is one
// UTF-8 sequence. Also GetFullPathNameA, which resolves a path against the current directory.
#include "platform/path_text.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/host/host_internal.h"

namespace nuvex::platform {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes of the UTF-8 sequence a lead byte starts (1 for a byte that starts none).
std::size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

}  // namespace

PathCharacter PathCharacterAt(const char* text) {
    const std::size_t length = SequenceLength(static_cast<unsigned char>(text[0]));
    for (std::size_t i = 1; i < length; ++i)
        if (!IsContinuation(static_cast<unsigned char>(text[i]))) return {1, 1};
    return {length, 1};
}

std::size_t CountPathCharacters(const char* text, std::size_t bytes) {
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < bytes) {
        const PathCharacter character = PathCharacterAt(text + at);
        // A sequence cut short by `bytes` counts as what is left of it, byte by byte.
        if (at + character.bytes > bytes) return count + (bytes - at);
        at += character.bytes;
        count += character.counted;
    }
    return count;
}

}  // namespace nuvex::platform

using namespace nuvex::host;

// The current directory, then '/', then the path, for a path that does not start at the root;
// separators become '/'. Unlike Windows, "." and ".." are not folded away: through a symbolic
// link "a/.." is not where the text says, and the path must keep naming the file it named.
DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) {
    return NoThrow<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        if (name == nullptr || name[0] == '\0') {
            SetError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string full = TranslatePath(name);
        if (full[0] != '/') {
            std::string directory(256, '\0');
            while (::getcwd(directory.data(), directory.size()) == nullptr) {
                if (errno != ERANGE) {
                    SetError(ErrorFromErrno(errno));
                    return 0;
                }
                directory.resize(directory.size() * 2);
            }
            directory.resize(std::strlen(directory.c_str()));
            if (directory.back() != '/') directory += '/';
            full = directory + full;
        }
        if (buffer == nullptr || size <= full.size()) return static_cast<DWORD>(full.size() + 1);
        std::memcpy(buffer, full.c_str(), full.size() + 1);
        if (filePart != nullptr) {
            const std::size_t last = full.rfind('/');
            *filePart = last + 1 < full.size() ? buffer + last + 1 : nullptr;
        }
        SetError(ERROR_SUCCESS);
        return static_cast<DWORD>(full.size());
    });
}
