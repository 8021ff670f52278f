// Files a caller names as input to a call (a policy file to load, a driver file to install):
// opened in one way everywhere, so that each such read keeps the same promise.
#pragma once

#include "platform/platform.h"

namespace nuvex::platform {

// Opens the caller's input `path` for reading with `share`, existing files only. Only a
// regular disk file is opened; a device, FIFO, socket or folder is refused (and an open
// never waits on a FIFO). On the host a link at the last name is followed only when it is
// the caller's own or root's: one another user planted is refused, so that the file it
// names is never read on the caller's behalf; the handle is of the very file that was
// checked. Windows: links need a privilege to be made, and follow as CreateFileA follows
// them. INVALID_HANDLE_VALUE with GetLastError set when refused (ERROR_ACCESS_DENIED for a
// link of another user's, ERROR_INVALID_FUNCTION for what is not a regular disk file).
HANDLE OpenCallerInput(const char* path, DWORD share);

}  // namespace nuvex::platform
