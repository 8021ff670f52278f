// Windows needs no write-out hint: the cache manager's lazy writer writes dirty pages of a
// file being written out on its own, and FlushFileBuffers waits for the rest.
#include "platform/write_out.h"

namespace nuvex::platform {

void StartWriteOut(HANDLE, uint64_t, uint64_t) {}

}  // namespace nuvex::platform
