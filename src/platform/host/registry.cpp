// The registry calls. An HKEY other than HKEY_LOCAL_MACHINE points at a key object that
// remembers its folder; the set of live objects tells valid handles from stale ones.
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/host/host_internal.h"
#include "platform/host/registry_store.h"

namespace nuvex::host {
namespace {

struct KeyObject {
    std::string folder;
};

std::mutex g_keyLock;
std::set<KeyObject*>& LiveKeys() {
    static auto* keys = new std::set<KeyObject*>();
    return *keys;
}

// The folder of an open key or of HKEY_LOCAL_MACHINE; false for anything else.
bool FolderOf(HKEY key, std::string* folder) {
    if (key == HKEY_LOCAL_MACHINE) {
        *folder = LocalMachineFolder();
        return true;
    }
    std::lock_guard<std::mutex> lock(g_keyLock);
    auto* object = reinterpret_cast<KeyObject*>(key);
    if (LiveKeys().count(object) == 0) return false;
    *folder = object->folder;
    return true;
}

HKEY NewKey(const std::string& folder) {
    auto* object = new KeyObject{folder};
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        LiveKeys().insert(object);
    }
    CountObjectOpened();
    return reinterpret_cast<HKEY>(object);
}

LSTATUS OpenOrCreate(HKEY key, LPCSTR subKey, PHKEY result, bool create) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base;
    if (!FolderOf(key, &base)) return ERROR_INVALID_HANDLE;
    // No sub key: the call hands back the key it was given, as Windows does.
    if (subKey == nullptr || subKey[0] == '\0') {
        if (!KeyExists(base)) return ERROR_KEY_DELETED;
        *result = key;
        return ERROR_SUCCESS;
    }
    std::vector<std::string> parts;
    if (!SplitKeyPath(subKey, &parts)) return ERROR_BAD_PATHNAME;
    std::string folder;
    LONG status = FindKeyFolder(base, parts, create, &folder);
    if (status != ERROR_SUCCESS) return status;
    *result = NewKey(folder);
    return ERROR_SUCCESS;
}

LSTATUS DeleteKey(HKEY key, LPCSTR subKey, bool withSubkeys) {
    std::string base;
    if (!FolderOf(key, &base)) return ERROR_INVALID_HANDLE;
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    if (!SplitKeyPath(subKey, &parts)) return ERROR_BAD_PATHNAME;
    // The predefined root itself cannot go.
    if (parts.empty() && key == HKEY_LOCAL_MACHINE) return ERROR_ACCESS_DENIED;
    std::string folder;
    LONG status = FindKeyFolder(base, parts, false, &folder);
    if (status != ERROR_SUCCESS) return status;
    return RemoveKey(folder, withSubkeys);
}

bool ValidValueName(LPCSTR name) {
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '/') return false;
    return true;
}

}  // namespace
}  // namespace nuvex::host

using namespace nuvex::host;

LSTATUS RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    return NoThrow<LSTATUS>(static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY,
                            [&]() -> LSTATUS { return OpenOrCreate(key, subKey, result, false); });
}

LSTATUS RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    return NoThrow<LSTATUS>(static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY,
                            [&]() -> LSTATUS { return OpenOrCreate(key, subKey, result, true); });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    return DeleteKey(key, subKey, false);
}

LSTATUS SHDeleteKeyA(HKEY key, LPCSTR subKey) {
    return DeleteKey(key, subKey, true);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
    return NoThrow<LSTATUS>(static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY,
                            [&]() -> LSTATUS {
                                std::string folder;
                                if (!FolderOf(key, &folder)) return ERROR_INVALID_HANDLE;
                                const char* name = valueName != nullptr ? valueName : "";
                                if (!ValidValueName(name) || (data == nullptr && size > 0))
                                    return ERROR_INVALID_PARAMETER;
                                // On the disk, bytes and name, before the call returns.
                                return WriteValue(folder, name, type, data, size);
                            });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD size) {
    return NoThrow<LSTATUS>(static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY,
                            [&]() -> LSTATUS {
                                std::string folder;
                                if (!FolderOf(key, &folder)) return ERROR_INVALID_HANDLE;
                                if (reserved != nullptr || (data != nullptr && size == nullptr))
                                    return ERROR_INVALID_PARAMETER;
                                const char* name = valueName != nullptr ? valueName : "";
                                if (!ValidValueName(name)) return ERROR_FILE_NOT_FOUND;
                                std::string bytes;
                                DWORD found = 0;
                                LONG status = ReadValue(folder, name, &found, &bytes);
                                if (status != ERROR_SUCCESS) return status;
                                if (type != nullptr) *type = found;
                                DWORD length = static_cast<DWORD>(bytes.size());
                                if (data != nullptr) {
                                    if (*size < length) {
                                        *size = length;
                                        return ERROR_MORE_DATA;
                                    }
                                    std::memcpy(data, bytes.data(), length);
                                }
                                if (size != nullptr) *size = length;
                                return ERROR_SUCCESS;
                            });
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    auto* object = reinterpret_cast<KeyObject*>(key);
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        if (LiveKeys().erase(object) == 0) return ERROR_INVALID_HANDLE;
    }
    delete object;
    CountObjectClosed();
    return ERROR_SUCCESS;
}
