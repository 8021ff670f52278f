// Races: two document operations on one file at the same moment, from two threads and from two
// processes, many times over. Every trial must end as some serial order of the operations that
// reported success would have ended (never a damaged or doubly encrypted file, never both on
// stale state), every failure must be one of the codes the export documents for it, and no
// temporary file may be left.
//
// NUVEX_RACE_TRIALS sets the trials per pair and per kind of contender (default 2000).
//
// Also here: another user who may write the folder swaps the temporary file's name for a link
// to the caller's file, again and again, while documents are encrypted and decrypted in place.
// NUVEX_SWAP_TRIALS sets its trials (default 100).
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "race_ops.h"
#include "sim_client.h"
#include "sweep.h"

namespace nuvex::reliability {
namespace {

using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;
using Clock = std::chrono::steady_clock;

uint32_t Trials() {
    const char* text = std::getenv("NUVEX_RACE_TRIALS");
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                                            : 2000;
}

// ---- the contenders ----------------------------------------------------------------------

// Runs two commands at once and returns their result codes.
class Contenders {
public:
    virtual ~Contenders() = default;
    virtual std::pair<uint32_t, uint32_t> Run(const std::string& a, const std::string& b) = 0;
};

// Two threads of this process, released together.
class ThreadContenders : public Contenders {
    bool flip_ = false;

public:
    std::pair<uint32_t, uint32_t> Run(const std::string& a, const std::string& b) override {
        // Both threads are woken together, then each waits a moment (never long: the other
        // may not be scheduled at once) for the other to be running too.
        std::latch start(2);
        std::atomic<int> running{0};
        uint32_t results[2] = {};
        auto contend = [&](int index, const std::string& command) {
            start.arrive_and_wait();
            running.fetch_add(1);
            const Clock::time_point until = Clock::now() + std::chrono::microseconds(200);
            while (running.load() < 2 && Clock::now() < until) {
            }
            results[index] = RunRaceOp(command);
        };
        // The thread started first tends to win: the two change places every trial.
        flip_ = !flip_;
        std::thread first(contend, flip_ ? 1 : 0, std::cref(flip_ ? b : a));
        std::thread second(contend, flip_ ? 0 : 1, std::cref(flip_ ? a : b));
        first.join();
        second.join();
        return {results[0], results[1]};
    }
};

// Two child processes (crash_child serve), each told its command, then both told to go.
class ProcessContenders : public Contenders {
public:
    ProcessContenders() {
        for (Child& child : children_) Start(child);
    }
    ~ProcessContenders() override {
        for (Child& child : children_) {
            if (child.in != nullptr) std::fclose(child.in);
            if (child.out != nullptr) std::fclose(child.out);
            if (child.pid > 0) ::waitpid(child.pid, nullptr, 0);
        }
    }
    bool ok() const { return children_[0].pid > 0 && children_[1].pid > 0; }

    std::pair<uint32_t, uint32_t> Run(const std::string& a, const std::string& b) override {
        Send(children_[0], a);
        Send(children_[1], b);
        Receive(children_[0]);  // "ready"
        Receive(children_[1]);
        Send(children_[0], "go");
        Send(children_[1], "go");
        uint32_t first = static_cast<uint32_t>(std::stoul(Receive(children_[0])));
        uint32_t second = static_cast<uint32_t>(std::stoul(Receive(children_[1])));
        return {first, second};
    }

private:
    struct Child {
        pid_t pid = -1;
        FILE* in = nullptr;   // the child's standard input
        FILE* out = nullptr;  // its standard output
    };

    static void Start(Child& child) {
        int toChild[2];
        int fromChild[2];
        // Close-on-exec: the other child must not keep this one's input open.
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
        const std::string program = nuvex::simtest::BinaryDirectory() + "/reliability_crash_child";
        child.pid = ::fork();
        if (child.pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::execl(program.c_str(), program.c_str(), "serve", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        child.in = ::fdopen(toChild[1], "w");
        child.out = ::fdopen(fromChild[0], "r");
    }
    static void Send(Child& child, const std::string& line) {
        std::fputs((line + "\n").c_str(), child.in);
        std::fflush(child.in);
    }
    static std::string Receive(Child& child) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, child.out) == nullptr) return "4294967295";
        line[std::strcspn(line, "\n")] = '\0';
        return line;
    }

    Child children_[2];
};

// ---- what a file can be after a trial ------------------------------------------------------

enum class State { Missing, Plain, Document, DocumentWithRights, Damaged };

const char* Name(State state) {
    switch (state) {
    case State::Missing: return "missing";
    case State::Plain: return "plain";
    case State::Document: return "document";
    case State::DocumentWithRights: return "document with rights";
    case State::Damaged: return "damaged";
    }
    return "?";
}

// `body` is the document body of `plain` under the current key (bodies do not depend on the
// header, so every single encryption of `plain` has it).
State Classify(const std::string& path, const std::string& plain, const std::string& body) {
    if (!std::filesystem::exists(path)) return State::Missing;
    const std::string bytes = ReadFileBytes(path);
    if (bytes == plain) return State::Plain;
    uint32_t isDocument = 0;
    if (bytes.size() != 4096 + plain.size() || bytes.compare(4096, std::string::npos, body) != 0 ||
        NuvexCtrl_IsEncryptFile(path.c_str(), 0, &isDocument) != 0 || isDocument != 1)
        return State::Damaged;
    return (static_cast<uint8_t>(bytes[3968]) & 1) ? State::DocumentWithRights : State::Document;
}

// What an operation that reported success did to the file, or nothing when it could not
// have succeeded on that state.
std::optional<State> Apply(const std::string& op, State state) {
    const bool document = state == State::Document || state == State::DocumentWithRights;
    if (op == "encrypt" && state == State::Plain) return State::Document;
    if (op == "decrypt" && document) return State::Plain;
    if (op == "rights" && document) return State::DocumentWithRights;
    return std::nullopt;
}

// The codes each operation may fail with in these races.
const std::map<std::string, std::set<uint32_t>> kFailureCodes = {
    {"encrypt", {797, 651}},  // another operation holds the file; it is already a document
    // 2412: a rights writer's open for writing, made in the moment after the decryption took
    // hold, is turned away by the share modes, but the decryption has seen a writer come (on
    // the host, its lease broke) and gives up as it does for any other program's writer.
    {"decrypt", {NUVEX_E_DOC_BUSY, NUVEX_E_DOC_OPEN_FAILED, 531, NUVEX_E_SOURCE_CHANGED}},
    {"rights", {NUVEX_E_DOC_BUSY, NUVEX_E_DOC_OPEN_FAILED, 855}},
    {"decryptto", {NUVEX_E_DOC_BUSY, NUVEX_E_REPLACE_FAILED}},
};

struct PairFigures {
    uint32_t trials = 0;
    std::map<std::string, uint32_t> outcomes;  // "<code a>/<code b>" -> trials
};

class RaceTest : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        nuvex::test::MachineRootTest::SetUp();
        // The race files live on a memory file system where there is one: every completed
        // operation flushes its file to disk, which would make the trials slow and add nothing
        // here (the crash test covers the disk).
        char pattern[] = "/dev/shm/nuvex-race-XXXXXX";
        dir_ = ::mkdtemp(pattern) != nullptr ? pattern
                                             : std::filesystem::path(Scratch("x")).parent_path().string();
    }
    void TearDown() override {
        if (dir_.rfind("/dev/shm/", 0) == 0) std::filesystem::remove_all(dir_);
        nuvex::test::MachineRootTest::TearDown();
    }
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    void MakeImages() {
        plain_ = RandomPlain(3000, 1);
        other_ = RandomPlain(2500, 2);
        document_ = EncryptedImage("d.made", plain_);
        otherDocument_ = EncryptedImage("e.made", other_);
        body_ = document_.substr(4096);
    }

    static std::string RandomPlain(size_t size, uint32_t seed) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 17) ^ (i >> 3));
        return bytes;
    }
    std::string EncryptedImage(const std::string& name, const std::string& plain) {
        const std::string path = File(name);
        WriteFileBytes(path, plain);
        EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        std::string image = ReadFileBytes(path);
        std::filesystem::remove(path);
        return image;
    }
    std::set<std::string> Names() const { return DirectoryEntries(dir_); }
    void EmptyDirectory() const {
        for (const std::string& name : Names()) std::filesystem::remove(dir_ + "/" + name);
    }

    // Two operations on one file, started from `start` (plain or document image) each trial.
    void RaceOnOneFile(Contenders& contenders, const std::string& a, const std::string& b,
                       State start, PairFigures& figures) {
        EmptyDirectory();
        const std::string path = File("f");
        for (uint32_t trial = 0; trial < Trials(); ++trial) {
            WriteFileBytes(path, start == State::Plain ? plain_ : document_);
            auto [ra, rb] = contenders.Run(a + " " + path, b + " " + path);
            ++figures.trials;
            ++figures.outcomes[std::to_string(ra) + "/" + std::to_string(rb)];
            const State now = Classify(path, plain_, body_);
            // The serial orders of the operations that succeeded, and where they end.
            std::set<State> explained;
            std::vector<std::string> done;
            if (ra == 0) done.push_back(a);
            if (rb == 0) done.push_back(b);
            if (done.empty()) explained.insert(start);
            if (done.size() == 1) {
                if (auto end = Apply(done[0], start)) explained.insert(*end);
            }
            if (done.size() == 2) {
                for (int order = 0; order < 2; ++order) {
                    auto middle = Apply(done[order], start);
                    if (auto end = middle ? Apply(done[1 - order], *middle) : std::nullopt)
                        explained.insert(*end);
                }
            }
            const bool failuresKnown = (ra == 0 || kFailureCodes.at(a).count(ra)) &&
                                       (rb == 0 || kFailureCodes.at(b).count(rb));
            if (!explained.count(now) || !failuresKnown || Names() != std::set<std::string>{"f"}) {
                ADD_FAILURE() << a << " / " << b << " from " << Name(start) << ", trial " << trial
                              << ": results " << ra << " / " << rb << ", file " << Name(now)
                              << ", " << Names().size() << " names in the directory";
                return;
            }
        }
    }

    // Two documents decrypted at once to one target that does not exist yet.
    void RaceOnOneTarget(Contenders& contenders, PairFigures& figures) {
        EmptyDirectory();
        const std::string first = File("d1");
        const std::string second = File("d2");
        const std::string target = File("t");
        for (uint32_t trial = 0; trial < Trials(); ++trial) {
            WriteFileBytes(first, document_);
            WriteFileBytes(second, otherDocument_);
            std::filesystem::remove(target);
            auto [ra, rb] = contenders.Run("decryptto " + first + " " + target,
                                           "decryptto " + second + " " + target);
            ++figures.trials;
            ++figures.outcomes[std::to_string(ra) + "/" + std::to_string(rb)];
            const std::string now = nuvex::test::FileExists(target) ? ReadFileBytes(target) : "";
            // Whoever succeeded last wrote the target; at least one of them succeeds.
            const bool explained = (ra == 0 && rb != 0 && now == plain_) ||
                                   (rb == 0 && ra != 0 && now == other_) ||
                                   (ra == 0 && rb == 0 && (now == plain_ || now == other_));
            const bool failuresKnown = (ra == 0 || kFailureCodes.at("decryptto").count(ra)) &&
                                       (rb == 0 || kFailureCodes.at("decryptto").count(rb));
            const bool documentsKept =
                ReadFileBytes(first) == document_ && ReadFileBytes(second) == otherDocument_;
            if (!explained || !failuresKnown || !documentsKept ||
                Names() != std::set<std::string>{"d1", "d2", "t"}) {
                ADD_FAILURE() << "decryptto / decryptto, trial " << trial << ": results " << ra
                              << " / " << rb << ", target of " << now.size() << " bytes, "
                              << Names().size() << " names in the directory";
                return;
            }
        }
    }

    void RunEveryPair(Contenders& contenders, const char* kind) {
        MakeImages();
        struct OneFilePair {
            const char* a;
            const char* b;
            State start;
        };
        const OneFilePair pairs[] = {
            {"encrypt", "encrypt", State::Plain},
            {"decrypt", "decrypt", State::Document},
            {"decrypt", "encrypt", State::Document},
            {"encrypt", "decrypt", State::Plain},
            {"rights", "decrypt", State::Document},
        };
        for (const OneFilePair& pair : pairs) {
            PairFigures figures;
            const Clock::time_point begin = Clock::now();
            RaceOnOneFile(contenders, pair.a, pair.b, pair.start, figures);
            Report(kind, std::string(pair.a) + "/" + pair.b + " from " + Name(pair.start), figures,
                   begin);
        }
        PairFigures figures;
        const Clock::time_point begin = Clock::now();
        RaceOnOneTarget(contenders, figures);
        Report(kind, "decryptto/decryptto, same new target", figures, begin);
    }

    static void Report(const char* kind, const std::string& pair, const PairFigures& figures,
                       Clock::time_point begin) {
        std::printf("race figures (%s): %s: %u trials in %lld ms;", kind, pair.c_str(),
                    figures.trials,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               Clock::now() - begin)
                                               .count()));
        for (const auto& [outcome, count] : figures.outcomes)
            std::printf(" %s x%u", outcome.c_str(), count);
        std::printf("\n");
    }

    std::string dir_, plain_, other_, document_, otherDocument_, body_;
};

TEST_F(RaceTest, OneOperationPerFileBetweenThreadsAndProcesses) {
    ThreadContenders threads;
    RunEveryPair(threads, "threads");
    ProcessContenders processes;
    ASSERT_TRUE(processes.ok());
    RunEveryPair(processes, "processes");
}

// ---- temporary names swapped for links ----------------------------------------------------

class LinkSwapTest : public nuvex::test::MachineRootTest {};

// Swaps every regular file found under `names` for a link to `victim`, until killed: the
// attack of a user who may write the folder (a fresh link renamed over the name in one step).
[[noreturn]] void SwapNamesForLinks(const std::vector<std::string>& names,
                                    const std::string& victim, const std::string& spare) {
    for (;;) {
        for (const std::string& name : names) {
            struct stat st;
            if (::lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            ::unlink(spare.c_str());
            if (::symlink(victim.c_str(), spare.c_str()) == 0) ::rename(spare.c_str(), name.c_str());
        }
        ::sched_yield();
    }
}

TEST_F(LinkSwapTest, TemporaryNamesSwappedForLinksNeverReachTheLinksTarget) {
    const char* text = std::getenv("NUVEX_SWAP_TRIALS");
    const uint32_t trials = text != nullptr && *text != '\0'
                                ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                                : 100;
    const std::string victim = Root() + "/victim";
    const std::string secret = "the caller's own secret, mode 0600";
    WriteFileBytes(victim, secret);
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    struct stat before {};
    ASSERT_EQ(::stat(victim.c_str(), &before), 0);
    const std::string path = Scratch("p");
    std::vector<std::string> names;
    for (int n = 1; n <= 3; ++n) names.push_back(path + ".lumadtmp" + std::to_string(n));
    // Large enough that the temporary file lives for a while.
    std::string plain(256 * 1024, 'x');
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 7 + i / 251);

    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) SwapNamesForLinks(names, victim, Scratch(".spare"));

    std::map<std::string, uint32_t> outcomes;
    uint32_t swapped = 0;
    // A success leaves the call's own file under the name, never a link moved there.
    auto holds = [&](std::size_t size) {
        struct stat now {};
        return ::lstat(path.c_str(), &now) == 0 && S_ISREG(now.st_mode) &&
               static_cast<std::size_t>(now.st_size) == size;
    };
    auto victimIntact = [&] {
        struct stat now {};
        return ::lstat(victim.c_str(), &now) == 0 && S_ISREG(now.st_mode) &&
               (now.st_mode & 07777) == 0600 && now.st_uid == before.st_uid &&
               now.st_gid == before.st_gid && ReadFileBytes(victim) == secret;
    };
    for (uint32_t trial = 0; trial < trials; ++trial) {
        // A link the swapper left under the plain file's name (moved there in the moment
        // between the last check and the rename) is removed, not written through.
        ::unlink(path.c_str());
        WriteFileBytes(path, plain);
        ::chmod(path.c_str(), 0666);  // wider than the victim's: a copy of it would show
        const uint32_t encrypted = NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0);
        ++outcomes["encrypt " + std::to_string(encrypted)];
        ASSERT_TRUE(victimIntact()) << "encrypt, trial " << trial << ", result " << encrypted;
        if (encrypted == 0) {
            ASSERT_TRUE(holds(4096 + plain.size())) << "encrypt, trial " << trial;
            const uint32_t decrypted = NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0);
            ++outcomes["decrypt " + std::to_string(decrypted)];
            ASSERT_TRUE(victimIntact()) << "decrypt, trial " << trial << ", result " << decrypted;
            if (decrypted == 0) EXPECT_TRUE(holds(plain.size()) && ReadFileBytes(path) == plain);
        }
        for (const std::string& name : names) {
            struct stat st;
            if (::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ++swapped;
            ::unlink(name.c_str());
        }
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    std::printf("link swap figures: %u trials, %u temporary names found swapped;", trials, swapped);
    for (const auto& [outcome, count] : outcomes) std::printf(" %s x%u", outcome.c_str(), count);
    std::printf("\n");
    EXPECT_TRUE(victimIntact());
}

}  // namespace
}  // namespace nuvex::reliability
