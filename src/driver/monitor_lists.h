// Wire layout of the secure-run blocks and the bound of one enumeration.
#pragma once

#include <cstdint>

#include "nuvex_wire.h"

namespace nuvex::secure_run {

constexpr uint32_t kBlockSize = NUVEX_SECRUN_BLOCK_SIZE;
constexpr uint32_t kNextOffset = NUVEX_SECRUN_NEXT;
constexpr uint32_t kIdOffset = NUVEX_SECRUN_ID;
constexpr uint32_t kEntryDriverDataOffset = NUVEX_SECRUN_ENTRY_DRIVER_DATA;
constexpr uint32_t kEntryDataOffset = NUVEX_SECRUN_ENTRY_DATA;  // 256 bytes
constexpr uint32_t kSubEntryDataOffset = NUVEX_SECRUN_SUB_DATA;  // 264 bytes

// Blocks (entries and sub-entries together) one enumeration takes at most, so that a driver
// that never fails the enumeration requests cannot hold the caller forever.
constexpr uint32_t kMaxBlocks = 16384;

}  // namespace nuvex::secure_run
