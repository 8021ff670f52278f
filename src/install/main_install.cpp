// NuvexCtrl_Install and NuvexCtrl_UnInstall: the main filter driver is registered by writing
// its service key directly and loaded with NtLoadDriver; the service manager is not used.
#include "install/main_install.h"

#include <cstdio>
#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/owners.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "install/install_paths.h"
#include "nuvexctrl.h"
#include "platform/platform.h"

namespace nuvex {
namespace {

constexpr char kGroupValue[] = "FSFilter Infrastructure";
constexpr char kRegistryPathPrefix[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// The service's registry path as the counted UTF-16 string NtLoadDriver takes; the lengths
// count bytes without a terminator.
class DriverRegistryPath {
public:
    explicit DriverRegistryPath(const char* service) {
        std::size_t length = 0;
        for (const char* p = kRegistryPathPrefix; *p != '\0'; ++p)
            text_[length++] = static_cast<NUVEX_WCHAR>(*p);
        for (const char* p = service; *p != '\0'; ++p)
            text_[length++] = static_cast<NUVEX_WCHAR>(*p);
        text_[length] = 0;
        counted_.Length = static_cast<USHORT>(length * 2);
        counted_.MaximumLength = static_cast<USHORT>(length * 2);
        counted_.Buffer = text_;
    }
    DriverRegistryPath(const DriverRegistryPath&) = delete;
    DriverRegistryPath& operator=(const DriverRegistryPath&) = delete;
    NUVEX_UNICODE_STRING* get() { return &counted_; }

private:
    NUVEX_WCHAR text_[kPathCapacity] = {};
    NUVEX_UNICODE_STRING counted_{};
};

void SetDwordValue(HKEY key, const char* name, uint32_t value) {
    BYTE data[4];
    StoreU32(data, value);
    RegSetValueExA(key, name, 0, REG_DWORD, data, sizeof data);
}

// Writes the three values of the main filter driver's service key. Returns 0 or the failure
// in NuvexCtrl_Install's codes.
uint32_t RegisterMainDriver() {
    RegistryKey services;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kServicesKey, services.out()) != ERROR_SUCCESS)
        return rc::NuvexCtrl_Install::kServicesKeyOpenFailed;
    // An old key without subkeys goes; one with subkeys stays and is reused.
    RegDeleteKeyA(services.get(), kMainDriver.service);
    RegistryKey service;
    if (RegCreateKeyA(services.get(), kMainDriver.service, service.out()) != ERROR_SUCCESS)
        return rc::NuvexCtrl_Install::kServiceKeyCreateFailed;
    SetDwordValue(service.get(), "Start", SERVICE_BOOT_START);
    SetDwordValue(service.get(), "Type", SERVICE_FILE_SYSTEM_DRIVER);
    RegSetValueExA(service.get(), "Group", 0, REG_SZ, reinterpret_cast<const BYTE*>(kGroupValue),
                   sizeof kGroupValue);
    service.reset();
    services.reset();
    return 0;
}

PFN_NtLoadDriver ResolveNtLoadDriver(HMODULE ntdll) {
    FARPROC proc = GetProcAddress(ntdll, "NtLoadDriver");
    // Through the generic function pointer type, which converts to any other without a
    // signature mismatch warning.
    return reinterpret_cast<PFN_NtLoadDriver>(reinterpret_cast<void (*)()>(proc));
}

// Loads the registered driver. Returns 0 or the failure in NuvexCtrl_Install's codes (the
// last, a refused load, after showing the box).
uint32_t LoadMainDriver() {
    ModuleHandle ntdll(LoadLibraryA("ntdll.dll"));
    if (!ntdll) return rc::NuvexCtrl_Install::kNoNtdll;
    PFN_NtLoadDriver ntLoadDriver = ResolveNtLoadDriver(ntdll.get());
    if (ntLoadDriver == nullptr) return rc::NuvexCtrl_Install::kNoNtLoadDriver;

    DriverRegistryPath registryPath(kMainDriver.service);
    if (ntLoadDriver(registryPath.get()) == 0) return 0;
    // Usually refused because the load-driver privilege is held but not enabled.
    EnablePrivilege("SeLoadDriverPrivilege", 1);
    LONG status = ntLoadDriver(registryPath.get());
    if (status == 0) return 0;

    char text[256];
    std::snprintf(text, sizeof text, "pfnNtLoadDriver:0x%08X", static_cast<unsigned>(status));
    MessageBoxA(GetForegroundWindow(), text, "", MB_OK);
    return rc::NuvexCtrl_Install::kLoadFailed;
}

}  // namespace

int EnablePrivilege(const char* name, int enable) {
    if (name == nullptr || name[0] == '\0') return 0;
    const DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    HANDLE raw = nullptr;
    // A thread that impersonates has its own token adjusted, not the process's.
    if (!OpenThreadToken(GetCurrentThread(), access, TRUE, &raw)) {
        if (GetLastError() != ERROR_NO_TOKEN) return 0;
        if (!OpenProcessToken(GetCurrentProcess(), access, &raw)) return 0;
    }
    UniqueHandle token(raw);

    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, name, &luid)) return 0;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable != 0 ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr,
                               nullptr))
        return 0;
    return CloseHandle(token.release()) ? 1 : 0;
}

}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_Install(uint32_t load, const char* driverPath) {
    // Both paths are settled before anything on the machine changes.
    char defaultSource[kPathCapacity];
    const char* source = driverPath;
    if (source == nullptr) {
        if (!BuildDefaultSourcePath(kMainDriver, defaultSource)) return NUVEX_E_INSTALL_PATH_TOO_LONG;
        source = defaultSource;
    }
    char target[kPathCapacity];
    if (!BuildDriverFilePath(kMainDriver, target)) return NUVEX_E_INSTALL_PATH_TOO_LONG;

    bool copied = false;
    if (!PlaceDriverFile(source, target, &copied)) return rc::NuvexCtrl_Install::kCopyFailed;

    uint32_t registered = RegisterMainDriver();
    if (registered != 0) return registered;
    if (load == 0) return 0;
    return LoadMainDriver();
}

uint32_t NUVEXAPI NuvexCtrl_UnInstall(void) {
    char target[kPathCapacity];
    if (!BuildDriverFilePath(kMainDriver, target)) return NUVEX_E_INSTALL_PATH_TOO_LONG;

    // The key and the file go even when the driver cannot be told; the result says so.
    uint32_t pending = 0;
    {
        ControlSession session;
        if (!session.opened()) {
            pending = rc::NuvexCtrl_UnInstall::kNotRunning;
        } else if (!session.Request(main_driver::kUninstall, nullptr, 0, nullptr, 0).ok) {
            pending = rc::NuvexCtrl_UnInstall::kRefused;
        }
    }
    if (SHDeleteKeyA(HKEY_LOCAL_MACHINE, kMainDriver.serviceKey) != ERROR_SUCCESS)
        return rc::NuvexCtrl_UnInstall::kNotInstalled;
    if (!RemoveDriverFile(target)) return rc::NuvexCtrl_UnInstall::kFileDeleteFailed;
    return pending;
}

}  // extern "C"
