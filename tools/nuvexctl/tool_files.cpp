// The tool's own files and the files the caller names; see tool_files.h.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#include <aclapi.h>
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
#include <vector>

#include "text.h"
#include "tool_files.h"

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

// The ending of the temporary file a replace writes beside its target.
constexpr char kTemporarySuffix[] = ".nuvexctl-tmp";

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

bool ReadRegularFile(const fs::path& path, std::size_t limit, std::string& bytes, std::string& why) {
    InputFile file;
    return file.Open(path, InputKind::Plain, why) && file.ReadAll(limit, bytes, why);
}

#if defined(_WIN32)

namespace {

HANDLE Native(void* handle) { return handle == nullptr ? INVALID_HANDLE_VALUE : static_cast<HANDLE>(handle); }

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

// Security descriptors handed out by GetSecurityInfo, released with LocalFree.
class LocalMemory {
public:
    LocalMemory() = default;
    ~LocalMemory() {
        if (memory_ != nullptr) LocalFree(memory_);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    PSECURITY_DESCRIPTOR* put() { return &memory_; }

private:
    PSECURITY_DESCRIPTOR memory_ = nullptr;
};

// Security attributes whose protected list grants the calling user alone full access: a
// temporary file made with them is the caller's alone from the creating call on, whatever the
// folder would let it inherit, until it takes the permissions of the file it replaces.
class PrivateSecurity {
public:
    PrivateSecurity() {
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
            !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        Handle owned(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size)) return;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        auto* acl = reinterpret_cast<PACL>(acl_.data());
        ok_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
              AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
              InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
              SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    bool ok() const { return ok_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    std::vector<BYTE> user_;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ok_ = false;
};

// The permissions a replaced file had: its list and whether that list was protected from
// inheritance. Without a replaced file, the permissions the folder gives a new file.
class KeptPermissions {
public:
    void From(HANDLE old) {
        PACL dacl = nullptr;
        if (GetSecurityInfo(old, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            descriptor_.put()) != ERROR_SUCCESS)
            return;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!GetSecurityDescriptorControl(*descriptor_.put(), &control, &revision)) return;
        dacl_ = dacl;
        protected_ = (control & SE_DACL_PROTECTED) != 0;
        kept_ = true;
    }
    // Gives them to the file open as `file`: the replaced file's list, or (for a new file) an
    // empty list of its own, open to inheritance, which leaves it what the folder passes on.
    bool GiveTo(HANDLE file) {
        ACL empty{};
        PACL dacl = dacl_;
        if (!kept_) {
            if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
            dacl = &empty;
        }
        const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION);
        return SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    }

private:
    LocalMemory descriptor_;
    PACL dacl_ = nullptr;
    bool protected_ = false;
    bool kept_ = false;
};

std::wstring TemporaryName(const fs::path& path, int n) {
    std::wstring name = path.native();
    for (const char* c = kTemporarySuffix; *c != 0; ++c) name += static_cast<wchar_t>(*c);
    if (n != 0) name += L"." + std::to_wstring(n);
    return name;
}

}  // namespace

InputFile::~InputFile() {
    if (handle_ != nullptr) CloseHandle(Native(handle_));
}

bool InputFile::Open(const fs::path& path, InputKind, std::string& why) {
    refused_ = false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                  ? "cannot be opened: no such file"
                  : "cannot be opened";
        return false;
    }
    handle_ = file;
    // A pipe or a device (CON, NUL) is no file to read.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        handle_ = nullptr;
        refused_ = true;
        why = "is not a regular file";
        return false;
    }
    return true;
}

long InputFile::Read(void* into, std::size_t size) {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(Native(handle_), into, want, &read, nullptr)) return -1;
    return static_cast<long>(read);
}

bool InputFile::ReadAll(std::size_t limit, std::string& bytes, std::string& why) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(Native(handle_), &size) && static_cast<unsigned long long>(size.QuadPart) > limit) {
        why = LargerThan(limit);
        return false;
    }
    bytes.clear();
    char block[65536];
    for (;;) {
        const long n = Read(block, std::min<std::size_t>(sizeof block, limit + 1 - bytes.size()));
        if (n < 0) {
            why = "cannot be read";
            return false;
        }
        if (n == 0) return true;
        bytes.append(block, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {  // it grew while it was read
            bytes.clear();
            why = LargerThan(limit);
            return false;
        }
    }
}

bool TargetAllowed(const fs::path& path, std::string& why, bool ownershipOnly) {
    // The files' access-control lists, not an owner, say who may use them.
    if (ownershipOnly) return true;
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (ec || status.type() != fs::file_type::regular) {
        why = "is not a regular file; nothing was written";
        return false;
    }
    return true;
}

bool ReplaceFileWith(const fs::path& path, const std::string& bytes, std::string& why) {
    if (!TargetAllowed(path, why)) return false;
    if (bytes.size() > 0xFFFFFFFFu) {
        why = "cannot be written: too large";
        return false;
    }
    KeptPermissions permissions;
    {
        Handle old(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (old.valid()) permissions.From(old.get());
    }
    PrivateSecurity security;
    if (!security.ok()) {
        why = "cannot be written: no private temporary file can be made";
        return false;
    }
    for (int n = 0; n < 16; ++n) {
        const std::wstring temporary = TemporaryName(path, n);
        // CREATE_NEW opens nothing that is already there, a reparse point included. The file
        // may be renamed while it is open (FILE_SHARE_DELETE), so that it keeps being reached
        // through this handle, never through its name, once it is in place.
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, FILE_SHARE_DELETE,
                                security.attributes(), CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
            why = "cannot be written: no temporary file can be made beside it";
            return false;
        }
        DWORD written = 0;
        const bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size() && FlushFileBuffers(file.get());
        if (!ok || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            file.close();
            DeleteFileW(temporary.c_str());
            why = "cannot be written (nothing changed)";
            return false;
        }
        // In place: only now may it be as open as the file it replaced. When that cannot be
        // given it stays its owner's alone.
        permissions.GiveTo(file.get());
        return file.close();
    }
    why = "cannot be written: no free temporary name beside it";
    return false;
}

bool MakeDurable(const fs::path& file, std::string& why) {
    // Its name came with a write-through rename (MOVEFILE_WRITE_THROUGH); its bytes are flushed
    // here.
    Handle handle(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.valid() && FlushFileBuffers(handle.get())) return true;
    why = "cannot be flushed to the disk";
    return false;
}

bool RemoveDurably(const fs::path& file) {
    // Windows has no folder to sync: the name goes by a write-through rename, which returns once
    // the move is on the disk, and the renamed file is deleted after it (one a power cut leaves
    // behind is read by nothing).
    const std::wstring removed = file.native() + L".removed";
    if (!MoveFileExW(file.c_str(), removed.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    DeleteFileW(removed.c_str());
    return true;
}

AppendFile::~AppendFile() {
    if (handle_ != nullptr) CloseHandle(Native(handle_));
}

bool AppendFile::Open(const fs::path& path, std::string& why) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = "cannot be opened";
        return false;
    }
    handle_ = file;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        why = "is not a regular file";
        return false;
    }
    return true;
}

bool AppendFile::Append(const std::string& bytes) {
    // Offsets of all ones write at the end of the file, whatever another writer added.
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFFu;
    end.OffsetHigh = 0xFFFFFFFFu;
    DWORD written = 0;
    return handle_ != nullptr && WriteFile(Native(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &end) &&
           written == bytes.size();
}

bool AppendFile::Sync() { return handle_ != nullptr && FlushFileBuffers(Native(handle_)); }

bool OwnFolder(const fs::path& folder, std::string& why, bool create) {
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

bool StateFolder(fs::path& folder, std::string& why, bool create) {
    // Read from the environment in UTF-16: the ANSI copy of a variable may hold a best-fit
    // substitute that names another folder.
    if (const wchar_t* given = _wgetenv(L"NUVEXCTL_STATE_DIR"); given != nullptr && *given != L'\0') {
        folder = fs::path(given);
    } else {
        const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
        if (local == nullptr || *local == L'\0') {
            why = "LOCALAPPDATA is not set";
            return false;
        }
        folder = fs::path(local) / L"nuvexctl";
    }
    return OwnFolder(folder, why, create);
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

namespace {

// The folder that holds `path` ("." for a bare name).
fs::path FolderOf(const fs::path& path) {
    fs::path folder = path.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

InputFile::~InputFile() = default;

bool InputFile::Open(const fs::path& path, InputKind kind, std::string& why) {
    refused_ = false;
    files::InputRefusal refusal = files::InputRefusal::None;
    fd_ = files::OpenInput(path.string(), kind == InputKind::Secret ? files::InputKind::Secret : files::InputKind::Plain, refusal);
    const int error = errno;
    if (fd_) return true;
    if (refusal == files::InputRefusal::CannotOpen) {
        why = std::string("cannot be opened: ") + (error == ENOENT ? "no such file" : std::strerror(error));
        return false;
    }
    // A link to nothing is a file that is not there; everything else is refused for what it is.
    refused_ = refusal != files::InputRefusal::LinkToNothing;
    why = files::DescribeRefusal(refusal);
    return false;
}

long InputFile::Read(void* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_.get(), into, size);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool InputFile::ReadAll(std::size_t limit, std::string& bytes, std::string& why) {
    switch (files::ReadWhole(fd_.get(), limit, bytes)) {
    case files::ReadOutcome::Whole: return true;
    case files::ReadOutcome::TooLarge: why = LargerThan(limit); return false;
    case files::ReadOutcome::ReadFailed: why = std::string("cannot be read: ") + std::strerror(errno); return false;
    case files::ReadOutcome::NotStored: break;
    }
    why = "is not a regular file (it changed while it was read, or is made up by the system)";
    return false;
}

bool TargetAllowed(const fs::path& path, std::string& why, bool ownershipOnly) {
    const files::ReplaceOutcome outcome = files::CheckTarget(path.string());
    const bool ofAnother =
        outcome == files::ReplaceOutcome::LinkOfAnother || outcome == files::ReplaceOutcome::OwnedByAnother;
    if (outcome == files::ReplaceOutcome::Done || (ownershipOnly && !ofAnother)) return true;
    why = std::string(files::DescribeReplace(outcome)) + "; nothing was written";
    return false;
}

bool ReplaceFileWith(const fs::path& path, const std::string& bytes, std::string& why) {
    const files::ReplaceOutcome outcome =
        files::ReplaceWithBytes(path.string(), bytes.data(), bytes.size(), kTemporarySuffix);
    const int error = errno;
    switch (outcome) {
    case files::ReplaceOutcome::Done: return true;
    case files::ReplaceOutcome::NoFolder:
    case files::ReplaceOutcome::NoTemporary:
    case files::ReplaceOutcome::WriteFailed:
    case files::ReplaceOutcome::RenameFailed:
    case files::ReplaceOutcome::NotDurable:
        why = std::string(files::DescribeReplace(outcome)) + ": " + std::strerror(error);
        return false;
    default:
        why = std::string(files::DescribeReplace(outcome)) + "; nothing was written";
        return false;
    }
}

bool MakeDurable(const fs::path& file, std::string& why) {
    files::Fd handle(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    files::Fd folder = files::OpenFolder(FolderOf(file).string());
    if (handle && ::fsync(handle.get()) == 0 && folder && files::SyncFolder(folder.get())) return true;
    why = std::string("cannot be flushed to the disk: ") + std::strerror(errno);
    return false;
}

bool RemoveDurably(const fs::path& file) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) return false;
    files::Fd folder = files::OpenFolder(FolderOf(file).string());
    return folder && files::SyncFolder(folder.get());
}

AppendFile::~AppendFile() = default;

bool AppendFile::Open(const fs::path& path, std::string& why) {
    std::string folder, leaf;
    if (!files::SplitPath(path.string(), folder, leaf)) {
        why = "is not a file name";
        return false;
    }
    folder_ = files::OpenFolder(folder);
    if (folder_) fd_ = files::OpenForAppend(folder_.get(), leaf, created_);
    if (!fd_) {
        why = errno == EPERM    ? "belongs to another user"
              : errno == EINVAL ? "is not a regular file"
                                : std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool AppendFile::Append(const std::string& bytes) { return fd_ && files::WriteAll(fd_.get(), bytes.data(), bytes.size()); }

bool AppendFile::Sync() {
    if (!fd_ || ::fdatasync(fd_.get()) != 0) return false;
    if (created_ && !files::SyncFolder(folder_.get())) return false;
    created_ = false;
    return true;
}

bool OwnFolder(const fs::path& folder, std::string& why, bool create) {
    // Made owner-only in the creating call, and its name made durable in the folder above it
    // before anything is kept in it; one that is there already must be ours alone.
    if (create) {
        if (::mkdir(folder.c_str(), 0700) == 0) {
            files::Fd above = files::OpenFolder(FolderOf(folder).string());
            if (!above || !files::SyncFolder(above.get())) {
                why = std::string("cannot be synced to the disk: ") + std::strerror(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            why = std::string("cannot be created: ") + std::strerror(errno);
            return false;
        }
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
    return OwnFolder(folder, why, create);
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
