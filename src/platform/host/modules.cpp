// Modules: "ntdll.dll" is the one module the library loads, for NtLoadDriver. Each
// LoadLibraryA reference counts as an open handle until FreeLibrary releases it.
#include <strings.h>

#include <cstring>

#include <atomic>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

struct Module {
    const char* name;
};
Module g_ntdll{"ntdll.dll"};
std::atomic<uint32_t> g_ntdllReferences{0};

bool NamesNtdll(const char* name) {
    return ::strcasecmp(name, "ntdll.dll") == 0 || ::strcasecmp(name, "ntdll") == 0;
}

}  // namespace
}  // namespace nuvex::host

using namespace nuvex::host;

HMODULE LoadLibraryA(LPCSTR name) {
    if (name == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!NamesNtdll(name)) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    g_ntdllReferences.fetch_add(1);
    CountObjectOpened();
    return &g_ntdll;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != &g_ntdll) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Names only: an "ordinal" is a pointer value below 64 KiB.
    if (name == nullptr || reinterpret_cast<uintptr_t>(name) < 0x10000 ||
        std::strcmp(name, "NtLoadDriver") != 0) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(&NtLoadDriver);
}

BOOL FreeLibrary(HMODULE module) {
    if (module != &g_ntdll) return Fail(ERROR_MOD_NOT_FOUND);
    uint32_t references = g_ntdllReferences.load();
    do {
        if (references == 0) return Fail(ERROR_MOD_NOT_FOUND);
    } while (!g_ntdllReferences.compare_exchange_weak(references, references - 1));
    CountObjectClosed();
    return TRUE;
}
