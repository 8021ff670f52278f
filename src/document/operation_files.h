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
    bool IsHeld() const { return static_cast<bool>(file_); }
    // Unlocks and closes (nothing when not held).
    void Release();

private:
    friend Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held);
    friend bool HoldAgain(HANDLE original, HeldFile& held);
    UniqueHandle file_;
    bool locked_ = false;
};

// Opens `path` with `access` and `share` (existing files only) and locks it for one operation.
// Between the open and the lock another operation may have finished and replaced the file;
// then this handle holds a file that no longer bears the name, and the open is made again.
Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held);

// Holds the file open as `original` once more, for reading and sharing everything (so that
// no one else's open is refused), through a second handle that ReOpenFile reaches through
// `original`, never by a name; locked for one operation like any held file. False when that
// cannot be done.
bool HoldAgain(HANDLE original, HeldFile& held);

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
    // True when, while still open, its name has come to hold another file or a link to one
    // (someone who may write the folder swapped it): that is not this operation's to move or
    // remove.
    bool NamedByAnother() const;
    // The file stays (it has become the target, or is left behind on purpose).
    void Keep() { name_ = nullptr; }
    // Closes and deletes the file now (nothing when kept or never created).
    void Discard();

private:
    UniqueHandle handle_;
    char* name_ = nullptr;
};

// Access a temporary file's creating handle asks for besides its data access, so that the
// identity of the file it replaces is given through that handle, never by its name.
// (Reading its attributes lets it be told apart from a file swapped in under its name.)
constexpr DWORD kTempIdentityAccess =
    READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// Access a held file needs besides its data, so that its identity and state can be read.
constexpr DWORD kHeldIdentityAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;

// ---- the source as the operation saw it ----------------------------------------------------
// What an operation saw of the file it reads when it took hold of it: identity, size, last
// write and (host: last status change) time. On the host another program's plain write gets
// past the share modes, which bind only this platform's handles; comparing this before the
// replace notices it, so that a write nobody asked to lose is never replaced away. On Windows
// the share modes keep writers out and the comparison always holds.
struct SeenFile {
    BY_HANDLE_FILE_INFORMATION information{};
};
// False when the state cannot be read.
bool See(HANDLE file, SeenFile& seen);
// True when the file open as `file` is still exactly as `seen` (false when it cannot be read).
bool StillAsSeen(HANDLE file, const SeenFile& seen);

// ---- the replace -------------------------------------------------------------------------
enum class Replace {
    Done,           // the target holds the new file
    Failed,         // the target was not replaced by the new file
    SourceChanged,  // the source was written by someone else meanwhile; nothing changed
    Taken,          // another operation replaced the target while this one had let go of it
                    // for its rename (Windows); nothing changed by this one
};

// Puts the complete, flushed temporary file, still open as created, in the place of `target`,
// the file held as `held` whose attributes were `attributes`, after checking that `source`
// (the file the content was read from, possibly `held` itself) is still as `seen`.
//
// The temporary file takes the target's identity through its own handle (permissions, owner
// where the caller may give it, creation time; its attributes it had from its creation),
// then it is renamed over the target in one step (PutInPlace, with
// MOVEFILE_REPLACE_EXISTING). A rename either happens whole or not
// at all, on every platform, so the target's name holds the old file or the complete new
// one whenever the process is stopped (ReplaceFileA is not used: some platforms make it
// several steps, with a moment when the name holds nothing). Nothing is opened or changed by
// the temporary file's name, so a name swapped for a link meanwhile redirects nothing.
//
// A read-only target loses the attribute for the rename and gets it back when it fails; the
// new file is never read-only.
Replace ReplaceHeld(const char* target, HeldFile& held, DWORD attributes, TempFile& temp,
                    HANDLE source, const SeenFile& seen);

// Closes the complete, flushed temporary file and renames it to `target` with
// MoveFileExA(`flags` | MOVEFILE_WRITE_THROUGH), unless its name no longer holds it, and
// checks that `target` then holds it (by the identity it had while open). `held` is the operation's own hold on an
// existing target (null for a new target): where the platform refuses to rename over an open
// file (Windows), that hold ends just before the rename. Done, or Failed: nothing moved (the
// temporary file is still there unless its name was taken by another file), or what the name
// held was moved in its place; or Taken: nothing moved, another operation replaced the target.
Replace PutInPlace(TempFile& temp, const char* target, DWORD flags, HeldFile* held);

}  // namespace nuvex::document
