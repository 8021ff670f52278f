// Install and uninstall of the two companion drivers (access control and monitor). They are
// registered through the service control manager; all uninstalls delete the service key and
// the driver file directly, so a running driver stays loaded until the next system start.
#include <cstdint>

#include "frame/owners.h"
#include "frame/result_codes.h"
#include "install/install_paths.h"
#include "nuvexctrl.h"
#include "platform/platform.h"

namespace nuvex {
namespace {

struct CompanionSettings {
    DriverNames names;
    DWORD startType;
    const char* dependencies;  // double-NUL-terminated name list, or null
    // Result codes of the install steps.
    uint32_t copyFailed;
    uint32_t managerFailed;
    uint32_t managerReopenFailed;
    uint32_t createFailed;
};

// The monitor driver needs the TCP/IP stack: one name, then the empty name ending the list.
constexpr char kMonitorDependencies[] = "tcpip\0";

constexpr CompanionSettings kAclCompanion{kAclDriver,
                                          SERVICE_BOOT_START,
                                          nullptr,
                                          rc::NuvexAccCtrl_Install::kCopyFailed,
                                          rc::NuvexAccCtrl_Install::kManagerOpenFailed,
                                          rc::NuvexAccCtrl_Install::kManagerReopenFailed,
                                          rc::NuvexAccCtrl_Install::kServiceCreateFailed};
constexpr CompanionSettings kMonitorCompanion{kMonitorDriver,
                                              SERVICE_AUTO_START,
                                              kMonitorDependencies,
                                              rc::NuvexAntiSteal_Install::kCopyFailed,
                                              rc::NuvexAntiSteal_Install::kManagerOpenFailed,
                                              rc::NuvexAntiSteal_Install::kManagerReopenFailed,
                                              rc::NuvexAntiSteal_Install::kServiceCreateFailed};

SC_HANDLE OpenManager() {
    return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

uint32_t InstallCompanion(const CompanionSettings& settings, uint32_t start,
                          const char* driverPath) {
    char defaultSource[kPathCapacity];
    const char* source = driverPath;
    if (source == nullptr) {
        if (!BuildDefaultSourcePath(settings.names, defaultSource))
            return NUVEX_E_INSTALL_PATH_TOO_LONG;
        source = defaultSource;
    }
    char target[kPathCapacity];
    if (!BuildDriverFilePath(settings.names, target)) return NUVEX_E_INSTALL_PATH_TOO_LONG;

    // Installing from the installed file itself keeps it: nothing is copied, and a failure
    // below must not take away the only copy.
    bool copied = false;
    if (!PlaceDriverFile(source, target, &copied)) return settings.copyFailed;
    auto removeCopy = [&] {
        if (copied) RemoveDriverFile(target);
    };

    // From here on a failure takes the freshly copied file away again.
    ServiceHandle manager(OpenManager());
    if (!manager) {
        removeCopy();
        return settings.managerFailed;
    }
    {
        ServiceHandle old(OpenServiceA(manager.get(), settings.names.service, SERVICE_ALL_ACCESS));
        if (old) {
            // An earlier service of this name is replaced by a new one made from scratch; the
            // deletion completes once every handle on it is closed, hence the fresh manager.
            DeleteService(old.get());
            old.reset();
            // Closed before the new one opens (reset(OpenManager()) would open it first).
            manager.reset();
            manager.reset(OpenManager());
            if (!manager) {
                removeCopy();
                return settings.managerReopenFailed;
            }
        }
    }
    ServiceHandle service(CreateServiceA(
        manager.get(), settings.names.service, settings.names.service, SERVICE_ALL_ACCESS,
        SERVICE_KERNEL_DRIVER, settings.startType, SERVICE_ERROR_NORMAL, target, nullptr,
        nullptr, settings.dependencies, nullptr, nullptr));
    if (!service) {
        removeCopy();
        return settings.createFailed;
    }
    // A driver that does not start is still installed: the system starts it next time.
    if (start != 0) StartServiceA(service.get(), 0, nullptr);
    return 0;
}

// Deletes the service key, then the driver file. Returns 0, keyFailed or fileFailed.
uint32_t RemoveCompanion(const DriverNames& names, uint32_t keyFailed, uint32_t fileFailed) {
    char target[kPathCapacity];
    if (!BuildDriverFilePath(names, target)) return NUVEX_E_INSTALL_PATH_TOO_LONG;
    if (SHDeleteKeyA(HKEY_LOCAL_MACHINE, names.serviceKey) != ERROR_SUCCESS) return keyFailed;
    if (!RemoveDriverFile(target)) return fileFailed;
    return 0;
}

}  // namespace
}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexAccCtrl_Install(uint32_t start, const char* driverPath) {
    return InstallCompanion(kAclCompanion, start, driverPath);
}

uint32_t NUVEXAPI NuvexAntiSteal_Install(uint32_t start, const char* driverPath) {
    return InstallCompanion(kMonitorCompanion, start, driverPath);
}

uint32_t NUVEXAPI NuvexAccCtrl_UnInstall(void) {
    uint32_t removed = RemoveCompanion(kAclDriver, rc::NuvexAccCtrl_UnInstall::kNotInstalled,
                                       rc::NuvexAccCtrl_UnInstall::kFileDeleteFailed);
    if (removed != 0) return removed;
    // The driver keeps running until the next system start; at least switch it off now.
    NuvexAccCtrl_Stop();
    return 0;
}

uint32_t NUVEXAPI NuvexAntiSteal_UnInstall(void) {
    return RemoveCompanion(kMonitorDriver, rc::NuvexAntiSteal_UnInstall::kNotInstalled,
                           rc::NuvexAntiSteal_UnInstall::kFileDeleteFailed);
}

}  // extern "C"
