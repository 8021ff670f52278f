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

// One thread that the library starts and always joins before the export that started it
// returns. Joined at the latest when the object goes.
class Thread {
public:
    using Routine = void (*)(void* argument);

    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { Join(); }

    // Runs routine(argument) on a new thread; false when the system gives none (the caller
    // then does the work itself).
    bool Start(Routine routine, void* argument);
    // Waits for the thread to end; nothing when none runs.
    void Join();

private:
#if defined(_WIN32)
    static DWORD WINAPI Entry(void* self);
    HANDLE handle_ = nullptr;
    Routine routine_ = nullptr;
    void* argument_ = nullptr;
#else
    std::thread thread_;
#endif
};

#if defined(_WIN32)
inline DWORD WINAPI Thread::Entry(void* self) {
    auto* thread = static_cast<Thread*>(self);
    thread->routine_(thread->argument_);
    return 0;
}

inline bool Thread::Start(Routine routine, void* argument) {
    if (handle_ != nullptr) return false;
    routine_ = routine;
    argument_ = argument;
    handle_ = CreateThread(nullptr, 0, &Thread::Entry, this, 0, nullptr);
    return handle_ != nullptr;
}

inline void Thread::Join() {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
}

// Suspends the calling thread for about `milliseconds`.
inline void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
// A clock that only moves forward, in milliseconds from an arbitrary start.
inline uint64_t MonotonicMilliseconds() { return GetTickCount64(); }
#else
inline bool Thread::Start(Routine routine, void* argument) {
    if (thread_.joinable()) return false;
    try {
        thread_ = std::thread(routine, argument);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

inline void Thread::Join() {
    if (thread_.joinable()) thread_.join();
}

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
