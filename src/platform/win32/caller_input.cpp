// Caller-named inputs on Windows: a regular disk file, opened for reading.
#include "platform/caller_input.h"

namespace nuvex::platform {

HANDLE OpenCallerInput(const char* path, DWORD share) {
    HANDLE file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace nuvex::platform
