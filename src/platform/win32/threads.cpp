// Helper threads of the Windows DLL (platform/threads.h).
#include "platform/threads.h"

namespace nuvex::platform {
namespace {

enum class ThreadState : LONG { kPending, kRunning, kReturned, kCancelled };

}  // namespace

struct Thread::Shared {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    ThreadState state;  // under lock
    LONG references;    // the starter's and the thread's
    Routine routine;
    void* argument;
    HMODULE module;  // the thread's own reference to the DLL
};

namespace {

// The shared state comes from the process heap, not the library's: a thread that starts
// late may free it after the export that started it (and its heap accounting) is done.
void Release(Thread::Shared* shared) {
    if (InterlockedDecrement(&shared->references) == 0) HeapFree(GetProcessHeap(), 0, shared);
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
    if (shared_ != nullptr) return false;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&Entry), &module))
        return false;
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
    // Never waited on: a thread that cannot start yet would hold the wait forever. Finish()
    // waits on the shared state instead.
    CloseHandle(handle);
    shared_ = shared;
    return true;
}

void Thread::Finish() {
    if (shared_ == nullptr) return;
    AcquireSRWLockExclusive(&shared_->lock);
    if (shared_->state == ThreadState::kPending) shared_->state = ThreadState::kCancelled;
    while (shared_->state == ThreadState::kRunning)
        SleepConditionVariableSRW(&shared_->changed, &shared_->lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&shared_->lock);
    Release(shared_);
    shared_ = nullptr;
}

}  // namespace nuvex::platform
