#include "text.h"

#include <cstdio>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#endif

namespace nuvexctl {

namespace {

// Length of the well-formed UTF-8 sequence at `at`, or 0 when the bytes there are not one.
std::size_t SequenceLength(std::string_view s, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead == 0xED) length = 3, high = 0x9F;  // no surrogates
    else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else return 0;
    if (at + length > s.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

void AppendEscaped(std::string& out, unsigned char c) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    out += text;
}

#if defined(_WIN32)
bool Convert(UINT from, UINT to, std::string_view bytes, std::string& out) {
    out.clear();
    if (bytes.empty()) return true;
    int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), w.data(), wide);
    BOOL usedDefault = FALSE;
    BOOL* lossy = to == CP_UTF8 ? nullptr : &usedDefault;
    DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int narrow = WideCharToMultiByte(to, flags, w.data(), wide, nullptr, 0, nullptr, lossy);
    if (narrow <= 0 || usedDefault) return false;
    out.resize(static_cast<std::size_t>(narrow));
    WideCharToMultiByte(to, flags, w.data(), wide, out.data(), narrow, nullptr, lossy);
    return !usedDefault;
}
#endif

}  // namespace

bool IsUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t n = SequenceLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Shown(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c == 0x7F) {
            AppendEscaped(out, c);
            ++i;
            continue;
        }
#if defined(_WIN32)
        out += static_cast<char>(c);
        ++i;
#else
        std::size_t n = SequenceLength(bytes, i);
        if (n == 0) {
            AppendEscaped(out, c);
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
#endif
    }
    return out;
}

Json JsonText(std::string_view bytes) {
#if defined(_WIN32)
    std::string utf8;
    if (Convert(CP_ACP, CP_UTF8, bytes, utf8)) return Json(utf8);
#else
    if (IsUtf8(bytes)) return Json(std::string(bytes));
#endif
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
#if defined(_WIN32)
    // Bytes that the code page cannot map are shown escaped.
    std::string shown;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) shown += static_cast<char>(c);
        else AppendEscaped(shown, c);
    }
#else
    std::string shown = Shown(bytes);
#endif
    return Json{{"hex", hex}, {"text", shown}};
}

bool TextFromJson(const Json& value, std::string& bytes, std::string& why) {
    if (value.is_string()) {
        const std::string& utf8 = value.get_ref<const std::string&>();
#if defined(_WIN32)
        if (!Convert(CP_UTF8, CP_ACP, utf8, bytes)) {
            why = "'" + utf8 + "' cannot be written in the system's ANSI code page (give it as {\"hex\": ...})";
            return false;
        }
#else
        bytes = utf8;
#endif
        return true;
    }
    if (value.is_object() && value.contains("hex") && value["hex"].is_string()) {
        std::vector<uint8_t> raw;
        if (!ParseHex(value["hex"].get<std::string>(), raw)) {
            why = "\"hex\" must hold two hexadecimal digits per byte";
            return false;
        }
        bytes.assign(raw.begin(), raw.end());
        return true;
    }
    why = "a text is a string or an object with \"hex\"";
    return false;
}

std::filesystem::path PathFromText(const std::string& name) {
#if defined(_WIN32)
    if (name.empty()) return {};
    int wide = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
    if (wide > 0) MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), w.data(), wide);
    return std::filesystem::path(w);
#else
    return std::filesystem::path(name);
#endif
}

std::string TextFromPath(const std::filesystem::path& path) {
#if defined(_WIN32)
    // No best-fit: a character the code page lacks becomes '?', which no Windows file name
    // holds, so a name that cannot be written never reaches another file.
    const std::wstring& w = path.native();
    if (w.empty()) return {};
    int narrow = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(narrow > 0 ? narrow : 0), '\0');
    if (narrow > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()), out.data(), narrow, nullptr, nullptr);
    return out;
#else
    return path.string();
#endif
}

const char kNotInCodePage[] =
    "the name holds characters the system's ANSI code page cannot write, and the library takes ANSI names only";

#if defined(_WIN32)
namespace {

// Wide characters to a code page, exactly: false when any character has no exact form (a
// default character used, or a round trip that does not give the same characters back).
bool ExactNarrow(UINT codePage, const std::wstring& w, std::string& out) {
    out.clear();
    if (w.empty()) return true;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* lossy = codePage == CP_UTF8 ? nullptr : &usedDefault;
    int narrow = WideCharToMultiByte(codePage, flags, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, lossy);
    if (narrow <= 0 || usedDefault) return false;
    out.resize(static_cast<std::size_t>(narrow));
    WideCharToMultiByte(codePage, flags, w.data(), static_cast<int>(w.size()), out.data(), narrow, nullptr, lossy);
    if (usedDefault) return false;
    int back = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, out.data(), narrow, nullptr, 0);
    if (back != static_cast<int>(w.size())) return false;
    std::wstring again(static_cast<std::size_t>(back), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, out.data(), narrow, again.data(), back);
    return again == w;
}

}  // namespace
#endif

bool ExactTextFromPath(const std::filesystem::path& path, std::string& name) {
#if defined(_WIN32)
    return ExactNarrow(CP_ACP, path.native(), name);
#else
    name = path.string();
    return true;
#endif
}

bool LibraryName(const std::filesystem::path& path, std::string& name) {
#if defined(_WIN32)
    if (ExactTextFromPath(path, name)) return true;
    // The current folder as the system holds it (GetCurrentDirectoryW); the relative form is
    // taken only when the path lies below it, so that it holds no ".." that a link could turn.
    std::error_code ec;
    const std::filesystem::path current = std::filesystem::current_path(ec);
    if (ec || !path.is_absolute()) return false;
    const std::filesystem::path relative = path.lexically_relative(current);
    if (relative.empty() || relative.is_absolute() || *relative.begin() == L"..") return false;
    return ExactNarrow(CP_ACP, relative.native(), name);
#else
    name = path.string();
    return true;
#endif
}

Json JsonPath(const std::filesystem::path& path) {
#if defined(_WIN32)
    std::string utf8;
    if (ExactNarrow(CP_UTF8, path.native(), utf8)) return Json(utf8);
    return JsonText(TextFromPath(path));
#else
    return JsonText(path.string());
#endif
}

std::string ShownPath(const std::filesystem::path& path) {
#if defined(_WIN32)
    std::string utf8;
    if (ExactNarrow(CP_UTF8, path.native(), utf8)) return utf8;
    return Shown(TextFromPath(path));
#else
    return Shown(path.string());
#endif
}

bool ExactArguments(int argc, char** argv, std::vector<std::string>& args, std::string& refused) {
    args.clear();
#if defined(_WIN32)
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr && count == argc) {
        bool exact = true;
        for (int i = 1; i < count && exact; ++i) {
            std::string arg;
            if (ExactNarrow(CP_ACP, wide[i], arg)) {
                args.push_back(arg);
                continue;
            }
            exact = false;
            if (!ExactNarrow(CP_UTF8, wide[i], refused)) refused = Shown(argv[i]);
        }
        LocalFree(wide);
        return exact;
    }
    // A command line the system splits differently from the C runtime: take the runtime's.
    if (wide != nullptr) LocalFree(wide);
#endif
    (void)refused;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return true;
}

std::string FieldText(const char* field, std::size_t size) {
    std::size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return std::string(field, length);
}

bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (digit > max || result > (max - digit) / base) return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    bytes.swap(out);
    return true;
}

std::vector<std::string> HexDump(const uint8_t* data, std::size_t length) {
    std::vector<std::string> lines;
    for (std::size_t offset = 0; offset < length; offset += 16) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%08zx:", offset);
        std::string line = cell, printable;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i % 2 == 0) line += ' ';
            if (offset + i < length) {
                unsigned char c = data[offset + i];
                std::snprintf(cell, sizeof cell, "%02x", c);
                line += cell;
                printable += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
            } else {
                line += "  ";
            }
        }
        lines.push_back(line + "  " + printable);
    }
    return lines;
}

}  // namespace nuvexctl
