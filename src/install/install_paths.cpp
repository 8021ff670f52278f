#include "install/install_paths.h"

#include <cstring>

#include "frame/owners.h"
#include "platform/platform.h"

namespace nuvex {
namespace {

// Appends `parts` behind the `length` characters already in `path`; false (and `path` left
// empty) when the result with its terminator would not fit in kPathCapacity.
bool AppendParts(char* path, std::size_t length, const char* const* parts, std::size_t count) {
    std::size_t total = length;
    for (std::size_t i = 0; i < count; ++i) total += std::strlen(parts[i]);
    if (total + 1 > kPathCapacity) {
        path[0] = '\0';
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t part = std::strlen(parts[i]);
        std::memcpy(path + length, parts[i], part);
        length += part;
    }
    path[length] = '\0';
    return true;
}

}  // namespace

bool BuildDriverFilePath(const DriverNames& driver, char* path) {
    path[0] = '\0';
    // The call reports the size it needs (terminator included) when the buffer is too small.
    UINT length = GetSystemDirectoryA(path, static_cast<UINT>(kPathCapacity));
    if (length == 0 || length >= kPathCapacity) {
        path[0] = '\0';
        return false;
    }
    const char* parts[] = {"\\drivers\\", driver.service, ".sys"};
    return AppendParts(path, length, parts, 3);
}

bool BuildDefaultSourcePath(const DriverNames& driver, char* path) {
    path[0] = '\0';
    // A path that fills the whole buffer was cut short (and may lack its terminator).
    DWORD length = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(kPathCapacity));
    if (length == 0 || length >= kPathCapacity) {
        path[0] = '\0';
        return false;
    }
    path[length] = '\0';
    // Keep the directory with its separator; a bare file name leaves the current directory.
    std::size_t directory = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (path[i] == '\\' || path[i] == '/') directory = i + 1;
    const char* parts[] = {driver.service, ".sys"};
    return AppendParts(path, directory, parts, 2);
}

bool RemoveDriverFile(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path) != FALSE;
}

namespace {

// The identity of the file at `path`: false when it cannot be opened (no file there). The
// open asks for no data access and shares everything, so a loaded driver's file, or one
// open elsewhere, can be looked at.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    UniqueHandle file(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    return GetFileInformationByHandle(file.get(), info) != FALSE;
}

}  // namespace

bool IsSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    if (!FileIdentity(first, &a) || !FileIdentity(second, &b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool PlaceDriverFile(const char* source, const char* target, bool* copied) {
    *copied = false;
    if (IsSameFile(source, target)) return true;
    *copied = true;
    // There may be no old file: both results are of no interest.
    RemoveDriverFile(target);
    return CopyFileA(source, target, FALSE) != FALSE;
}

}  // namespace nuvex
