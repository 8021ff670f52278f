// The folder of one file operation on Windows: the folder's full path in UTF-16, and a handle
// of it held without delete sharing, so that neither it nor (on NTFS, which refuses to rename
// a folder with open files below it) a folder above it can be renamed while the operation
// runs. The 8-bit path an export takes is converted to UTF-16 once, exactly (MultiByteToWideChar
// from the ANSI code page), and resolved with GetFullPathNameW: GetFullPathNameA would give
// the current folder best-fit to the ANSI code page ("dirā" as "dira"), naming another folder.
#include "platform/operation_folder.h"

#include <cstring>
#include <cwchar>
#include "platform/win32/process_heap.h"

namespace nuvex::platform {
namespace {

wchar_t* WideCopy(const wchar_t* text, std::size_t length) {
    wchar_t* copy = Allocate<wchar_t>(length + 1);
    if (copy != nullptr) {
        std::wmemcpy(copy, text, length);
        copy[length] = L'\0';
    }
    return copy;
}

// The 8-bit form of a UTF-16 text, for messages only.
char* Narrow(const wchar_t* text, std::size_t length) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    char* narrow = Allocate<char>(static_cast<std::size_t>(bytes > 0 ? bytes : 0) + 1);
    if (narrow == nullptr) return nullptr;
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow, bytes, nullptr,
                            nullptr);
    narrow[bytes > 0 ? bytes : 0] = '\0';
    return narrow;
}

// The UTF-16 form of an 8-bit text of the ANSI code page, exactly; null when it has no valid
// form or no memory is left.
wchar_t* Wide(const char* text) {
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    wchar_t* wide = Allocate<wchar_t>(static_cast<std::size_t>(units));
    if (wide == nullptr) return nullptr;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, units) != units) {
        FreeBlock(wide);
        return nullptr;
    }
    return wide;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Opens the folder for the operation: without delete sharing where nobody else holds it for
// deleting, else (another program has it open so) sharing that too.
HANDLE HoldFolder(const wchar_t* folder) {
    const DWORD access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE held = CreateFileW(folder, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        held = CreateFileW(folder, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return held;
}

bool IsFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

OperationFolder::~OperationFolder() { Release(); }

void OperationFolder::Release() {
    if (folder_ != -1) CloseHandle(reinterpret_cast<HANDLE>(folder_));
    folder_ = -1;
    FreeBlock(prefix_);
    FreeBlock(leaf_);
    FreeBlock(shown_);
    prefix_ = leaf_ = nullptr;
    shown_ = nullptr;
    prefixLength_ = leafLength_ = folderCharacters_ = 0;
}

namespace {

// Takes the folder `full` (its path without a final separator, unless it is a root such as
// "C:\") and `leaf` into the given fields, holding the folder open.
OperationFolder::Opened Take(const wchar_t* full, std::size_t folderLength, const wchar_t* leaf,
                             std::size_t leafLength, intptr_t& folder, wchar_t*& prefix,
                             std::size_t& prefixLength, wchar_t*& leafCopy,
                             std::size_t& leafCopyLength, char*& shown, std::size_t& characters) {
    const bool separated = folderLength > 0 && IsSeparator(full[folderLength - 1]);
    prefixLength = folderLength + (separated ? 0 : 1);
    prefix = Allocate<wchar_t>(prefixLength + 1);
    leafCopy = WideCopy(leaf, leafLength);
    if (prefix == nullptr || leafCopy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OperationFolder::Opened::NoMemory;
    }
    std::wmemcpy(prefix, full, folderLength);
    if (!separated) prefix[folderLength] = L'\\';
    prefix[prefixLength] = L'\0';
    leafCopyLength = leafLength;
    shown = Narrow(prefix, prefixLength);
    if (shown == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OperationFolder::Opened::NoMemory;
    }
    characters = prefixLength;
    HANDLE held = HoldFolder(prefix);
    if (held == INVALID_HANDLE_VALUE) return OperationFolder::Opened::NoFolder;
    folder = reinterpret_cast<intptr_t>(held);
    if (!IsFolder(held)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return OperationFolder::Opened::NoFolder;
    }
    return OperationFolder::Opened::Yes;
}

}  // namespace

OperationFolder::Opened OperationFolder::Open(const char* path) {
    Release();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Opened::NotAName;
    }
    wchar_t* wide = Wide(path);
    if (wide == nullptr) {
        if (GetLastError() != ERROR_NOT_ENOUGH_MEMORY) SetLastError(ERROR_INVALID_NAME);
        return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? Opened::NoMemory : Opened::NotAName;
    }
    Opened opened = Opened::NotAName;
    const DWORD needed = GetFullPathNameW(wide, 0, nullptr, nullptr);
    wchar_t* full = needed != 0 ? Allocate<wchar_t>(needed) : nullptr;
    if (needed != 0 && full == nullptr) {
        opened = Opened::NoMemory;
    } else if (full != nullptr) {
        const DWORD length = GetFullPathNameW(wide, needed, full, nullptr);
        std::size_t cut = length;
        while (cut > 0 && !IsSeparator(full[cut - 1])) --cut;
        const wchar_t* leaf = full + cut;
        const std::size_t leafLength = length - cut;
        const bool isName = length != 0 && length < needed && cut > 0 && leafLength > 0 &&
                            std::wcscmp(leaf, L".") != 0 && std::wcscmp(leaf, L"..") != 0;
        if (isName) {
            // The folder keeps its final separator only where it is a root ("C:\", "\\?\C:\").
            std::size_t folderLength = cut - 1;
            if (folderLength == 0 || full[folderLength - 1] == L':') folderLength = cut;
            opened = Take(full, folderLength, leaf, leafLength, folder_, prefix_, prefixLength_,
                          leaf_, leafLength_, shown_, folderCharacters_);
        } else {
            SetLastError(ERROR_PATH_NOT_FOUND);
        }
    }
    FreeBlock(full);
    FreeBlock(wide);
    return opened;
}

OperationFolder::Opened OperationFolder::OpenIn(intptr_t callerFolder, const char* leaf) {
    Release();
    if (leaf == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Opened::NotAName;
    }
    wchar_t* wideLeaf = Wide(leaf);
    if (wideLeaf == nullptr) {
        if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return Opened::NoMemory;
        SetLastError(ERROR_INVALID_NAME);
        return Opened::NotAName;
    }
    const std::size_t leafLength = std::wcslen(wideLeaf);
    bool single = leafLength > 0 && std::wcscmp(wideLeaf, L".") != 0 &&
                  std::wcscmp(wideLeaf, L"..") != 0;
    for (std::size_t i = 0; single && i < leafLength; ++i)
        if (IsSeparator(wideLeaf[i]) || wideLeaf[i] == L':') single = false;
    if (!single) {
        FreeBlock(wideLeaf);
        SetLastError(ERROR_INVALID_NAME);
        return Opened::NotAName;
    }
    // The folder's own path, as the system has it for the caller's handle.
    const HANDLE given = reinterpret_cast<HANDLE>(callerFolder);
    Opened opened = Opened::NoFolder;
    const DWORD needed = GetFinalPathNameByHandleW(given, nullptr, 0, FILE_NAME_NORMALIZED);
    wchar_t* full = needed != 0 ? Allocate<wchar_t>(needed + 1) : nullptr;
    if (needed != 0 && full == nullptr) {
        opened = Opened::NoMemory;
    } else if (full != nullptr) {
        const DWORD length = GetFinalPathNameByHandleW(given, full, needed + 1, FILE_NAME_NORMALIZED);
        if (length != 0 && length <= needed) {
            // "\\?\C:\dir" is "C:\dir"; "\\?\UNC\server\share" is "\\server\share".
            const wchar_t* path = full;
            std::size_t pathLength = length;
            if (std::wcsncmp(full, L"\\\\?\\UNC\\", 8) == 0) {
                full[6] = L'\\';
                path = full + 6;
                pathLength -= 6;
            } else if (std::wcsncmp(full, L"\\\\?\\", 4) == 0) {
                path = full + 4;
                pathLength -= 4;
            }
            opened = Take(path, pathLength, wideLeaf, leafLength, folder_, prefix_,
                          prefixLength_, leaf_, leafLength_, shown_, folderCharacters_);
            // The folder reached by that path must be the caller's.
            BY_HANDLE_FILE_INFORMATION mine{};
            BY_HANDLE_FILE_INFORMATION theirs{};
            if (opened == Opened::Yes &&
                (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(folder_), &mine) ||
                 !GetFileInformationByHandle(given, &theirs) ||
                 mine.dwVolumeSerialNumber != theirs.dwVolumeSerialNumber ||
                 mine.nFileIndexHigh != theirs.nFileIndexHigh ||
                 mine.nFileIndexLow != theirs.nFileIndexLow)) {
                SetLastError(ERROR_PATH_NOT_FOUND);
                opened = Opened::NoFolder;
            }
        }
    }
    FreeBlock(full);
    FreeBlock(wideLeaf);
    return opened;
}

bool OperationFolder::Sync() const { return folder_ != -1; }

void OperationFolder::Announce(const NameChar* name) const {
    const std::size_t length = std::wcslen(name);
    char* narrow = Narrow(name, length);
    if (narrow == nullptr) return;
    const std::size_t folderBytes = std::strlen(shown_ != nullptr ? shown_ : "");
    const std::size_t nameBytes = std::strlen(narrow);
    char* whole = Allocate<char>(folderBytes + nameBytes + 1);
    if (whole != nullptr) {
        std::memcpy(whole, shown_ != nullptr ? shown_ : "", folderBytes);
        std::memcpy(whole + folderBytes, narrow, nameBytes + 1);
        OutputDebugStringA(whole);
    }
    FreeBlock(whole);
    FreeBlock(narrow);
}

}  // namespace nuvex::platform
