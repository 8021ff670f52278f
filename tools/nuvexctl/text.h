// Texts that cross the tool's edges: bytes from file names, arguments and driver records turned
// into JSON and table cells without loss, and the strict parsing of what a person types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nuvexctl {

using Json = nlohmann::ordered_json;

// True for well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(std::string_view bytes);

// A text for a JSON document. On Windows the bytes are in the ANSI code page and become UTF-8.
// Elsewhere well-formed UTF-8 is a JSON string as it is; any other bytes become the object
// {"hex": "<every byte, two hex digits each>", "text": "<the shown form>"}, from which a script
// takes the exact bytes back.
Json JsonText(std::string_view bytes);

// The inverse, for files the tool reads: a JSON string (made ANSI on Windows) or an object with
// "hex". Returns false, with the reason in `why`, for anything else.
bool TextFromJson(const Json& value, std::string& bytes, std::string& why);

// A text for a table or a message: printable characters as they are, control characters and
// bytes that are not UTF-8 (on Windows: control characters only) as \xHH.
std::string Shown(std::string_view bytes);

// The text of a fixed-size field of a driver record, read no further than the field: up to its
// first zero byte, or the whole field when it has none.
std::string FieldText(const char* field, std::size_t size);
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return FieldText(field, N);
}

// File names as the library takes them (on Windows in the ANSI code page) and as the standard
// library's paths hold them (on Windows wide characters): converted by the system's calls,
// never through UTF-8.
std::filesystem::path PathFromText(const std::string& name);
std::string TextFromPath(const std::filesystem::path& path);

// The ANSI name of a path only when the code page holds every character of it exactly (no
// best-fit substitution, which would turn `ą.txt` into `a.txt`, another file); false otherwise.
// Always true elsewhere, where names are bytes.
bool ExactTextFromPath(const std::filesystem::path& path, std::string& name);

// The name to hand the library's 8-bit exports for a path the tool made itself (its state
// folder's files, the system folder's driver files): on Windows the path's ANSI form when it
// converts back exactly, else its form relative to the current folder (read in UTF-16) when
// that one does; false when neither does, so that no best-fit substitute ever names another
// file. Elsewhere the path's bytes.
bool LibraryName(const std::filesystem::path& path, std::string& name);

// A path for a JSON document or a message when it may have no ANSI name: UTF-8 on Windows (from
// the wide characters), as JsonText and Shown give it elsewhere.
Json JsonPath(const std::filesystem::path& path);
std::string ShownPath(const std::filesystem::path& path);

// Why a name without an exact ANSI form is refused.
extern const char kNotInCodePage[];

// Windows: the command line as the system holds it (UTF-16), each argument made ANSI exactly.
// False, with the first argument that has no exact ANSI form in `refused` (as UTF-8), when one
// has none: the C runtime's own argv would carry a best-fit substitute that may name another
// file. Elsewhere the arguments are taken as they are.
bool ExactArguments(int argc, char** argv, std::vector<std::string>& args, std::string& refused);

// A whole number as a person types it: decimal digits, or 0x and hexadecimal digits; no sign,
// no blanks, nothing after it, at most `max`.
bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value);

// Bytes given as hexadecimal digits, two per byte, nothing else.
bool ParseHex(std::string_view text, std::vector<uint8_t>& bytes);

// Lines of a hex dump as xxd prints them: offset, 16 bytes in groups of two, printable column.
std::vector<std::string> HexDump(const uint8_t* data, std::size_t length);

}  // namespace nuvexctl
