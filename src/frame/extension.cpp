// The extension interface's frame exports: the version and the meaning of any result code,
// both read from the public headers (the version macros and the result table), so the text a
// caller gets is the one the reference pages and nuvexctl print.
#include <cstring>

#include "nuvexctrl_ex.h"

namespace {

struct ResultRow {
    const char* exportName;
    uint32_t code;
    const char* meaning;
};

constexpr ResultRow kResults[] = {
#define NUVEX_RESULT_ROW(exportName, name, value, kind, meaning) {#exportName, value, meaning},
    NUVEX_RESULT_CODES(NUVEX_RESULT_ROW)
#undef NUVEX_RESULT_ROW
};

constexpr char kUnexpected[] = "unexpected result";
constexpr char kExtensionPrefix[] = "NuvexCtrlEx_";
constexpr char kBasePrefix[] = "NuvexCtrl_";

const char* Meaning(const char* exportName, uint32_t code) {
    if (code == 0) return "success";
    for (const ResultRow& row : kResults)
        if (row.code == code && std::strcmp(row.exportName, exportName) == 0) return row.meaning;
    return nullptr;
}

}  // namespace

extern "C" {

uint32_t NUVEXAPI NuvexCtrlEx_GetVersion(uint32_t* major, uint32_t* minor, uint32_t* patch) {
    if (major != nullptr) *major = NUVEXCTRL_VERSION_MAJOR;
    if (minor != nullptr) *minor = NUVEXCTRL_VERSION_MINOR;
    if (patch != nullptr) *patch = NUVEXCTRL_VERSION_PATCH;
    return 0;
}

uint32_t NUVEXAPI NuvexCtrlEx_DescribeResult(const char* exportName, uint32_t code, char* text,
                                             uint32_t capacity) {
    const char* meaning = exportName != nullptr ? Meaning(exportName, code) : nullptr;
    // An extension export also returns every code of the export it extends, with its meaning.
    if (meaning == nullptr && exportName != nullptr &&
        std::strncmp(exportName, kExtensionPrefix, sizeof kExtensionPrefix - 1) == 0) {
        char base[64];
        const std::size_t rest = std::strlen(exportName + sizeof kExtensionPrefix - 1);
        if (sizeof kBasePrefix - 1 + rest < sizeof base) {
            std::memcpy(base, kBasePrefix, sizeof kBasePrefix - 1);
            std::memcpy(base + sizeof kBasePrefix - 1, exportName + sizeof kExtensionPrefix - 1, rest + 1);
            meaning = Meaning(base, code);
            // The exports for a name in a folder ("...In") return the codes of the export
            // by path.
            const std::size_t baseLength = sizeof kBasePrefix - 1 + rest;
            if (meaning == nullptr && baseLength > 2 && std::strcmp(base + baseLength - 2, "In") == 0) {
                base[baseLength - 2] = '\0';
                meaning = Meaning(base, code);
            }
        }
    }
    const bool known = meaning != nullptr;
    if (!known) meaning = kUnexpected;
    const std::size_t length = std::strlen(meaning);
    if (text == nullptr || capacity == 0) return NUVEX_E_TEXT_CUT;
    const std::size_t kept = length < capacity ? length : capacity - 1;
    std::memcpy(text, meaning, kept);
    text[kept] = '\0';
    if (!known) return NUVEX_E_RESULT_UNKNOWN;
    return kept < length ? NUVEX_E_TEXT_CUT : 0;
}

}  // extern "C"
