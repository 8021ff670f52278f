// Starting the write-out of bytes just written, so that the disk works while the program goes
// on and a later FlushFileBuffers finds little left to wait for.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace nuvex::platform {

// Asks the system to start writing the cached bytes [offset, offset + length) of the file open
// as `file` to its disk, and returns without waiting for them. Only a hint: what the file holds
// does not change, and a refusal is of no consequence (the final flush writes what is left).
// Host: sync_file_range with SYNC_FILE_RANGE_WRITE (without it Linux leaves freshly written
// pages in memory until the flush, which then writes them all while the caller waits).
// Windows: nothing; the cache manager's lazy writer writes dirty pages out on its own.
void StartWriteOut(HANDLE file, uint64_t offset, uint64_t length);

}  // namespace nuvex::platform
