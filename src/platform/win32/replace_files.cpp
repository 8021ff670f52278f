// Windows' part of a document operation's replace. The held handle's share modes keep other
// programs' writers out while the operation runs; the rename is where they could get in, since
// a plain rename (MoveFileExW) is refused while any handle holds the file it replaces.
#include "platform/replace_files.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include "platform/win32/process_heap.h"

namespace nuvex::platform {
namespace {

// FILE_RENAME_INFO as FileRenameInfoEx takes it (flags in place of ReplaceIfExists).
struct RenameInfoEx {
    DWORD flags;
    HANDLE rootDirectory;
    DWORD fileNameLength;  // bytes
    WCHAR fileName[1];
};
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kRenameIgnoreReadOnly = 0x40;
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// How long, and how far apart, a rename refused because a file is open is tried again. On-access
// scanners open every new file for a moment (tens of milliseconds), without sharing deleting:
// while one holds the operation's own temporary file it cannot be renamed. Waiting for it is
// safe: the temporary file is the operation's own and complete, and the target is checked
// again before every attempt. Two seconds cover a scanner's look and bound a holder that stays.
constexpr DWORD kRenameWaitMs = 2000;
constexpr DWORD kRenamePauseMs = 5;

bool RefusedAsOpen(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

wchar_t* Join(const OperationFolder& folder, const NameChar* name) {
    const std::size_t length = std::wcslen(name);
    wchar_t* full = Allocate<wchar_t>(folder.prefixLength() + length + 1);
    if (full == nullptr) return nullptr;
    std::wmemcpy(full, folder.prefix(), folder.prefixLength());
    std::wmemcpy(full + folder.prefixLength(), name, length + 1);
    return full;
}

// A handle that may rename the new file, reached through the one that holds it.
HANDLE Renamer(HANDLE placed) {
    return ReOpenFile(placed, DELETE | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
}

// The system's own form of the full path `path` ("\\??\\C:\\dir\\name", "\\??\\UNC\\server\\..."),
// which a rename through a handle takes: a bare name would be taken relative to the current
// folder by Wine, not the file's own.
wchar_t* SystemPath(const wchar_t* path) {
    const std::size_t length = std::wcslen(path);
    const wchar_t* rest = path;
    const wchar_t* prefix = L"\\??\\";
    if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) {
        rest = path + 4;
    } else if (std::wcsncmp(path, L"\\\\", 2) == 0) {
        rest = path + 2;
        prefix = L"\\??\\UNC\\";
    }
    const std::size_t prefixLength = std::wcslen(prefix);
    wchar_t* full = Allocate<wchar_t>(prefixLength + length + 1);
    if (full == nullptr) return nullptr;
    std::wmemcpy(full, prefix, prefixLength);
    std::wmemcpy(full + prefixLength, rest, std::wcslen(rest) + 1);
    return full;
}

// Renames the file open as `renamer` to the full path `to` through that handle, replacing what
// is there: with `posix`, POSIX semantics (the file there is replaced although it is open,
// sharing deleting as the operation's hold does, and read-only), else as MoveFileExW would.
bool RenameThrough(HANDLE renamer, const wchar_t* fullTo, bool posix) {
    wchar_t* to = SystemPath(fullTo);
    if (to == nullptr) return false;
    const std::size_t bytes = std::wcslen(to) * sizeof(WCHAR);
    const std::size_t size = sizeof(RenameInfoEx) + bytes;
    auto* info = static_cast<RenameInfoEx*>(static_cast<void*>(Allocate<char>(size)));
    if (info == nullptr) {
        FreeBlock(to);
        return false;
    }
    std::memset(info, 0, size);
    info->flags = posix ? kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly
                        : TRUE;  // FILE_RENAME_INFO's ReplaceIfExists
    info->rootDirectory = nullptr;
    info->fileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->fileName, to, bytes);
    const BOOL renamed = SetFileInformationByHandle(
        renamer, posix ? kFileRenameInfoEx : FileRenameInfo, info, static_cast<DWORD>(size));
    FreeBlock(info);
    FreeBlock(to);
    // As MOVEFILE_WRITE_THROUGH would: the file's record, with its new name, on the disk.
    if (renamed) FlushFileBuffers(renamer);
    return renamed != FALSE;
}

// With POSIX semantics, where the system offers it (not Wine, not Windows before 10 1809).
bool RenameWithPosixSemantics(HANDLE placed, const wchar_t* fullTo) {
    HANDLE renamer = Renamer(placed);
    if (renamer == INVALID_HANDLE_VALUE) return false;
    const bool renamed = RenameThrough(renamer, fullTo, /*posix=*/true);
    CloseHandle(renamer);
    return renamed;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool SameContent(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
           a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

bool SetAttributesThrough(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

enum class Recheck { Ready, Busy, Taken, Written, Gone };

// Opens `target` again, without sharing writes, and compares it with the file decided on.
// Its read-only attribute is cleared through that handle when it is ready (*readOnly tells).
Recheck OpenAgainAsDecided(const wchar_t* target, const BY_HANDLE_FILE_INFORMATION& decided,
                           uint64_t operationLock, bool* readOnly) {
    *readOnly = false;
    HANDLE again = CreateFileW(target, SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES |
                                           FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (again == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? Recheck::Busy : Recheck::Gone;
    BY_HANDLE_FILE_INFORMATION now{};
    Recheck outcome = Recheck::Ready;
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(operationLock);
    place.OffsetHigh = static_cast<DWORD>(operationLock >> 32);
    const bool free = LockFileEx(again, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                                 0, &place) != FALSE;
    if (free) UnlockFileEx(again, 0, 1, 0, &place);
    if (!free || !GetFileInformationByHandle(again, &now) || !SameIdentity(now, decided))
        outcome = Recheck::Taken;
    else if (!SameContent(now, decided))
        outcome = Recheck::Written;
    else if ((now.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        *readOnly = SetAttributesThrough(again, now.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if (!*readOnly) outcome = Recheck::Busy;
    }
    CloseHandle(again);
    return outcome;
}

// The plain rename, after the operation's hold has ended: before each attempt the name must
// still hold the file decided on, unwritten, and nobody may be writing it. The rename goes
// through a handle of the new file made beforehand, so that it is one request right after the
// check's handle is closed: a writer that opens the file in that moment keeps it open through
// the rename, which is then refused, and the next check sees its write.
Renamed RenameAfterRelease(HANDLE placed, HANDLE& renamer, const wchar_t* from,
                           const wchar_t* to, const BY_HANDLE_FILE_INFORMATION& decided,
                           uint64_t operationLock) {
    const ULONGLONG deadline = GetTickCount64() + kRenameWaitMs;
    for (int attempt = 1;; ++attempt) {
        if (attempt > 1) {
            if (GetTickCount64() >= deadline) break;
            Sleep(kRenamePauseMs);
        }
        // A scanner holding the new file without sharing deleting kept the handle from being
        // made: it is made again once the scanner lets go.
        if (renamer == INVALID_HANDLE_VALUE) renamer = Renamer(placed);
        bool readOnly = false;
        switch (OpenAgainAsDecided(to, decided, operationLock, &readOnly)) {
        case Recheck::Ready: break;
        case Recheck::Busy: continue;
        case Recheck::Taken: return Renamed::Taken;
        case Recheck::Written: return Renamed::WriterCame;
        case Recheck::Gone: return Renamed::Failed;
        }
        if (renamer != INVALID_HANDLE_VALUE ? RenameThrough(renamer, to, /*posix=*/false)
                                            : MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING |
                                                                         MOVEFILE_WRITE_THROUGH))
            return Renamed::Done;
        const DWORD error = GetLastError();
        if (readOnly) SetFileAttributesW(to, decided.dwFileAttributes);
        if (!RefusedAsOpen(error)) {
            SetLastError(error);
            return Renamed::Failed;
        }
    }
    SetLastError(ERROR_SHARING_VIOLATION);
    return Renamed::Failed;
}

// Sets the last write time of `path` back to `original` while it is still `marked`.
void RestoreWriteTime(const wchar_t* path, const FILETIME& marked, const FILETIME& original) {
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    FILETIME now{};
    if (GetFileTime(file, nullptr, nullptr, &now) && now.dwLowDateTime == marked.dwLowDateTime &&
        now.dwHighDateTime == marked.dwHighDateTime)
        SetFileTime(file, nullptr, nullptr, &original);
    CloseHandle(file);
}

}  // namespace

Watch WatchWriters(HANDLE) { return Watch::NotWatched; }

bool WriterCame(HANDLE) { return false; }

Writer WriterOf(HANDLE) { return Writer::None; }

void StopWatching(HANDLE) {}

Renamed RenameInFolder(const OperationFolder& folder, const NameChar* from, const NameChar* to,
                       HANDLE placed, ReplacedFile* replaced) {
    wchar_t* fromFull = Join(folder, from);
    wchar_t* toFull = Join(folder, to);
    Renamed renamed = Renamed::Failed;
    if (fromFull == nullptr || toFull == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else if (replaced != nullptr && RenameWithPosixSemantics(placed, toFull)) {
        renamed = Renamed::Done;
    } else if (replaced == nullptr) {
        // A new name; the new file may be held a moment by a scanner (see kRenameWaitMs).
        const ULONGLONG deadline = GetTickCount64() + kRenameWaitMs;
        for (;;) {
            if (MoveFileExW(fromFull, toFull, MOVEFILE_WRITE_THROUGH)) {
                renamed = Renamed::Done;
                break;
            }
            if (!RefusedAsOpen(GetLastError()) || GetTickCount64() >= deadline) break;
            Sleep(kRenamePauseMs);
        }
    } else {
        BY_HANDLE_FILE_INFORMATION decided{};
        if (GetFileInformationByHandle(replaced->held, &decided)) {
            // Held, nobody could write it since the operation decided on it: as it is now is
            // as it was decided on. Its last write time is moved on by one unit (100 ns)
            // through the hold: the file system's clock advances in ticks of milliseconds, so
            // a write in the same tick as the file's last one would leave the time as it was,
            // but never at this mark.
            const FILETIME original = decided.ftLastWriteTime;
            const uint64_t time = (static_cast<uint64_t>(original.dwHighDateTime) << 32 |
                                   original.dwLowDateTime) + 1;
            FILETIME marked{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
            const bool isMarked = SetFileTime(replaced->held, nullptr, nullptr, &marked) != FALSE &&
                                  GetFileInformationByHandle(replaced->held, &decided) != FALSE;
            HANDLE renamer = Renamer(placed);
            replaced->release(replaced->context);
            renamed = RenameAfterRelease(placed, renamer, fromFull, toFull, decided,
                                         replaced->operationLock);
            if (renamer != INVALID_HANDLE_VALUE) CloseHandle(renamer);
            // Not replaced, and nobody wrote it or took it: its own last write time back.
            if (isMarked && renamed == Renamed::Failed)
                RestoreWriteTime(toFull, decided.ftLastWriteTime, original);
        }
    }
    FreeBlock(fromFull);
    FreeBlock(toFull);
    return renamed;
}


}  // namespace nuvex::platform
