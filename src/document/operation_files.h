// The files of one document operation (encrypt, decrypt, set or clear rights): the file it
// works on, held so that no other writer and no other such operation gets in until it is
// done; the temporary file beside the file it replaces; and the replace that ends it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/heap.h"
#include "frame/owners.h"
#include "platform/platform.h"

namespace nuvex::document {

// ---- one operation per file -----------------------------------------------------------
// Every operation that decides on a file's content and then changes or replaces it holds the
// file from the decision to the end: it opens the file once, makes its test on that handle,
// and keeps the handle open, sharing no writing, with an exclusive lock of one byte far beyond
// any document (kOperationLockOffset) that every such operation takes on its handle. A second
// operation on the same file, from any thread or process, finds the lock taken and gives up
// at once; plain readers, which take no lock, are not disturbed.
constexpr uint64_t kOperationLockOffset = uint64_t{1} << 60;

enum class Hold {
    Held,         // the file is open and locked, and still bears the name
    CannotOpen,   // it cannot be opened (missing, refused, or held by a writer); see GetLastError
    NotDiskFile,  // the name is a device, a pipe or something else that is not a disk file
    Busy,         // another operation holds it
};

class HeldFile {
public:
    HeldFile() = default;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { Release(); }

    HANDLE handle() const { return file_.get(); }
    // Unlocks and closes (nothing when not held).
    void Release();

private:
    friend Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held);
    UniqueHandle file_;
    bool locked_ = false;
};

// Opens `path` with `access` and `share` (existing files only) and locks it for one operation.
// Between the open and the lock another operation may have finished and replaced the file;
// then this handle holds a file that no longer bears the name, and the open is made again.
Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held);

// True when `path` names the file open as `file` (the same file, by identity).
bool NamesFile(const char* path, HANDLE file);
// The attributes of an open file (FILE_ATTRIBUTE_NORMAL when they cannot be read).
DWORD AttributesOf(HANDLE file);
// The attributes a new or replacing file takes over: everything the file system lets a
// caller set, without read-only; FILE_ATTRIBUTE_NORMAL when nothing is left.
DWORD CarriedAttributes(DWORD attributes);

// ---- paths and temporary files -------------------------------------------------------------
// The full path of `path` as the file system resolves it (GetFullPathNameA: a relative path
// against the current directory), in a block of the library's heap. Temporary names are made
// and replaces are done on it, so that a bare name or a relative path means the same file in
// every call of an operation and the path limits are checked on what the system will see.
// Null when it cannot be resolved; `noMemory` then tells whether the heap refused.
HeapBlock<char> FullPathOf(const char* path, bool& noMemory);

// Temporary names "<target>.lumadtmp<n>", n = 1..499, in the target's directory.
constexpr int kFirstTempNumber = 1;
constexpr int kLastTempNumber = 499;
constexpr std::size_t kTempSuffixRoom = 30;  // room for ".lumadtmp" + the number + zero
// Limits a temporary name must keep, in characters as the file system counts them (not bytes:
// under a double-byte code page a character may take two): one name's length, and a whole
// path's (MAX_PATH with its zero) when the target itself keeps that.
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxPathLength = MAX_PATH - 1;

// Formats candidate `n` for the full path `target` into `name` (at least strlen(target) +
// kTempSuffixRoom bytes), always in the target's directory: "<target>.lumadtmp<n>" when that
// keeps both limits; else the same with the target's last name cut short enough (at a
// character boundary, down to nothing); else, where not even ".lumadtmp<n>" fits beside the
// directory (a folder that nearly fills MAX_PATH), the short name "~" and n in base 36, or the
// base-36 digits alone when only one character is left. False when candidate `n` has no name
// that keeps the limits.
bool FormatTempName(const char* target, int n, char* name, std::size_t nameSize);

// A temporary file beside a target, deleted again unless kept.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { Discard(); }

    // Creates the first free candidate name (CREATE_NEW) in `name`, a buffer of at least
    // strlen(target) + kTempSuffixRoom bytes that this object keeps using, with `security`
    // (the private file security: nobody else can open it from its first moment). With
    // `announce`, "en2" and each candidate name go to the debugger output first.
    bool Create(const char* target, char* name, std::size_t nameSize, DWORD access, DWORD share,
                DWORD attributes, bool announce, SECURITY_ATTRIBUTES* security);
    HANDLE handle() const { return handle_.get(); }
    const char* name() const { return name_; }
    void Close() { handle_.reset(); }
    // The file stays (it has become the target, or is left behind on purpose).
    void Keep() { name_ = nullptr; }
    // Closes and deletes the file now (nothing when kept or never created).
    void Discard();

private:
    UniqueHandle handle_;
    char* name_ = nullptr;
};

// Gives the closed file `name` the permissions of the file open as `from` (which needs
// READ_CONTROL). Opened by name for just this, so the handle that wrote the file needs no
// further access. When it fails the file keeps its own (owner-only) permissions.
void TakePermissions(HANDLE from, const char* name);

// Puts the complete, closed temporary file in the place of `target`, the file held as `held`
// whose attributes were `attributes`, keeping the target's identity (permissions, attributes,
// creation time) as ReplaceFileA does, except that it is never read-only afterwards. The
// permissions are given to the temporary file just before the replace, as not every
// ReplaceFileA carries them over (Wine's moves the replacement with its own). A
// read-only target loses the attribute for the replace and gets it back when it fails. When
// the replace leaves the target gone and the temporary file under its own name, the file is
// moved into place, or else kept: it is then the only copy of the content. False when the
// target is not replaced.
bool ReplaceHeld(const char* target, HANDLE held, DWORD attributes, TempFile& temp);

}  // namespace nuvex::document
