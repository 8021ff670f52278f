// The machine root, path translation and the calls that report where things are.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

std::mutex g_rootLock;
std::string g_root;  // empty until the first call needs it

// The folders the platform keeps in every machine root, each after its parent.
constexpr const char* kStandardFolders[] = {
    "Windows",
    "Windows/System32",
    "Windows/System32/drivers",
    "Registry",
    "Registry/HKEY_LOCAL_MACHINE",
    "Registry/HKEY_LOCAL_MACHINE/SYSTEM",
    "Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet",
    "Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services",
    "Device",
    "Drivers",
};

std::string DefaultRoot() {
    const char* runtime = ::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/nuvex-host";
    // A name in a folder anyone may write to: whoever made it first owns it, so it is only
    // used after the same checks as any other root.
    return "/tmp/nuvex-host-" + std::to_string(static_cast<unsigned long>(::geteuid()));
}

std::string Absolute(std::string path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

std::string ConfiguredRoot() {
    const char* configured = ::getenv("NUVEX_HOST_ROOT");
    std::string root = (configured != nullptr && configured[0] != '\0')
                           ? Absolute(TranslatePath(configured))
                           : DefaultRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// Whether an entry that lstat described may be trusted as part of the machine: not a link,
// owned by the caller, and writable by nobody else. Anyone else who could change it could
// put a device, a driver image or a registry value of their own in the machine's place.
bool Trusted(const struct stat& st) {
    return !S_ISLNK(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes the folder `path` exist (owner-only when it has to be made) and checks it.
// ERROR_SUCCESS, or the Windows error that refuses it. Missing parents of the root are made
// owner-only too; parents that exist are the caller's business.
DWORD SettleFolder(const std::string& path, bool isRoot) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return ErrorFromErrno(errno, path);
        if (isRoot) {
            size_t slash = path.find_last_of('/');
            if (slash != std::string::npos && slash > 0) MakeDirectories(path.substr(0, slash));
        }
        // Made with its final mode in one step; a folder someone else made first in a race
        // is then judged like any other below.
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            // Under a plain file (a test may put one where a key folder was): nothing to trust.
            if (!isRoot && errno == ENOTDIR) return ERROR_SUCCESS;
            return ErrorFromErrno(errno, path);
        }
        if (::lstat(path.c_str(), &st) != 0) return ErrorFromErrno(errno, path);
    }
    if (!Trusted(st)) return ERROR_ACCESS_DENIED;
    // A file of the caller's in a folder's place makes the calls through it fail by themselves.
    if (isRoot && !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

// Whether someone else could put another folder in the root's place: a folder on the way to
// it (links resolved) that anyone may write to without the sticky bit lets anyone rename the
// root away and make their own under its name. Folders of a group, or of another owner, are
// left to the caller's judgement.
bool RootCanBeSwapped(const std::string& root) {
    // From the nearest folder that exists: missing ones are made owner-only.
    std::string folder = root;
    char resolved[PATH_MAX];
    for (;;) {
        size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos) return false;
        folder = slash == 0 ? "/" : folder.substr(0, slash);
        if (::realpath(folder.c_str(), resolved) != nullptr) break;
        if (errno != ENOENT || folder == "/") return false;  // the root then fails by itself
    }
    folder = resolved;
    for (;;) {
        struct stat st;
        if (::lstat(folder.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0 &&
            (st.st_mode & S_ISVTX) == 0)
            return true;
        if (folder == "/") return false;
        size_t cut = folder.find_last_of('/');
        folder = cut == 0 ? "/" : folder.substr(0, cut);
    }
}

// The root and its standard folders exist and are the caller's own; else the refusal.
DWORD SettleMachine(const std::string& root) {
    if (RootCanBeSwapped(root)) return ERROR_ACCESS_DENIED;
    DWORD error = SettleFolder(root, true);
    for (const char* folder : kStandardFolders) {
        if (error != ERROR_SUCCESS) break;
        error = SettleFolder(root + "/" + folder, false);
    }
    return error;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string MachineRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    std::string root = g_root.empty() ? ConfiguredRoot() : g_root;
    // Checked at every use, not once: a long-running process must not follow its root's name
    // to a folder that someone else made after the first one was removed.
    DWORD error = SettleMachine(root);
    if (error != ERROR_SUCCESS) {
        SetError(error);
        return std::string();
    }
    g_root = root;
    return g_root;
}

std::string CachedMachineRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_root;
}

std::string TranslatePath(const char* path) {
    std::string out = path != nullptr ? path : "";
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string Utf16ToUtf8(const char16_t* text, size_t units) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            uint32_t low = text[++i];
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

bool MakeDirectories(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty()) ::mkdir(partial.c_str(), 0700);
        pos = next + 1;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DeviceNameOf(const std::string& translated) {
    if (translated.size() > 4 && translated.compare(0, 4, "//./") == 0) {
        std::string name = translated.substr(4);
        if (name.find('/') == std::string::npos && name != "." && name != "..") return name;
    }
    return std::string();
}

std::string SystemDirectory() {
    std::string root = MachineRoot();
    return root.empty() ? root : root + "/Windows/System32";
}

}  // namespace nuvex::host

using namespace nuvex::host;

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return NoThrow<UINT>(0u, ERROR_NOT_ENOUGH_MEMORY, [&]() -> UINT {
        std::string dir = SystemDirectory();
        if (dir.empty()) return 0u;  // a machine root that is not the caller's own
        UINT length = static_cast<UINT>(dir.size());
        if (buffer == nullptr || size <= length) return length + 1;  // room needed, with the zero
        std::memcpy(buffer, dir.c_str(), length + 1);
        return length;
    });
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr) {
        SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        SetError(ErrorFromErrno(errno));
        return 0;
    }
    if (buffer == nullptr || size == 0) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Windows truncates to the buffer, terminates it and reports the buffer's size.
    if (static_cast<DWORD>(length) >= size) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path, static_cast<size_t>(length));
    buffer[length] = '\0';
    SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(length);
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

HANDLE GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL DisableThreadLibraryCalls(HMODULE) {
    return TRUE;
}

void nuvex::host::ResetMachineRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_root.clear();
    // Tests seed the folders of a fresh root before any platform call: make them exist now
    // (the root itself is read again, and checked, at the next call).
    const char* configured = ::getenv("NUVEX_HOST_ROOT");
    if (configured != nullptr && configured[0] != '\0') SettleMachine(ConfiguredRoot());
}
