// The host platform's write-out hint: Linux's asynchronous range write-out.
#include "platform/write_out.h"

#include <fcntl.h>

namespace nuvex::platform {

void StartWriteOut(HANDLE file, uint64_t offset, uint64_t length) {
    const int descriptor = static_cast<int>(reinterpret_cast<intptr_t>(file));
    (void)::sync_file_range(descriptor, static_cast<off_t>(offset), static_cast<off_t>(length),
                            SYNC_FILE_RANGE_WRITE);
}

}  // namespace nuvex::platform
