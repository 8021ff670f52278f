// Calls that work on file names: attributes, delete, move (rename) and copy; and ReOpenFile,
// which reaches a file through a handle instead of its name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/host/host_internal.h"
#include "platform/host/share_access.h"

namespace nuvex::host {
namespace {

// Whether some open handle of the file refuses to share `access`, or (where `share` leaves a
// flag out) holds that access (ERROR_SHARING_VIOLATION).
bool SharingForbids(const std::string& path, ShareAccess access,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;  // unreadable or not a file: no handle of ours can hold it
    bool forbidden = !ShareAllows(fd, access, share);
    ::close(fd);
    return forbidden;
}

ShareAccess DeleteAccess() {
    ShareAccess access;
    access.del = true;
    return access;
}

// Windows' checks before a file name may be removed or replaced: a folder or a read-only file
// refuses, a file open without FILE_SHARE_DELETE is in use.
DWORD CheckRemovable(const std::string& path, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (S_ISREG(st.st_mode) && SharingForbids(path, DeleteAccess())) return ERROR_SHARING_VIOLATION;
    return ERROR_SUCCESS;
}

class HandleOwner {
public:
    explicit HandleOwner(HANDLE handle) : handle_(handle) {}
    ~HandleOwner() { Close(); }
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    int fd() const { return static_cast<int>(reinterpret_cast<intptr_t>(handle_)); }
    void Close() {
        if (valid()) CloseRegisteredHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// Flushes the folder holding `path`, so that a rename in it is on disk once this returns
// (MOVEFILE_WRITE_THROUGH). A folder that cannot be opened or flushed is left as it is: the
// rename itself has happened.
void SyncFolderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

bool CopyContents(int from, int to) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = ENOSPC;
                return false;
            }
            done += w;
        }
    }
}

// Whether `path` names a file in the drivers folder of the machine root in use.
bool InDriversFolder(const std::string& path) {
    std::string root = CachedMachineRoot();
    if (root.empty()) return false;
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    struct stat drivers;
    struct stat parent;
    return ::stat((root + "/Windows/System32/drivers").c_str(), &drivers) == 0 &&
           ::stat(folder.c_str(), &parent) == 0 && drivers.st_dev == parent.st_dev &&
           drivers.st_ino == parent.st_ino;
}

// CopyFileA without counting: contents, permission bits (so the read-only attribute too) and
// times travel; a failed copy leaves no partial target behind. A driver image copied into the
// drivers folder is the caller's alone: its group and other bits are dropped, whatever the
// source had, and its owner may run it.
BOOL CopyFileInternal(const std::string& from, const std::string& to, bool failIfExists) {
    bool existed = false;
    HandleOwner source(OpenFileHandle(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      OPEN_EXISTING, 0, &existed));
    if (!source.valid()) return FALSE;
    struct stat st;
    if (::fstat(source.fd(), &st) != 0) return FailErrno(errno);
    HandleOwner target(OpenFileHandle(to, GENERIC_WRITE, 0,
                                      failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0, &existed));
    if (!target.valid()) return FALSE;
    // The attributes go first: they need the target writable, which the permissions may end.
    WriteStoredAttributes(to, target.fd(), ReadStoredAttributes(from, source.fd()));
    mode_t mode = st.st_mode & 07777;
    if (InDriversFolder(to)) mode = (mode & S_IRWXU) | S_IXUSR;
    if (!CopyContents(source.fd(), target.fd()) || ::fchmod(target.fd(), mode) != 0) {
        DWORD error = ErrorFromErrno(errno);
        target.Close();
        ::unlink(to.c_str());
        return Fail(error);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(target.fd(), times);
    SetError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace
}  // namespace nuvex::host

using namespace nuvex::host;

DWORD GetFileAttributesA(LPCSTR name) {
    return NoThrow<DWORD>(INVALID_FILE_ATTRIBUTES, ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        if (name == nullptr) {
            SetError(ERROR_INVALID_PARAMETER);
            return INVALID_FILE_ATTRIBUTES;
        }
        std::string path = TranslatePath(name);
        struct stat st;
        if (path.empty() || ::stat(path.c_str(), &st) != 0) {
            SetError(path.empty() ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno, path));
            return INVALID_FILE_ATTRIBUTES;
        }
        if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
        return AttributesOf(st.st_mode, ReadStoredAttributes(path, -1));
    });
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        std::string path = TranslatePath(name);
        if (FileOpFails(FileOp::SetAttributes)) return Fail(ERROR_ACCESS_DENIED);
        struct stat st;
        if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
        if (::stat(path.c_str(), &st) != 0) return FailErrno(errno, path);
        if (S_ISDIR(st.st_mode)) return TRUE;  // folders keep no attributes here
        const mode_t before = st.st_mode & 07777;
        mode_t mode = before;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
        else if (IsReadOnlyMode(mode))
            mode |= S_IWUSR;
        const DWORD stored = attributes & kStoredAttributes;
        if (stored != ReadStoredAttributes(path, -1)) {
            // The stored attributes follow the write permission: a read-only file is made
            // writable for the moment of the change.
            mode_t writable = IsReadOnlyMode(before) ? (before | S_IWUSR) : before;
            if (writable != before && ::chmod(path.c_str(), writable) != 0) return FailErrno(errno);
            if (!WriteStoredAttributes(path, -1, stored)) {
                DWORD error = GetLastError();
                if (writable != before) ::chmod(path.c_str(), before);
                return Fail(error);
            }
            if (mode != writable && ::chmod(path.c_str(), mode) != 0) return FailErrno(errno);
            return TRUE;
        }
        if (mode != before && ::chmod(path.c_str(), mode) != 0) return FailErrno(errno);
        return TRUE;
    });
}

BOOL DeleteFileA(LPCSTR name) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        std::string path = TranslatePath(name);
        if (FileOpFails(FileOp::Delete)) return Fail(ERROR_ACCESS_DENIED);
        if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return FailErrno(errno, path);
        DWORD refusal = CheckRemovable(path, st);
        if (refusal != ERROR_SUCCESS) return Fail(refusal);
        if (::unlink(path.c_str()) != 0) return FailErrno(errno, path);
        return TRUE;
    });
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (existing == nullptr || target == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        std::string from = TranslatePath(existing);
        std::string to = TranslatePath(target);
        if (FileOpFails(FileOp::Move)) return Fail(ERROR_ACCESS_DENIED);
        if (from.empty() || to.empty()) return Fail(ERROR_PATH_NOT_FOUND);
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) return FailErrno(errno, from);
        // Renaming asks for DELETE access to the source (a read-only source may be renamed).
        if (S_ISREG(st.st_mode) && SharingForbids(from, DeleteAccess()))
            return Fail(ERROR_SHARING_VIOLATION);
        if (from == to) return TRUE;
        struct stat old;
        bool targetExists = ::lstat(to.c_str(), &old) == 0;
        if (targetExists) {
            if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
            DWORD refusal = CheckRemovable(to, old);
            if (refusal != ERROR_SUCCESS) return Fail(refusal);
        }
        int result = targetExists ? ::rename(from.c_str(), to.c_str())
                                  : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                                                RENAME_NOREPLACE);
        if (result != 0 && !targetExists && (errno == EINVAL || errno == ENOSYS))
            result = ::rename(from.c_str(), to.c_str());
        if (result != 0 && errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
        if (result != 0 && errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) &&
            S_ISREG(st.st_mode)) {
            if (!CopyFileInternal(from, to, false)) return FALSE;
            if (::unlink(from.c_str()) != 0) return FailErrno(errno, from);
            return TRUE;
        }
        if (result != 0) return FailErrno(errno, from);
        // Write-through: the new name is on the disk before the call returns.
        if (flags & MOVEFILE_WRITE_THROUGH) SyncFolderOf(to);
        return TRUE;
    });
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (existing == nullptr || target == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        std::string from = TranslatePath(existing);
        std::string to = TranslatePath(target);
        if (FileOpFails(FileOp::Move)) return Fail(ERROR_ACCESS_DENIED);
        return CopyFileInternal(from, to, failIfExists != FALSE);
    });
}

BOOL ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD /*flags*/, LPVOID,
                  LPVOID) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (replaced == nullptr || replacement == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        if (backup != nullptr) return Fail(ERROR_NOT_SUPPORTED);  // no backup copies here
        std::string to = TranslatePath(replaced);
        std::string from = TranslatePath(replacement);
        if (FileOpFails(FileOp::Move)) return Fail(ERROR_ACCESS_DENIED);
        if (to.empty() || from.empty()) return Fail(ERROR_PATH_NOT_FOUND);
        struct stat old;
        if (::stat(to.c_str(), &old) != 0) return FailErrno(errno, to);
        // The replaced file is opened for reading and deleting, sharing everything, and must be
        // writable by the caller: a read-only one is refused.
        if (!S_ISREG(old.st_mode) || IsReadOnlyMode(old.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        if (SharingForbids(to, ShareAccess{true, false, true})) return Fail(ERROR_SHARING_VIOLATION);
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) return FailErrno(errno, from);
        if (!S_ISREG(st.st_mode) || IsReadOnlyMode(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        if (st.st_dev == old.st_dev && st.st_ino == old.st_ino) return Fail(ERROR_INVALID_PARAMETER);
        // The replacement is opened for reading, writing and deleting with no sharing at all.
        if (SharingForbids(from, ShareAccess{true, true, true}, 0))
            return Fail(ERROR_SHARING_VIOLATION);
        // The replacement is reached through one descriptor, opened without following a link,
        // and checked to be the file lstat saw: its identity is given through that descriptor
        // before the rename, so a name swapped for a link meanwhile redirects nothing, and a
        // process stopped at any point leaves the replaced file, or the new one with the
        // replaced file's owner, under the name. A replacement with more than one name is
        // refused: giving it an owner or permissions would change another name's file too.
        Descriptor fd(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() < 0) return FailErrno(errno, from);
        struct stat held;
        if (::fstat(fd.get(), &held) != 0) return FailErrno(errno, from);
        if (held.st_dev != st.st_dev || held.st_ino != st.st_ino) return Fail(ERROR_ACCESS_DENIED);
        if (held.st_nlink != 1) return Fail(ERROR_ACCESS_DENIED);
        // The replaced file's identity: attributes, owner and group where the process may give
        // them, and its permission bits (without the group's when its group cannot be kept, so
        // that no other group gains access).
        WriteStoredAttributes(from, fd.get(), ReadStoredAttributes(to, -1));
        mode_t mode = old.st_mode & 07777;
        if (held.st_uid != old.st_uid || held.st_gid != old.st_gid) {
            if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0 &&
                ::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid) != 0)
                mode &= ~static_cast<mode_t>(S_IRWXG);
        }
        ::fchmod(fd.get(), mode);  // the process owns the new file or is root: this does not fail
        // The rename is atomic: there is no moment without a file under the name.
        struct stat again;
        if (::lstat(from.c_str(), &again) != 0 || again.st_dev != held.st_dev ||
            again.st_ino != held.st_ino || ::rename(from.c_str(), to.c_str()) != 0)
            return Fail(ERROR_UNABLE_TO_REMOVE_REPLACED);  // both files keep their names
        SetError(ERROR_SUCCESS);
        return TRUE;
    });
}

HANDLE ReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD /*flags*/) {
    return NoThrow<HANDLE>(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> HANDLE {
        int fd = -1;
        std::shared_ptr<HandleInfo> info = LookupHandle(original, &fd);
        if (!info || info->kind != HandleKind::File) {
            SetError(ERROR_INVALID_HANDLE);
            return INVALID_HANDLE_VALUE;
        }
        if (FileOpFails(FileOp::Open)) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // The descriptor's own entry in /proc reaches its file whatever its name is now (or
        // whether it has one), and is no link an outsider could have planted.
        bool existed = false;
        return OpenFileHandle("/proc/self/fd/" + std::to_string(fd), access, share, OPEN_EXISTING,
                              0, &existed, nullptr);
    });
}
