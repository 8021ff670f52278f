// Characters of 8-bit paths on Windows: text in the ANSI code page, which the system turns into
// UTF-16 before it applies its path limits. In a double-byte code page (932, 936, 949, 950) a
// lead byte and the byte after it are one character, and that second byte may be '\\'; under
// the UTF-8 code page a character is one UTF-8 sequence.
#include "platform/path_text.h"

#include "platform/platform.h"

namespace nuvex::platform {
namespace {

std::size_t Utf8SequenceLength(const char* text) {
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    return length;
}

}  // namespace

PathCharacter PathCharacterAt(const char* text) {
    const UINT codePage = GetACP();
    std::size_t bytes = 1;
    if (codePage == CP_UTF8)
        bytes = Utf8SequenceLength(text);
    else if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[0])) && text[1] != '\0')
        bytes = 2;
    // What the system counts: the UTF-16 units the character becomes (two for a character
    // beyond the basic plane).
    const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
    return {bytes, units > 0 ? static_cast<std::size_t>(units) : 1};
}

std::size_t CountPathCharacters(const char* text, std::size_t bytes) {
    if (bytes == 0) return 0;
    const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
    return units > 0 ? static_cast<std::size_t>(units) : bytes;
}

}  // namespace nuvex::platform
