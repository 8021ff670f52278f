// The files of one document operation (encrypt, decrypt, set or clear rights): the folder the
// caller named, held; the file it works on, held so that no other writer and no other such
// operation gets in until it is done; the temporary file beside the file it replaces; and the
// replace that ends it. What each step promises against other programs, other users, kills
// and power cuts is written once, in docs/reliability.md ("One file layer").
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/heap.h"
#include "frame/owners.h"
#include "platform/operation_folder.h"
#include "platform/platform.h"
#include "platform/replace_files.h"

namespace nuvex::document {

using platform::NameChar;
using platform::OperationFolder;

// The full form of `name` (`length` characters) in `folder`, through which the system reaches
// it, in a block of the library's heap; null when no memory is left.
HeapBlock<NameChar> NameIn(const OperationFolder& folder, const NameChar* name, std::size_t length);

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
    CannotOpen,   // it cannot be opened (missing, refused, a link where none is followed, or
                  // held by a writer of this platform); see GetLastError
    NotDiskFile,  // the name is a device, a pipe or something else that is not a disk file
    Busy,         // another operation holds it, or (host) another program has it open for
                  // writing
    NoMemory,     // the library's heap refused what the open needs
};

// How a held file is opened and watched.
struct HoldRules {
    DWORD access;
    DWORD share;
    bool followLink;    // a link at the name is followed (false: refused, CannotOpen)
    bool watchWriters;  // writers of other programs are watched for (platform::WatchWriters)
};

class HeldFile {
public:
    HeldFile() = default;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { Release(); }

    HANDLE handle() const { return file_.get(); }
    bool IsHeld() const { return static_cast<bool>(file_); }
    bool watched() const { return watched_; }
    // Unlocks and closes (nothing when not held).
    void Release();

private:
    friend Hold HoldFile(const NameChar* path, const HoldRules& rules, HeldFile& held);
    friend bool HoldAgain(HANDLE original, DWORD access, HeldFile& held);
    UniqueHandle file_;
    bool locked_ = false;
    bool watched_ = false;
};

// Opens `path` by the rules (existing files only) and locks it for one operation.
// Between the open and the lock another operation may have finished and replaced the file;
// then this handle holds a file that no longer bears the name, and the open is made again.
Hold HoldFile(const NameChar* path, const HoldRules& rules, HeldFile& held);
// The same for an 8-bit path as an export takes it, following a link at the name, not watched
// (the rights writers change a header in place through their handle). On the host, where a
// name and an 8-bit path are alike, overload resolution tells the two apart by their rules.
Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held);

// Holds the file open as `original` once more, with `access` besides reading and sharing
// everything (so that no one else's open is refused), through a second handle that ReOpenFile
// reaches through `original`, never by a name; locked for one operation like any held file.
// False when that cannot be done.
bool HoldAgain(HANDLE original, DWORD access, HeldFile& held);

// True when `path` names the file open as `file` (the same file, by identity; a link at the
// name is not followed).
bool NamesFile(const NameChar* path, HANDLE file);
// The attributes a new or replacing file takes over: everything the file system lets a
// caller set, without read-only; FILE_ATTRIBUTE_NORMAL when nothing is left.
DWORD CarriedAttributes(DWORD attributes);

// ---- temporary files -------------------------------------------------------------------------

// Temporary names "<name>.lumadtmp<n>", n = 1..499, in the target's folder.
constexpr int kFirstTempNumber = 1;
constexpr int kLastTempNumber = 499;
constexpr std::size_t kTempSuffixRoom = 30;  // room for ".lumadtmp" + the number + zero
// Limits a temporary name must keep, in characters as the file system counts them (not bytes:
// under a double-byte code page a character may take two): one name's length, and a whole
// path's (MAX_PATH with its zero) when the target itself keeps that.
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxPathLength = MAX_PATH - 1;

// Formats candidate `n` for the target named `leaf` (`leafLength` characters) in a folder
// whose path takes `folderCharacters` characters (its final separator included) into `name`
// (at least leafLength + kTempSuffixRoom characters): "<leaf>.lumadtmp<n>" when that keeps
// both limits; else the same with the leaf cut short enough (at a character boundary, down to
// nothing); else, where not even ".lumadtmp<n>" fits beside the folder (a folder that nearly
// fills MAX_PATH), the short name "~" and n in base 36, or the base-36 digits alone when only
// one character is left. False when candidate `n` has no name that keeps the limits.
bool FormatTempName(std::size_t folderCharacters, const NameChar* leaf, std::size_t leafLength,
                    int n, NameChar* name, std::size_t nameSize);

// A temporary file beside a target, in the operation's folder, deleted again unless kept.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { Discard(); }

    // Creates the first free candidate name (CREATE_NEW) for the target `leaf` in `folder`,
    // with `security` (the private file security: nobody else can open it from its first
    // moment). With `announce`, "en2" and each candidate's path go to the debugger output
    // first. False when no candidate could be created; `noMemory` tells whether the heap
    // refused.
    bool Create(const OperationFolder& folder, const NameChar* leaf, std::size_t leafLength,
                DWORD access, DWORD share, DWORD attributes, bool announce,
                SECURITY_ATTRIBUTES* security, bool& noMemory);
    HANDLE handle() const { return handle_.get(); }
    // Its name in the folder, and its full form.
    const NameChar* leaf() const { return leaf_.get(); }
    const NameChar* path() const { return path_.get(); }
    void Close() { handle_.reset(); }
    // True when, while still open, its name has come to hold another file or a link to one
    // (someone who may write the folder swapped it): that is not this operation's to move or
    // remove.
    bool NamedByAnother() const;
    // The file stays (it has become the target, or is left behind on purpose).
    void Keep() { kept_ = true; }
    // Closes and deletes the file now (nothing when kept or never created).
    void Discard();

private:
    UniqueHandle handle_;
    HeapBlock<NameChar> leaf_;
    HeapBlock<NameChar> path_;
    bool kept_ = false;
};

// Access a temporary file's creating handle asks for besides its data access, so that the
// identity of the file it replaces is given through that handle, never by its name.
// (Reading its attributes lets it be told apart from a file swapped in under its name.)
constexpr DWORD kTempIdentityAccess =
    READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// Access a held file needs besides its data, so that its identity and state can be read and
// (Windows, before a rename that lets go of it) its last write time marked.
constexpr DWORD kHeldIdentityAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// ---- the source as the operation saw it ----------------------------------------------------
// What an operation saw of the file it reads when it took hold of it: identity, size and last
// write time. Where writers of other programs cannot be watched (the host, for a file the
// caller may not take a lease on), comparing this before the replace notices most of their
// writes, so that a write nobody asked to lose is not replaced away. Metadata-only changes
// (access time, permissions, owner, links, extended attributes) are no writes and pass.
struct SeenFile {
    BY_HANDLE_FILE_INFORMATION information{};
};
// False when the state cannot be read.
bool See(HANDLE file, SeenFile& seen);
// True when the file open as `file` still has the content `seen` (false when it cannot be read).
bool StillAsSeen(HANDLE file, const SeenFile& seen);

// ---- the replace -------------------------------------------------------------------------
enum class Replace {
    Done,           // the target holds the new file
    Failed,         // the target was not replaced by the new file
    SourceChanged,  // the source was written by another program meanwhile; nothing changed
    Taken,          // another operation replaced the target while this one had let go of it
                    // for its rename (Windows); nothing changed by this one
};

// Puts the complete, flushed temporary file, still open as created, in the place of the file
// held as `held` under the name `target` of `folder`, after checking that `source` (the file
// the content was read from, `held` itself or another held file) is still as `seen` and no
// writer came to it or to `held`. `identity` is the file whose identity the new file takes:
// `held`, or for a decryption to another user's file, the document.
//
// Before the rename the new file takes only what grants nobody access (owner and group,
// extended attributes, Windows: the creation time): until then only its creator, or the owner
// it was given, can open it. It is then renamed over the target in one step, the target's
// read-only attribute not cleared beforehand (see platform::RenameInFolder), and once in place
// takes the identity's permissions (host: mode and access-control list; Windows: the
// access-control list) through its own handle; then the folder is synced. A kill between the
// rename and the permissions leaves the complete new file in place, narrower than the old one,
// never wider.
Replace ReplaceHeld(const OperationFolder& folder, const NameChar* target, HeldFile& held,
                    HANDLE identity, TempFile& temp, const HeldFile& source, const SeenFile& seen);

// Puts the complete, flushed temporary file in place of `target` (a name of `folder` that must
// not exist) with the permissions of `identity`, after the same checks for `source`: a new
// decryption target.
Replace PlaceNew(const OperationFolder& folder, const NameChar* target, HANDLE identity,
                 TempFile& temp, const HeldFile& source, const SeenFile& seen);

}  // namespace nuvex::document
