// The folder of one file operation: the folder of the file a caller names, resolved once and
// held open until the operation ends, so that every file the operation opens, creates, renames
// or removes is reached inside that very folder. A name of the path swapped for a link or
// another folder after the resolve redirects nothing.
//
// Names inside the folder are reached through prefix(): on the host the folder's descriptor
// as a path ("/proc/self/fd/<n>/", which the kernel resolves to the open folder itself, not
// to any name); on Windows the folder's full path in UTF-16, held open without delete sharing
// so that it can be neither renamed nor removed while the operation runs. Windows names are
// UTF-16 throughout: an 8-bit path is converted once, exactly, and never passes through the
// ANSI code page's best-fit again (GetFullPathNameA would best-fit the current folder).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace nuvex::platform {

#if defined(_WIN32)
using NameChar = wchar_t;
#else
using NameChar = char;
#endif

// Whether Open resolves a link at the path's last name itself (host: a link of the caller's own
// or root's is followed to the file it names, in that file's folder; another user's is refused),
// so that the file is then opened without following anything. Windows opens as CreateFileW
// follows.
#if defined(_WIN32)
constexpr bool kFolderResolvesLinks = false;
#else
constexpr bool kFolderResolvesLinks = true;
#endif

class OperationFolder {
public:
    enum class Opened {
        Yes,
        NoMemory,
        NotAName,   // the path names no file: empty, ends in a separator, "." or ".."
        NoFolder,   // the folder cannot be opened (GetLastError tells why)
    };

    OperationFolder() = default;
    OperationFolder(const OperationFolder&) = delete;
    OperationFolder& operator=(const OperationFolder&) = delete;
    ~OperationFolder();

    // Resolves the 8-bit `path` (as an export takes it; a relative one against the current
    // folder) and holds its folder; leaf() is then its last name (see kFolderResolvesLinks).
    Opened Open(const char* path);
    // Holds `folder`, a folder the caller holds open (Windows: a directory HANDLE; host: a
    // descriptor), for the single name `leaf` (no separator, not "." or "..").
    Opened OpenIn(intptr_t folder, const char* leaf);

    // What names in the folder are reached through; ends in a separator.
    const NameChar* prefix() const { return prefix_; }
    std::size_t prefixLength() const { return prefixLength_; }
    const NameChar* leaf() const { return leaf_; }
    std::size_t leafLength() const { return leafLength_; }
    // The folder's path as people and the path limits see it, with its final separator: its
    // length in characters as the file system counts them, and the 8-bit text for messages.
    std::size_t folderCharacters() const { return folderCharacters_; }
    const char* shownFolder() const { return shown_; }
    // The held folder: a descriptor (host) or a HANDLE (Windows).
    intptr_t handle() const { return folder_; }

    // Makes the folder's names durable (the host: fsync of the folder). Windows makes a rename
    // durable with MOVEFILE_WRITE_THROUGH and has nothing more to do here.
    bool Sync() const;

    // Writes the path of `name` in this folder, as a person reads it, to the debugger output
    // (8-bit: on Windows a character the ANSI code page lacks is shown best-fit; only shown).
    void Announce(const NameChar* name) const;

private:
    void Release();
    intptr_t folder_ = -1;  // the held folder: a descriptor (host) or a HANDLE (Windows)
    NameChar* prefix_ = nullptr;
    std::size_t prefixLength_ = 0;
    NameChar* leaf_ = nullptr;
    std::size_t leafLength_ = 0;
    std::size_t folderCharacters_ = 0;
    char* shown_ = nullptr;
};

// The calls the document operations make on names inside an operation folder, by the name's
// full form (prefix() and the name): the 8-bit calls on the host, the UTF-16 ones on Windows.
#if defined(_WIN32)
inline HANDLE CreateFileN(const NameChar* name, DWORD access, DWORD share,
                          SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags) {
    return CreateFileW(name, access, share, security, disposition, flags, nullptr);
}
inline BOOL MoveFileN(const NameChar* from, const NameChar* to, DWORD flags) {
    return MoveFileExW(from, to, flags);
}
inline BOOL DeleteFileN(const NameChar* name) { return DeleteFileW(name); }
inline BOOL SetFileAttributesN(const NameChar* name, DWORD attributes) {
    return SetFileAttributesW(name, attributes);
}
#else
inline HANDLE CreateFileN(const NameChar* name, DWORD access, DWORD share,
                          SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags) {
    return CreateFileA(name, access, share, security, disposition, flags, nullptr);
}
inline BOOL MoveFileN(const NameChar* from, const NameChar* to, DWORD flags) {
    return MoveFileExA(from, to, flags);
}
inline BOOL DeleteFileN(const NameChar* name) { return DeleteFileA(name); }
inline BOOL SetFileAttributesN(const NameChar* name, DWORD attributes) {
    return SetFileAttributesA(name, attributes);
}
#endif

}  // namespace nuvex::platform
