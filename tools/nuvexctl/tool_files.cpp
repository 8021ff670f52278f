// The tool's own files and the holding back of interruptions; see tool_files.h.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "text.h"
#include "tool_files.h"

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

// Names of temporary files tried beside a target before giving up.
constexpr int kTemporaryNames = 16;

std::string TemporaryName(const std::string& path, int n) {
    return path + ".nuvexctl-tmp" + (n == 0 ? std::string() : "." + std::to_string(n));
}

#if defined(_WIN32)

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    bool close() {
        bool ok = true;
        if (valid()) ok = CloseHandle(h_) != FALSE;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

std::wstring Wide(const std::string& path) { return PathFromText(path).wstring(); }

#else

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool close() {
        bool ok = true;
        if (fd_ >= 0) ok = ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

private:
    int fd_;
};

#endif

}  // namespace

bool WriteWhole(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
#if defined(_WIN32)
        int n = _write(fd, bytes.data() + done, static_cast<unsigned>(std::min<std::size_t>(bytes.size() - done, 1u << 30)));
#else
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string LargerThan(std::size_t limit) {
    return "is larger than the limit of " + std::to_string(limit) + " bytes";
}

bool ReadStandardInput(std::size_t limit, std::string& bytes, std::string& why) {
    bytes.clear();
    std::streambuf* in = std::cin.rdbuf();
    char block[65536];
    // One byte past the limit is enough to know that the input is too large; nothing more of
    // an endless input is read.
    while (bytes.size() <= limit) {
        std::size_t want = std::min<std::size_t>(sizeof block, limit + 1 - bytes.size());
        std::streamsize n = in->sgetn(block, static_cast<std::streamsize>(want));
        if (n <= 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    if (bytes.size() > limit) {
        bytes.clear();
        why = LargerThan(limit);
        return false;
    }
    return true;
}

#if defined(_WIN32)

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& why) {
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        why = "cannot be opened";
        return false;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        why = "is not a regular file";
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) && static_cast<unsigned long long>(size.QuadPart) > limit) {
        why = LargerThan(limit);
        return false;
    }
    bytes.clear();
    char block[65536];
    for (;;) {
        DWORD read = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof block, limit + 1 - bytes.size()));
        if (!ReadFile(file.get(), block, want, &read, nullptr)) {
            why = "cannot be read";
            return false;
        }
        if (read == 0) return true;
        bytes.append(block, read);
        if (bytes.size() > limit) {  // it grew while it was read
            bytes.clear();
            why = LargerThan(limit);
            return false;
        }
    }
}

bool RegularOrAbsent(const std::string& path, std::string& why) {
    std::error_code ec;
    fs::file_status status = fs::status(PathFromText(path), ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (ec || status.type() != fs::file_type::regular) {
        why = "is not a regular file";
        return false;
    }
    return true;
}

bool ReplaceFileWith(const std::string& path, const std::string& bytes, std::string& why) {
    if (!RegularOrAbsent(path, why)) return false;
    why = "cannot be written";
    for (int n = 0; n < kTemporaryNames; ++n) {
        std::wstring temporary = Wide(TemporaryName(path, n));
        // CREATE_NEW opens nothing that is already there, a reparse point included.
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        DWORD written = 0;
        bool ok = bytes.size() <= 0xFFFFFFFFu &&
                  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(file.get());
        ok = file.close() && ok;
        if (ok && MoveFileExW(temporary.c_str(), Wide(path).c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DeleteFileW(temporary.c_str());
        return false;
    }
    return false;
}

bool StateFolder(fs::path& folder, std::string& why, bool create) {
    std::error_code ec;
    if (const char* given = std::getenv("NUVEXCTL_STATE_DIR"); given != nullptr && *given != '\0') {
        folder = PathFromText(given);
    } else {
        const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
        if (local == nullptr || *local == L'\0') {
            why = "LOCALAPPDATA is not set";
            return false;
        }
        folder = fs::path(local) / L"nuvexctl";
    }
    // The user's profile folders are the user's own; a folder made in them inherits that.
    if (create && !CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        why = "cannot be created";
        return false;
    }
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = "is not a folder of its own";
        return false;
    }
    return true;
}

namespace {
volatile LONG g_deferring = 0;
volatile LONG g_interrupted = 0;

BOOL WINAPI HoldBreak(DWORD) {
    if (g_deferring == 0) return FALSE;
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;
}
}  // namespace

DeferredInterrupts::DeferredInterrupts() {
    if (InterlockedIncrement(&g_deferring) == 1) SetConsoleCtrlHandler(HoldBreak, TRUE);
}

DeferredInterrupts::~DeferredInterrupts() {
    if (InterlockedDecrement(&g_deferring) != 0) return;
    SetConsoleCtrlHandler(HoldBreak, FALSE);
    if (InterlockedExchange(&g_interrupted, 0) != 0) {
        std::cout.flush();
        std::cerr << "nuvexctl: interrupted; the change was completed before stopping\n";
        std::cerr.flush();
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

#else

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& why) {
    // Opening never waits for a pipe's writer; the type is known before anything is read.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0) {
        why = "cannot be opened";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        why = LargerThan(limit);
        return false;
    }
    int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    bytes.clear();
    char block[65536];
    for (;;) {
        std::size_t want = std::min<std::size_t>(sizeof block, limit + 1 - bytes.size());
        ssize_t n = ::read(file.get(), block, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "cannot be read";
            return false;
        }
        if (n == 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {  // it grew while it was read
            bytes.clear();
            why = LargerThan(limit);
            return false;
        }
    }
    // A stored file delivers exactly its size; a file the kernel makes up as it is read (in
    // /proc or /sys) does not, and is no file of the tool's.
    if (bytes.size() != static_cast<std::size_t>(st.st_size)) {
        why = "is not a regular file (it changed while it was read, or is made up by the system)";
        return false;
    }
    return true;
}

bool RegularOrAbsent(const std::string& path, std::string& why) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        why = std::string("cannot be examined: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        return false;
    }
    return true;
}

bool ReplaceFileWith(const std::string& given, const std::string& bytes, std::string& why) {
    if (!RegularOrAbsent(given, why)) return false;
    // A link is followed: the file it names is replaced and the link stays (replacing the link
    // itself would turn /dev/stdout, say, into a plain file).
    std::string path = given;
    struct stat named;
    if (::lstat(given.c_str(), &named) == 0 && S_ISLNK(named.st_mode)) {
        char* real = ::realpath(given.c_str(), nullptr);
        if (real == nullptr) {
            why = "is a link to a file that does not exist";
            return false;
        }
        path = real;
        std::free(real);
        if (!RegularOrAbsent(path, why)) return false;
    }
    struct stat old;
    const bool replacing = ::stat(path.c_str(), &old) == 0;
    for (int n = 0; n < kTemporaryNames; ++n) {
        const std::string temporary = TemporaryName(path, n);
        // Exclusive and without following a link: a name someone planted is skipped, never
        // written through. Owner-only from the creating call on.
        Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.get() < 0) {
            if (errno == EEXIST) continue;
            why = std::string("cannot be written: ") + std::strerror(errno);
            return false;
        }
        bool ok = true;
        if (replacing) {
            // The replaced file's permissions and group, given through the descriptor; the
            // group's bits only when the group could be given.
            mode_t mode = old.st_mode & 0777;
            struct stat now;
            if (::fstat(file.get(), &now) == 0 && now.st_gid != old.st_gid &&
                ::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid) != 0)
                mode &= ~static_cast<mode_t>(S_IRWXG);
            ok = ::fchmod(file.get(), mode) == 0;
        }
        ok = ok && WriteWhole(file.get(), bytes) && ::fsync(file.get()) == 0;
        ok = file.close() && ok;
        if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
        why = std::string("cannot be written: ") + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    why = "cannot be written: no free temporary name beside it";
    return false;
}

bool StateFolder(fs::path& folder, std::string& why, bool create) {
    if (const char* given = std::getenv("NUVEXCTL_STATE_DIR"); given != nullptr && *given != '\0') {
        folder = given;
    } else if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        folder = fs::path(state) / "nuvexctl";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        folder = fs::path(home) / ".local" / "state" / "nuvexctl";
    } else {
        why = "neither NUVEXCTL_STATE_DIR, XDG_STATE_HOME nor HOME is set";
        return false;
    }
    std::error_code ec;
    if (create && folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
    // Made owner-only in the creating call; one that is there already must be ours alone.
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = std::string("cannot be created: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        why = "is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "belongs to another user or can be written by others";
        return false;
    }
    return true;
}

namespace {
int g_deferring = 0;
sigset_t g_previousMask;
}  // namespace

DeferredInterrupts::DeferredInterrupts() {
    if (g_deferring++ != 0) return;
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &held, &g_previousMask);
}

DeferredInterrupts::~DeferredInterrupts() {
    if (--g_deferring != 0) return;
    sigset_t pending;
    sigemptyset(&pending);
    // Only a held-back signal that will end the tool is worth a note (a background job
    // started by a shell ignores Ctrl-C, for one).
    auto ends = [&pending](int signal) {
        struct sigaction action;
        return sigismember(&pending, signal) == 1 && ::sigaction(signal, nullptr, &action) == 0 &&
               action.sa_handler == SIG_DFL;
    };
    if (::sigpending(&pending) == 0 && (ends(SIGINT) || ends(SIGTERM) || ends(SIGHUP))) {
        std::cout.flush();
        std::cerr << "nuvexctl: interrupted; the change was completed before stopping\n";
        std::cerr.flush();
    }
    // A signal held back is delivered here and takes its usual effect.
    ::sigprocmask(SIG_SETMASK, &g_previousMask, nullptr);
}

#endif

}  // namespace nuvexctl
