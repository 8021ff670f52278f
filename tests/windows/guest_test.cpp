// The DLL as a guest in a process it does not control: its exports doing real work when the
// caller's stack is only 4-byte aligned (all the 32-bit Windows convention promises; clients
// built by other compilers and many thread start-ups give no more), and documents enciphered
// by several of the host's threads at once.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "nuvexctrl.h"
#include "win_support.h"

namespace {

using nuvex_win::Bytes;
using nuvex_win::kStackOffsets;
using nuvex_win::NuvexCallMeasured;
using nuvex_win::PatternBytes;
using nuvex_win::ReadFileBytes;
using nuvex_win::WriteFileBytes;

uint32_t Arg(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

class GuestTest : public nuvex_win::ScratchTest {
protected:
    // Calls an export through the measuring caller with ESP at 16n - below16; checks that the
    // stack and the callee-saved registers came back and returns the export's result.
    template <typename Fn>
    uint32_t CallAt(uint32_t below16, Fn* fn, std::initializer_list<uint32_t> args) {
        uint32_t result = 0xDEADBEEF, kept = 0;
        const int32_t imbalance =
            NuvexCallMeasured(reinterpret_cast<void*>(fn), args.begin(),
                              static_cast<uint32_t>(args.size()), below16, &result, &kept);
        EXPECT_EQ(imbalance, 0);
        EXPECT_EQ(kept, 1u);
        return result;
    }
};

// Every document export that reaches the cipher, the digest, the header code or the
// library's threads, on each stack offset: sizes below and above the point where a second
// thread enciphers, in place and to another file.
TEST_F(GuestTest, DocumentExportsWorkOnEveryStackAlignment) {
    for (uint32_t below16 : kStackOffsets) {
        for (size_t size : {size_t{5000}, size_t{300000}}) {
            SCOPED_TRACE("ESP 16n-" + std::to_string(below16) + ", " + std::to_string(size) +
                         " bytes");
            const std::string path =
                Scratch("doc" + std::to_string(below16) + "-" + std::to_string(size) + ".bin");
            const std::string out = path + ".out";
            const Bytes plain = PatternBytes(size, below16 + 1);
            ASSERT_TRUE(WriteFileBytes(path, plain));

            char code[33] = {};
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_GetProcSignCode, {Arg(path.c_str()), Arg(code)}),
                      0u);
            ASSERT_EQ(CallAt(below16, &NuvexCtrl_EncryptFile, {Arg(path.c_str()), 0, 0, 0}), 0u);
            uint32_t answer = 0;
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_IsEncryptFile, {Arg(path.c_str()), 0, Arg(&answer)}),
                      0u);
            EXPECT_EQ(answer, 1u);
            uint8_t guid[16] = {};
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_GetFileGUID, {Arg(path.c_str()), Arg(guid)}), 0u);
            uint32_t status = 0;
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_SetEnFileRights,
                             {Arg(path.c_str()), 0, 3, 5, 0x21, Arg("pw"), 2, Arg(&status)}),
                      0u);
            uint32_t printCount = 0;
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_GetEnFileRights,
                             {Arg(path.c_str()), Arg(&printCount), 0, 0, 0, 0, 0}),
                      0u);
            EXPECT_EQ(printCount, 5u);
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_ClearEnFileRights,
                             {Arg(path.c_str()), Arg("pw"), 2, Arg(&status)}),
                      0u);

            EXPECT_EQ(CallAt(below16, &NuvexCtrl_DecryptFile,
                             {Arg(path.c_str()), 1, Arg(out.c_str()), 0, 0, 0}),
                      0u);
            EXPECT_EQ(ReadFileBytes(out), plain);
            EXPECT_EQ(CallAt(below16, &NuvexCtrl_DecryptFile, {Arg(path.c_str()), 0, 0, 0, 0, 0}),
                      0u);
            EXPECT_EQ(ReadFileBytes(path), plain);
        }
    }
}

// One worker: encrypts and decrypts its own file again and again, checking the bytes each
// time. Results are gathered here and checked on the test's thread.
struct Worker {
    std::string path;
    Bytes plain;
    int rounds = 0;
    int failures = 0;
    uint32_t firstFailure = 0;

    static DWORD WINAPI Run(void* self) {
        auto* worker = static_cast<Worker*>(self);
        for (int round = 0; round < worker->rounds; ++round) {
            uint32_t result = NuvexCtrl_EncryptFile(worker->path.c_str(), 0, nullptr, 0);
            if (result == 0) result = NuvexCtrl_DecryptFile(worker->path.c_str(), 0, nullptr, 0,
                                                            nullptr, 0);
            if (result == 0 && ReadFileBytes(worker->path) != worker->plain) result = 0xBAD;
            if (result != 0 && worker->failures++ == 0) worker->firstFailure = result;
        }
        return 0;
    }
};

TEST_F(GuestTest, TwoThreadsEncryptAndDecryptTheirOwnFiles) {
    Worker workers[2];
    HANDLE threads[2] = {};
    for (int i = 0; i < 2; ++i) {
        workers[i].path = Scratch("thread" + std::to_string(i) + ".bin");
        // One file below and one above the size where a second cipher thread joins in.
        workers[i].plain = PatternBytes(i == 0 ? 5000 : 300000, 20 + i);
        workers[i].rounds = 20;
        ASSERT_TRUE(WriteFileBytes(workers[i].path, workers[i].plain));
    }
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, &Worker::Run, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 120000), WAIT_OBJECT_0);
    for (int i = 0; i < 2; ++i) {
        CloseHandle(threads[i]);
        EXPECT_EQ(workers[i].failures, 0) << "thread " << i << ", first result "
                                          << workers[i].firstFailure;
    }
}


// ---- under the host's locks ----------------------------------------------------------------

// The host holds one of its locks across the call; `call` runs on a thread of its own that
// takes the lock first, and is given up to `seconds` to return.
struct LockedCall {
    CRITICAL_SECTION* lock;
    const char* path;
    bool encrypt;
    uint32_t result = 0xFFFFFFFF;
};

DWORD WINAPI CallHoldingTheLock(void* context) {
    auto* call = static_cast<LockedCall*>(context);
    EnterCriticalSection(call->lock);
    call->result = call->encrypt ? NuvexCtrl_EncryptFile(call->path, 0, nullptr, 0)
                                 : NuvexCtrl_DecryptFile(call->path, 0, nullptr, 0, nullptr, 0);
    LeaveCriticalSection(call->lock);
    return 0;
}

// Another DLL of the process takes the host's lock in its DllMain as a thread starts (or
// ends) while the host holds that lock across an encryption or decryption large enough for the
// library's helper threads: every call returns, and the file makes the exact round trip.
TEST_F(GuestTest, CallsReturnWhenAnotherDllsDllMainWaitsForTheCallersLock) {
    HMODULE taker = LoadLibraryA((nuvex_win::ModuleDirectory() + "nuvex_lock_taker.dll").c_str());
    ASSERT_NE(taker, nullptr);
    using TakeLockIn = void (*)(CRITICAL_SECTION*, LONG);
    auto takeLockIn = reinterpret_cast<TakeLockIn>(GetProcAddress(taker, "NuvexTest_TakeLockIn"));
    ASSERT_NE(takeLockIn, nullptr);
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    const Bytes plain = PatternBytes(2500 * 1024, 47);
    const std::string path = Scratch("locked.bin");
    struct Moment {
        const char* label;
        LONG reasons;
    };
    for (const Moment& moment : {Moment{"thread attach", 1}, Moment{"thread detach", 2}}) {
        for (int run = 0; run < 6; ++run) {
            SCOPED_TRACE(std::string(moment.label) + ", run " + std::to_string(run));
            ASSERT_TRUE(WriteFileBytes(path, plain));
            takeLockIn(&lock, moment.reasons);
            for (bool encrypt : {true, false}) {
                LockedCall call{&lock, path.c_str(), encrypt};
                HANDLE thread = CreateThread(nullptr, 0, CallHoldingTheLock, &call, 0, nullptr);
                ASSERT_NE(thread, nullptr);
                const DWORD waited = WaitForSingleObject(thread, 30000);
                if (waited != WAIT_OBJECT_0) {
                    ADD_FAILURE() << (encrypt ? "encrypt" : "decrypt") << " did not return within 30 s";
                    std::fflush(stdout);
                    ExitProcess(3);  // the hung thread cannot be ended cleanly
                }
                CloseHandle(thread);
                EXPECT_EQ(call.result, 0u) << (encrypt ? "encrypt" : "decrypt");
            }
            takeLockIn(nullptr, 0);
            EXPECT_EQ(ReadFileBytes(path), plain);
        }
    }
    DeleteCriticalSection(&lock);
}

}  // namespace
