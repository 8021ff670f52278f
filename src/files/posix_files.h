// The file layer on Linux: the few steps every file the library's host platform and the tool
// create, replace and read go through, so that each promise about them is kept in one place
// (docs/reliability.md, "One file layer").
//
// Everything here works on descriptors and on names inside a folder held open as a
// descriptor: a name is resolved once, where the caller names it, and never again, so a
// folder or file swapped for a link afterwards redirects nothing.
#pragma once

#if !defined(_WIN32)

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace nuvex::files {

// A descriptor owned by one object, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor; false when the close reported an error (a write that failed late).
    bool reset(int fd = -1);

private:
    int fd_ = -1;
};

// ---- folders ------------------------------------------------------------------------------

// Splits `path` into its folder ("." for a bare name, "/" at the root) and its last name.
// False for a path whose last name is empty, "." or "..".
bool SplitPath(const std::string& path, std::string& folder, std::string& leaf);

// Opens the folder `path` for names inside it (O_DIRECTORY, readable so that it can be
// synced). The caller's own path: links on the way are followed as the caller wrote them.
Fd OpenFolder(const std::string& path);

// Makes the names of the folder open as `folder` durable (fsync of the folder): a create,
// rename or removal in it survives a power cut once this returns true.
bool SyncFolder(int folder);

// Whether a regular file opened at `leaf` in `folder` is still the file that name holds
// (same device and inode; a link at the name is not followed).
bool NameHolds(int folder, const std::string& leaf, int file);

// ---- links ----------------------------------------------------------------------------------

enum class LinkOutcome {
    Resolved,       // `path` names what is no link (or nothing)
    LinkOfAnother,  // a link on the way belongs to neither the caller nor root
    LinkToNothing,  // the last link names nothing
    TooManyLinks,   // more links in a row than the system follows
};

// Follows the links at the last name of `given`, one at a time, into `path`: every one of them
// must be the caller's own or root's, so that a link another user planted (in a shared folder,
// say) never steers the caller to a file of its choosing, whatever fs.protected_symlinks says.
// The folders on the way are left to the system, as the caller wrote them.
LinkOutcome FollowOwnLinks(const std::string& given, std::string& path);

// ---- identity -----------------------------------------------------------------------------
// A replaced file's identity is given to the file that replaces it in two steps, both through
// the new file's descriptor. Before its rename, only what grants nobody any access: the owner
// and group (root; anybody else gives the group where permitted) and the extended attributes
// other than access-control lists. After its rename, when it can no longer be left behind
// under a temporary name: the permission bits and the access-control list. A file that only
// its creator can open (0600) stays so until it holds its final name.

// Owner, group and extended attributes (access-control lists excepted) of `from` to `to`.
// False when something could not be given; what was given stays.
bool GiveOwnership(int from, int to);
// Permission bits and the POSIX access-control list of `from` to `to`; with `ownerWrites`, the
// owner's write bit besides (a read-only file is replaced by a writable one). Where `to` does
// not have `from`'s group, or an access-control list cannot be given, only the owner's bits
// are given: a list that shuts a user out must not turn into the wider "others" bits. False
// when something could not be given (`to` is then never wider than `from`).
bool GivePermissions(int from, int to, bool ownerWrites = false);
// The same from what was read of the replaced file beforehand: its permission bits, group, and
// access-control list (`aclSize` std::string::npos when it has none).
bool GivePermissions(mode_t mode, gid_t group, const char* acl, std::size_t aclSize, int to,
                     bool ownerWrites);
// The access-control list attribute of `fd`; false when it has none.
bool ReadAccessList(int fd, std::string& acl);

// ---- inputs the caller names ----------------------------------------------------------------

// What an input must be besides a regular disk file.
enum class InputKind {
    Plain,   // any regular file the caller may read
    Secret,  // a key or password: owned by the caller or root, readable by nobody else
};

enum class InputRefusal {
    None,
    CannotOpen,       // missing or not permitted (errno tells which)
    LinkOfAnother,    // the name is a link that neither the caller nor root owns
    LinkToNothing,    // the name is a link to nothing
    NotRegular,       // a folder, device, FIFO, socket
    NotOwned,         // a secret owned by someone other than the caller or root
    OpenToOthers,     // a secret that group or others may read or write
};

// Opens the caller-named input `path` for reading. Links at its last name are followed only
// while they are the caller's own (or root's) (FollowOwnLinks); a link another user planted is
// refused, so the file it names is never read (or, for a secret, taken as the caller's).
// Opening never waits (a FIFO is refused, not waited on); everything is checked on the
// opened descriptor, which is returned blocking. `refusal` tells why when it fails.
Fd OpenInput(const std::string& path, InputKind kind, InputRefusal& refusal);

// A sentence for a refusal, for messages: "is a link that belongs to another user".
const char* DescribeRefusal(InputRefusal refusal);

// Reads the whole input open as `fd` (as OpenInput gives it) into `bytes`, at most `limit`
// bytes. False when it holds more, cannot be read, or does not deliver exactly its stated
// size (a file the kernel makes up as it is read, in /proc or /sys, is no stored file).
enum class ReadOutcome { Whole, TooLarge, ReadFailed, NotStored };
ReadOutcome ReadWhole(int fd, std::size_t limit, std::string& bytes);

// ---- replacing a file with bytes ----------------------------------------------------------------

enum class ReplaceOutcome {
    Done,
    NotRegular,      // the name holds something other than a regular file (or a link to one)
    LinkOfAnother,   // the name is a link that neither the caller nor root owns
    LinkToNothing,   // the name is a link to nothing (the file would be made wherever it points)
    OwnedByAnother,  // the file at the name belongs to another user (not the caller, not root)
    NoFolder,        // the folder cannot be opened
    NoTemporary,     // no temporary file could be made beside the target
    WriteFailed,     // writing or flushing the new file failed; nothing changed
    RenameFailed,    // it could not be put in place; nothing changed
    NotDurable,      // in place, but the folder could not be synced
};

// Writes `size` bytes as the file `path`, whole or not at all, and durably: into a new file
// beside it, created exclusively and for its owner only (never through a name or a link that
// is there already), flushed, given the replaced file's ownership, renamed over the target,
// then given the replaced file's permissions (a new file keeps 0600, or `newMode` when not 0),
// and the folder synced. A link at `path` that is the caller's own is followed (the file it
// names is replaced, the link stays); one of another user's is refused. `temporarySuffix`
// names the temporary file: "<leaf><suffix>" and then "<leaf><suffix>.<n>".
ReplaceOutcome ReplaceWithBytes(const std::string& path, const void* bytes, std::size_t size,
                                const char* temporarySuffix, mode_t newMode = 0);

// What ReplaceWithBytes would refuse at `path` before writing anything: Done when nothing is
// there, or a regular file of the caller's or root's reached through no link but the caller's
// (or root's) own; otherwise the reason (NotRegular, LinkOfAnother, LinkToNothing,
// OwnedByAnother). For a look before work that must not start when the write cannot be made;
// the replace itself checks again.
ReplaceOutcome CheckTarget(const std::string& path);

// ---- appending ------------------------------------------------------------------------------

// Opens `leaf` in `folder` for appending: an existing regular file of the caller's (or root's),
// never through a link, or else a new one made exclusively for its owner (0600). `created`
// tells which: the folder must then be synced before the new name is durable. Fails (EPERM
// for a file of another user, EINVAL for anything but a regular file) without creating
// anything else.
Fd OpenForAppend(int folder, const std::string& leaf, bool& created);

const char* DescribeReplace(ReplaceOutcome outcome);

// Writes all of `size` bytes at the descriptor's position, going on after short writes.
bool WriteAll(int fd, const void* bytes, std::size_t size);

}  // namespace nuvex::files

#endif
