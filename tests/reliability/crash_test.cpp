// Crash test: a child process encrypts (or decrypts in place) a large file and is killed with
// SIGKILL at a random moment. Afterwards the file must be the complete plain file or one
// complete document; every document is in the end decrypted by a child that ran to the end,
// and must give the plain file back.
//
// NUVEX_CRASH_TRIALS sets the trials per direction (default 50), NUVEX_CRASH_SEED the seed,
// NUVEX_CRASH_MIB the file size (default 64).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"

namespace nuvex::reliability {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// Runs the child; kills it after `delay` unless it has ended. Returns true when it ended by
// itself with status 0.
bool RunChild(const std::string& mode, const std::string& path, std::chrono::microseconds delay,
              bool* killed) {
    const std::string child = nuvex::simtest::BinaryDirectory() + "/reliability_crash_child";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(child.c_str(), child.c_str(), mode.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const Clock::time_point deadline = Clock::now() + delay;
    int status = 0;
    *killed = false;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            *killed = WIFSIGNALED(status);
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

class CrashTest : public nuvex::test::MachineRootTest {};

TEST_F(CrashTest, KilledEncryptionAndDecryptionLoseNothing) {
    const uint32_t trials = EnvNumber("NUVEX_CRASH_TRIALS", 50);
    const uint32_t seed = EnvNumber("NUVEX_CRASH_SEED", 20261207);
    const uint32_t mib = EnvNumber("NUVEX_CRASH_MIB", 64);
    std::mt19937 random(seed);

    const std::string dir = std::filesystem::path(Scratch("x")).parent_path();
    const std::string path = Scratch("large.bin");
    std::string plain(static_cast<size_t>(mib) << 20, '\0');
    for (size_t i = 0; i < plain.size(); i += 4) {
        uint32_t word = random();
        std::memcpy(&plain[i], &word, 4);
    }
    nuvex::test::WriteFileBytes(path, plain);
    // Readable by others: a temporary file of a decryption, which holds plain bytes, must never
    // be, whenever the run is killed (the result takes these permissions only in place).
    ::chmod(path.c_str(), 0644);

    // One run to the end in each direction gives the time a run takes.
    bool killed = false;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(RunChild("encrypt", path, std::chrono::minutes(5), &killed));
    const auto encryptTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    start = Clock::now();
    ASSERT_TRUE(RunChild("decrypt", path, std::chrono::minutes(5), &killed));
    const auto decryptTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    ASSERT_TRUE(nuvex::test::ReadFileBytes(path) == plain) << "round trip";

    uint32_t kills[2] = {0, 0}, runs[2] = {0, 0}, completedDecrypts = 0, plainTemporaries = 0;
    bool isDocument = false;
    std::string document;  // the bytes of the document while the file is one
    while (runs[0] < trials || runs[1] < trials) {
        const int direction = isDocument ? 1 : 0;
        const auto full = direction == 0 ? encryptTime : decryptTime;
        // Kill moments spread over the whole run and a little past it.
        std::uniform_int_distribution<int64_t> moment(0, full.count() * 6 / 5);
        const bool ok = RunChild(direction == 0 ? "encrypt" : "decrypt", path,
                                 std::chrono::microseconds(moment(random)), &killed);
        ++runs[direction];
        if (killed) ++kills[direction];
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(runs[0] + runs[1]));

        std::string now = nuvex::test::ReadFileBytes(path);
        if (now == plain) {
            if (direction == 1 && !killed) {
                ASSERT_TRUE(ok);
                ++completedDecrypts;
            }
            isDocument = false;
        } else {
            uint32_t answer = 0;
            ASSERT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &answer), 0u);
            ASSERT_NE(answer, 0u) << "neither the plain file nor a document";
            ASSERT_EQ(now.size(), plain.size() + 4096) << "incomplete document";
            if (direction == 1) {
                ASSERT_TRUE(now == document) << "a killed decryption changed the document";
            }
            ASSERT_FALSE(direction == 1 && ok) << "decryption reported success and left the document";
            document = std::move(now);
            isDocument = true;
        }
        // A killed run may leave its temporary file beside the target; nothing else.
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string name = entry.path().filename();
            if (name == "large.bin") continue;
            ASSERT_NE(name.find(".lumadtmp"), std::string::npos) << "unexpected file " << name;
            // What a decryption leaves: its owner-only plain file, or (killed between its
            // exchange and the removal of the old file) the old document.
            struct stat left {};
            uint32_t leftIsDocument = 0;
            if (direction == 1 && ::stat(entry.path().c_str(), &left) == 0 &&
                NuvexCtrl_IsEncryptFile(entry.path().c_str(), 0, &leftIsDocument) == 0 &&
                leftIsDocument == 0 && std::filesystem::file_size(entry.path()) > 0) {
                ASSERT_EQ(left.st_mode & 077, 0u) << name << " holds plain bytes readable by others";
                ++plainTemporaries;
            }
            std::filesystem::remove(entry.path());
        }
    }
    if (isDocument) {
        ASSERT_TRUE(RunChild("decrypt", path, std::chrono::minutes(5), &killed));
        ASSERT_TRUE(nuvex::test::ReadFileBytes(path) == plain) << "the last document decrypts to the plain file";
        ++completedDecrypts;
    }
    std::printf("crash figures: %u MiB, encrypt %lld ms, decrypt %lld ms, encrypt runs %u (killed %u), "
                "decrypt runs %u (killed %u), documents decrypted to the end %u, plain temporary files "
                "left (all owner-only) %u, losses 0\n",
                mib, static_cast<long long>(encryptTime.count() / 1000),
                static_cast<long long>(decryptTime.count() / 1000), runs[0], kills[0], runs[1], kills[1],
                completedDecrypts, plainTemporaries);
}

}  // namespace
}  // namespace nuvex::reliability
