// The file-system call recorder, loaded into a program with LD_PRELOAD. For every call that
// changes a file or folder under one of the scope folders (NUVEX_CRASH_SCOPE) it appends one
// event to the log (NUVEX_CRASH_LOG): creating opens, writes, truncations, renames, removals,
// links, new folders, syncs, mode, owner and attribute changes, closes. It also records each
// request written to a Unix socket the program connected to under a scope folder (a control
// device), so that a checker knows when a driver was asked to change something.
//
// The real call runs under one lock with its event, so the log holds a process's calls in the
// order they happened. Calls glibc makes inside its own functions do not pass through here:
// stdio streams are followed at their entry points instead (fwrite, fflush, ...), by what the
// call moved in the file, and at exit, after every other exit handler, all streams are flushed
// the same way.
#undef _FILE_OFFSET_BITS  // both the plain and the 64-bit entry points are defined here
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <stddef.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fs_events.h"

namespace {

// ---- the real functions --------------------------------------------------------------------

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static auto real = Real<decltype(&::name)>(#name)

// ---- settings and the log ------------------------------------------------------------------

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
thread_local int t_inside = 0;  // a recorded call is under way on this thread
std::vector<std::string>* g_scope = nullptr;
const char* g_logPath = nullptr;
int g_logFd = -1;

bool Active() { return g_scope != nullptr && !g_scope->empty() && g_logPath != nullptr && t_inside == 0; }

std::string Canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

bool InScope(const std::string& path) {
    if (g_scope == nullptr) return false;
    for (const std::string& folder : *g_scope) {
        if (path.compare(0, folder.size(), folder) == 0 &&
            (path.size() == folder.size() || path[folder.size()] == '/'))
            return true;
    }
    return false;
}

int LogFd() {
    if (g_logFd >= 0) return g_logFd;
    static auto realOpen = Real<int (*)(const char*, int, ...)>("open");
    static auto realClose = Real<int (*)(int)>("close");
    int fd = realOpen(g_logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    // Far above the descriptors a program uses, so that none of its own lands on it.
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 900);
    if (high >= 0) {
        realClose(fd);
        fd = high;
    }
    g_logFd = fd;
    return fd;
}

void Append(uint32_t kind, uint64_t ino, uint64_t a, uint32_t flags, const std::string& path,
            const std::string& path2, const void* data, size_t length) {
    NuvexFsEventHead head{};
    head.magic = NUVEX_FS_EVENT_MAGIC;
    head.kind = kind;
    head.pid = static_cast<int32_t>(::getpid());
    head.flags = flags;
    head.ino = ino;
    head.a = a;
    head.pathLength = static_cast<uint32_t>(path.size());
    head.path2Length = static_cast<uint32_t>(path2.size());
    head.dataLength = static_cast<uint32_t>(length);
    std::string record(reinterpret_cast<const char*>(&head), sizeof head);
    record += path;
    record += path2;
    if (length > 0) record.append(static_cast<const char*>(data), length);
    int fd = LogFd();
    if (fd < 0) return;
    REAL(write);
    // One write with O_APPEND: events of several processes never interleave.
    const char* p = record.data();
    size_t left = record.size();
    while (left > 0) {
        ssize_t n = real(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Holds the lock and marks the thread for one recorded call; errno survives the recording.
class Recording {
public:
    Recording() {
        ::pthread_mutex_lock(&g_lock);
        ++t_inside;
    }
    ~Recording() {
        --t_inside;
        ::pthread_mutex_unlock(&g_lock);
    }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
};

class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }

private:
    int saved_;
};

void FlushAtExit();

__attribute__((constructor)) void Start() {
    const char* scope = ::getenv(NUVEX_CRASH_SCOPE_ENV);
    const char* log = ::getenv(NUVEX_CRASH_LOG_ENV);
    if (scope == nullptr || log == nullptr || *scope == '\0' || *log == '\0') return;
    auto* folders = new std::vector<std::string>();
    std::string all = scope;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        if (end > start) folders->push_back(Canonical(all.substr(start, end - start)));
        start = end + 1;
    }
    g_logPath = ::strdup(log);
    g_scope = folders;
    // Registered before the program's own exit handlers, so it runs after them: what they
    // leave in stdio buffers is flushed here, where it is seen.
    ::atexit(FlushAtExit);
}

// ---- names ---------------------------------------------------------------------------------

std::string FdPath(int fd) {
    char link[64];
    ::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return std::string();
    std::string path(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// The absolute path a call names: relative names start at the folder `dirfd` stands for; the
// folder part is resolved (links followed), the last name kept as it is.
std::string CallPath(int dirfd, const char* path) {
    if (path == nullptr) return std::string();
    std::string full;
    if (path[0] == '/') {
        full = path;
    } else {
        std::string base;
        if (dirfd == AT_FDCWD) {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) == nullptr) return std::string();
            base = cwd;
        } else {
            base = FdPath(dirfd);
        }
        full = base + "/" + path;
    }
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    size_t slash = full.rfind('/');
    std::string folder = slash == 0 ? "/" : full.substr(0, slash);
    std::string name = full.substr(slash + 1);
    folder = Canonical(folder);
    return folder == "/" ? "/" + name : folder + "/" + name;
}

struct Object {
    bool valid = false;
    uint64_t ino = 0;
    mode_t mode = 0;
    off64_t size = 0;
};

Object StatPath(const std::string& path) {
    Object object;
    struct stat64 st;
    if (::lstat64(path.c_str(), &st) == 0) {
        object.valid = true;
        object.ino = st.st_ino;
        object.mode = st.st_mode;
        object.size = st.st_size;
    }
    return object;
}

Object StatFd(int fd) {
    Object object;
    struct stat64 st;
    if (::fstat64(fd, &st) == 0) {
        object.valid = true;
        object.ino = st.st_ino;
        object.mode = st.st_mode;
        object.size = st.st_size;
    }
    return object;
}

// The descriptor's file when it lies under a scope folder.
bool ScopedFd(int fd, std::string* path) {
    if (fd < 0 || g_scope == nullptr) return false;
    std::string found = FdPath(fd);
    if (found.empty() || found[0] != '/' || !InScope(found)) return false;
    *path = found;
    return true;
}

bool ScopeFd(int fd, std::string* path) { return Active() && ScopedFd(fd, path); }

// ---- control-device requests ---------------------------------------------------------------

// A connection to a control device: the request heads are picked out of what is written.
struct Connection {
    bool open = false;
    std::string device;
    uint8_t head[12];
    size_t got = 0;
    uint64_t skip = 0;  // input bytes of the current request still to come
};
constexpr int kConnections = 4096;
Connection* g_connections = nullptr;
pthread_mutex_t g_connectionLock = PTHREAD_MUTEX_INITIALIZER;

void ForgetConnection(int fd) {
    if (g_connections == nullptr || fd < 0 || fd >= kConnections) return;
    ::pthread_mutex_lock(&g_connectionLock);
    g_connections[fd].open = false;
    ::pthread_mutex_unlock(&g_connectionLock);
}

void Sent(int fd, const struct iovec* parts, int count, ssize_t sent) {
    if (sent <= 0 || g_connections == nullptr || fd < 0 || fd >= kConnections) return;
    KeepErrno keep;
    ::pthread_mutex_lock(&g_connectionLock);
    Connection& c = g_connections[fd];
    size_t left = static_cast<size_t>(sent);
    for (int i = 0; c.open && i < count && left > 0; ++i) {
        const auto* p = static_cast<const uint8_t*>(parts[i].iov_base);
        size_t n = parts[i].iov_len < left ? parts[i].iov_len : left;
        left -= n;
        while (n > 0) {
            if (c.skip > 0) {
                size_t step = n < c.skip ? n : static_cast<size_t>(c.skip);
                c.skip -= step;
                p += step;
                n -= step;
                continue;
            }
            c.head[c.got++] = *p++;
            --n;
            if (c.got == sizeof c.head) {
                uint32_t code = 0, input = 0;
                memcpy(&code, c.head, 4);
                memcpy(&input, c.head + 4, 4);
                c.got = 0;
                c.skip = input;
                ::pthread_mutex_lock(&g_lock);
                ++t_inside;
                Append(NUVEX_FS_REQUEST, 0, code, 0, c.device, std::string(), nullptr, 0);
                --t_inside;
                ::pthread_mutex_unlock(&g_lock);
            }
        }
    }
    ::pthread_mutex_unlock(&g_connectionLock);
}

bool IsConnection(int fd) {
    if (g_connections == nullptr || fd < 0 || fd >= kConnections) return false;
    ::pthread_mutex_lock(&g_connectionLock);
    bool open = g_connections[fd].open;
    ::pthread_mutex_unlock(&g_connectionLock);
    return open;
}

// ---- writes --------------------------------------------------------------------------------

void RecordWrite(const Object& object, uint64_t offset, const void* data, size_t length) {
    Append(NUVEX_FS_WRITE, object.ino, offset, 0, std::string(), std::string(), data, length);
}

// What a call moved in a file that is not handed over as a buffer (stdio, sendfile): the
// region between the positions before and after, read back from the file.
struct Position {
    bool scoped = false;
    int fd = -1;
    off64_t offset = 0;
    off64_t size = 0;
    bool append = false;
};

Position Before(int fd) {
    Position at;
    std::string path;
    if (!ScopedFd(fd, &path)) return at;
    Object object = StatFd(fd);
    if (!object.valid || !S_ISREG(object.mode)) return at;
    at.scoped = true;
    at.fd = fd;
    at.offset = ::lseek64(fd, 0, SEEK_CUR);
    at.size = object.size;
    at.append = (::fcntl(fd, F_GETFL) & O_APPEND) != 0;
    return at;
}

void After(const Position& before) {
    if (!before.scoped) return;
    Object object = StatFd(before.fd);
    if (!object.valid) return;
    off64_t from = before.append ? before.size : before.offset;
    off64_t to = before.append ? object.size : ::lseek64(before.fd, 0, SEEK_CUR);
    if (to <= from) return;
    std::string bytes(static_cast<size_t>(to - from), '\0');
    ssize_t n = ::pread64(before.fd, &bytes[0], bytes.size(), from);
    if (n < 0 && errno == EBADF) {
        // Open for writing only (a redirected standard output): read through a second open.
        static auto realOpen = Real<int (*)(const char*, int, ...)>("open");
        static auto realClose = Real<int (*)(int)>("close");
        char link[64];
        ::snprintf(link, sizeof link, "/proc/self/fd/%d", before.fd);
        int reader = realOpen(link, O_RDONLY | O_CLOEXEC);
        if (reader < 0) return;
        n = ::pread64(reader, &bytes[0], bytes.size(), from);
        realClose(reader);
    }
    if (n < 0) return;
    bytes.resize(static_cast<size_t>(n));
    RecordWrite(object, static_cast<uint64_t>(from), bytes.data(), bytes.size());
}

template <typename Call>
auto Stream(FILE* stream, Call call) {
    int fd = stream != nullptr ? ::fileno(stream) : -1;
    std::string path;
    if (!ScopeFd(fd, &path)) return call();
    Recording recording;
    Position before = Before(fd);
    auto result = call();
    KeepErrno keep;
    After(before);
    return result;
}

// Every stream at once (fflush(NULL), the flush at exit): the scope's open files before and
// after.
template <typename Call>
auto AllStreams(Call call) {
    if (!Active()) return call();
    Recording recording;
    std::vector<Position> before;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        std::vector<int> fds;
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            fds.push_back(::atoi(entry->d_name));
        }
        ::closedir(dir);
        for (int fd : fds) {
            Position at = Before(fd);
            if (at.scoped) before.push_back(at);
        }
    }
    auto result = call();
    KeepErrno keep;
    for (const Position& at : before) After(at);
    return result;
}

void FlushAtExit() {
    static auto realFlush = Real<int (*)(FILE*)>("fflush");
    AllStreams([] { return realFlush(nullptr); });
}

template <typename Call>
ssize_t Written(int fd, const struct iovec* parts, int count, off64_t offset, bool positioned, Call call) {
    std::string path;
    if (!ScopeFd(fd, &path)) {
        ssize_t n = call();
        if (IsConnection(fd)) Sent(fd, parts, count, n);
        return n;
    }
    Recording recording;
    ssize_t n = call();
    if (n <= 0) return n;
    KeepErrno keep;
    Object object = StatFd(fd);
    if (!object.valid || !S_ISREG(object.mode)) return n;
    off64_t at = positioned ? offset : ::lseek64(fd, 0, SEEK_CUR) - n;
    std::string bytes;
    size_t left = static_cast<size_t>(n);
    for (int i = 0; i < count && left > 0; ++i) {
        size_t take = parts[i].iov_len < left ? parts[i].iov_len : left;
        bytes.append(static_cast<const char*>(parts[i].iov_base), take);
        left -= take;
    }
    RecordWrite(object, static_cast<uint64_t>(at), bytes.data(), bytes.size());
    return n;
}

// ---- opens ---------------------------------------------------------------------------------

bool Creates(int flags) { return (flags & (O_CREAT | O_TRUNC)) != 0; }

template <typename Call>
int Opened(int dirfd, const char* name, int flags, Call call) {
    if (!Active() || !Creates(flags)) return call();
    std::string path = CallPath(dirfd, name);
    if (!InScope(path)) return call();
    Recording recording;
    Object before = StatPath(path);
    int fd = call();
    if (fd < 0) return fd;
    KeepErrno keep;
    Object after = StatFd(fd);
    if (!after.valid || !S_ISREG(after.mode)) return fd;
    if (!before.valid) {
        Append(NUVEX_FS_CREATE, after.ino, after.mode, 0, path, std::string(), nullptr, 0);
    } else if (before.ino == after.ino && (flags & O_TRUNC) != 0 && before.size > 0) {
        Append(NUVEX_FS_TRUNCATE, after.ino, 0, 0, path, std::string(), nullptr, 0);
    }
    return fd;
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

FILE* OpenedStream(const char* name, const char* how, FILE* (*call)(const char*, const char*)) {
    bool creates = how != nullptr && (how[0] == 'w' || how[0] == 'a');
    int flags = creates ? (O_CREAT | (how[0] == 'w' ? O_TRUNC : 0)) : 0;
    FILE* result = nullptr;
    Opened(AT_FDCWD, name, flags, [&] {
        result = call(name, how);
        return result != nullptr ? ::fileno(result) : -1;
    });
    return result;
}

// ---- names changed -------------------------------------------------------------------------

template <typename Call>
int Named(uint32_t kind, int dirfd, const char* name, int dirfd2, const char* name2, uint32_t flags,
          Call call) {
    if (!Active()) return call();
    std::string path = CallPath(dirfd, name);
    std::string path2 = name2 != nullptr ? CallPath(dirfd2, name2) : std::string();
    if (!InScope(path) && !(name2 != nullptr && InScope(path2))) return call();
    Recording recording;
    Object before = StatPath(path);
    int result = call();
    if (result != 0) return result;
    KeepErrno keep;
    if (kind == NUVEX_FS_MKDIR) {
        Object made = StatPath(path);
        Append(kind, made.ino, made.mode, NUVEX_FS_FLAG_DIRECTORY, path, std::string(), nullptr, 0);
    } else {
        uint32_t dirFlag = before.valid && S_ISDIR(before.mode) ? NUVEX_FS_FLAG_DIRECTORY : 0;
        Append(kind, before.ino, flags, dirFlag, path, path2, nullptr, 0);
    }
    return result;
}

// ---- per-object changes ------------------------------------------------------------------

template <typename Call>
int OnFd(uint32_t kind, int fd, uint32_t flags, Call call) {
    std::string path;
    if (!ScopeFd(fd, &path)) return call();
    Recording recording;
    int result = call();
    if (result != 0) return result;
    KeepErrno keep;
    Object object = StatFd(fd);
    if (!object.valid) return result;
    uint32_t dirFlag = S_ISDIR(object.mode) ? NUVEX_FS_FLAG_DIRECTORY : 0;
    uint64_t a = kind == NUVEX_FS_CHMOD ? object.mode : kind == NUVEX_FS_TRUNCATE ? object.size : 0;
    Append(kind, object.ino, a, flags | dirFlag, path, std::string(), nullptr, 0);
    return result;
}

template <typename Call>
int OnPath(uint32_t kind, int dirfd, const char* name, bool follow, Call call) {
    if (!Active()) return call();
    std::string path = CallPath(dirfd, name);
    if (follow) path = Canonical(path);
    if (!InScope(path)) return call();
    Recording recording;
    int result = call();
    if (result != 0) return result;
    KeepErrno keep;
    Object object = StatPath(path);
    if (!object.valid) return result;
    uint64_t a = kind == NUVEX_FS_CHMOD ? object.mode : kind == NUVEX_FS_TRUNCATE ? object.size : 0;
    Append(kind, object.ino, a, S_ISDIR(object.mode) ? NUVEX_FS_FLAG_DIRECTORY : 0, path,
           std::string(), nullptr, 0);
    return result;
}

}  // namespace

// ---- the interposed calls --------------------------------------------------------------------

extern "C" {

#define OPEN_FAMILY(name, base)                                                        \
    int name(const char* path, int flags, ...) {                                       \
        va_list args;                                                                  \
        va_start(args, flags);                                                         \
        mode_t mode = ModeArgument(flags, args);                                       \
        va_end(args);                                                                  \
        REAL(base);                                                                    \
        return Opened(AT_FDCWD, path, flags, [&] { return real(path, flags, mode); }); \
    }
OPEN_FAMILY(open, open)
OPEN_FAMILY(open64, open64)

#define OPENAT_FAMILY(name, base)                                                          \
    int name(int dirfd, const char* path, int flags, ...) {                                \
        va_list args;                                                                      \
        va_start(args, flags);                                                             \
        mode_t mode = ModeArgument(flags, args);                                           \
        va_end(args);                                                                      \
        REAL(base);                                                                        \
        return Opened(dirfd, path, flags, [&] { return real(dirfd, path, flags, mode); }); \
    }
OPENAT_FAMILY(openat, openat)
OPENAT_FAMILY(openat64, openat64)

int __open_2(const char* path, int flags) {
    static auto real = Real<int (*)(const char*, int)>("__open_2");
    return Opened(AT_FDCWD, path, flags, [&] { return real(path, flags); });
}
int __open64_2(const char* path, int flags) {
    static auto real = Real<int (*)(const char*, int)>("__open64_2");
    return Opened(AT_FDCWD, path, flags, [&] { return real(path, flags); });
}
int __openat_2(int dirfd, const char* path, int flags) {
    static auto real = Real<int (*)(int, const char*, int)>("__openat_2");
    return Opened(dirfd, path, flags, [&] { return real(dirfd, path, flags); });
}
int __openat64_2(int dirfd, const char* path, int flags) {
    static auto real = Real<int (*)(int, const char*, int)>("__openat64_2");
    return Opened(dirfd, path, flags, [&] { return real(dirfd, path, flags); });
}

int creat(const char* path, mode_t mode) {
    REAL(creat);
    return Opened(AT_FDCWD, path, O_CREAT | O_TRUNC, [&] { return real(path, mode); });
}
int creat64(const char* path, mode_t mode) {
    REAL(creat64);
    return Opened(AT_FDCWD, path, O_CREAT | O_TRUNC, [&] { return real(path, mode); });
}

FILE* fopen(const char* path, const char* how) {
    REAL(fopen);
    return OpenedStream(path, how, real);
}
FILE* fopen64(const char* path, const char* how) {
    REAL(fopen64);
    return OpenedStream(path, how, real);
}

ssize_t write(int fd, const void* data, size_t length) {
    REAL(write);
    struct iovec part = {const_cast<void*>(data), length};
    return Written(fd, &part, 1, 0, false, [&] { return real(fd, data, length); });
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t offset) {
    REAL(pwrite);
    struct iovec part = {const_cast<void*>(data), length};
    return Written(fd, &part, 1, offset, true, [&] { return real(fd, data, length, offset); });
}

ssize_t pwrite64(int fd, const void* data, size_t length, off64_t offset) {
    REAL(pwrite64);
    struct iovec part = {const_cast<void*>(data), length};
    return Written(fd, &part, 1, offset, true,
                   [&] { return real(fd, data, length, offset); });
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    REAL(writev);
    return Written(fd, parts, count, 0, false, [&] { return real(fd, parts, count); });
}

ssize_t pwritev(int fd, const struct iovec* parts, int count, off_t offset) {
    REAL(pwritev);
    return Written(fd, parts, count, offset, true, [&] { return real(fd, parts, count, offset); });
}

ssize_t send(int fd, const void* data, size_t length, int flags) {
    REAL(send);
    ssize_t n = real(fd, data, length, flags);
    struct iovec part = {const_cast<void*>(data), length};
    if (IsConnection(fd)) Sent(fd, &part, 1, n);
    return n;
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const struct sockaddr* to,
               socklen_t toLength) {
    REAL(sendto);
    ssize_t n = real(fd, data, length, flags, to, toLength);
    struct iovec part = {const_cast<void*>(data), length};
    if (IsConnection(fd)) Sent(fd, &part, 1, n);
    return n;
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    REAL(sendmsg);
    ssize_t n = real(fd, message, flags);
    if (IsConnection(fd)) Sent(fd, message->msg_iov, static_cast<int>(message->msg_iovlen), n);
    return n;
}

int connect(int fd, const struct sockaddr* address, socklen_t length) {
    REAL(connect);
    int result = real(fd, address, length);
    if (result != 0 || !Active() || address == nullptr || address->sa_family != AF_UNIX ||
        fd < 0 || fd >= kConnections)
        return result;
    KeepErrno keep;
    const auto* local = reinterpret_cast<const struct sockaddr_un*>(address);
    const size_t at = offsetof(sockaddr_un, sun_path);
    size_t max = length > at ? length - at : 0;
    if (max > sizeof local->sun_path) max = sizeof local->sun_path;
    std::string device(local->sun_path, strnlen(local->sun_path, max));
    if (device.empty() || device[0] == '\0') return result;
    device = CallPath(AT_FDCWD, device.c_str());
    if (!InScope(device)) return result;
    ::pthread_mutex_lock(&g_connectionLock);
    if (g_connections == nullptr) g_connections = new Connection[kConnections];
    g_connections[fd] = Connection{};
    g_connections[fd].open = true;
    g_connections[fd].device = device;
    ::pthread_mutex_unlock(&g_connectionLock);
    return result;
}

int ftruncate(int fd, off_t length) {
    REAL(ftruncate);
    return OnFd(NUVEX_FS_TRUNCATE, fd, 0, [&] { return real(fd, length); });
}
int ftruncate64(int fd, off64_t length) {
    REAL(ftruncate64);
    return OnFd(NUVEX_FS_TRUNCATE, fd, 0, [&] { return real(fd, length); });
}
int truncate(const char* path, off_t length) {
    REAL(truncate);
    return OnPath(NUVEX_FS_TRUNCATE, AT_FDCWD, path, true, [&] { return real(path, length); });
}
int truncate64(const char* path, off64_t length) {
    REAL(truncate64);
    return OnPath(NUVEX_FS_TRUNCATE, AT_FDCWD, path, true, [&] { return real(path, length); });
}

int rename(const char* from, const char* to) {
    REAL(rename);
    return Named(NUVEX_FS_RENAME, AT_FDCWD, from, AT_FDCWD, to, 0, [&] { return real(from, to); });
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    return Named(NUVEX_FS_RENAME, fromDir, from, toDir, to, 0,
                 [&] { return real(fromDir, from, toDir, to); });
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    REAL(renameat2);
    return Named(NUVEX_FS_RENAME, fromDir, from, toDir, to, flags,
                 [&] { return real(fromDir, from, toDir, to, flags); });
}

int unlink(const char* path) {
    REAL(unlink);
    return Named(NUVEX_FS_UNLINK, AT_FDCWD, path, AT_FDCWD, nullptr, 0, [&] { return real(path); });
}
int unlinkat(int dirfd, const char* path, int flags) {
    REAL(unlinkat);
    uint32_t kind = (flags & AT_REMOVEDIR) != 0 ? NUVEX_FS_RMDIR : NUVEX_FS_UNLINK;
    return Named(kind, dirfd, path, AT_FDCWD, nullptr, 0, [&] { return real(dirfd, path, flags); });
}
int rmdir(const char* path) {
    REAL(rmdir);
    return Named(NUVEX_FS_RMDIR, AT_FDCWD, path, AT_FDCWD, nullptr, 0, [&] { return real(path); });
}
int remove(const char* path) {
    REAL(remove);
    if (!Active()) return real(path);
    struct stat64 st;
    bool folder = ::lstat64(path, &st) == 0 && S_ISDIR(st.st_mode);
    return Named(folder ? NUVEX_FS_RMDIR : NUVEX_FS_UNLINK, AT_FDCWD, path, AT_FDCWD, nullptr, 0,
                 [&] { return real(path); });
}

int link(const char* from, const char* to) {
    REAL(link);
    return Named(NUVEX_FS_LINK, AT_FDCWD, from, AT_FDCWD, to, 0, [&] { return real(from, to); });
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    REAL(linkat);
    return Named(NUVEX_FS_LINK, fromDir, from, toDir, to, 0,
                 [&] { return real(fromDir, from, toDir, to, flags); });
}

int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    return Named(NUVEX_FS_MKDIR, AT_FDCWD, path, AT_FDCWD, nullptr, 0, [&] { return real(path, mode); });
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
    REAL(mkdirat);
    return Named(NUVEX_FS_MKDIR, dirfd, path, AT_FDCWD, nullptr, 0,
                 [&] { return real(dirfd, path, mode); });
}

int fsync(int fd) {
    REAL(fsync);
    return OnFd(NUVEX_FS_FSYNC, fd, 0, [&] { return real(fd); });
}
int fdatasync(int fd) {
    REAL(fdatasync);
    return OnFd(NUVEX_FS_FSYNC, fd, NUVEX_FS_FLAG_DATASYNC, [&] { return real(fd); });
}
int syncfs(int fd) {
    REAL(syncfs);
    int result = real(fd);
    if (result == 0 && Active()) {
        Recording recording;
        Append(NUVEX_FS_SYNC_ALL, 0, 0, 0, std::string(), std::string(), nullptr, 0);
    }
    return result;
}
void sync() {
    REAL(sync);
    real();
    if (Active()) {
        Recording recording;
        Append(NUVEX_FS_SYNC_ALL, 0, 0, 0, std::string(), std::string(), nullptr, 0);
    }
}

int fchmod(int fd, mode_t mode) {
    REAL(fchmod);
    return OnFd(NUVEX_FS_CHMOD, fd, 0, [&] { return real(fd, mode); });
}
int chmod(const char* path, mode_t mode) {
    REAL(chmod);
    return OnPath(NUVEX_FS_CHMOD, AT_FDCWD, path, true, [&] { return real(path, mode); });
}
int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
    REAL(fchmodat);
    return OnPath(NUVEX_FS_CHMOD, dirfd, path, (flags & AT_SYMLINK_NOFOLLOW) == 0,
                  [&] { return real(dirfd, path, mode, flags); });
}
int fchown(int fd, uid_t owner, gid_t group) {
    REAL(fchown);
    return OnFd(NUVEX_FS_META, fd, 0, [&] { return real(fd, owner, group); });
}
int chown(const char* path, uid_t owner, gid_t group) {
    REAL(chown);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, true, [&] { return real(path, owner, group); });
}
int lchown(const char* path, uid_t owner, gid_t group) {
    REAL(lchown);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, false, [&] { return real(path, owner, group); });
}
int fchownat(int dirfd, const char* path, uid_t owner, gid_t group, int flags) {
    REAL(fchownat);
    return OnPath(NUVEX_FS_META, dirfd, path, (flags & AT_SYMLINK_NOFOLLOW) == 0,
                  [&] { return real(dirfd, path, owner, group, flags); });
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    REAL(fsetxattr);
    return OnFd(NUVEX_FS_META, fd, 0, [&] { return real(fd, name, value, size, flags); });
}
int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    REAL(setxattr);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, true,
                  [&] { return real(path, name, value, size, flags); });
}
int lsetxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    REAL(lsetxattr);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, false,
                  [&] { return real(path, name, value, size, flags); });
}
int fremovexattr(int fd, const char* name) {
    REAL(fremovexattr);
    return OnFd(NUVEX_FS_META, fd, 0, [&] { return real(fd, name); });
}
int removexattr(const char* path, const char* name) {
    REAL(removexattr);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, true, [&] { return real(path, name); });
}
int lremovexattr(const char* path, const char* name) {
    REAL(lremovexattr);
    return OnPath(NUVEX_FS_META, AT_FDCWD, path, false, [&] { return real(path, name); });
}

int close(int fd) {
    REAL(close);
    if (fd >= 0 && fd == g_logFd) return 0;  // the log stays open whatever the program closes
    ForgetConnection(fd);
    std::string path;
    if (!ScopeFd(fd, &path)) return real(fd);
    Recording recording;
    Object object = StatFd(fd);
    int result = real(fd);
    KeepErrno keep;
    if (object.valid)
        Append(NUVEX_FS_CLOSE, object.ino, 0, S_ISDIR(object.mode) ? NUVEX_FS_FLAG_DIRECTORY : 0,
               path, std::string(), nullptr, 0);
    return result;
}

int dup2(int from, int to) {
    REAL(dup2);
    if (to == g_logFd && to >= 0) {
        errno = EBADF;
        return -1;
    }
    ForgetConnection(to);
    return real(from, to);
}
int dup3(int from, int to, int flags) {
    REAL(dup3);
    if (to == g_logFd && to >= 0) {
        errno = EBADF;
        return -1;
    }
    ForgetConnection(to);
    return real(from, to, flags);
}

ssize_t sendfile(int to, int from, off_t* offset, size_t count) {
    REAL(sendfile);
    std::string path;
    if (!ScopeFd(to, &path)) return real(to, from, offset, count);
    Recording recording;
    Position before = Before(to);
    ssize_t n = real(to, from, offset, count);
    KeepErrno keep;
    After(before);
    return n;
}
ssize_t sendfile64(int to, int from, off64_t* offset, size_t count) {
    REAL(sendfile64);
    std::string path;
    if (!ScopeFd(to, &path)) return real(to, from, offset, count);
    Recording recording;
    Position before = Before(to);
    ssize_t n = real(to, from, offset, count);
    KeepErrno keep;
    After(before);
    return n;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    REAL(fwrite);
    return Stream(stream, [&] { return real(data, size, count, stream); });
}
int fputs(const char* text, FILE* stream) {
    REAL(fputs);
    return Stream(stream, [&] { return real(text, stream); });
}
int fputc(int c, FILE* stream) {
    REAL(fputc);
    return Stream(stream, [&] { return real(c, stream); });
}
int putc(int c, FILE* stream) {
    REAL(putc);
    return Stream(stream, [&] { return real(c, stream); });
}
int vfprintf(FILE* stream, const char* format, va_list args) {
    REAL(vfprintf);
    va_list copy;
    va_copy(copy, args);
    int n = Stream(stream, [&] { return real(stream, format, copy); });
    va_end(copy);
    return n;
}
int fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}
int fflush(FILE* stream) {
    REAL(fflush);
    if (stream == nullptr) return AllStreams([&] { return real(nullptr); });
    return Stream(stream, [&] { return real(stream); });
}
int fclose(FILE* stream) {
    static auto realClose = Real<int (*)(FILE*)>("fclose");
    static auto realFlush = Real<int (*)(FILE*)>("fflush");
    int fd = stream != nullptr ? ::fileno(stream) : -1;
    std::string path;
    if (!ScopeFd(fd, &path)) return realClose(stream);
    Recording recording;
    Position before = Before(fd);
    Object object = StatFd(fd);
    // The stream's last bytes are written out first; the descriptor closes with the stream.
    realFlush(stream);
    After(before);
    int result = realClose(stream);
    KeepErrno keep;
    if (object.valid) Append(NUVEX_FS_CLOSE, object.ino, 0, 0, path, std::string(), nullptr, 0);
    return result;
}

}  // extern "C"
