// Permissions of files that hold plain bytes: a new file that only its creator can open, made
// so in the call that creates it, and the permissions of one open file given to another.
// The same two things on both platforms: access-control lists on Windows, permission bits on
// the host platform.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace nuvex::platform {

// Security attributes under which CreateFileA creates a file that only the user the calling
// thread runs as can open (Windows: a protected access-control list with one entry, full
// access for that user; host: permission bits 0600). An existing file opened with them keeps
// its own.
class PrivateFileSecurity {
public:
    PrivateFileSecurity();
    PrivateFileSecurity(const PrivateFileSecurity&) = delete;
    PrivateFileSecurity& operator=(const PrivateFileSecurity&) = delete;
    // Null when they could not be made (the caller must then not create the file).
    SECURITY_ATTRIBUTES* attributes() { return ok_ ? &attributes_ : nullptr; }

private:
    bool ok_ = false;
    SECURITY_ATTRIBUTES attributes_{};
    SECURITY_DESCRIPTOR descriptor_{};
    // Windows: the token's user (TOKEN_USER and its SID) and the access-control list.
    alignas(8) unsigned char user_[128] = {};
    alignas(8) unsigned char acl_[128] = {};
};

// Gives the file open as `to` the permissions of the file open as `from`, exactly (Windows:
// its access-control list, protected from inheritance; host: its permission bits and group,
// without the group's bits when the group cannot be given, and with the owner's write bit:
// read-only is an attribute, not a permission). `from` needs READ_CONTROL and `to` WRITE_DAC
// access on Windows. False when they could not be read or given; `to` then keeps its own.
bool CopyFilePermissions(HANDLE from, HANDLE to);

// A replaced file's identity, given to the file that replaces it in two steps through the new
// file's handle (`to`), never by a name. Before the rename, only what grants nobody access
// (GiveOwnership): host: the owner and group (root; anybody else gives the group where
// permitted) and the extended attributes other than access-control lists; Windows: the
// creation time. After the rename, the permissions (SavedPermissions, read from the replaced
// file before the rename, since Windows cannot rename over a file that is still open): host:
// the mode bits with the owner's write bit, since the new file is never read-only, and the
// POSIX access-control list; Windows: the access-control list, protected from inheritance.
// Until then the new file stays as it was created, for its creator (or the owner it was
// given) alone. False when something could not be given; `to` never ends up wider than the
// replaced file.
bool GiveOwnership(HANDLE from, HANDLE to);

class SavedPermissions {
public:
    SavedPermissions() = default;
    SavedPermissions(const SavedPermissions&) = delete;
    SavedPermissions& operator=(const SavedPermissions&) = delete;
    ~SavedPermissions();
    // Reads the permissions of the file open as `from` (Windows: READ_CONTROL access).
    bool Save(HANDLE from);
    // Gives them to the file open as `to` (Windows: WRITE_DAC access); false when they were
    // not saved or could not be given.
    bool GiveTo(HANDLE to) const;

private:
    bool saved_ = false;
#if defined(_WIN32)
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;  // LocalAlloc'd by GetSecurityInfo
    PACL dacl_ = nullptr;                        // inside descriptor_
#else
    unsigned mode_ = 0;
    unsigned group_ = 0;
    char* acl_ = nullptr;  // the access-control list's attribute value, when it has one
    std::size_t aclSize_ = 0;
#endif
};

// Whether the files open as `a` and `b` have the same owner (false when it cannot be read).
bool SameOwner(HANDLE a, HANDLE b);

}  // namespace nuvex::platform
