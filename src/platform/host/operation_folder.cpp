// The folder of one file operation on the host: a descriptor of the folder, and names in it
// reached as /proc/self/fd/<descriptor>/<name>, which the kernel resolves through the open
// folder itself.
#include "platform/operation_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "files/posix_files.h"
#include "platform/host/host_internal.h"
#include "platform/path_text.h"

namespace nuvex::platform {
namespace {

char* Copy(const std::string& text) {
    char* copy = new (std::nothrow) char[text.size() + 1];
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string WithSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string CurrentFolder() {
    std::string directory(256, '\0');
    while (::getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE) return std::string();
        directory.resize(directory.size() * 2);
    }
    directory.resize(std::strlen(directory.c_str()));
    return directory;
}

}  // namespace

OperationFolder::~OperationFolder() { Release(); }

void OperationFolder::Release() {
    if (folder_ >= 0) ::close(static_cast<int>(folder_));
    folder_ = -1;
    delete[] prefix_;
    delete[] leaf_;
    delete[] shown_;
    prefix_ = leaf_ = shown_ = nullptr;
    prefixLength_ = leafLength_ = folderCharacters_ = 0;
}

namespace {

// Takes `fd` (an open folder) with its shown path and the leaf into `folder`'s fields.
OperationFolder::Opened Take(int fd, const std::string& shown, const std::string& leaf,
                             intptr_t& folder, NameChar*& prefix, std::size_t& prefixLength,
                             NameChar*& leafCopy, std::size_t& leafLength, char*& shownCopy,
                             std::size_t& characters) {
    folder = fd;
    const std::string through = "/proc/self/fd/" + std::to_string(fd) + "/";
    prefix = Copy(through);
    leafCopy = Copy(leaf);
    shownCopy = Copy(shown);
    if (prefix == nullptr || leafCopy == nullptr || shownCopy == nullptr) {
        host::SetError(ERROR_NOT_ENOUGH_MEMORY);
        return OperationFolder::Opened::NoMemory;
    }
    prefixLength = through.size();
    leafLength = leaf.size();
    characters = CountPathCharacters(shown.c_str(), shown.size());
    return OperationFolder::Opened::Yes;
}

}  // namespace

OperationFolder::Opened OperationFolder::Open(const char* path) {
    Release();
    return host::NoThrow<Opened>(Opened::NoMemory, ERROR_NOT_ENOUGH_MEMORY, [&]() -> Opened {
        if (path == nullptr) {
            host::SetError(ERROR_INVALID_PARAMETER);
            return Opened::NotAName;
        }
        std::string translated = host::TranslatePath(path);
        std::string folder;
        std::string leaf;
        if (host::FileOpFails(host::FileOp::Open)) {
            host::SetError(ERROR_ACCESS_DENIED);
            return Opened::NoFolder;
        }
        // A link at the last name is followed only when it is the caller's own or root's, and
        // then the operation works on the file it names, in that file's own folder (where its
        // temporary file goes and its replace happens); a link another user made there is
        // refused, so that nobody can steer a caller's call to a file of their choosing.
        for (int hop = 0;; ++hop) {
            if (!files::SplitPath(translated, folder, leaf)) {
                host::SetError(ERROR_PATH_NOT_FOUND);
                return Opened::NotAName;
            }
            files::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
            if (!fd) {
                host::SetError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : host::ErrorFromErrno(errno));
                return Opened::NoFolder;
            }
            struct stat named;
            if (::fstatat(fd.get(), leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(named.st_mode)) {
                if ((named.st_uid != ::geteuid() && named.st_uid != 0) || hop >= 40) {
                    host::SetError(ERROR_ACCESS_DENIED);
                    return Opened::NoFolder;
                }
                std::string target(4096, '\0');
                const ssize_t length = ::readlinkat(fd.get(), leaf.c_str(), target.data(), target.size());
                if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                    host::SetError(ERROR_ACCESS_DENIED);
                    return Opened::NoFolder;
                }
                target.resize(static_cast<std::size_t>(length));
                translated = target[0] == '/' ? target : folder + "/" + target;
                continue;
            }
            // As GetFullPathNameA shows it: against the current folder, nothing folded away.
            std::string shown = folder;
            if (shown[0] != '/') {
                const std::string current = CurrentFolder();
                shown = translated.find('/') == std::string::npos ? current : current + "/" + folder;
            }
            return Take(fd.release(), WithSeparator(shown), leaf, folder_, prefix_, prefixLength_,
                        leaf_, leafLength_, shown_, folderCharacters_);
        }
    });
}

OperationFolder::Opened OperationFolder::OpenIn(intptr_t callerFolder, const char* leaf) {
    Release();
    return host::NoThrow<Opened>(Opened::NoMemory, ERROR_NOT_ENOUGH_MEMORY, [&]() -> Opened {
        if (leaf == nullptr) {
            host::SetError(ERROR_INVALID_PARAMETER);
            return Opened::NotAName;
        }
        const std::string name = leaf;
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of("/\\") != std::string::npos) {
            host::SetError(ERROR_INVALID_NAME);
            return Opened::NotAName;
        }
        if (callerFolder < 0 || callerFolder > INT32_MAX) {
            host::SetError(ERROR_INVALID_HANDLE);
            return Opened::NoFolder;
        }
        if (host::FileOpFails(host::FileOp::Open)) {
            host::SetError(ERROR_ACCESS_DENIED);
            return Opened::NoFolder;
        }
        // A folder of the operation's own, reached through the caller's descriptor (never a
        // name): the caller's may be a path-only descriptor, which cannot be synced.
        const int fd = ::openat(static_cast<int>(callerFolder), ".",
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            host::SetError(errno == EBADF ? ERROR_INVALID_HANDLE : host::ErrorFromErrno(errno));
            return Opened::NoFolder;
        }
        std::string shown(4096, '\0');
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(self.c_str(), shown.data(), shown.size() - 1);
        shown.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        return Take(fd, WithSeparator(shown), name, folder_, prefix_, prefixLength_, leaf_,
                    leafLength_, shown_, folderCharacters_);
    });
}

bool OperationFolder::Sync() const {
    return folder_ >= 0 && files::SyncFolder(static_cast<int>(folder_));
}

void OperationFolder::Announce(const NameChar* name) const {
    host::NoThrow<int>(0, ERROR_NOT_ENOUGH_MEMORY, [&]() -> int {
        const std::string shown = std::string(shown_ != nullptr ? shown_ : "") + name;
        OutputDebugStringA(shown.c_str());
        return 0;
    });
}

}  // namespace nuvex::platform
