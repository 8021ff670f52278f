// The file layer on Linux; see posix_files.h.
#if !defined(_WIN32)

#include "files/posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace nuvex::files {

namespace {

// The access-control lists of a file are extended attributes of these names; they are given
// with the permission bits, after the rename, never with the rest.
constexpr char kAccessAcl[] = "system.posix_acl_access";
constexpr char kAclPrefix[] = "system.posix_acl_";

// Links followed in a row before giving up, as the system does.
constexpr int kMostLinks = 40;

bool IsCallerOrRoot(uid_t uid) { return uid == ::geteuid() || uid == 0; }

// The text of the link at `path`.
bool ReadLink(const std::string& path, std::string& target) {
    std::vector<char> text(256);
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < text.size()) {
            target.assign(text.data(), static_cast<std::size_t>(n));
            return true;
        }
        if (text.size() >= 65536) return false;
        text.resize(text.size() * 2);
    }
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The value of the extended attribute `name` of `fd`: -1 when it has none (or cannot be read).
ssize_t ReadAttribute(int fd, const char* name, std::vector<char>& value) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
        if (size < 0) return -1;
        value.resize(static_cast<std::size_t>(size) + 1);
        const ssize_t got = ::fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) return got;
        if (errno != ERANGE) return -1;  // it grew in between: ask again
    }
    return -1;
}

// The names of `fd`'s extended attributes, NUL-separated; empty when it has none.
std::vector<char> AttributeNames(int fd) {
    std::vector<char> names;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size <= 0) return {};
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return names;
        }
        if (errno != ERANGE) return {};
    }
    return {};
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

bool Fd::reset(int fd) {
    bool ok = true;
    if (fd_ >= 0) ok = ::close(fd_) == 0;
    fd_ = fd;
    return ok;
}

// ---- folders ------------------------------------------------------------------------------

bool SplitPath(const std::string& path, std::string& folder, std::string& leaf) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        leaf = path;
    } else {
        folder = slash == 0 ? std::string("/") : path.substr(0, slash);
        leaf = path.substr(slash + 1);
    }
    return !leaf.empty() && leaf != "." && leaf != "..";
}

Fd OpenFolder(const std::string& path) {
    return Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
}

bool SyncFolder(int folder) { return ::fsync(folder) == 0; }

bool NameHolds(int folder, const std::string& leaf, int file) {
    struct stat named;
    struct stat open;
    return ::fstatat(folder, leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(file, &open) == 0 && SameFile(named, open);
}

// ---- links ----------------------------------------------------------------------------------

LinkOutcome FollowOwnLinks(const std::string& given, std::string& path) {
    path = given;
    // As many links in a row as the system itself follows.
    for (int hop = 0; hop <= kMostLinks; ++hop) {
        struct stat named;
        if (::lstat(path.c_str(), &named) != 0) {
            // Nothing at the caller's own name is left to whoever opens it; nothing at the end of
            // a link would be made wherever the link points.
            return hop > 0 && errno == ENOENT ? LinkOutcome::LinkToNothing : LinkOutcome::Resolved;
        }
        if (!S_ISLNK(named.st_mode)) return LinkOutcome::Resolved;
        if (!IsCallerOrRoot(named.st_uid)) return LinkOutcome::LinkOfAnother;
        std::string target;
        if (!ReadLink(path, target) || target.empty()) return LinkOutcome::LinkToNothing;
        if (target[0] == '/') {
            path = target;
        } else {
            // A relative link is read from the folder that holds it.
            const std::string::size_type slash = path.rfind('/');
            path = slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
        }
    }
    errno = ELOOP;
    return LinkOutcome::TooManyLinks;
}

// ---- identity -----------------------------------------------------------------------------

bool GiveOwnership(int from, int to) {
    struct stat source;
    struct stat target;
    if (::fstat(from, &source) != 0 || ::fstat(to, &target) != 0) return false;
    bool ok = true;
    if (target.st_uid != source.st_uid || target.st_gid != source.st_gid) {
        // Only root may give a file away; anybody else keeps owning it and gives the group
        // where it is one of theirs.
        if (::geteuid() == 0)
            ok = ::fchown(to, source.st_uid, source.st_gid) == 0;
        else if (target.st_gid != source.st_gid)
            ok = ::fchown(to, static_cast<uid_t>(-1), source.st_gid) == 0;
    }
    const std::vector<char> names = AttributeNames(from);
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        if (std::strncmp(name, kAclPrefix, sizeof kAclPrefix - 1) == 0) continue;
        const ssize_t size = ReadAttribute(from, name, value);
        // Attributes of a namespace the caller may not write (security.*, trusted.* for
        // anybody but root) stay behind; the call reports it.
        if (size < 0 || ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0)
            ok = false;
    }
    return ok;
}

bool ReadAccessList(int fd, std::string& acl) {
    std::vector<char> value;
    const ssize_t size = ReadAttribute(fd, kAccessAcl, value);
    if (size < 0) return false;
    acl.assign(value.data(), static_cast<std::size_t>(size));
    return true;
}

bool GivePermissions(mode_t mode, gid_t group, const char* acl, std::size_t aclSize, int to,
                     bool ownerWrites) {
    struct stat target;
    if (::fstat(to, &target) != 0) return false;
    // The group first, where the caller may give it (and it was not given already).
    if (target.st_gid != group && ::fchown(to, static_cast<uid_t>(-1), group) == 0)
        target.st_gid = group;
    mode &= 0777;
    if (ownerWrites) mode |= S_IWUSR;
    const bool hasAcl = aclSize != std::string::npos;
    const bool sameGroup = target.st_gid == group;
    if (hasAcl && !sameGroup) {
        ::fchmod(to, mode & S_IRWXU);
        return false;
    }
    if (!sameGroup) mode &= ~static_cast<mode_t>(S_IRWXG);
    // The list first: setting it sets the permission bits it stands for, and the bits given
    // next agree with it (the group's bits are its mask).
    if (hasAcl && ::fsetxattr(to, kAccessAcl, acl, aclSize, 0) != 0) {
        ::fchmod(to, mode & S_IRWXU);
        return false;
    }
    return ::fchmod(to, mode) == 0;
}

bool GivePermissions(int from, int to, bool ownerWrites) {
    struct stat source;
    if (::fstat(from, &source) != 0) return false;
    std::string acl;
    const bool hasAcl = ReadAccessList(from, acl);
    return GivePermissions(source.st_mode, source.st_gid, acl.data(),
                           hasAcl ? acl.size() : std::string::npos, to, ownerWrites);
}

// ---- inputs the caller names ----------------------------------------------------------------

Fd OpenInput(const std::string& given, InputKind kind, InputRefusal& refusal) {
    refusal = InputRefusal::None;
    std::string path;
    switch (FollowOwnLinks(given, path)) {
    case LinkOutcome::Resolved: break;
    case LinkOutcome::LinkOfAnother:
        refusal = InputRefusal::LinkOfAnother;
        errno = EPERM;
        return Fd();
    case LinkOutcome::LinkToNothing:
        refusal = InputRefusal::LinkToNothing;
        errno = ENOENT;
        return Fd();
    case LinkOutcome::TooManyLinks:
        refusal = InputRefusal::CannotOpen;
        return Fd();
    }
    // The name the links led to is opened without following another link (one swapped in since
    // was not looked at) and without waiting for a FIFO's writer; the descriptor is made
    // blocking once it is known to be a regular file.
    Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
    if (!file && errno == ELOOP) {
        refusal = InputRefusal::LinkOfAnother;
        errno = EPERM;
        return Fd();
    }
    struct stat st;
    if (!file || ::fstat(file.get(), &st) != 0) {
        refusal = InputRefusal::CannotOpen;
        return Fd();
    }
    if (!S_ISREG(st.st_mode)) {
        refusal = InputRefusal::NotRegular;
        return Fd();
    }
    if (kind == InputKind::Secret) {
        if (!IsCallerOrRoot(st.st_uid)) {
            refusal = InputRefusal::NotOwned;
            return Fd();
        }
        if ((st.st_mode & (S_IRWXG | S_IRWXO) & ~static_cast<mode_t>(S_IXGRP | S_IXOTH)) != 0) {
            refusal = InputRefusal::OpenToOthers;
            return Fd();
        }
    }
    ::fcntl(file.get(), F_SETFL, 0);
    return file;
}

const char* DescribeRefusal(InputRefusal refusal) {
    switch (refusal) {
    case InputRefusal::None: return "can be read";
    case InputRefusal::CannotOpen: return "cannot be opened";
    case InputRefusal::LinkOfAnother: return "is a link that belongs to another user";
    case InputRefusal::LinkToNothing: return "is a link to a file that does not exist";
    case InputRefusal::NotRegular: return "is not a regular file";
    case InputRefusal::NotOwned: return "belongs to another user";
    case InputRefusal::OpenToOthers: return "can be read or written by other users (it must be mode 0600 or narrower)";
    }
    return "cannot be read";
}

ReadOutcome ReadWhole(int fd, std::size_t limit, std::string& bytes) {
    bytes.clear();
    struct stat st;
    if (::fstat(fd, &st) != 0) return ReadOutcome::ReadFailed;
    if (static_cast<unsigned long long>(st.st_size) > limit) return ReadOutcome::TooLarge;
    char block[65536];
    for (;;) {
        const std::size_t want = std::min<std::size_t>(sizeof block, limit + 1 - bytes.size());
        const ssize_t n = ::read(fd, block, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ReadOutcome::ReadFailed;
        if (n == 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {  // it grew while it was read
            bytes.clear();
            return ReadOutcome::TooLarge;
        }
    }
    // A stored file delivers exactly its size; a file the kernel makes up as it is read does not.
    if (bytes.size() != static_cast<std::size_t>(st.st_size)) {
        bytes.clear();
        return ReadOutcome::NotStored;
    }
    return ReadOutcome::Whole;
}

// ---- replacing a file with bytes ----------------------------------------------------------------

bool WriteAll(int fd, const void* bytes, std::size_t size) {
    const char* at = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, at + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// The target a replace works on: `given`, or the file the caller's own links lead to.
ReplaceOutcome ResolveTarget(const std::string& given, std::string& path) {
    switch (FollowOwnLinks(given, path)) {
    case LinkOutcome::Resolved: return ReplaceOutcome::Done;
    case LinkOutcome::LinkOfAnother: return ReplaceOutcome::LinkOfAnother;
    case LinkOutcome::LinkToNothing: return ReplaceOutcome::LinkToNothing;
    case LinkOutcome::TooManyLinks: break;
    }
    return ReplaceOutcome::NotRegular;
}

// Whether the file `st` describes, found at the resolved name, may be replaced.
ReplaceOutcome ExamineReplaced(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return ReplaceOutcome::LinkOfAnother;  // swapped in meanwhile
    if (!S_ISREG(st.st_mode)) return ReplaceOutcome::NotRegular;
    if (!IsCallerOrRoot(st.st_uid)) return ReplaceOutcome::OwnedByAnother;
    return ReplaceOutcome::Done;
}

}  // namespace

ReplaceOutcome CheckTarget(const std::string& given) {
    std::string path;
    if (const ReplaceOutcome link = ResolveTarget(given, path); link != ReplaceOutcome::Done) return link;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return ReplaceOutcome::Done;  // nothing there yet
    return ExamineReplaced(st);
}

ReplaceOutcome ReplaceWithBytes(const std::string& given, const void* bytes, std::size_t size,
                                const char* temporarySuffix, mode_t newMode) {
    std::string path;
    if (const ReplaceOutcome link = ResolveTarget(given, path); link != ReplaceOutcome::Done)
        return link;
    std::string folderPath;
    std::string leaf;
    if (!SplitPath(path, folderPath, leaf)) return ReplaceOutcome::NotRegular;
    Fd folder = OpenFolder(folderPath);
    if (!folder) return ReplaceOutcome::NoFolder;

    // The file replaced, looked at once by its name in the held folder and then only through
    // its descriptor. The open never follows a link (the name was resolved above) and never
    // waits; a file that cannot be opened for reading is still replaced, keeping its bits.
    struct stat old;
    const bool replacing = ::fstatat(folder.get(), leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    Fd oldFile;
    if (replacing) {
        if (const ReplaceOutcome refused = ExamineReplaced(old); refused != ReplaceOutcome::Done) return refused;
        oldFile = Fd(::openat(folder.get(), leaf.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened;
        if (oldFile && (::fstat(oldFile.get(), &opened) != 0 || !SameFile(opened, old)))
            oldFile.reset();
    }

    std::string temporary;
    Fd file;
    for (int n = 0; n < 16 && !file; ++n) {
        temporary = leaf + temporarySuffix + (n == 0 ? std::string() : "." + std::to_string(n));
        // Exclusive and without following a link: a name someone planted is skipped, never
        // written through. Owner-only from the creating call on, whatever the umask leaves.
        file = Fd(::openat(folder.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file && errno != EEXIST) return ReplaceOutcome::NoTemporary;
    }
    if (!file) return ReplaceOutcome::NoTemporary;
    // The temporary file goes; the reason the write failed stays in errno for the caller.
    auto discard = [&](ReplaceOutcome outcome) {
        const int error = errno;
        if (NameHolds(folder.get(), temporary, file.get()))
            ::unlinkat(folder.get(), temporary.c_str(), 0);
        errno = error;
        return outcome;
    };
    if (!WriteAll(file.get(), bytes, size) || ::fsync(file.get()) != 0)
        return discard(ReplaceOutcome::WriteFailed);
    if (oldFile) GiveOwnership(oldFile.get(), file.get());
    if (!NameHolds(folder.get(), temporary, file.get())) return ReplaceOutcome::RenameFailed;
    if (::renameat(folder.get(), temporary.c_str(), folder.get(), leaf.c_str()) != 0)
        return discard(ReplaceOutcome::RenameFailed);
    // In place under its final name: only now may it be as open as the file it replaced.
    if (oldFile) {
        GivePermissions(oldFile.get(), file.get());
    } else if (replacing) {
        // Its ownership could not be given (the old file could not be read): the group's bits
        // only where the group is the old one.
        struct stat now;
        mode_t mode = old.st_mode & 0777;
        if (::fstat(file.get(), &now) != 0 || now.st_gid != old.st_gid) mode &= ~static_cast<mode_t>(S_IRWXG);
        ::fchmod(file.get(), mode);
    } else if (newMode != 0) {
        ::fchmod(file.get(), newMode & 0777);
    }
    // The permissions given after the flush are metadata of the file, not of the folder.
    if ((replacing || newMode != 0) && ::fsync(file.get()) != 0) return ReplaceOutcome::NotDurable;
    if (!SyncFolder(folder.get())) return ReplaceOutcome::NotDurable;
    if (!NameHolds(folder.get(), leaf, file.get())) return ReplaceOutcome::RenameFailed;
    return ReplaceOutcome::Done;
}

// ---- appending ------------------------------------------------------------------------------

Fd OpenForAppend(int folder, const std::string& leaf, bool& created) {
    created = false;
    // Opened as it is, or made; one made by someone else between the two is opened as it is.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd file(::openat(folder, leaf.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!file && errno == ENOENT) {
            file = Fd(::openat(folder, leaf.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file) {
                created = true;
                return file;
            }
            if (errno == EEXIST) continue;
            return Fd();
        }
        struct stat st;
        if (!file || ::fstat(file.get(), &st) != 0) return Fd();
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return Fd();
        }
        if (!IsCallerOrRoot(st.st_uid)) {
            errno = EPERM;
            return Fd();
        }
        ::fcntl(file.get(), F_SETFL, O_APPEND);
        return file;
    }
    return Fd();
}

const char* DescribeReplace(ReplaceOutcome outcome) {
    switch (outcome) {
    case ReplaceOutcome::Done: return "was written";
    case ReplaceOutcome::NotRegular: return "is not a regular file";
    case ReplaceOutcome::LinkOfAnother: return "is a link that belongs to another user";
    case ReplaceOutcome::LinkToNothing: return "is a link to a file that does not exist";
    case ReplaceOutcome::OwnedByAnother: return "belongs to another user";
    case ReplaceOutcome::NoFolder: return "is in a folder that cannot be opened";
    case ReplaceOutcome::NoTemporary: return "cannot be written: no temporary file can be made beside it";
    case ReplaceOutcome::WriteFailed: return "cannot be written (nothing changed)";
    case ReplaceOutcome::RenameFailed: return "cannot be replaced (nothing changed)";
    case ReplaceOutcome::NotDurable: return "was written, but its folder could not be synced to the disk";
    }
    return "cannot be written";
}

}  // namespace nuvex::files

#endif
