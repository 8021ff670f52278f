// A DLL of the host's process that takes one of the host's locks in its DllMain when a thread
// starts or ends, as DLLs that keep per-thread state under a lock of their own do: any thread
// the library starts runs that DllMain first and last, under the loader lock. The host names
// the lock and the moments (NuvexTest_TakeLockIn).
#include <windows.h>

namespace {

CRITICAL_SECTION* volatile g_lock = nullptr;
volatile LONG g_reasons = 0;  // bit 0: thread attach; bit 1: thread detach

}  // namespace

extern "C" __declspec(dllexport) void NuvexTest_TakeLockIn(CRITICAL_SECTION* lock, LONG reasons) {
    g_lock = lock;
    InterlockedExchange(&g_reasons, reasons);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    const LONG wanted = g_reasons;
    const bool take = (reason == DLL_THREAD_ATTACH && (wanted & 1) != 0) ||
                      (reason == DLL_THREAD_DETACH && (wanted & 2) != 0);
    if (take && g_lock != nullptr) {
        EnterCriticalSection(g_lock);
        LeaveCriticalSection(g_lock);
    }
    return TRUE;
}
