// What a power cut leaves behind each operation that writes files: the operation runs once in a
// child process under the recorder, every crash state of both models (see crash_model.h) is
// rebuilt from the recording and handed to the operation's promise.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crash_model.h"
#include "machine_root.h"
#include "nuvex_wire.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

extern char** environ;

namespace nuvex::crash {
namespace {

namespace fs = std::filesystem;
using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;

// ---- running an operation under the recorder ------------------------------------------------

struct Child {
    std::vector<std::string> argv;
    std::string output = "/dev/null";  // standard output
    // Called while the child runs (for a command that runs until it is interrupted).
    std::function<void(pid_t)> during;
};

int Spawn(const Child& child, const std::vector<std::string>& scopes, const std::string& log,
          const std::string& errors) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    std::string scope;
    for (const std::string& folder : scopes) scope += (scope.empty() ? "" : ":") + folder;
    environment.push_back(std::string("LD_PRELOAD=") + NUVEX_CRASH_RECORDER);
    environment.push_back(std::string(NUVEX_CRASH_SCOPE_ENV) + "=" + scope);
    environment.push_back(std::string(NUVEX_CRASH_LOG_ENV) + "=" + log);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = child.argv;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, child.output.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    if (child.during) child.during(pid);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Numbered(const std::string& stem, size_t count) {
    std::string text;
    for (size_t i = 0; text.size() < count; ++i) text += stem + " " + std::to_string(i) + "\n";
    text.resize(count);
    return text;
}

// A file's bytes other than the two promised ones.
std::string Neither(const std::string& what, const std::string& bytes) {
    return what + " holds " + std::to_string(bytes.size()) + " bytes that are neither the old nor the new file";
}

// ---- the fixture ---------------------------------------------------------------------------

class CrashFixture : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        MachineRootTest::SetUp();
        work_ = Scratch("work");
        state_ = Root() + "/scratch/tool-state";
        fs::create_directories(work_);
        fs::create_directories(state_);
        ::chmod(state_.c_str(), 0700);
        // States are written out on a memory file system where there is one: many small files.
        char pattern[] = "/dev/shm/nuvex-crash-XXXXXX";
        char fallback[] = "/tmp/nuvex-crash-XXXXXX";
        char* made = fs::is_directory("/dev/shm") ? ::mkdtemp(pattern) : nullptr;
        if (made == nullptr) made = ::mkdtemp(fallback);
        ASSERT_NE(made, nullptr);
        scratch_ = made;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
        nuvex::test::KillRecordedDrivers(Root());
        MachineRootTest::TearDown();
    }

    std::string Device() const { return Root() + "/Device"; }
    std::string DriversFolder() const { return Root() + "/Windows/System32/drivers"; }
    static std::string Image(const char* name) { return std::string(NUVEX_IMAGES) + "/" + name; }

    // Runs `child` under the recorder with `scopes` as the recorded folders. The snapshot is
    // taken first; the recording is replayed into steps.
    std::unique_ptr<Recording> Record(const std::vector<std::string>& scopes, const Child& child, int* status) {
        auto recording = std::make_unique<Recording>(scopes);
        const std::string log = scratch_ + "/events.log";
        std::error_code ignored;
        fs::remove(log, ignored);
        *status = Spawn(child, scopes, log, scratch_ + "/stderr");
        std::vector<Event> events;
        std::string why;
        if (!ReadEvents(log, &events, &why) || !recording->Replay(std::move(events), &why)) {
            ADD_FAILURE() << "the recording cannot be replayed: " << why;
            return nullptr;
        }
        return recording;
    }

    std::string Errors() const { return ReadFileBytes(scratch_ + "/stderr"); }

    // Checks every crash state; prints the figures, fails on a broken promise.
    void Expect(const std::string& name, const Recording& recording, const Promise& promise) {
        // NUVEX_CRASH_EVENTS=1 lists the recording.
        if (std::getenv("NUVEX_CRASH_EVENTS") != nullptr)
            for (const Event& event : recording.Events()) std::cout << "    " << Describe(event) << "\n";
        Verdict verdict = recording.Check(scratch_, promise);
        std::cout << "[ crash    ] " << name << ": " << verdict.Summary() << std::endl;
        EXPECT_EQ(verdict.failedOrdered + verdict.failedPerObject, 0u) << name << ": " << verdict.Summary();
        EXPECT_GT(verdict.events, 0u) << name << ": nothing was recorded";
    }

    void StartDriver(const char* name) {
        const std::string image = Image(name);
        const uint32_t code = std::string(name) == "Nuvex.sys" ? NuvexCtrl_Install(1, image.c_str())
                                                               : NuvexAccCtrl_Install(1, image.c_str());
        ASSERT_EQ(code, 0u) << name;
    }
    void SetTable(const std::vector<std::string>& texts) {
        ASSERT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
        for (const std::string& text : texts) ASSERT_EQ(NuvexCtrl_InsertPolicyStr(text.c_str()), 0u) << text;
    }

    std::string work_;
    std::string state_;
    std::string scratch_;
};

// ---- documents: the name holds the old file or the whole new one --------------------------

struct DocumentCase {
    const char* name;
    const char* verb;       // crash_operation's verb
    bool startAsDocument;   // the file is a document before the operation
    bool toOtherFile;       // decryption into report.out
};

void PrintTo(const DocumentCase& c, std::ostream* out) { *out << c.name; }

class DocumentCrash : public CrashFixture, public ::testing::WithParamInterface<DocumentCase> {};

// A temporary file of a document operation never holds plain bytes where more may read them
// than could before the call, and the replaced name holds the old file or the complete new one (for good
// once the call returned).
TEST_P(DocumentCrash, NameHoldsOldOrWholeNewAndPlainBytesStayPrivate) {
    const DocumentCase& c = GetParam();
    const std::string file = work_ + "/report.txt";
    const std::string out = work_ + "/report.out";
    const std::string plain = Numbered("quarterly figures", 10000);
    WriteFileBytes(file, plain);
    if (c.startAsDocument) ASSERT_EQ(NuvexCtrl_EncryptFile(file.c_str(), 0, nullptr, 0), 0u);
    ::chmod(file.c_str(), 0644);
    const std::string before = ReadFileBytes(file);

    std::vector<std::string> argv{NUVEX_CRASH_OPERATION, c.verb, file};
    if (c.toOtherFile) argv.push_back(out);
    int status = -1;
    auto recording = Record({work_}, Child{argv}, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();
    const std::string target = c.toOtherFile ? out : file;
    const std::string after = ReadFileBytes(target);
    ASSERT_EQ(c.verb == std::string("decrypt") ? after : before, plain);

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string bytes;
        const bool present = state.Read(target, &bytes);
        if (state.Marked("returned") && (!present || bytes != after))
            return "the call returned but its result is not on the disk";
        if (c.toOtherFile) {
            if (present && bytes != after) return Neither("the target", bytes);
            std::string source;
            if (!state.Read(file, &source) || source != before) return "the document changed";
        } else if (!present || (bytes != before && bytes != after)) {
            return present ? Neither("the file", bytes) : "the file is gone";
        }
        for (const std::string& name : state.Names(work_)) {
            const std::string path = work_ + "/" + name;
            if (path == file || path == target) continue;
            std::string temporary;
            if (!state.Read(path, &temporary) || temporary.empty()) continue;
            // Plain bytes beside the file are never more open than they were before the call:
            // a decryption's only to its owner; an encryption's old plain file, which an
            // exchange can leave under the temporary name for a moment, no more than it was.
            const mode_t plainMode = c.startAsDocument ? 0600 : 0644;
            const bool holdsPlain = plain.compare(0, temporary.size(), temporary) == 0;
            if (holdsPlain && (state.Mode(path) & ~plainMode & 0777) != 0)
                return name + " holds " + std::to_string(temporary.size()) + " plain bytes with mode 0" +
                       std::to_string((state.Mode(path) >> 6) & 7) + std::to_string((state.Mode(path) >> 3) & 7) +
                       std::to_string(state.Mode(path) & 7);
        }
        return std::string();
    });
}

const DocumentCase kDocuments[] = {
    {"encrypt in place", "encrypt", false, false},
    {"decrypt in place", "decrypt", true, false},
    {"decrypt to another file", "decrypt", true, true},
};
std::string CaseName(const char* name) {
    std::string text;
    for (const char* p = name; *p != '\0'; ++p) text += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return text;
}
INSTANTIATE_TEST_SUITE_P(Library, DocumentCrash, ::testing::ValuesIn(kDocuments),
                         [](const auto& info) { return CaseName(info.param.name); });

// ---- files replaced whole: the policy file, the state file -------------------------------

struct ReplaceCase {
    const char* name;
    bool tool;  // nuvexctl state export; else the library's policy-file save
};

void PrintTo(const ReplaceCase& c, std::ostream* out) { *out << c.name; }

class ReplaceCrash : public CrashFixture, public ::testing::WithParamInterface<ReplaceCase> {};

// A file saved over an older one: every state holds the old file or the complete new one, and
// once the save has returned, the new one.
TEST_P(ReplaceCrash, PathHoldsOldOrWholeNewAndTheNewOnceReturned) {
    const ReplaceCase& c = GetParam();
    StartDriver("Nuvex.sys");
    if (c.tool) StartDriver("NuvexACL.sys");
    SetTable({"NVP11|C:\\reports", "NVP12|D:\\plans", "NVP13|E:\\"});
    const std::string path = work_ + (c.tool ? "/machine.json" : "/policies.dat");
    const std::string before = Numbered("an older save", c.tool ? 300 : 64);
    WriteFileBytes(path, before);
    ::chmod(path.c_str(), 0600);

    Child child{c.tool ? std::vector<std::string>{NUVEX_TOOL, "state", "export", path}
                       : std::vector<std::string>{NUVEX_CRASH_OPERATION, "policy-save", path}};
    int status = -1;
    auto recording = Record({work_}, child, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();
    const std::string after = ReadFileBytes(path);
    ASSERT_NE(after, before);

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string bytes;
        if (!state.Read(path, &bytes)) return "the file is gone";
        if (bytes != before && bytes != after) return Neither("the file", bytes);
        if ((state.Marked("returned") || state.finished) && bytes != after)
            return "the save returned but the old file is on the disk";
        return std::string();
    });
}

const ReplaceCase kReplaced[] = {{"policy file save", false}, {"state export", true}};
INSTANTIATE_TEST_SUITE_P(Saves, ReplaceCrash, ::testing::ValuesIn(kReplaced),
                         [](const auto& info) { return CaseName(info.param.name); });

// ---- the policy journal ------------------------------------------------------------------

struct JournalCase {
    const char* name;
    const char* verb;  // "load" or "restore"
};

void PrintTo(const JournalCase& c, std::ostream* out) { *out << c.name; }

class JournalCrash : public CrashFixture, public ::testing::WithParamInterface<JournalCase> {};

bool ChangesTheTable(uint32_t code) {
    return code == main_driver::kPolicyDeleteAll || code == main_driver::kPolicyDeleteOne ||
           code == main_driver::kPolicyInsert || code == main_driver::kPolicyStrInsert;
}

// From the first request that changes the policy table until the journal is removed, every
// state holds the whole journal (the table from before the change); a journal that is there
// is always whole.
TEST_P(JournalCrash, TableChangedOnlyWithTheJournalOnTheDisk) {
    const JournalCase& c = GetParam();
    StartDriver("Nuvex.sys");
    const std::string journal = state_ + "/policy-journal.dat";
    const std::string file = work_ + "/next.dat";
    SetTable({"NVP21|C:\\next", "NVP22|D:\\next"});
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(file.c_str()), 0u);
    SetTable({"NVP31|C:\\kept", "NVP32|D:\\kept", "NVP33|E:\\kept"});
    if (std::string(c.verb) == "restore") {
        ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(journal.c_str()), 0u);
        SetTable({"NVP41|C:\\half"});  // an interrupted change left half a table
    }

    std::vector<std::string> argv{NUVEX_TOOL, "policy", c.verb};
    if (std::string(c.verb) == "load") argv.push_back(file);
    int status = -1;
    auto recording = Record({state_, Device()}, Child{argv}, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();

    // The journal as it stood when the table was first changed.
    const auto& events = recording->Events();
    size_t firstChange = events.size();
    for (size_t i = 0; i < events.size() && firstChange == events.size(); ++i)
        if (events[i].kind == NUVEX_FS_REQUEST && ChangesTheTable(static_cast<uint32_t>(events[i].a)))
            firstChange = i;
    ASSERT_LT(firstChange, events.size()) << "the table was never changed";
    std::string whole;
    ASSERT_TRUE(recording->ContentAfter(firstChange, journal, &whole)) << "no journal when the table changed";
    ASSERT_FALSE(whole.empty());

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string bytes;
        const bool present = state.Read(journal, &bytes);
        if (present && bytes != whole) return "the journal holds " + std::to_string(bytes.size()) + " bytes, not the whole table";
        bool changed = false;
        for (size_t i = 0; i < state.events; ++i)
            changed = changed || (events[i].kind == NUVEX_FS_REQUEST && ChangesTheTable(static_cast<uint32_t>(events[i].a)));
        if (changed && !present && !state.Issued(NUVEX_FS_UNLINK, journal))
            return "the table was changed and there is no journal";
        return std::string();
    });
}

const JournalCase kJournal[] = {{"policy load", "load"}, {"policy restore", "restore"}};
INSTANTIATE_TEST_SUITE_P(Tool, JournalCrash, ::testing::ValuesIn(kJournal),
                         [](const auto& info) { return CaseName(info.param.name); });

// ---- the log spool -----------------------------------------------------------------------

struct SpoolCase {
    const char* name;
    bool follow;  // log follow until interrupted; else log show after a run that left a spool
};

void PrintTo(const SpoolCase& c, std::ostream* out) { *out << c.name; }

class SpoolCrash : public CrashFixture, public ::testing::WithParamInterface<SpoolCase> {
protected:
    // Records the main driver logs: one per pass path added.
    void Log(int count, const char* stem) {
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(NuvexCtrl_AddStringPassPath((std::string("C:\\") + stem + std::to_string(i)).c_str(), 0), 0u);
    }
    // Leaves records in the spool: a follow whose reader goes away after the first line.
    void LeaveSpool() {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string tool = NUVEX_TOOL;
        std::vector<std::string> words{tool, "--json", "log", "follow", "--interval", "50"};
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        for (char ch = 0; ch != '\n';) ASSERT_EQ(::read(fds[0], &ch, 1), 1);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
};

std::vector<std::string> RecordKeys(const std::string& text) {
    std::vector<std::string> keys;
    static const std::regex data("\"data\": ?\"([0-9a-fA-F]+)\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), data); it != std::sregex_iterator(); ++it)
        keys.push_back("\"" + (*it)[1].str() + "\"");
    return keys;
}

// A log record drained from the driver is, from the moment the tool has it, in the spool or in
// the output on the disk.
TEST_P(SpoolCrash, EveryDrainedRecordIsInTheSpoolOrTheOutput) {
    const SpoolCase& c = GetParam();
    StartDriver("Nuvex.sys");
    ASSERT_EQ(NuvexCtrl_StartLogging(), 0u);
    const std::string spool = state_ + "/spool";
    const std::string output = work_ + (c.follow ? "/follow.jsonl" : "/show.json");
    WriteFileBytes(output, "");
    Log(7, "spooled");
    if (!c.follow) {
        LeaveSpool();
        Log(2, "fresh");
    }
    std::set<std::string> leftover;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(spool, ec))
        for (const std::string& key : RecordKeys(ReadFileBytes(entry.path().string()))) leftover.insert(key);
    ASSERT_EQ(leftover.size(), c.follow ? 0u : 7u) << "records a run left in the spool";

    Child child{{NUVEX_TOOL, "--json", "log", c.follow ? "follow" : "show"}, output};
    if (c.follow) {
        child.argv.insert(child.argv.end(), {"--interval", "50"});
        child.during = [&](pid_t pid) {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (RecordKeys(ReadFileBytes(output)).size() < 8 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::kill(pid, SIGINT);
        };
    }
    int status = -1;
    auto recording = Record({state_, work_, Device()}, child, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();
    const std::vector<std::string> keys = RecordKeys(ReadFileBytes(output));
    ASSERT_EQ(keys.size(), c.follow ? 8u : 9u) << ReadFileBytes(output);
    ASSERT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());

    // From when each record is the tool's to keep: a record in the spool before the run from
    // the start; a drained one once the tool has flushed the file it first wrote it to (before
    // that, a power cut takes it between driver and disk, which no order of writes avoids), or
    // once it goes on to another request or ends without such a flush.
    const auto& events = recording->Events();
    std::vector<size_t> taken;
    for (const std::string& key : keys) {
        size_t at = leftover.count(key) != 0 ? 0 : events.size();
        size_t written = events.size();
        for (size_t i = 0; i < events.size() && at == events.size(); ++i) {
            const Event& e = events[i];
            if (written == events.size()) {
                if (e.kind == NUVEX_FS_WRITE && e.data.find(key) != std::string::npos) written = i;
            } else if ((e.kind == NUVEX_FS_FSYNC && e.ino == events[written].ino) || e.kind == NUVEX_FS_REQUEST) {
                at = i + 1;
            }
        }
        taken.push_back(at);
    }

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string kept;
        state.Read(output, &kept);
        for (const std::string& name : state.Names(spool)) {
            std::string bytes;
            if (state.Read(spool + "/" + name, &bytes)) kept += bytes;
        }
        size_t lost = 0, held = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (taken[i] > state.events) continue;
            ++held;
            if (kept.find(keys[i]) == std::string::npos) ++lost;
        }
        if (lost > 0) return std::to_string(lost) + " of " + std::to_string(held) + " records taken from the driver are lost";
        return std::string();
    });
}

const SpoolCase kSpool[] = {{"log follow into a file", true}, {"log show with a leftover spool", false}};
INSTANTIATE_TEST_SUITE_P(Tool, SpoolCrash, ::testing::ValuesIn(kSpool),
                         [](const auto& info) { return CaseName(info.param.name); });

// ---- installation and the registry -------------------------------------------------------

struct Value {
    const char* name;
    DWORD type;
    std::string bytes;
};

struct InstallCase {
    const char* name;
    const char* driver;  // crash_operation install's driver
    const char* file;    // the installed file in the drivers folder
    const char* key;     // the service key under HKEY_LOCAL_MACHINE
    std::vector<Value> values;
};

void PrintTo(const InstallCase& c, std::ostream* out) { *out << c.name; }

class InstallCrash : public CrashFixture, public ::testing::WithParamInterface<InstallCase> {};

std::string Dword(uint32_t value) {
    return std::string{static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                       static_cast<char>(value >> 24)};
}

// Reads a value through the host platform's registry, from the machine that `root` holds.
bool ReadValue(const std::string& root, const std::string& key, const char* name, DWORD* type, std::string* bytes) {
    ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    bool found = false;
    HKEY opened = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &opened) == ERROR_SUCCESS) {
        BYTE data[1024];
        DWORD size = sizeof data;
        found = RegQueryValueExA(opened, name, nullptr, type, data, &size) == ERROR_SUCCESS;
        if (found) bytes->assign(reinterpret_cast<const char*>(data), size);
        RegCloseKey(opened);
    }
    return found;
}

// A driver installed over an older one: the driver file is whole, old or new, in every state,
// and once the export returned the new file and every value of its service key are on the disk.
TEST_P(InstallCrash, DriverFileWholeAndServiceKeyDurableOnceReturned) {
    const InstallCase& c = GetParam();
    const std::string older = work_ + "/older.sys";
    const std::string newer = work_ + "/newer.sys";
    WriteFileBytes(older, Numbered("older driver image", 20000));
    WriteFileBytes(newer, Numbered("newer driver image", 24000));
    ASSERT_EQ((std::string(c.driver) == "main" ? NuvexCtrl_Install(0, older.c_str())
               : std::string(c.driver) == "acl" ? NuvexAccCtrl_Install(0, older.c_str())
                                                : NuvexAntiSteal_Install(0, older.c_str())),
              0u);
    const std::string file = DriversFolder() + "/" + c.file;
    const std::string before = ReadFileBytes(file);
    const std::string registry = Root() + "/Registry";

    int status = -1;
    auto recording = Record({DriversFolder(), registry, Device()},
                            Child{{NUVEX_CRASH_OPERATION, "install", c.driver, newer}}, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();
    const std::string after = ReadFileBytes(file);
    ASSERT_EQ(after, ReadFileBytes(newer));
    const std::string root = Root();

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string bytes;
        if (!state.Read(file, &bytes)) return "the driver file is gone";
        if (bytes != before && bytes != after) return Neither("the driver file", bytes);
        if (!state.Marked("returned")) return std::string();
        if (bytes != after) return "the export returned and the old driver file is on the disk";
        std::string problem;
        for (const Value& value : c.values) {
            DWORD type = 0;
            std::string read;
            if (!ReadValue(state.Path(root), c.key, value.name, &type, &read) || type != value.type ||
                read != value.bytes) {
                problem = std::string("the export returned and the value ") + value.name + " is missing or not whole";
                break;
            }
        }
        ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
        NuvexHost_ResetMachineRoot();
        return problem;
    });
}

const std::string kGroup("FSFilter Infrastructure\0", 24);
const InstallCase kInstalls[] = {
    {"main driver", "main", "Nuvex.sys", "SYSTEM\\CurrentControlSet\\Services\\Nuvex",
     {{"Start", REG_DWORD, Dword(0)}, {"Type", REG_DWORD, Dword(2)}, {"Group", REG_SZ, kGroup}}},
    {"access control driver", "acl", "NuvexACL.sys", "SYSTEM\\CurrentControlSet\\Services\\NuvexACL",
     {{"Type", REG_DWORD, Dword(1)}, {"Start", REG_DWORD, Dword(0)}, {"ErrorControl", REG_DWORD, Dword(1)},
      {"DisplayName", REG_SZ, std::string("NuvexACL\0", 9)}}},
    {"monitor driver", "monitor", "NuvexMon.sys", "SYSTEM\\CurrentControlSet\\Services\\NuvexMon",
     {{"Type", REG_DWORD, Dword(1)}, {"Start", REG_DWORD, Dword(2)},
      {"DependOnService", REG_MULTI_SZ, std::string("tcpip\0\0", 7)}}},
};
INSTANTIATE_TEST_SUITE_P(Library, InstallCrash, ::testing::ValuesIn(kInstalls),
                         [](const auto& info) { return CaseName(info.param.name); });

struct RegistryCase {
    const char* name;
    const char* key;
    std::vector<Value> before;  // values the key holds already (none: the key is new)
    std::vector<std::string> settings;
    std::vector<Value> after;
};

void PrintTo(const RegistryCase& c, std::ostream* out) { *out << c.name; }

class RegistryCrash : public CrashFixture, public ::testing::WithParamInterface<RegistryCase> {};

// A value set through the host registry is, in every state, absent (a new value), its old
// bytes or its whole new bytes, and once the call returned, its new bytes.
TEST_P(RegistryCrash, ValueOldOrWholeNewAndDurableOnceSet) {
    const RegistryCase& c = GetParam();
    if (!c.before.empty()) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, c.key, &key), ERROR_SUCCESS);
        for (const Value& value : c.before)
            ASSERT_EQ(RegSetValueExA(key, value.name, 0, value.type, reinterpret_cast<const BYTE*>(value.bytes.data()),
                                     static_cast<DWORD>(value.bytes.size())),
                      ERROR_SUCCESS);
        RegCloseKey(key);
    }
    std::vector<std::string> argv{NUVEX_CRASH_OPERATION, "registry", c.key};
    argv.insert(argv.end(), c.settings.begin(), c.settings.end());
    int status = -1;
    auto recording = Record({Root() + "/Registry", Device()}, Child{argv}, &status);
    ASSERT_TRUE(recording);
    ASSERT_EQ(status, 0) << Errors();
    const std::string root = Root();

    Expect(c.name, *recording, [&](const CrashState& state) -> std::string {
        std::string problem;
        for (const Value& value : c.after) {
            DWORD type = 0;
            std::string read;
            const bool found = ReadValue(state.Path(root), c.key, value.name, &type, &read);
            const bool whole = found && type == value.type && read == value.bytes;
            bool old = !found;
            for (const Value& was : c.before)
                if (std::string(was.name) == value.name) old = found && type == was.type && read == was.bytes;
            if (state.Marked(std::string("returned ") + value.name) ? !whole : !(whole || old)) {
                problem = std::string("the value ") + value.name + (found ? " holds other bytes" : " is missing");
                break;
            }
        }
        ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
        NuvexHost_ResetMachineRoot();
        return problem;
    });
}

const RegistryCase kRegistry[] = {
    {"new key and values", "SOFTWARE\\NuvexCrash\\New\\Deep", {},
     {"Start=dword:1", "Group=sz:Crash Group"},
     {{"Start", REG_DWORD, Dword(1)}, {"Group", REG_SZ, std::string("Crash Group\0", 12)}}},
    {"values replaced", "SOFTWARE\\NuvexCrash\\Old",
     {{"Start", REG_DWORD, Dword(3)}, {"Group", REG_SZ, std::string("old\0", 4)}},
     {"Start=dword:0", "Group=sz:new"},
     {{"Start", REG_DWORD, Dword(0)}, {"Group", REG_SZ, std::string("new\0", 4)}}},
};
INSTANTIATE_TEST_SUITE_P(Host, RegistryCrash, ::testing::ValuesIn(kRegistry),
                         [](const auto& info) { return CaseName(info.param.name); });

// A value that changes its type is renamed into place under its new file name before the old
// file goes; a power cut between the two leaves both, and the one renamed last is the value.
TEST_F(CrashFixture, ValueCutWhileChangingItsTypeReadsAsTheNewValue) {
    struct Row {
        const char* older;
        std::string olderBytes;
        const char* newer;
        std::string newerBytes;
        DWORD type;
    };
    const Row rows[] = {
        {"Start.3", "old binary", "Start.4", Dword(7), REG_DWORD},
        {"Start.4", Dword(7), "Start.1", std::string("new\0", 4), REG_SZ},
    };
    const std::string key = Root() + "/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/NuvexCut";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.newer);
        fs::remove_all(key);
        fs::create_directories(key);
        WriteFileBytes(key + "/" + row.older, row.olderBytes);
        // Far enough apart for the file system's clock, as a real change and a cut are.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WriteFileBytes(key + "/.staged", row.newerBytes);
        fs::rename(key + "/.staged", key + "/" + row.newer);
        DWORD type = 0;
        std::string bytes;
        ASSERT_TRUE(ReadValue(Root(), "SOFTWARE\\NuvexCut", "Start", &type, &bytes));
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(bytes, row.newerBytes);
    }
}

}  // namespace
}  // namespace nuvex::crash
