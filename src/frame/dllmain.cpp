// Module entry point: the library wants no thread notifications and holds nothing at load.
#if defined(_WIN32)
#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
#endif
