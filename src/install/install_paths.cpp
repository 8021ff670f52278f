#include "install/install_paths.h"

#include <cstring>

#include "frame/owners.h"
#include "platform/caller_input.h"
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

namespace {

// The name a new driver file is written under before it takes the installed file's place:
// the target with its extension ".sys" turned into ".new", in the same folder (so the final
// rename stays on one volume) and never longer than the target. False when it cannot be made.
bool BuildStagingPath(const char* target, char* staging) {
    std::size_t length = std::strlen(target);
    std::size_t dot = length;
    for (std::size_t i = length; i > 0; --i) {
        char c = target[i - 1];
        if (c == '\\' || c == '/') break;
        if (c == '.') {
            dot = i - 1;
            break;
        }
    }
    std::memcpy(staging, target, dot);
    const char* parts[] = {".new"};
    return AppendParts(staging, dot, parts, 1);
}

// Forces the file's contents to the disk. A read-only file (copied from a read-only source)
// is opened for writing only for the moment of the flush and keeps its attribute.
bool FlushDriverFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    // 0 would mean "no change" to the system: a file with no other attribute is made normal.
    DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (writable == 0) writable = FILE_ATTRIBUTE_NORMAL;
    if (readOnly && !SetFileAttributesA(path, writable)) return false;
    bool flushed = false;
    {
        UniqueHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        flushed = file && FlushFileBuffers(file.get()) != FALSE;
    }
    if (readOnly && !SetFileAttributesA(path, attributes)) return false;
    return flushed;
}

// Opens the source for the copy and learns what it is. Only a regular disk file is a driver
// file: a pipe or a socket gives whatever arrives (or nothing, at once, without a writer), a
// device anything or without end, and a file the kernel makes up as it is read (/proc, /sys)
// has bytes that differ from its reported size. The open never waits for a pipe's writer.
bool OpenSource(const char* source, UniqueHandle& file, BY_HANDLE_FILE_INFORMATION* info) {
    file.reset(platform::OpenCallerInput(source, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    return GetFileInformationByHandle(file.get(), info) != FALSE &&
           (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Whether the staging copy holds as many bytes as the source held when it was opened, and the
// source's name still leads to that file: a copy of anything else is not put in place.
bool CopiedWhole(const char* source, const char* staging, const BY_HANDLE_FILE_INFORMATION& opened) {
    BY_HANDLE_FILE_INFORMATION copy{};
    BY_HANDLE_FILE_INFORMATION now{};
    return FileIdentity(staging, &copy) && copy.nFileSizeHigh == opened.nFileSizeHigh &&
           copy.nFileSizeLow == opened.nFileSizeLow && FileIdentity(source, &now) && SameIdentity(now, opened);
}

}  // namespace

bool PlaceDriverFile(const char* source, const char* target, bool* copied) {
    *copied = false;
    if (IsSameFile(source, target)) return true;
    // A source that is not there, or not a disk file, is found out on its opened handle before
    // anything in the drivers folder changes. The handle is held through the copy.
    UniqueHandle sourceFile;
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!OpenSource(source, sourceFile, &opened)) return false;
    char staging[kPathCapacity];
    if (!BuildStagingPath(target, staging)) return false;

    // Whatever an interrupted install left under the staging name goes first; the copy is
    // then made under a name that nothing else holds.
    RemoveDriverFile(staging);
    if (CopyFileA(source, staging, TRUE) == FALSE) {
        RemoveDriverFile(staging);
        return false;
    }
    // Complete on the disk before it takes the name: a crash after the rename must not leave
    // a driver file whose contents never reached the disk.
    bool placed = CopiedWhole(source, staging, opened) && FlushDriverFile(staging);
    if (placed) {
        // A read-only installed file can only be replaced once it is writable again.
        const DWORD old = GetFileAttributesA(target);
        if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) != 0)
            SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
        // One rename: the name holds the old driver file or the new one, never a part of one.
        placed = MoveFileExA(staging, target,
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
    if (!placed) {
        RemoveDriverFile(staging);
        return false;
    }
    *copied = true;
    return true;
}

}  // namespace nuvex
