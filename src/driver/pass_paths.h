// The pass-path store's internal pieces: the pass-path file and its update routine.
#pragma once

#include <cstdint>

namespace nuvex::pass_paths {

constexpr char kFileName[] = "\\NUVEXpath.nvdat";

// Bytes of the joined text of NuvexCtrl_AddStructPassPath, its terminating zero included.
constexpr uint32_t kStructTextBytes = 10240;

// How long an update waits for another update that holds the file.
constexpr uint32_t kSharingRetryMilliseconds = 2000;
constexpr uint32_t kSharingRetryPauseMilliseconds = 25;

// Appends `text` to the pass-path file (joined to existing content by one "|" unless that
// already ends with "|"), or empties the file when `text` is null. Returns 0 when the file
// holds the change, kPassPathTextEmpty for an empty text (nothing to record, file untouched), and
// NUVEX_E_PASSPATH_FILE_NOT_UPDATED when the file could not be opened, read or written; a
// failed append leaves the file as it was.
uint32_t UpdatePassPathFile(const char* text);
constexpr uint32_t kPassPathTextEmpty = 52;

}  // namespace nuvex::pass_paths
