// The meaning of every result code, per export: one table from which the tool's error
// messages and docs/result-codes.md are both made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvexctl {

struct ResultCodeInfo {
    const char* exportName;
    uint32_t code;
    const char* meaning;
};

// Every documented code of every export, in header order.
const std::vector<ResultCodeInfo>& ResultCodeTable();

// "not an encrypted document" for (NuvexCtrl_DecryptFile, 531); a generic text for codes
// the table does not know.
std::string DescribeResult(const char* exportName, uint32_t code);

// The Markdown document generated from the table.
std::string ResultCodesMarkdown();

}  // namespace nuvexctl
