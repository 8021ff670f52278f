// Windows file attributes beyond read-only, kept in one extended attribute of the file.
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

constexpr char kAttributeName[] = "user.nuvex.attributes";

}  // namespace

DWORD ReadStoredAttributes(const std::string& path, int fd) {
    uint8_t bytes[4] = {};
    ssize_t got = fd >= 0 ? ::fgetxattr(fd, kAttributeName, bytes, sizeof bytes)
                          : ::getxattr(path.c_str(), kAttributeName, bytes, sizeof bytes);
    if (got != static_cast<ssize_t>(sizeof bytes)) return 0;  // none (or unreadable): none set
    DWORD value = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
                  static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
    return value & kStoredAttributes;
}

bool WriteStoredAttributes(const std::string& path, int fd, DWORD attributes) {
    attributes &= kStoredAttributes;
    if (attributes == 0) {
        int removed = fd >= 0 ? ::fremovexattr(fd, kAttributeName)
                              : ::removexattr(path.c_str(), kAttributeName);
        // Nothing stored, or a file system without extended attributes: nothing to remove.
        return removed == 0 || errno == ENODATA || errno == ENOTSUP;
    }
    const uint8_t bytes[4] = {static_cast<uint8_t>(attributes), static_cast<uint8_t>(attributes >> 8),
                              static_cast<uint8_t>(attributes >> 16),
                              static_cast<uint8_t>(attributes >> 24)};
    int stored = fd >= 0 ? ::fsetxattr(fd, kAttributeName, bytes, sizeof bytes, 0)
                         : ::setxattr(path.c_str(), kAttributeName, bytes, sizeof bytes, 0);
    if (stored != 0) SetError(errno == ENOTSUP ? ERROR_NOT_SUPPORTED : ErrorFromErrno(errno, path));
    return stored == 0;
}

DWORD AttributesOf(unsigned mode, DWORD stored) {
    if (S_ISDIR(mode)) return FILE_ATTRIBUTE_DIRECTORY;
    DWORD attributes = stored & kStoredAttributes;
    if (IsReadOnlyMode(mode)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace nuvex::host
