#include "platform/host/host_internal.h"
#include "platform/host/tokens.h"
using namespace nuvex::host;
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) { SetError(ERROR_NOT_SUPPORTED); return nullptr; }
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { SetError(ERROR_NOT_SUPPORTED); return nullptr; }
SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) { SetError(ERROR_NOT_SUPPORTED); return nullptr; }
BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL DeleteService(SC_HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL CloseServiceHandle(SC_HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
NTSTATUS NtLoadDriver(NUVEX_UNICODE_STRING*) {
    CountLoadDriverCall();
    NTSTATUS forced;
    if (TakeForcedLoadStatus(&forced)) return forced;
    if (!LoadDriverPrivilegeEnabled()) return STATUS_PRIVILEGE_NOT_HELD;
    return STATUS_NOT_IMPLEMENTED;
}
#include "platform/host/host_hooks.h"
extern "C" NUVEX_TEST_HOOK uint32_t NuvexHost_StopDrivers(void) { return 0; }
