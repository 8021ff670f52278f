// The meaning of every result code, per export, as the library's result table gives it: the
// tool's error messages and docs/result-codes.md are both made from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvexctl {

struct ResultCodeInfo {
    const char* exportName;
    uint32_t code;
    const char* meaning;
    const char* name;  // unique within the export, e.g. "NoDevice"
    bool added;        // one of this library's NUVEX_E_* codes, not the interface's own
};

// Every documented code of every export, grouped by export in header order.
const std::vector<ResultCodeInfo>& ResultCodeTable();

// "not an encrypted document" for (NuvexCtrl_DecryptFile, 531); a generic text for codes
// the table does not know.
std::string DescribeResult(const char* exportName, uint32_t code);

// The code the table names `name` for the export (ResultCode("NuvexCtrl_GetLog", "NoDevice")).
uint32_t ResultCode(const char* exportName, const char* name);

// The Markdown document generated from the table.
std::string ResultCodesMarkdown();

}  // namespace nuvexctl
