// The host's part of a document operation's replace: read leases that tell of other programs'
// writers, and the rename (an exchange where the file is watched) inside the operation's folder.
#include "platform/replace_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "files/posix_files.h"
#include "platform/host/host_internal.h"
#include "platform/host/share_access.h"

namespace nuvex::platform {
namespace {

// The signal a lease break is announced with: one whose default is to be ignored, so that a
// library that takes a lease never ends its host by the break's signal.
constexpr int kLeaseSignal = SIGURG;

int Descriptor(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }

bool LeaseSignalIgnored() {
    struct sigaction action;
    if (::sigaction(kLeaseSignal, nullptr, &action) != 0) return false;
    return (action.sa_flags & SA_SIGINFO) == 0 &&
           (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN);
}

int Folder(const OperationFolder& folder) { return static_cast<int>(folder.handle()); }

bool SameFile(int folder, const char* name, int file) {
    struct stat named;
    struct stat open;
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(file, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace

Watch WatchWriters(HANDLE file) {
    const int fd = Descriptor(file);
    if (!LeaseSignalIgnored()) return Watch::NotWatched;
    if (::fcntl(fd, F_SETSIG, kLeaseSignal) != 0) return Watch::NotWatched;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Watch::Watching;
    // A read lease is refused while anybody has the file open for writing (our own handles
    // that write never share with an operation's hold, so that is another program).
    return errno == EAGAIN ? Watch::OpenForWriting : Watch::NotWatched;
}

bool WriterCame(HANDLE file) {
    // A lease being broken reads as the type it is broken to (none); one ended by the
    // kernel's break timeout reads as none as well.
    return ::fcntl(Descriptor(file), F_GETLEASE) != F_RDLCK;
}

Writer WriterOf(HANDLE file) {
    if (!WriterCame(file)) return Writer::None;
    // The lease is given up and taken again. That works only while nobody has the file open
    // for writing: an open that waits for the lease holds its write access already, while one
    // turned away at once (a non-blocking open, as `touch` makes) holds nothing any more.
    const int fd = Descriptor(file);
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? Writer::Went : Writer::Stays;
}

void StopWatching(HANDLE file) { ::fcntl(Descriptor(file), F_SETLEASE, F_UNLCK); }

namespace {

// Size and last write time of the file open as `fd`, to tell a write that came and went while
// its lease was given up and taken again.
bool SameContent(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether a writer came to the replaced file since `before` was seen of it.
bool Written(const ReplacedFile& replaced, const struct stat& before) {
    if (!replaced.watched) return false;
    switch (WriterOf(replaced.held)) {
    case Writer::None: return false;
    case Writer::Stays: return true;
    case Writer::Went: break;
    }
    struct stat now;
    return ::fstat(Descriptor(replaced.held), &now) != 0 || !SameContent(now, before);
}

}  // namespace

Renamed RenameInFolder(const OperationFolder& folder, const NameChar* from, const NameChar* to,
                       HANDLE placed, ReplacedFile* replaced) {
    const int dir = Folder(folder);
    const int newFile = Descriptor(placed);
    if (host::FileOpFails(host::FileOp::Move)) {
        host::SetError(ERROR_ACCESS_DENIED);
        return Renamed::Failed;
    }
    if (replaced == nullptr) {
        // A new name: never over a file that appeared meanwhile.
        int renamed = ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
            struct stat there;
            if (::fstatat(dir, to, &there, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
            else renamed = ::renameat(dir, from, dir, to);
        }
        if (renamed != 0) {
            host::SetError(errno == EEXIST ? ERROR_ALREADY_EXISTS : host::ErrorFromErrno(errno));
            return Renamed::Failed;
        }
        folder.Sync();
        return Renamed::Done;
    }
    const int old = Descriptor(replaced->held);
    // As on Windows, a handle of this platform that does not share deleting keeps the file in
    // its place.
    host::ShareAccess deleting;
    deleting.del = true;
    if (!host::ShareAllows(old, deleting)) {
        host::SetError(ERROR_SHARING_VIOLATION);
        return Renamed::Failed;
    }
    struct stat before;
    if (::fstat(old, &before) != 0) {
        host::SetError(host::ErrorFromErrno(errno));
        return Renamed::Failed;
    }
    // An exchange, not a rename over the name: the name's file is known afterwards (the held
    // one, or else someone replaced it meanwhile, say an editor saving by a rename of its own,
    // whose file must not be removed), and it can be given back.
    if (::renameat2(dir, from, dir, to, RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            host::SetError(host::ErrorFromErrno(errno));
            return Renamed::Failed;
        }
        // No exchange on this file system: one rename, the name's file checked just before.
        if (!SameFile(dir, to, old) || Written(*replaced, before)) {
            host::SetError(ERROR_SHARING_VIOLATION);
            return SameFile(dir, to, old) ? Renamed::WriterCame : Renamed::Taken;
        }
        if (::renameat(dir, from, dir, to) != 0) {
            host::SetError(host::ErrorFromErrno(errno));
            return Renamed::Failed;
        }
        folder.Sync();
        return Renamed::Done;
    }
    auto giveBack = [&](Renamed outcome) {
        ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
        folder.Sync();
        host::SetError(ERROR_SHARING_VIOLATION);
        return outcome;
    };
    // A writer whose open began before the exchange waits on the old file's lease: it gets the
    // old file back under its name, and this replace did not happen. So does a name that held
    // another file by then, or whose new file was swapped away in the moment before.
    if (!SameFile(dir, to, newFile)) return giveBack(Renamed::Failed);
    if (!SameFile(dir, from, old)) return giveBack(Renamed::Taken);
    if (Written(*replaced, before)) return giveBack(Renamed::WriterCame);
    // The new name on the disk before the old file goes; a last look for a writer that came
    // meanwhile (the old file is still there to be given back), then the old file removed. A
    // writer can still come between that look and the end of the hold, moments later, through
    // a descriptor of the old file it holds already (reopened for writing); none by its name.
    folder.Sync();
    if (Written(*replaced, before)) return giveBack(Renamed::WriterCame);
    if (SameFile(dir, from, old)) ::unlinkat(dir, from, 0);
    return Renamed::Done;
}

}  // namespace nuvex::platform
