// A DLL that encrypts a file from its DllMain when it is loaded and decrypts it in place when
// it is unloaded, as a host's plug-in may: both run under the loader lock. The file is named
// by NUVEX_PROBE_FILE; each result code goes into the process environment
// (NUVEX_PROBE_ATTACH, NUVEX_PROBE_DETACH) for the loading program to read.
#include <windows.h>

#include <cstdio>

#include "nuvexctrl.h"

namespace {

void Report(const char* name, uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", code);
    SetEnvironmentVariableA(name, text);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("NUVEX_PROBE_FILE", path, sizeof path);
    if (length == 0 || length >= sizeof path) return TRUE;
    if (reason == DLL_PROCESS_ATTACH)
        Report("NUVEX_PROBE_ATTACH", NuvexCtrl_EncryptFile(path, 0, nullptr, 0));
    else if (reason == DLL_PROCESS_DETACH && reserved == nullptr)  // FreeLibrary, not exit
        Report("NUVEX_PROBE_DETACH", NuvexCtrl_DecryptFile(path, 0, nullptr, 0, nullptr, 0));
    return TRUE;
}
