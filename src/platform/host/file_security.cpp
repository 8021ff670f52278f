// The host platform's file permissions: permission bits and the group, through descriptors.
#include "platform/file_security.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "files/posix_files.h"

namespace nuvex::platform {
namespace {

int Descriptor(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }

}  // namespace

PrivateFileSecurity::PrivateFileSecurity() {
    descriptor_.permissions = S_IRUSR | S_IWUSR;
    attributes_ = SECURITY_ATTRIBUTES{sizeof attributes_, &descriptor_, FALSE};
    ok_ = true;
}

bool CopyFilePermissions(HANDLE from, HANDLE to) {
    struct stat source;
    struct stat target;
    if (::fstat(Descriptor(from), &source) != 0 || ::fstat(Descriptor(to), &target) != 0)
        return false;
    mode_t mode = source.st_mode & 0777;
    if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) mode |= S_IWUSR;
    if (target.st_gid != source.st_gid &&
        ::fchown(Descriptor(to), static_cast<uid_t>(-1), source.st_gid) != 0)
        mode &= ~static_cast<mode_t>(S_IRWXG);
    return ::fchmod(Descriptor(to), mode) == 0;
}

bool GiveOwnership(HANDLE from, HANDLE to) {
    return files::GiveOwnership(Descriptor(from), Descriptor(to));
}

SavedPermissions::~SavedPermissions() { delete[] acl_; }

bool SavedPermissions::Save(HANDLE from) {
    delete[] acl_;
    acl_ = nullptr;
    aclSize_ = 0;
    saved_ = false;
    struct stat source;
    if (::fstat(Descriptor(from), &source) != 0) return false;
    mode_ = source.st_mode & 0777;
    group_ = source.st_gid;
    std::string acl;
    if (files::ReadAccessList(Descriptor(from), acl)) {
        acl_ = new (std::nothrow) char[acl.size() + 1];
        if (acl_ == nullptr) return false;
        std::memcpy(acl_, acl.data(), acl.size());
        aclSize_ = acl.size();
    }
    saved_ = true;
    return true;
}

bool SavedPermissions::GiveTo(HANDLE to) const {
    if (!saved_) return false;
    return files::GivePermissions(mode_, group_, acl_, acl_ != nullptr ? aclSize_ : std::string::npos,
                                  Descriptor(to), /*ownerWrites=*/true);
}

bool SameOwner(HANDLE a, HANDLE b) {
    struct stat first;
    struct stat second;
    return ::fstat(Descriptor(a), &first) == 0 && ::fstat(Descriptor(b), &second) == 0 &&
           first.st_uid == second.st_uid;
}

}  // namespace nuvex::platform
