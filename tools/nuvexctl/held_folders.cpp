#include "held_folders.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <system_error>

#if defined(_WIN32)
#include "text.h"
#endif

namespace nuvexctl {
// The system calls behind the held folders, one set per system.
namespace os {

constexpr intptr_t kClosed = -1;

#if defined(_WIN32)

HANDLE AsHandle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

std::string SystemReason(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

// Every folder is held without delete sharing, so that it cannot be renamed or removed while it
// is held (on NTFS, which refuses to rename a folder with open files below it, neither can a
// folder above it), and shares reading and writing, so that the library can work in it.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool Inspect(HANDLE handle, FileIdentity& identity, DWORD& attributes) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) return false;
    identity = {information.dwVolumeSerialNumber,
                (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    attributes = information.dwFileAttributes;
    return true;
}

bool IdentityOfNative(intptr_t native, FileIdentity& identity) {
    DWORD attributes = 0;
    return Inspect(AsHandle(native), identity, attributes);
}

// Opens `name` inside the folder `parent` through the parent's handle (the system resolves the
// name there, not along a path), never following a reparse point at it. Null with the system's
// error in `error`.
HANDLE OpenInside(HANDLE parent, const NativeName& name, ACCESS_MASK access, ULONG share, ULONG options,
                  DWORD& error) {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, access, &attributes, &io, nullptr, 0, share, FILE_OPEN,
                     options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (NT_SUCCESS(status)) return handle;
    error = RtlNtStatusToDosError(status);
    return nullptr;
}

// A folder handle that is a real folder: a reparse point (a link, a junction) is refused.
intptr_t TakeFolder(HANDLE handle, bool& isLink, std::string& why) {
    FileIdentity identity;
    DWORD attributes = 0;
    if (!Inspect(handle, identity, attributes)) {
        why = SystemReason(GetLastError());
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        isLink = true;
        why = "it is a symbolic link";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = "not a directory";
    } else {
        return reinterpret_cast<intptr_t>(handle);
    }
    CloseHandle(handle);
    return kClosed;
}

intptr_t OpenTop(const std::filesystem::path& path, bool /*followLink*/, bool& isLink, std::string& why) {
    HANDLE handle = CreateFileW(path.c_str(), kFolderAccess, kShareAllButDelete, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // Another program holds it for deleting: it is still reached through the handle alone.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        handle = CreateFileW(path.c_str(), kFolderAccess, kShareAllButDelete | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = SystemReason(GetLastError());
        return kClosed;
    }
    return TakeFolder(handle, isLink, why);
}

intptr_t OpenChild(intptr_t parent, const NativeName& name, bool& isLink, std::string& why) {
    DWORD error = 0;
    const ULONG options = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;
    HANDLE handle = OpenInside(AsHandle(parent), name, kFolderAccess, kShareAllButDelete, options, error);
    if (handle == nullptr && error == ERROR_SHARING_VIOLATION)
        handle = OpenInside(AsHandle(parent), name, kFolderAccess, kShareAllButDelete | FILE_SHARE_DELETE, options,
                            error);
    if (handle == nullptr) {
        why = error == ERROR_DIRECTORY ? std::string("not a directory") : SystemReason(error);
        return kClosed;
    }
    return TakeFolder(handle, isLink, why);
}

void CloseNative(intptr_t native) { CloseHandle(AsHandle(native)); }

#else

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

std::string SystemReason(int error) { return std::generic_category().message(error); }

bool IdentityOfNative(intptr_t native, FileIdentity& identity) {
    struct stat st {};
    if (::fstat(static_cast<int>(native), &st) != 0) return false;
    identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

// Why a folder could not be opened.
std::string FolderRefusal(bool isLink, int error) {
    if (isLink) return "it is a symbolic link";
    return error == ENOTDIR ? std::string("not a directory") : SystemReason(error);
}

// Whether `name` in `folder` is a link, looked at without following it.
bool IsLinkAt(int folder, const char* name) {
    struct stat st {};
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

intptr_t OpenTop(const std::filesystem::path& path, bool followLink, bool& isLink, std::string& why) {
    const int fd = ::open(path.c_str(), kFolderFlags | (followLink ? 0 : O_NOFOLLOW));
    if (fd >= 0) return fd;
    const int error = errno;
    isLink = !followLink && (error == ELOOP || error == ENOTDIR) && IsLinkAt(AT_FDCWD, path.c_str());
    why = FolderRefusal(isLink, error);
    return kClosed;
}

intptr_t OpenChild(intptr_t parent, const NativeName& name, bool& isLink, std::string& why) {
    const int fd = ::openat(static_cast<int>(parent), name.c_str(), kFolderFlags | O_NOFOLLOW);
    if (fd >= 0) return fd;
    const int error = errno;
    isLink = (error == ELOOP || error == ENOTDIR) && IsLinkAt(static_cast<int>(parent), name.c_str());
    why = FolderRefusal(isLink, error);
    return kClosed;
}

void CloseNative(intptr_t native) { ::close(static_cast<int>(native)); }

#endif

}  // namespace os


bool IdentityOfFolder(const std::filesystem::path& path, FileIdentity& identity) {
    bool isLink = false;
    std::string why;
    const intptr_t native = os::OpenTop(path, true, isLink, why);
    if (native == os::kClosed) return false;
    const bool known = os::IdentityOfNative(native, identity);
    os::CloseNative(native);
    return known;
}

HeldFolder::~HeldFolder() {
    if (native_ != os::kClosed) os::CloseNative(native_);
}

// ---- listing --------------------------------------------------------------------------------

#if defined(_WIN32)

bool ListFolder(const HeldFolder& folder, std::vector<FolderEntry>& entries, std::string& why) {
    entries.clear();
    // Read through the folder's own handle: the names are those of this very folder.
    std::vector<uint64_t> buffer(64 * 1024 / sizeof(uint64_t));
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(uint64_t));
    FILE_INFO_BY_HANDLE_CLASS what = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(os::AsHandle(folder.Handle()), what, buffer.data(), size)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) return true;
            why = os::SystemReason(error);
            return false;
        }
        what = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
            NativeName name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const DWORD attributes = entry->FileAttributes;
                const EntryKind kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::Link
                                       : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? EntryKind::Folder
                                       : (attributes & FILE_ATTRIBUTE_DEVICE) != 0      ? EntryKind::Other
                                                                                        : EntryKind::File;
                entries.push_back({std::move(name), kind});
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

#else

bool ListFolder(const HeldFolder& folder, std::vector<FolderEntry>& entries, std::string& why) {
    entries.clear();
    const int fd = static_cast<int>(folder.Handle());
    // The listing takes a descriptor of its own (closed with it); the folder stays held.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (listing == nullptr) {
        why = os::SystemReason(errno);
        if (copy >= 0) ::close(copy);
        return false;
    }
    ::rewinddir(listing);
    bool whole = true;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            if (errno != 0) {
                why = os::SystemReason(errno);
                whole = false;
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone since
        const EntryKind kind = S_ISLNK(st.st_mode)   ? EntryKind::Link
                               : S_ISDIR(st.st_mode) ? EntryKind::Folder
                               : S_ISREG(st.st_mode) ? EntryKind::File
                                                     : EntryKind::Other;
        entries.push_back({name, kind});
    }
    ::closedir(listing);
    return whole;
}

#endif

// ---- the folders of a walk --------------------------------------------------------------------

FolderTree::FolderTree(std::size_t openAtMost) : openAtMost_(std::max<std::size_t>(openAtMost, 2)) {}

std::size_t FolderTree::DefaultOpenAtMost() {
#if defined(_WIN32)
    return 256;
#else
    // A quarter of the descriptors the process may have: the rest stay for the library's own
    // (each file worked on takes a few) and for the jobs' folders in use.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 256;
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur / 4), 4, 256);
#endif
}

FolderHold FolderTree::Cached(std::size_t folder) {
    const auto found = openByFolder_.find(folder);
    if (found == openByFolder_.end()) return {};
    open_.splice(open_.begin(), open_, found->second);
    return found->second->second;
}

FolderHold FolderTree::KeepOpen(std::size_t folder, intptr_t native) {
    auto held = std::make_shared<const HeldFolder>(native);
    open_.emplace_front(folder, held);
    openByFolder_[folder] = open_.begin();
    // A folder let go here stays open while a job still works in it.
    while (open_.size() > openAtMost_) {
        openByFolder_.erase(open_.back().first);
        open_.pop_back();
    }
    return held;
}

intptr_t FolderTree::Reopen(const Place& place, const HeldFolder* parent, bool& isLink, std::string& why) const {
    if (place.parent == kNone) return os::OpenTop(place.path, place.followLink, isLink, why);
    return os::OpenChild(parent->Handle(), place.name, isLink, why);
}

std::size_t FolderTree::Add(Place place, const HeldFolder* parent, bool& isLink, std::string& why) {
    const intptr_t native = Reopen(place, parent, isLink, why);
    if (native == os::kClosed) return kNone;
    if (!os::IdentityOfNative(native, place.identity)) {
        why = "cannot be examined";
        os::CloseNative(native);
        return kNone;
    }
    places_.push_back(std::move(place));
    KeepOpen(places_.size() - 1, native);
    return places_.size() - 1;
}

std::size_t FolderTree::AddTop(const std::filesystem::path& path, bool followLink, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool isLink = false;
    return Add({kNone, {}, path, followLink, {}}, nullptr, isLink, why);
}

std::size_t FolderTree::AddChild(std::size_t parent, const NativeName& name, bool& isLink, std::string& why) {
    FolderHold above = Hold(parent, why);
    if (!above) return kNone;
    std::lock_guard<std::mutex> lock(mutex_);
    return Add({parent, name, {}, false, {}}, above.get(), isLink, why);
}

FileIdentity FolderTree::IdentityOf(std::size_t folder) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return places_[folder].identity;
}

FolderHold FolderTree::Hold(std::size_t folder, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FolderHold open = Cached(folder)) return open;
    // The folders from the nearest one still open (or one the user named) down to this one, each
    // opened through the one above it and checked to be the folder that was listed there.
    std::vector<std::size_t> chain{folder};
    FolderHold above;
    while (places_[chain.back()].parent != kNone) {
        const std::size_t parent = places_[chain.back()].parent;
        if ((above = Cached(parent))) break;
        chain.push_back(parent);
    }
    for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
        const Place& place = places_[*step];
        bool isLink = false;
        std::string reason;
        const intptr_t native = Reopen(place, above.get(), isLink, reason);
        if (native == os::kClosed) {
            why = isLink ? "its folder was replaced by a link after it was listed"
                         : "its folder cannot be opened again: " + reason;
            return {};
        }
        FileIdentity now;
        if (!os::IdentityOfNative(native, now) || !(now == place.identity)) {
            os::CloseNative(native);
            why = "its folder was replaced after it was listed";
            return {};
        }
        above = KeepOpen(*step, native);
    }
    return above;
}

// ---- files in a held folder -----------------------------------------------------------------

HeldFile::~HeldFile() {
    if (native_ != os::kClosed) os::CloseNative(native_);
}

#if defined(_WIN32)

HeldFile::Opened HeldFile::Open(const HeldFolder& folder, const NativeName& name) {
    DWORD error = 0;
    // Attributes only: the library's own handle, for reading, meets no sharing conflict.
    HANDLE handle = os::OpenInside(os::AsHandle(folder.Handle()), name, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                               os::kShareAllButDelete, FILE_NON_DIRECTORY_FILE, error);
    if (handle == nullptr)
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Opened::Missing : Opened::Failed;
    native_ = reinterpret_cast<intptr_t>(handle);
    FileIdentity identity;
    DWORD attributes = 0;
    if (!os::Inspect(handle, identity, attributes)) return Opened::Failed;
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return Opened::NotRegular;
    // The path the system gives for this very handle; held without delete sharing, the file
    // keeps it while the library reads.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return Opened::Failed;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    // "\\?\C:\dir\f" is "C:\dir\f"; "\\?\UNC\server\share\f" is "\\server\share\f".
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
    return ExactTextFromPath(std::filesystem::path(path), libraryName_) ? Opened::Yes : Opened::Failed;
}

bool RemoveIn(const HeldFolder& folder, const NativeName& name, std::string& why) {
    DWORD error = 0;
    HANDLE handle = os::OpenInside(os::AsHandle(folder.Handle()), name, DELETE | SYNCHRONIZE,
                               os::kShareAllButDelete | FILE_SHARE_DELETE, FILE_NON_DIRECTORY_FILE, error);
    if (handle == nullptr) {
        why = os::SystemReason(error);
        return false;
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const bool removed = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
    if (!removed) why = os::SystemReason(GetLastError());
    CloseHandle(handle);
    return removed;
}

#else

HeldFile::Opened HeldFile::Open(const HeldFolder& folder, const NativeName& name) {
    const int at = static_cast<int>(folder.Handle());
    // Never waits: a FIFO put there is not waited on.
    const int fd = ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return error == ENOENT ? Opened::Missing : Opened::Failed;
        return S_ISREG(st.st_mode) ? Opened::Failed : Opened::NotRegular;
    }
    native_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Opened::Failed;
    if (!S_ISREG(st.st_mode)) return Opened::NotRegular;
    // The kernel resolves this name to the open file itself, wherever its name has gone.
    libraryName_ = "/proc/self/fd/" + std::to_string(fd);
    return Opened::Yes;
}

bool RemoveIn(const HeldFolder& folder, const NativeName& name, std::string& why) {
    if (::unlinkat(static_cast<int>(folder.Handle()), name.c_str(), 0) == 0) return true;
    why = os::SystemReason(errno);
    return false;
}

#endif

}  // namespace nuvexctl
