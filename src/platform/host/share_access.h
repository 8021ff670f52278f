// Windows share modes between open handles, kept with open-file-description locks so that they
// hold between the handles of one process and between processes alike.
#pragma once

#include "platform/host/win32_host.h"

namespace nuvex::host {

// The parts of an access mask that share modes govern.
struct ShareAccess {
    bool read = false;
    bool write = false;
    bool del = false;
    bool Any() const { return read || write || del; }
};

ShareAccess ShareAccessOf(DWORD access);

// Checks the new handle `fd` (a fresh open file description of the file) against every other
// open handle of the file and records its access and share mode. False (no lock kept) when the
// open conflicts with an existing handle.
bool AcquireShare(int fd, ShareAccess access, DWORD share);

// Whether the file open as `fd` could be opened now for `access` with the share mode `share`,
// i.e. no other handle refuses to share that access (deleting and renaming ask for DELETE) and,
// where `share` leaves a flag out, no other handle holds that access.
bool ShareAllows(int fd, ShareAccess access,
                 DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

// Byte-range locks of LockFileEx, held by an open file description (one handle): an
// exclusive lock clashes with every lock of another handle on an overlapping range, a shared
// lock with the exclusive ones. Offset plus length must not pass kLockRangeEnd.
constexpr uint64_t kLockRangeEnd = uint64_t{1} << 61;
enum class RangeLock { Taken, Conflict, Invalid, Unsupported };
RangeLock LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive);
// Drops this handle's locks on the range; false when the range is invalid.
bool UnlockRange(int fd, uint64_t offset, uint64_t length);

}  // namespace nuvex::host
