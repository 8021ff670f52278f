#include "platform/host/registry_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

std::atomic<uint32_t> g_tempSerial{0};

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Entry {
    std::string name;
    bool folder;
};

std::vector<Entry> ListFolder(const std::string& folder) {
    std::vector<Entry> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return entries;
    while (dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder =
            item->d_type == DT_DIR || (item->d_type == DT_UNKNOWN && IsFolder(folder + "/" + name));
        entries.push_back(Entry{name, isFolder});
    }
    ::closedir(dir);
    return entries;
}

// Splits "<name>.<digits>" into the value name and its type.
bool ParseValueFile(const std::string& file, std::string* name, DWORD* type) {
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot + 1 == file.size() || file.size() - dot > 11) return false;
    uint64_t number = 0;
    for (size_t i = dot + 1; i < file.size(); ++i) {
        if (file[i] < '0' || file[i] > '9') return false;
        number = number * 10 + static_cast<uint64_t>(file[i] - '0');
    }
    if (number > 0xFFFFFFFFu) return false;
    *name = file.substr(0, dot);
    *type = static_cast<DWORD>(number);
    return true;
}

// When a file's status last changed (a rename counts), in nanoseconds.
int64_t ChangeTime(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return INT64_MIN;
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// Files in the folder that hold the value `name`, the most recently renamed into place first.
// Normally there is one; a power cut while a value changed its type may leave the old file
// beside the new one, and the new one is the value.
std::vector<std::string> ValueFiles(const std::string& folder, const std::string& name,
                                    DWORD* type) {
    std::vector<std::pair<int64_t, std::string>> found;
    std::vector<DWORD> types;
    for (const Entry& entry : ListFolder(folder)) {
        std::string valueName;
        DWORD valueType = 0;
        if (entry.folder || !ParseValueFile(entry.name, &valueName, &valueType)) continue;
        if (::strcasecmp(valueName.c_str(), name.c_str()) != 0) continue;
        found.emplace_back(ChangeTime(folder + "/" + entry.name), entry.name);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> files;
    for (const auto& [time, file] : found) files.push_back(file);
    if (!files.empty() && type != nullptr) {
        std::string ignored;
        ParseValueFile(files.front(), &ignored, type);
    }
    return files;
}

// Flushes a folder's names to the disk: a value or key made, renamed or removed in it stays so
// after a power cut.
bool SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return synced;
}

std::string ParentOf(const std::string& folder) {
    size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : folder.substr(0, slash);
}

bool WriteWhole(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

LONG RemoveTree(const std::string& folder) {
    for (const Entry& entry : ListFolder(folder)) {
        std::string path = folder + "/" + entry.name;
        if (entry.folder) {
            LONG result = RemoveTree(path);
            if (result != ERROR_SUCCESS) return result;
        } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return static_cast<LONG>(ErrorFromErrno(errno));
        }
    }
    if (::rmdir(folder.c_str()) != 0 && errno != ENOENT)
        return static_cast<LONG>(ErrorFromErrno(errno));
    return ERROR_SUCCESS;
}

}  // namespace

std::string LocalMachineFolder() {
    std::string root = MachineRoot();
    return root.empty() ? root : root + "/Registry/HKEY_LOCAL_MACHINE";
}

bool SplitKeyPath(const char* path, std::vector<std::string>* parts) {
    parts->clear();
    std::string part;
    for (const char* p = path;; ++p) {
        if (*p == '\\' || *p == '/' || *p == '\0') {
            if (part == "." || part == "..") return false;
            if (!part.empty()) parts->push_back(part);
            part.clear();
            if (*p == '\0') return true;
        } else {
            part += *p;
        }
    }
}

LONG FindKeyFolder(const std::string& base, const std::vector<std::string>& parts, bool create,
                   std::string* folder) {
    if (base.empty()) return ERROR_ACCESS_DENIED;  // the machine root was refused
    if (!IsFolder(base)) return ERROR_KEY_DELETED;
    std::string current = base;
    for (const std::string& part : parts) {
        std::string exact = current + "/" + part;
        if (IsFolder(exact)) {
            current = exact;
            continue;
        }
        std::string match;
        for (const Entry& entry : ListFolder(current)) {
            if (entry.folder && ::strcasecmp(entry.name.c_str(), part.c_str()) == 0) {
                match = current + "/" + entry.name;
                break;
            }
        }
        if (match.empty()) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            if (::mkdir(exact.c_str(), 0700) != 0) {
                if (errno != EEXIST) return static_cast<LONG>(ErrorFromErrno(errno));
            } else if (!SyncFolder(current)) {
                // The new key is made but may not survive a power cut.
                return static_cast<LONG>(ErrorFromErrno(errno));
            }
            match = exact;
        }
        current = match;
    }
    *folder = current;
    return ERROR_SUCCESS;
}

bool KeyExists(const std::string& folder) {
    return IsFolder(folder);
}

bool KeyHasSubkeys(const std::string& folder) {
    for (const Entry& entry : ListFolder(folder))
        if (entry.folder) return true;
    return false;
}

LONG WriteValue(const std::string& folder, const std::string& name, DWORD type, const void* data,
                size_t size) {
    if (!IsFolder(folder)) return ERROR_KEY_DELETED;
    std::vector<std::string> old = ValueFiles(folder, name, nullptr);
    // The new bytes appear under their final name in one step (write aside, then rename).
    std::string temp = folder + "/.tmp-" + std::to_string(::getpid()) + "-" +
                       std::to_string(g_tempSerial.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return static_cast<LONG>(ErrorFromErrno(errno));
    // The bytes are on the disk before the name leads to them: a power cut after the rename
    // must not leave an empty or partial value.
    bool written = WriteWhole(fd, data, size) && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    // An existing value keeps the spelling it was created with, as on Windows.
    std::string stored = name;
    DWORD oldType = 0;
    if (!old.empty()) ParseValueFile(old.front(), &stored, &oldType);
    std::string file = stored + "." + std::to_string(type);
    if (!written || ::rename(temp.c_str(), (folder + "/" + file).c_str()) != 0) {
        if (written) saved = errno;
        ::unlink(temp.c_str());
        return static_cast<LONG>(ErrorFromErrno(saved));
    }
    for (const std::string& stale : old)
        if (stale != file) ::unlink((folder + "/" + stale).c_str());
    // The value is set once its name is on the disk.
    if (!SyncFolder(folder)) return static_cast<LONG>(ErrorFromErrno(errno));
    return ERROR_SUCCESS;
}

LONG ReadValue(const std::string& folder, const std::string& name, DWORD* type,
               std::string* bytes) {
    if (!IsFolder(folder)) return ERROR_KEY_DELETED;
    DWORD found = 0;
    std::vector<std::string> files = ValueFiles(folder, name, &found);
    if (files.empty()) return ERROR_FILE_NOT_FOUND;
    int fd = ::open((folder + "/" + files.front()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : static_cast<LONG>(ErrorFromErrno(errno));
    bytes->clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (type != nullptr) *type = found;
    return ERROR_SUCCESS;
}

std::string ReadStringValue(const std::string& folder, const std::string& name) {
    std::string bytes;
    DWORD type = 0;
    if (ReadValue(folder, name, &type, &bytes) != ERROR_SUCCESS) return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::string();
    return bytes.substr(0, bytes.find('\0'));
}

bool ReadDwordValue(const std::string& folder, const std::string& name, DWORD* value) {
    std::string bytes;
    DWORD type = 0;
    if (ReadValue(folder, name, &type, &bytes) != ERROR_SUCCESS || type != REG_DWORD ||
        bytes.size() != 4)
        return false;
    *value = static_cast<DWORD>(static_cast<uint8_t>(bytes[0])) |
             (static_cast<DWORD>(static_cast<uint8_t>(bytes[1])) << 8) |
             (static_cast<DWORD>(static_cast<uint8_t>(bytes[2])) << 16) |
             (static_cast<DWORD>(static_cast<uint8_t>(bytes[3])) << 24);
    return true;
}

LONG RemoveKey(const std::string& folder, bool withSubkeys) {
    if (!IsFolder(folder)) return ERROR_FILE_NOT_FOUND;
    if (!withSubkeys && KeyHasSubkeys(folder)) return ERROR_ACCESS_DENIED;
    LONG result = RemoveTree(folder);
    if (result != ERROR_SUCCESS) return result;
    // Gone for good: a power cut after the call does not bring the key back.
    if (!SyncFolder(ParentOf(folder))) return static_cast<LONG>(ErrorFromErrno(errno));
    return ERROR_SUCCESS;
}

}  // namespace nuvex::host
