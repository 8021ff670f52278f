// File permissions on Windows: an owner-only access-control list for new files, and the list
// of one file given to another.
#include "platform/file_security.h"

#include <aclapi.h>

namespace nuvex::platform {

PrivateFileSecurity::PrivateFileSecurity() {
    // The user the calling thread runs as: its impersonation token when it has one.
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    DWORD length = 0;
    const BOOL gotUser = GetTokenInformation(token, TokenUser, user_, sizeof user_, &length);
    CloseHandle(token);
    if (!gotUser) return;
    PSID user = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
    auto* acl = reinterpret_cast<ACL*>(acl_);
    if (!InitializeAcl(acl, sizeof acl_, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ok_ = true;
}

bool CopyFilePermissions(HANDLE from, HANDLE to) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const DWORD set = SetSecurityInfo(to, SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return set == ERROR_SUCCESS;
}

bool GiveOwnership(HANDLE from, HANDLE to) {
    // The creation time: a replaced file keeps its own, as ReplaceFileA keeps it. (The owner
    // is the creator's; giving another needs a privilege callers do not hold.)
    FILETIME created{};
    return GetFileTime(from, &created, nullptr, nullptr) &&
           SetFileTime(to, &created, nullptr, nullptr);
}

SavedPermissions::~SavedPermissions() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
}

bool SavedPermissions::Save(HANDLE from) {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
    descriptor_ = nullptr;
    dacl_ = nullptr;
    saved_ = GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                             &dacl_, nullptr, &descriptor_) == ERROR_SUCCESS;
    return saved_;
}

bool SavedPermissions::GiveTo(HANDLE to) const {
    if (!saved_) return false;
    return SetSecurityInfo(to, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, dacl_, nullptr) == ERROR_SUCCESS;
}

bool SameOwner(HANDLE a, HANDLE b) {
    PSID first = nullptr;
    PSID second = nullptr;
    PSECURITY_DESCRIPTOR firstDescriptor = nullptr;
    PSECURITY_DESCRIPTOR secondDescriptor = nullptr;
    bool same = false;
    if (GetSecurityInfo(a, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &first, nullptr, nullptr,
                        nullptr, &firstDescriptor) == ERROR_SUCCESS &&
        GetSecurityInfo(b, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &second, nullptr, nullptr,
                        nullptr, &secondDescriptor) == ERROR_SUCCESS)
        same = EqualSid(first, second) != FALSE;
    if (firstDescriptor != nullptr) LocalFree(firstDescriptor);
    if (secondDescriptor != nullptr) LocalFree(secondDescriptor);
    return same;
}

}  // namespace nuvex::platform
