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

void StopWatching(HANDLE file) { ::fcntl(Descriptor(file), F_SETLEASE, F_UNLCK); }

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
        if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return Renamed::Done;
        if (errno != EINVAL && errno != ENOSYS) {
            host::SetError(errno == EEXIST ? ERROR_ALREADY_EXISTS : host::ErrorFromErrno(errno));
            return Renamed::Failed;
        }
        struct stat there;
        if (::fstatat(dir, to, &there, AT_SYMLINK_NOFOLLOW) == 0) {
            host::SetError(ERROR_ALREADY_EXISTS);
            return Renamed::Failed;
        }
        if (::renameat(dir, from, dir, to) == 0) return Renamed::Done;
        host::SetError(host::ErrorFromErrno(errno));
        return Renamed::Failed;
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
    if (replaced->watched) {
        if (::renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0) {
            // A writer whose open began before the exchange waits on the old file's lease: it
            // gets the old file back under its name, and this replace did not happen. So does
            // a swap of the name in the moment before the exchange.
            const bool writer = WriterCame(replaced->held);
            if (writer || !SameFile(dir, to, newFile)) {
                ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
                host::SetError(ERROR_SHARING_VIOLATION);
                return writer ? Renamed::WriterCame : Renamed::Failed;
            }
            if (SameFile(dir, from, old)) ::unlinkat(dir, from, 0);
            return Renamed::Done;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            host::SetError(host::ErrorFromErrno(errno));
            return Renamed::Failed;
        }
    }
    if (::renameat(dir, from, dir, to) == 0) return Renamed::Done;
    host::SetError(host::ErrorFromErrno(errno));
    return Renamed::Failed;
}


}  // namespace nuvex::platform
