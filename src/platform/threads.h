// Locks, condition variables, threads and waits for the library's own use.
//
// In the Windows DLL these are the system's slim reader/writer locks, condition variables and
// CreateThread. A lock or a condition variable there is one pointer-sized word, constant
// initialised, that needs no handle, no memory and no clean-up: module-wide ones hold nothing
// when the DLL is unloaded. The language runtime's thread support is never linked into the
// DLL, because it leaves handles and memory behind at every unload of a DLL that carries it
// (docs/windows.md has the figures). On the host they are the standard library's.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#if !defined(_WIN32)
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace nuvex::platform {

// A mutual-exclusion lock; not recursive. Constant initialised, so a module-wide lock needs
// no start-up and no clean-up.
class Lock {
public:
    constexpr Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

#if defined(_WIN32)
    void Acquire() { AcquireSRWLockExclusive(&lock_); }
    void Release() { ReleaseSRWLockExclusive(&lock_); }
#else
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }
#endif

private:
    friend class Condition;
#if defined(_WIN32)
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    std::mutex mutex_;
#endif
};

// Holds a lock for the life of the object.
class LockHolder {
public:
    explicit LockHolder(Lock& lock) : lock_(lock) { lock_.Acquire(); }
    ~LockHolder() { lock_.Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    Lock& lock() const { return lock_; }

private:
    Lock& lock_;
};

// A condition variable used with a Lock.
class Condition {
public:
    // Constant initialised in the DLL (the defaulted constructor is constexpr there).
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Releases the held lock, waits for a wake-up (or a spurious one) and takes it again.
    void Wait(LockHolder& held) {
#if defined(_WIN32)
        SleepConditionVariableSRW(&condition_, &held.lock().lock_, INFINITE, 0);
#else
        std::unique_lock<std::mutex> relock(held.lock().mutex_, std::adopt_lock);
        condition_.wait(relock);
        relock.release();  // the holder still owns the lock
#endif
    }
    // Waits until `done()` holds, checked with the lock held.
    template <typename Predicate>
    void Wait(LockHolder& held, Predicate done) {
        while (!done()) Wait(held);
    }
    void WakeAll() {
#if defined(_WIN32)
        WakeAllConditionVariable(&condition_);
#else
        condition_.notify_all();
#endif
    }

private:
#if defined(_WIN32)
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
#else
    std::condition_variable condition_;
#endif
};

// One helper thread that joins in a piece of work if and when it starts. The caller never
// waits for it to start: a thread created while the caller holds the loader lock (a call from
// another module's DllMain) or any other lock the new thread's start-up needs cannot start
// until that lock is released, so work handed to helpers must never depend on one running.
//
// Finish() ends the helper's claim on the routine's argument: a routine that has begun is
// waited for; a thread that has not begun never calls it (it ends at once whenever it does
// start). So the caller may free the argument as soon as Finish() returns, and Finish() never
// waits for a thread to start. The little state the thread and the caller share lives on the
// heap, held by both and freed by whichever lets go last; in the DLL the thread also holds a
// reference to the module, released as it exits, so that unloading the DLL right after the
// call cannot pull the code from under a thread that starts late. In the DLL no thread is
// started while the caller holds the loader lock, nor while anybody else does (the module
// reference needs it, and its holder may be a helper waiting, in another module's DllMain,
// for a lock the caller holds: the copy then goes on without helpers). Finish() never waits
// on the loader either: it waits for the routine to return, never for the thread to end
// beyond a moment (100 ms, so that a FreeLibrary right after the call normally unloads the
// DLL at once); ending runs every DLL's DllMain, which may wait for a lock the caller holds.
class Thread {
public:
    using Routine = void (*)(void* argument);

    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { Finish(); }

    // Starts a thread that will run routine(argument) unless Finish() comes first; false when
    // the system gives none (the caller then does the work itself).
    bool Start(Routine routine, void* argument);
    // Waits for the routine when it has begun, cancels it when it has not; nothing when no
    // thread was started. Never waits for a thread to start.
    void Finish();

    struct Shared;  // the state the thread and its starter share

private:
    Shared* shared_ = nullptr;
};

#if defined(_WIN32)
// Suspends the calling thread for about `milliseconds`.
inline void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
// A clock that only moves forward, in milliseconds from an arbitrary start.
inline uint64_t MonotonicMilliseconds() { return GetTickCount64(); }
#else
inline void SleepMilliseconds(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
inline uint64_t MonotonicMilliseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
#endif

}  // namespace nuvex::platform
