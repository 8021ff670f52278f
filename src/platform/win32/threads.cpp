// Helper threads of the Windows DLL (platform/threads.h).
#include "platform/threads.h"

#include <cstring>

namespace nuvex::platform {
namespace {

enum class ThreadState : LONG { kPending, kRunning, kReturned, kCancelled };

// How long Finish() gives a helper to end once it is done with the copy (or cancelled before
// it began). Ending runs every DLL's DllMain under the loader lock; normally a moment, but
// another module's DllMain may wait there for a lock the caller holds, so the wait is bounded
// and the thread, holding its own reference to the DLL, is left to end by itself.
constexpr DWORD kEndWaitMilliseconds = 100;

}  // namespace

struct Thread::Shared {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    ThreadState state;  // under lock
    LONG references;    // the starter's and the thread's
    Routine routine;
    void* argument;
    HMODULE module;  // the thread's own reference to the DLL
    HANDLE handle;   // the starter's
};

namespace {

// The shared state comes from the process heap, not the library's: a thread that starts
// late may free it after the export that started it (and its heap accounting) is done.
void Release(Thread::Shared* shared) {
    if (InterlockedDecrement(&shared->references) == 0) HeapFree(GetProcessHeap(), 0, shared);
}

// The loader lock: the critical section the process environment block points to.
RTL_CRITICAL_SECTION* LoaderLock() {
    const uint8_t* peb = nullptr;
#if defined(_WIN64)
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
    constexpr size_t kLoaderLockOffset = 0x110;
#else
    __asm__("movl %%fs:0x30, %0" : "=r"(peb));
    constexpr size_t kLoaderLockOffset = 0xA0;
#endif
    if (peb == nullptr) return nullptr;
    RTL_CRITICAL_SECTION* lock = nullptr;
    std::memcpy(&lock, peb + kLoaderLockOffset, sizeof lock);
    return lock;
}

// A reference to the DLL for a helper, taken only when the loader lock is free this moment:
// taking it needs that lock, and a helper of this or an earlier call may hold it while it
// waits, in another module's DllMain, for a lock the caller holds. Then no helper is started.
HMODULE ModuleReferenceIfLoaderFree() {
    RTL_CRITICAL_SECTION* loader = LoaderLock();
    if (loader != nullptr && !TryEnterCriticalSection(loader)) return nullptr;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&ModuleReferenceIfLoaderFree), &module))
        module = nullptr;
    if (loader != nullptr) LeaveCriticalSection(loader);
    return module;
}

// True when the calling thread holds the loader lock: it runs in a DllMain (or another loader
// callback), and a thread started now cannot begin before the lock is released.
bool HoldsLoaderLock() {
    const RTL_CRITICAL_SECTION* lock = LoaderLock();
    return lock != nullptr &&
           reinterpret_cast<uintptr_t>(lock->OwningThread) == GetCurrentThreadId();
}

DWORD WINAPI Entry(void* argument) {
    auto* shared = static_cast<Thread::Shared*>(argument);
    const HMODULE module = shared->module;
    AcquireSRWLockExclusive(&shared->lock);
    const bool run = shared->state == ThreadState::kPending;
    if (run) shared->state = ThreadState::kRunning;
    ReleaseSRWLockExclusive(&shared->lock);
    if (run) {
        shared->routine(shared->argument);
        AcquireSRWLockExclusive(&shared->lock);
        shared->state = ThreadState::kReturned;
        ReleaseSRWLockExclusive(&shared->lock);
        WakeAllConditionVariable(&shared->changed);
    }
    Release(shared);
    // The module reference taken for this thread keeps the DLL's code mapped up to here.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

bool Thread::Start(Routine routine, void* argument) {
    // Under the loader lock a helper could only begin after the call is over: none is started.
    // Should that test ever miss, the helper still never holds the caller up (Finish).
    if (shared_ != nullptr || HoldsLoaderLock()) return false;
    HMODULE module = ModuleReferenceIfLoaderFree();
    if (module == nullptr) return false;
    auto* shared = static_cast<Shared*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Shared)));
    if (shared == nullptr) {
        FreeLibrary(module);
        return false;
    }
    InitializeSRWLock(&shared->lock);
    InitializeConditionVariable(&shared->changed);
    shared->state = ThreadState::kPending;
    shared->references = 2;
    shared->routine = routine;
    shared->argument = argument;
    shared->module = module;
    HANDLE handle = CreateThread(nullptr, 0, &Entry, shared, 0, nullptr);
    if (handle == nullptr) {
        HeapFree(GetProcessHeap(), 0, shared);
        FreeLibrary(module);
        return false;
    }
    shared->handle = handle;
    shared_ = shared;
    return true;
}

void Thread::Finish() {
    if (shared_ == nullptr) return;
    AcquireSRWLockExclusive(&shared_->lock);
    const bool began = shared_->state != ThreadState::kPending;
    if (!began) shared_->state = ThreadState::kCancelled;
    while (shared_->state == ThreadState::kRunning)
        SleepConditionVariableSRW(&shared_->changed, &shared_->lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&shared_->lock);
    // The helper is done with the copy (or will never touch it). Its end is given a moment, so
    // that a FreeLibrary right after the call normally unloads the DLL at once; it is never
    // waited for beyond that: ending (like beginning) runs every DLL's DllMain under the
    // loader lock, where another module may wait for a lock the caller holds. A helper that
    // is not over by then ends by itself, holding the DLL loaded till then.
    WaitForSingleObject(shared_->handle, kEndWaitMilliseconds);
    CloseHandle(shared_->handle);
    Release(shared_);
    shared_ = nullptr;
}

}  // namespace nuvex::platform
