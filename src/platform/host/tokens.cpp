// The process token. The process holds SeLoadDriverPrivilege, disabled at start as for an
// elevated administrator; AdjustTokenPrivileges enables it. No thread impersonates.
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>

#include "platform/host/host_internal.h"
#include "platform/host/tokens.h"

namespace nuvex::host {
namespace {

constexpr DWORD kLoadDriverLuid = 10;  // SE_LOAD_DRIVER_PRIVILEGE
constexpr DWORD kPrivilegeRemoved = 0x4u;

struct PrivilegeName {
    const char* name;
    DWORD luid;
};
const PrivilegeName kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeChangeNotifyPrivilege", 23},
    {"SeImpersonatePrivilege", 29},
};

std::atomic<bool> g_loadDriverHeld{true};
std::atomic<bool> g_loadDriverEnabled{false};

}  // namespace

bool LoadDriverPrivilegeEnabled() {
    return g_loadDriverHeld.load() && g_loadDriverEnabled.load();
}

void ResetTokenState() {
    g_loadDriverHeld = true;
    g_loadDriverEnabled = false;
}

}  // namespace nuvex::host

using namespace nuvex::host;

BOOL OpenThreadToken(HANDLE, DWORD, BOOL, HANDLE* token) {
    if (token != nullptr) *token = nullptr;
    return Fail(ERROR_NO_TOKEN);
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        if (token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        *token = nullptr;
        if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
        // A token handle is a descriptor too, so that CloseHandle treats it like any handle.
        int fd = LiftDescriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (fd < 0) return FailErrno(errno);
        auto info = std::make_shared<HandleInfo>();
        info->kind = HandleKind::Token;
        info->access = access;
        *token = RegisterHandle(fd, std::move(info));
        return TRUE;
    });
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid) {
    if (name == nullptr || luid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (system != nullptr && system[0] != '\0') return Fail(ERROR_NOT_SUPPORTED);
    for (const auto& privilege : kPrivileges) {
        if (::strcasecmp(privilege.name, name) == 0) {
            luid->LowPart = privilege.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previous, DWORD* returnLength) {
    std::shared_ptr<HandleInfo> info = LookupHandle(token, nullptr);
    if (!info || info->kind != HandleKind::Token) return Fail(ERROR_INVALID_HANDLE);
    if (!(info->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
    if (!disableAll && newState == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    bool held = g_loadDriverHeld.load();
    bool wasEnabled = g_loadDriverEnabled.load();
    bool enable = wasEnabled;
    bool remove = false;
    bool touched = false;     // the request names the privilege we hold
    bool allAssigned = true;  // every named privilege is held
    if (disableAll) {
        enable = false;
        touched = held;
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID& luid = newState->Privileges[i].Luid;
            DWORD attributes = newState->Privileges[i].Attributes;
            if (luid.HighPart != 0 || luid.LowPart != kLoadDriverLuid || !held) {
                allAssigned = false;
                continue;
            }
            touched = true;
            if (attributes & kPrivilegeRemoved)
                remove = true;
            else
                enable = (attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    // The previous state lists the privileges whose state changed.
    bool changed = touched && (remove || enable != wasEnabled);
    DWORD needed = static_cast<DWORD>(sizeof(DWORD) + (changed ? sizeof(LUID_AND_ATTRIBUTES) : 0));
    if (previous != nullptr) {
        if (returnLength != nullptr) *returnLength = needed;
        if (bufferLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        previous->PrivilegeCount = changed ? 1 : 0;
        if (changed) {
            previous->Privileges[0].Luid = LUID{kLoadDriverLuid, 0};
            previous->Privileges[0].Attributes = wasEnabled ? SE_PRIVILEGE_ENABLED : 0;
        }
    }
    if (remove) {
        g_loadDriverHeld = false;
        g_loadDriverEnabled = false;
    } else if (touched) {
        g_loadDriverEnabled = enable;
    }
    SetError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
