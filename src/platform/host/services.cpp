// The service control manager and NtLoadDriver. A service is a key under
// HKLM\SYSTEM\CurrentControlSet\Services with a "Type" value; starting a driver service (or
// NtLoadDriver with the key's path) loads the driver image as a process.
#include <strings.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/host/driver_loader.h"
#include "platform/host/host_internal.h"
#include "platform/host/registry_store.h"
#include "platform/host/tokens.h"

namespace nuvex::host {
namespace {

const std::vector<std::string> kServicesPath = {"SYSTEM", "CurrentControlSet", "Services"};

struct ServiceObject {
    bool manager = false;
    std::string folder;    // the service's key (services only)
    bool deleted = false;  // DeleteService went through this handle
};

std::mutex g_serviceLock;
std::set<ServiceObject*>& LiveServices() {
    static auto* services = new std::set<ServiceObject*>();
    return *services;
}

SC_HANDLE NewHandle(ServiceObject* object) {
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        LiveServices().insert(object);
    }
    CountObjectOpened();
    return reinterpret_cast<SC_HANDLE>(object);
}

// A live handle of the wanted kind (a copy of its state), or false with the error set.
bool Lookup(SC_HANDLE handle, bool manager, ServiceObject* copy) {
    std::lock_guard<std::mutex> lock(g_serviceLock);
    auto* object = reinterpret_cast<ServiceObject*>(handle);
    if (LiveServices().count(object) == 0 || object->manager != manager) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    *copy = *object;
    return true;
}

SC_HANDLE FailHandle(DWORD error) {
    SetError(error);
    return nullptr;
}

std::string ServicesFolder() {
    std::string folder;
    FindKeyFolder(LocalMachineFolder(), kServicesPath, true, &folder);
    return folder;
}

bool ValidServiceName(LPCSTR name) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > 256) return false;
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/') return false;
    return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

// The key of an installed service (one with a Type), found case-insensitively.
bool FindService(LPCSTR name, std::string* folder) {
    if (!ValidServiceName(name)) return false;
    DWORD type = 0;
    return FindKeyFolder(ServicesFolder(), {name}, false, folder) == ERROR_SUCCESS &&
           ReadDwordValue(*folder, "Type", &type);
}

LONG WriteDword(const std::string& folder, const char* name, DWORD value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return WriteValue(folder, name, REG_DWORD, bytes, sizeof bytes);
}

LONG WriteString(const std::string& folder, const char* name, DWORD type, const char* text) {
    return WriteValue(folder, name, type, text, std::strlen(text) + 1);
}

// The dependencies of CreateServiceA (names each ending in a zero, then one more zero) split
// into services and groups ("+" marks a group), each list in REG_MULTI_SZ form.
void SplitDependencies(LPCSTR list, std::string* services, std::string* groups) {
    for (const char* p = list; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
        if (*p == '+') {
            groups->append(p + 1);
            groups->push_back('\0');
        } else {
            services->append(p);
            services->push_back('\0');
        }
    }
    if (!services->empty()) services->push_back('\0');
    if (!groups->empty()) groups->push_back('\0');
}

LONG RecordService(const std::string& folder, LPCSTR name, LPCSTR displayName, DWORD serviceType,
                   DWORD startType, DWORD errorControl, LPCSTR binaryPath, LPCSTR loadOrderGroup,
                   LPCSTR dependencies, LPCSTR account) {
    LONG status = WriteDword(folder, "Type", serviceType);
    if (status == ERROR_SUCCESS) status = WriteDword(folder, "Start", startType);
    if (status == ERROR_SUCCESS) status = WriteDword(folder, "ErrorControl", errorControl);
    if (status == ERROR_SUCCESS)
        status = WriteString(folder, "ImagePath", REG_EXPAND_SZ, binaryPath);
    if (status == ERROR_SUCCESS)
        status = WriteString(folder, "DisplayName", REG_SZ,
                             displayName != nullptr && displayName[0] != '\0' ? displayName : name);
    if (status == ERROR_SUCCESS && loadOrderGroup != nullptr && loadOrderGroup[0] != '\0')
        status = WriteString(folder, "Group", REG_SZ, loadOrderGroup);
    std::string services, groups;
    SplitDependencies(dependencies, &services, &groups);
    if (status == ERROR_SUCCESS && !services.empty())
        status =
            WriteValue(folder, "DependOnService", REG_MULTI_SZ, services.data(), services.size());
    if (status == ERROR_SUCCESS && !groups.empty())
        status = WriteValue(folder, "DependOnGroup", REG_MULTI_SZ, groups.data(), groups.size());
    if (status == ERROR_SUCCESS && account != nullptr && account[0] != '\0')
        status = WriteString(folder, "ObjectName", REG_SZ, account);
    return status;
}

bool IsStartType(DWORD start) {
    return start <= 4;
}
bool IsServiceType(DWORD type) {
    return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER ||
           (type & ~0x100u) == 0x10u || (type & ~0x100u) == 0x20u;
}

}  // namespace
}  // namespace nuvex::host

using namespace nuvex::host;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR, DWORD) {
    return NoThrow<SC_HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY, [&]() -> SC_HANDLE {
        if (machine != nullptr && machine[0] != '\0' && std::strcmp(machine, "\\\\.") != 0)
            return FailHandle(ERROR_INVALID_NAME);
        // The service database lives in the machine root: none in a root that is refused.
        if (LocalMachineFolder().empty()) return static_cast<SC_HANDLE>(nullptr);
        auto* object = new ServiceObject();
        object->manager = true;
        return NewHandle(object);
    });
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD) {
    return NoThrow<SC_HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY, [&]() -> SC_HANDLE {
        ServiceObject scm;
        if (!Lookup(manager, true, &scm)) return nullptr;
        if (name == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
        std::string folder;
        if (!FindService(name, &folder)) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
        auto* object = new ServiceObject();
        object->folder = folder;
        return NewHandle(object);
    });
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPath,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies, LPCSTR account,
                         LPCSTR) {
    return NoThrow<SC_HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY, [&]() -> SC_HANDLE {
        ServiceObject scm;
        if (!Lookup(manager, true, &scm)) return nullptr;
        if (!ValidServiceName(name)) return FailHandle(ERROR_INVALID_NAME);
        if (binaryPath == nullptr || binaryPath[0] == '\0' || !IsServiceType(serviceType) ||
            !IsStartType(startType) || errorControl > 3)
            return FailHandle(ERROR_INVALID_PARAMETER);
        std::string folder;
        if (FindService(name, &folder)) return FailHandle(ERROR_SERVICE_EXISTS);
        bool keyExisted = FindKeyFolder(ServicesFolder(), {name}, false, &folder) == ERROR_SUCCESS;
        LONG status = FindKeyFolder(ServicesFolder(), {name}, true, &folder);
        if (status == ERROR_SUCCESS)
            status = RecordService(folder, name, displayName, serviceType, startType, errorControl,
                                   binaryPath, loadOrderGroup, dependencies, account);
        if (status != ERROR_SUCCESS) {
            if (!keyExisted) RemoveKey(folder, true);
            return FailHandle(static_cast<DWORD>(status));
        }
        if (tagId != nullptr) *tagId = 0;
        auto* object = new ServiceObject();
        object->folder = folder;
        return NewHandle(object);
    });
}

BOOL StartServiceA(SC_HANDLE service, DWORD, LPCSTR*) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        ServiceObject object;
        if (!Lookup(service, false, &object)) return FALSE;
        if (object.deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        DWORD start = 0;
        if (!KeyExists(object.folder)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        if (ReadDwordValue(object.folder, "Start", &start) && start == 4)
            return Fail(ERROR_SERVICE_DISABLED);
        NTSTATUS status = LoadDriverOfService(object.folder);
        switch (status) {
            case STATUS_SUCCESS:
                return TRUE;
            case STATUS_IMAGE_ALREADY_LOADED:
                return Fail(ERROR_SERVICE_ALREADY_RUNNING);
            case STATUS_OBJECT_NAME_NOT_FOUND:
                return Fail(ERROR_FILE_NOT_FOUND);
            case STATUS_INVALID_IMAGE_FORMAT:
                return Fail(ERROR_BAD_EXE_FORMAT);
            case STATUS_IO_TIMEOUT:
                return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
            default:
                return Fail(ERROR_GEN_FAILURE);
        }
    });
}

BOOL DeleteService(SC_HANDLE service) {
    return NoThrow<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY, [&]() -> BOOL {
        ServiceObject object;
        if (!Lookup(service, false, &object)) return FALSE;
        if (object.deleted || !KeyExists(object.folder))
            return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        // The key goes at once; a running driver stays loaded.
        LONG status = RemoveKey(object.folder, true);
        if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
        std::lock_guard<std::mutex> lock(g_serviceLock);
        reinterpret_cast<ServiceObject*>(service)->deleted = true;
        return TRUE;
    });
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    auto* object = reinterpret_cast<ServiceObject*>(handle);
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        if (LiveServices().erase(object) == 0) return Fail(ERROR_INVALID_HANDLE);
    }
    delete object;
    CountObjectClosed();
    return TRUE;
}

NTSTATUS NtLoadDriver(NUVEX_UNICODE_STRING* driverServiceName) {
    return NoThrow<NTSTATUS>(
        STATUS_INSUFFICIENT_RESOURCES, ERROR_NOT_ENOUGH_MEMORY, [&]() -> NTSTATUS {
            CountLoadDriverCall();
            NTSTATUS forced = STATUS_SUCCESS;
            if (TakeForcedLoadStatus(&forced)) return forced;
            if (!LoadDriverPrivilegeEnabled()) return STATUS_PRIVILEGE_NOT_HELD;
            if (driverServiceName == nullptr || driverServiceName->Buffer == nullptr ||
                driverServiceName->Length % 2 != 0 || driverServiceName->Length == 0)
                return STATUS_INVALID_PARAMETER;
            std::string path =
                Utf16ToUtf8(driverServiceName->Buffer, driverServiceName->Length / 2);
            const std::string prefix = "\\Registry\\Machine\\";
            if (path.size() <= prefix.size() ||
                ::strncasecmp(path.c_str(), prefix.c_str(), prefix.size()) != 0)
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            std::vector<std::string> parts;
            if (!SplitKeyPath(path.c_str() + prefix.size(), &parts) || parts.empty())
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            std::string folder;
            if (FindKeyFolder(LocalMachineFolder(), parts, false, &folder) != ERROR_SUCCESS)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            return LoadDriverOfService(folder);
        });
}
