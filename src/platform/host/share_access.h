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

// Whether the file open as `fd` could be opened now for `access` with every share flag given,
// i.e. no other handle refuses to share that access (deleting and renaming ask for DELETE).
bool ShareAllows(int fd, ShareAccess access);

}  // namespace nuvex::host
