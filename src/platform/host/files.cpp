// Files: CreateFile and the calls on an open file handle.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include "platform/host/host_internal.h"
#include "platform/host/share_access.h"

namespace nuvex::host {

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

bool WantsReadData(DWORD access) {
    return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}
bool WantsWriteData(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
}
bool WantsAppendData(DWORD access) {
    return (access & FILE_APPEND_DATA) != 0;
}

HANDLE FailOpen(DWORD error) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
}

// Opens (or creates) the file with the descriptor flags `base`; reports whether it existed.
int OpenDescriptor(const std::string& path, int base, DWORD disposition, mode_t mode,
                   bool* existed) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (disposition == CREATE_NEW) {
            *existed = false;
            return ::open(path.c_str(), base | O_CREAT | O_EXCL, mode);
        }
        int fd = ::open(path.c_str(), base);
        if (fd >= 0 || errno != ENOENT || disposition == OPEN_EXISTING ||
            disposition == TRUNCATE_EXISTING) {
            *existed = fd >= 0;
            return fd;
        }
        fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) {
            *existed = false;
            return fd;
        }
        // Someone created it in between: open it as an existing file.
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

bool IsReadOnlyMode(unsigned mode) {
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

HANDLE OpenFileHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags, bool* existed, const SECURITY_DESCRIPTOR* security) {
    *existed = false;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return FailOpen(ERROR_INVALID_PARAMETER);
    bool readData = WantsReadData(access);
    bool writeData = WantsWriteData(access);
    bool appendData = WantsAppendData(access);
    if (disposition == TRUNCATE_EXISTING && !writeData) return FailOpen(ERROR_INVALID_PARAMETER);
    if (path.empty()) return FailOpen(ERROR_PATH_NOT_FOUND);

    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    bool needsWrite = writeData || appendData || truncates;
    // Opening never waits (a FIFO without a writer would block the open); the descriptor is
    // made blocking again below.
    int base = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (needsWrite ? O_RDWR : O_RDONLY);
    if (flags & FILE_FLAG_OPEN_REPARSE_POINT) base |= O_NOFOLLOW;
    if (appendData && !writeData) base |= O_APPEND;
    // A new file gets the security descriptor's permission bits exactly, else the usual ones
    // under the process's umask. It is created writable and made read-only only once its
    // attributes are stored (they follow the write permission).
    mode_t mode = security != nullptr ? static_cast<mode_t>(security->permissions & 0777) : 0666;

    // An existing file is opened for writing only where this platform's share modes allow
    // it: looked at through a descriptor for reading first. An open for writing is itself a
    // signal to an operation watching the file for other programs' writers (its lease breaks),
    // and one that the share modes refuse afterwards must not give that signal.
    ShareAccess wanted = ShareAccessOf(access);
    if (needsWrite && disposition != CREATE_NEW) {
        if (truncates) wanted.write = true;
        Descriptor probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                                  (base & O_NOFOLLOW)));
        if (probe.get() >= 0 && !ShareAllows(probe.get(), wanted, share))
            return FailOpen(ERROR_SHARING_VIOLATION);
    }
    int raw = OpenDescriptor(path, base, disposition, mode, existed);
    // A lease on the file (an operation watching it for writers) turns a non-blocking open for
    // writing away: it is in use.
    if (raw < 0 && errno == EWOULDBLOCK && needsWrite) return FailOpen(ERROR_SHARING_VIOLATION);
    if (raw < 0 && errno == EACCES && needsWrite && !readData && !truncates) {
        // A file that may be written but not read: open it write-only.
        raw = OpenDescriptor(path, (base & ~O_RDWR) | O_WRONLY, disposition, mode, existed);
    }
    if (raw < 0 && errno == ELOOP && (flags & FILE_FLAG_OPEN_REPARSE_POINT))
        return FailOpen(ERROR_CANT_ACCESS_FILE);
    if (raw < 0) return FailOpen(ErrorFromErrno(errno, path));
    Descriptor fd(LiftDescriptor(raw));
    if (fd.get() < 0) return FailOpen(ErrorFromErrno(errno));
    // Of the flags F_SETFL sets, the open asked only for O_NONBLOCK and maybe O_APPEND: setting
    // them as known saves asking for them first (an open per call of a file operation).
    ::fcntl(fd.get(), F_SETFL, base & O_APPEND);

    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FailOpen(ErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return FailOpen(ERROR_ACCESS_DENIED);
    if (!*existed) {
        // A file system without extended attributes keeps no attributes; the file stays.
        if (flags & kStoredAttributes) WriteStoredAttributes(path, fd.get(), flags);
        mode_t finalMode = security != nullptr ? mode : (st.st_mode & 07777);
        if (flags & FILE_ATTRIBUTE_READONLY) finalMode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
        if (finalMode != (st.st_mode & 07777) && ::fchmod(fd.get(), finalMode) != 0) {
            DWORD error = ErrorFromErrno(errno);
            ::unlink(path.c_str());
            return FailOpen(error);
        }
    }
    ShareAccess shareAccess = ShareAccessOf(access);
    // A read-only file refuses write and delete access and replacement, to root as well.
    if (*existed && IsReadOnlyMode(st.st_mode) &&
        (writeData || appendData || shareAccess.del || truncates))
        return FailOpen(ERROR_ACCESS_DENIED);
    // Replacing the contents needs the other handles to share writing.
    if (*existed && truncates) shareAccess.write = true;
    if (!AcquireShare(fd.get(), shareAccess, share)) return FailOpen(ERROR_SHARING_VIOLATION);
    if (*existed && truncates && ::ftruncate(fd.get(), 0) != 0)
        return FailOpen(ErrorFromErrno(errno));

    auto info = std::make_shared<HandleInfo>();
    info->kind = HandleKind::File;
    info->access = access;
    info->canRead = readData;
    info->canWrite = writeData || appendData;
    info->appendOnly = appendData && !writeData;
    HANDLE handle = RegisterHandle(fd.release(), std::move(info));
    SetError(*existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return handle;
}

}  // namespace nuvex::host

using namespace nuvex::host;

namespace {

HANDLE CreateFileUtf8(const std::string& translated, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags, const SECURITY_ATTRIBUTES* attributes) {
    std::string device = DeviceNameOf(translated);
    if (!device.empty()) return OpenDeviceHandle(device);
    if (FileOpFails(FileOp::Open)) return FailOpen(ERROR_ACCESS_DENIED);
    bool existed = false;
    const auto* security = attributes != nullptr
                               ? static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor)
                               : nullptr;
    return OpenFileHandle(translated, access, share, disposition, flags, &existed, security);
}

// The descriptor of an ordinary file handle, or -1 with the error set.
int FileDescriptor(HANDLE file, std::shared_ptr<HandleInfo>* info) {
    int fd = -1;
    *info = LookupHandle(file, &fd);
    if (!*info) return -1;
    if ((*info)->kind != HandleKind::File) {
        SetError((*info)->kind == HandleKind::Device ? ERROR_INVALID_FUNCTION
                                                     : ERROR_INVALID_HANDLE);
        return -1;
    }
    return fd;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE) {
    return NoThrow<HANDLE>(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> HANDLE {
        if (name == nullptr) return FailOpen(ERROR_INVALID_PARAMETER);
        return CreateFileUtf8(TranslatePath(name), access, share, disposition, flags, sa);
    });
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE) {
    return NoThrow<HANDLE>(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> HANDLE {
        if (name == nullptr) return FailOpen(ERROR_INVALID_PARAMETER);
        size_t units = 0;
        while (name[units] != 0) ++units;
        std::string utf8 = Utf16ToUtf8(name, units);
        return CreateFileUtf8(TranslatePath(utf8.c_str()), access, share, disposition, flags, sa);
    });
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
    if (read != nullptr) *read = 0;
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (ov != nullptr || (buffer == nullptr && toRead > 0)) return Fail(ERROR_INVALID_PARAMETER);
    if (!info->canRead) return Fail(ERROR_ACCESS_DENIED);
    if (FileOpFails(FileOp::Read)) return Fail(ERROR_READ_FAULT);
    auto* p = static_cast<uint8_t*>(buffer);
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = ::read(fd, p + done, toRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (read != nullptr) *read = done;
            return FailErrno(errno);
        }
        if (n == 0) break;  // end of file: success with what was read
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov) {
    if (written != nullptr) *written = 0;
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (ov != nullptr || (buffer == nullptr && toWrite > 0)) return Fail(ERROR_INVALID_PARAMETER);
    if (!info->canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (FileOpFails(FileOp::Write)) return Fail(ERROR_WRITE_FAULT);
    DWORD allowed = WriteAllowance(toWrite);
    const auto* p = static_cast<const uint8_t*>(buffer);
    DWORD done = 0;
    while (done < allowed) {
        ssize_t n = ::write(fd, p + done, allowed - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (written != nullptr) *written = done;
            return FailErrno(n < 0 ? errno : ENOSPC);
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = done;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return INVALID_SET_FILE_POINTER;
    int64_t move = distanceHigh != nullptr
                       ? static_cast<int64_t>(
                             (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                             static_cast<uint32_t>(distance))
                       : static_cast<int64_t>(distance);
    int64_t origin = 0;
    if (method == FILE_CURRENT) {
        off_t current = ::lseek(fd, 0, SEEK_CUR);
        if (current < 0) {
            FailErrno(errno);
            return INVALID_SET_FILE_POINTER;
        }
        origin = current;
    } else if (method == FILE_END) {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            FailErrno(errno);
            return INVALID_SET_FILE_POINTER;
        }
        origin = st.st_size;
    } else if (method != FILE_BEGIN) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(origin, move, &target)) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (target < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the new position must fit in 32 bits.
    if (distanceHigh == nullptr && target > 0xFFFFFFFFLL) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (::lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        FailErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(target >> 32);
    SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(target & 0xFFFFFFFFu);
}

BOOL SetEndOfFile(HANDLE file) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (!info->canWrite) return Fail(ERROR_ACCESS_DENIED);
    off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(fd, position) != 0) return FailErrno(errno);
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return INVALID_FILE_SIZE;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        FailErrno(errno);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
    SetError(ERROR_SUCCESS);  // INVALID_FILE_SIZE can be a true low part
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

BOOL FlushFileBuffers(HANDLE file) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (!info->canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (FileOpFails(FileOp::Flush)) return Fail(ERROR_WRITE_FAULT);
    if (::fsync(fd) != 0 && errno != EINVAL) return FailErrno(errno);
    return TRUE;
}

namespace {

// File systems whose files the kernel makes up as they are read (/proc, /sys and their kin):
// they show as regular files of size 0 (or of a size unrelated to what a read delivers), so
// they are not disk files to anything that trusts a file's size.
bool OnGeneratedFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x9fa0UL:      // proc
        case 0x62656572UL:  // sysfs
        case 0x64626720UL:  // debugfs
        case 0x74726163UL:  // tracefs
        case 0x73636673UL:  // securityfs
        case 0x27e0ebUL:    // cgroup
        case 0x63677270UL:  // cgroup2
        case 0x62656570UL:  // configfs
        case 0xde5e81e4UL:  // efivarfs
        case 0xcafe4a11UL:  // bpf
            return true;
        default:
            return false;
    }
}

}  // namespace

DWORD GetFileType(HANDLE file) {
    int fd = -1;
    std::shared_ptr<HandleInfo> info = LookupHandle(file, &fd);
    if (!info) return FILE_TYPE_UNKNOWN;
    SetError(ERROR_SUCCESS);
    // A control device is neither a disk file, a character device nor a pipe.
    if (info->kind != HandleKind::File) return FILE_TYPE_UNKNOWN;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        FailErrno(errno);
        return FILE_TYPE_UNKNOWN;
    }
    // Generated files deliver a stream, as a character device does.
    if (S_ISREG(st.st_mode)) return OnGeneratedFileSystem(fd) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
    // The host has no volumes: block devices count as character devices.
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

namespace {

// Seconds and nanoseconds since 1970 as a FILETIME (100-ns ticks since 1601).
FILETIME FileTimeOf(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kEpochDifference = 11644473600;  // 1601-01-01 to 1970-01-01, seconds
    int64_t ticks = seconds + kEpochDifference;
    ticks = ticks < 0 ? 0 : ticks * 10000000 + nanoseconds / 100;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return time;
}

}  // namespace

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    std::shared_ptr<HandleInfo> handleInfo;
    int fd = FileDescriptor(file, &handleInfo);
    if (fd < 0) return FALSE;
    if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::fstat(fd, &st) != 0) return FailErrno(errno);
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = AttributesOf(st.st_mode, ReadStoredAttributes(std::string(), fd));
    // POSIX keeps no creation time in stat; the last status change stands in for it.
    info->ftCreationTime = FileTimeOf(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    info->ftLastAccessTime = FileTimeOf(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    info->ftLastWriteTime = FileTimeOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    const auto device = static_cast<uint64_t>(st.st_dev);
    info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    const auto size = static_cast<uint64_t>(st.st_size);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    const auto index = static_cast<uint64_t>(st.st_ino);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index & 0xFFFFFFFFu);
    SetError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                LPOVERLAPPED overlapped) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (overlapped == nullptr || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (!info->canRead && !info->canWrite) return Fail(ERROR_ACCESS_DENIED);
    const uint64_t offset = static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset;
    const uint64_t length = static_cast<uint64_t>(lengthHigh) << 32 | lengthLow;
    const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
    for (;;) {
        RangeLock outcome = LockRange(fd, offset, length, exclusive);
        if (outcome == RangeLock::Taken) return TRUE;
        if (outcome == RangeLock::Invalid) return Fail(ERROR_INVALID_PARAMETER);
        if (outcome == RangeLock::Unsupported) return Fail(ERROR_ACCESS_DENIED);
        if (flags & LOCKFILE_FAIL_IMMEDIATELY) return Fail(ERROR_LOCK_VIOLATION);
        ::usleep(1000);  // waits for the holder, as a lock without FAIL_IMMEDIATELY does
    }
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                  LPOVERLAPPED overlapped) {
    std::shared_ptr<HandleInfo> info;
    int fd = FileDescriptor(file, &info);
    if (fd < 0) return FALSE;
    if (overlapped == nullptr || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
    const uint64_t offset = static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset;
    const uint64_t length = static_cast<uint64_t>(lengthHigh) << 32 | lengthLow;
    if (!UnlockRange(fd, offset, length)) return Fail(ERROR_NOT_LOCKED);
    return TRUE;
}
