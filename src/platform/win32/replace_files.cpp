// Windows' part of a document operation's replace. The held handle's share modes keep other
// programs' writers out while the operation runs; the rename is where they could get in, since
// a plain rename (MoveFileExW) is refused while any handle holds the file it replaces.
#include "platform/replace_files.h"

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

// How often, and how far apart, a rename refused because the file is open is tried again.
constexpr int kRenameAttempts = 20;
constexpr DWORD kRenamePauseMs = 5;

wchar_t* Join(const OperationFolder& folder, const NameChar* name) {
    const std::size_t length = std::wcslen(name);
    wchar_t* full = Allocate<wchar_t>(folder.prefixLength() + length + 1);
    if (full == nullptr) return nullptr;
    std::wmemcpy(full, folder.prefix(), folder.prefixLength());
    std::wmemcpy(full + folder.prefixLength(), name, length + 1);
    return full;
}

// Renames the file open as `placed` to `to` in its own folder with POSIX semantics: the file
// there is replaced although it is open (sharing deleting, as the operation's hold does) and
// read-only. False where the system does not offer it (Wine, Windows before 10 1809).
bool RenameWithPosixSemantics(const OperationFolder& folder, HANDLE placed, const NameChar* to) {
    // A handle that may rename the file, reached through the one that holds it.
    HANDLE renamer = ReOpenFile(placed, DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (renamer == INVALID_HANDLE_VALUE) return false;
    const std::size_t bytes = std::wcslen(to) * sizeof(WCHAR);
    const std::size_t size = sizeof(RenameInfoEx) + bytes;
    auto* info = static_cast<RenameInfoEx*>(static_cast<void*>(Allocate<char>(size)));
    if (info == nullptr) {
        CloseHandle(renamer);
        return false;
    }
    std::memset(info, 0, size);
    info->flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
    info->rootDirectory = reinterpret_cast<HANDLE>(folder.handle());
    info->fileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->fileName, to, bytes);
    const BOOL renamed =
        SetFileInformationByHandle(renamer, kFileRenameInfoEx, info, static_cast<DWORD>(size));
    FreeBlock(info);
    CloseHandle(renamer);
    return renamed != FALSE;
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
                           bool* readOnly) {
    *readOnly = false;
    HANDLE again = CreateFileW(target, SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES |
                                           FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (again == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? Recheck::Busy : Recheck::Gone;
    BY_HANDLE_FILE_INFORMATION now{};
    Recheck outcome = Recheck::Ready;
    if (!GetFileInformationByHandle(again, &now) || !SameIdentity(now, decided))
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
// still hold the file decided on, unwritten, and nobody may be writing it.
Renamed RenameAfterRelease(const wchar_t* from, const wchar_t* to,
                           const BY_HANDLE_FILE_INFORMATION& decided) {
    for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
        if (attempt > 1) Sleep(kRenamePauseMs);
        bool readOnly = false;
        switch (OpenAgainAsDecided(to, decided, &readOnly)) {
        case Recheck::Ready: break;
        case Recheck::Busy: continue;
        case Recheck::Taken: return Renamed::Taken;
        case Recheck::Written: return Renamed::WriterCame;
        case Recheck::Gone: return Renamed::Failed;
        }
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return Renamed::Done;
        const DWORD error = GetLastError();
        if (readOnly) SetFileAttributesW(to, decided.dwFileAttributes);
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
            SetLastError(error);
            return Renamed::Failed;
        }
    }
    SetLastError(ERROR_SHARING_VIOLATION);
    return Renamed::Failed;
}

}  // namespace

Watch WatchWriters(HANDLE) { return Watch::NotWatched; }

bool WriterCame(HANDLE) { return false; }

void StopWatching(HANDLE) {}

Renamed RenameInFolder(const OperationFolder& folder, const NameChar* from, const NameChar* to,
                       HANDLE placed, ReplacedFile* replaced) {
    if (replaced != nullptr && RenameWithPosixSemantics(folder, placed, to)) return Renamed::Done;
    wchar_t* fromFull = Join(folder, from);
    wchar_t* toFull = Join(folder, to);
    Renamed renamed = Renamed::Failed;
    if (fromFull == nullptr || toFull == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else if (replaced == nullptr) {
        renamed = MoveFileExW(fromFull, toFull, MOVEFILE_WRITE_THROUGH) ? Renamed::Done
                                                                        : Renamed::Failed;
    } else {
        BY_HANDLE_FILE_INFORMATION decided{};
        if (GetFileInformationByHandle(replaced->held, &decided)) {
            // Held, nobody could write it since the operation decided on it: as it is now is
            // as it was decided on.
            replaced->release(replaced->context);
            renamed = RenameAfterRelease(fromFull, toFull, decided);
        }
    }
    FreeBlock(fromFull);
    FreeBlock(toFull);
    return renamed;
}

bool MakeDurable(HANDLE) { return true; }

}  // namespace nuvex::platform
