// Helper threads of the host platform (platform/threads.h), and the test hook that holds
// their start back the way a loader lock held by the caller does on Windows.
#include "platform/threads.h"

#include <atomic>
#include <new>

#include "platform/host/host_internal.h"

namespace nuvex::platform {
namespace {

enum class ThreadState { kPending, kRunning, kReturned, kCancelled };

}  // namespace

struct Thread::Shared {
    std::mutex lock;
    std::condition_variable changed;
    ThreadState state = ThreadState::kPending;  // under lock
    std::atomic<int> references{2};             // the starter's and the thread's
    Routine routine = nullptr;
    void* argument = nullptr;
};

namespace {

std::mutex g_holdLock;
std::condition_variable g_holdChanged;
int g_holdMode = 0;  // under g_holdLock: 0 none, 1 held before they begin, 2 starts refused
std::atomic<uint32_t> g_liveThreads{0};

void Release(Thread::Shared* shared) {
    if (shared->references.fetch_sub(1) == 1) delete shared;
}

void Entry(Thread::Shared* shared) {
    {
        std::unique_lock<std::mutex> held(g_holdLock);
        g_holdChanged.wait(held, [] { return g_holdMode != 1; });
    }
    bool run = false;
    {
        std::lock_guard<std::mutex> held(shared->lock);
        run = shared->state == ThreadState::kPending;
        if (run) shared->state = ThreadState::kRunning;
    }
    if (run) {
        shared->routine(shared->argument);
        {
            std::lock_guard<std::mutex> held(shared->lock);
            shared->state = ThreadState::kReturned;
        }
        shared->changed.notify_all();
    }
    Release(shared);
    g_liveThreads.fetch_sub(1);
}

}  // namespace

bool Thread::Start(Routine routine, void* argument) {
    if (shared_ != nullptr) return false;
    {
        std::lock_guard<std::mutex> held(g_holdLock);
        if (g_holdMode == 2) return false;
    }
    auto* shared = new (std::nothrow) Shared;
    if (shared == nullptr) return false;
    shared->routine = routine;
    shared->argument = argument;
    g_liveThreads.fetch_add(1);
    try {
        std::thread(&Entry, shared).detach();
    } catch (...) {
        g_liveThreads.fetch_sub(1);
        delete shared;
        return false;
    }
    shared_ = shared;
    return true;
}

void Thread::Finish() {
    if (shared_ == nullptr) return;
    {
        std::unique_lock<std::mutex> held(shared_->lock);
        if (shared_->state == ThreadState::kPending) shared_->state = ThreadState::kCancelled;
        shared_->changed.wait(held, [this] { return shared_->state != ThreadState::kRunning; });
    }
    Release(shared_);
    shared_ = nullptr;
}

}  // namespace nuvex::platform

namespace nuvex::host {

void HoldThreadStarts(int mode) {
    {
        std::lock_guard<std::mutex> held(platform::g_holdLock);
        platform::g_holdMode = mode;
    }
    platform::g_holdChanged.notify_all();
}

uint32_t LiveThreadCount() { return platform::g_liveThreads.load(); }

}  // namespace nuvex::host
