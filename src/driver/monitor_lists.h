// Wire layout of the secure-run blocks and the bound of one enumeration.
#pragma once

#include <cstdint>

namespace nuvex::secure_run {

constexpr uint32_t kBlockSize = 272;
constexpr uint32_t kNextOffset = 0;
constexpr uint32_t kIdOffset = 4;
constexpr uint32_t kEntryDriverDataOffset = 8;
constexpr uint32_t kEntryDataOffset = 16;  // 256 bytes
constexpr uint32_t kSubEntryDataOffset = 8;  // 264 bytes

// Blocks (entries and sub-entries together) one enumeration takes at most, so that a driver
// that never fails the enumeration requests cannot hold the caller forever.
constexpr uint32_t kMaxBlocks = 16384;

}  // namespace nuvex::secure_run
