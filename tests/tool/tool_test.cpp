// nuvexctl run as a subprocess, as an administrator or a script would run it, against the
// simulated drivers on a temporary machine root.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "machine_root.h"
#include "other_user.h"
#include "nuvexctrl.h"
#include "nuvexctrl_ex.h"
#include "nuvex_wire.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path BinDir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

struct ToolRun {
    int status = -1;  // exit status, or 128 + the signal that ended the run
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts the tool with standard input from `in` and output into `out` and `err`.
pid_t Start(const std::vector<std::string>& args, const fs::path& in, const fs::path& out, const fs::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string tool = (BinDir() / "nuvexctl").string();
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts the tool with standard output into a pipe; `reader` gets the pipe's reading end (or -1
// when `closeReader`: the reader is gone before the first line).
pid_t StartPiped(const std::vector<std::string>& args, const fs::path& err, int& reader, bool closeReader = false) {
    int fds[2];
    reader = -1;
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string tool = (BinDir() / "nuvexctl").string();
    std::vector<std::string> words = args;
    std::vector<char*> argv{tool.data()};
    for (auto& a : words) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (closeReader) ::close(fds[0]);
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!closeReader) reader = fds[0];
    return pid;
}

// The status of a run that had to be ended because it did not end within its time.
constexpr int kHung = -2;

// Waits for `pid` at most `limit`; a run still going then is killed and reported as kHung.
int WaitAtMost(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            Wait(pid);
            return kHung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A run of the tool; with a `limit`, one that waits longer is ended and reported as kHung.
ToolRun Tool(const std::vector<std::string>& args, const std::string& input = "",
             std::chrono::seconds limit = std::chrono::seconds(0)) {
    char dir[] = "/tmp/nuvexctl-run-XXXXXX";
    fs::path tmp = ::mkdtemp(dir);
    fs::path in = tmp / "in", out = tmp / "out", err = tmp / "err";
    std::ofstream(in) << input;
    ToolRun run;
    const pid_t pid = Start(args, in, out, err);
    run.status = limit.count() == 0 ? Wait(pid) : WaitAtMost(pid, limit);
    run.out = Slurp(out);
    run.err = Slurp(err);
    fs::remove_all(tmp);
    return run;
}

json Json(const ToolRun& run) { return json::parse(run.out); }

// A file only its owner can read, as the tool wants key and password files.
std::string PrivateFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    return path.string();
}

// True when `text` is exactly one JSON document.
bool OneDocument(const std::string& text) {
    return json::accept(text);
}

// The exact bytes of a text the tool wrote into JSON: a string, or {"hex": ...} for bytes that
// are not UTF-8.
std::string Bytes(const json& text) {
    if (text.is_string()) return text.get<std::string>();
    std::string hex = text.at("hex").get<std::string>(), bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

class ToolTest : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        MachineRootTest::SetUp();
        // The tool's journal goes into the test's own folder, never the user's.
        ::setenv("NUVEXCTL_STATE_DIR", (Root() + "/state").c_str(), 1);
    }
    void TearDown() override {
        // Leave no driver running, whatever the test did.
        Tool({"driver", "uninstall", "main"});
        Tool({"driver", "uninstall", "acl"});
        Tool({"driver", "uninstall", "monitor"});
        nuvex::test::KillRecordedDrivers(Root());
        MachineRootTest::TearDown();
    }
    // The document key of the test's runs, in a file only its owner can read.
    std::string DocKey() { return PrivateFile(Root() + "/document.key", "00112233445566778899aabbccddeeff\n"); }
    void InstallAll() {
        ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
        ASSERT_EQ(Tool({"driver", "install", "acl"}).status, 0);
        ASSERT_EQ(Tool({"driver", "install", "monitor"}).status, 0);
    }
};

TEST_F(ToolTest, HelpOfEveryVerbSucceedsWithAnExample) {
    std::vector<std::vector<std::string>> verbs = {
        {}, {"status"}, {"driver"}, {"driver", "install"}, {"driver", "uninstall"}, {"driver", "suspend"},
        {"driver", "resume"}, {"driver", "load"}, {"driver", "unload"}, {"driver", "restart"}, {"log"}, {"log", "on"}, {"log", "off"}, {"log", "clear"}, {"log", "show"},
        {"doc"}, {"doc", "encrypt"}, {"doc", "decrypt"}, {"doc", "clean"}, {"doc", "info"}, {"doc", "guid"}, {"doc", "rights"},
        {"doc", "rights", "get"}, {"doc", "rights", "set"}, {"doc", "rights", "clear"}, {"doc", "print-count"},
        {"policy"}, {"policy", "list"}, {"policy", "add"}, {"policy", "save"}, {"policy", "load"},
        {"policy", "restore"},
        {"acl"}, {"acl", "policy"}, {"acl", "log"}, {"passpath"}, {"passpath", "add"}, {"key", "set"},
        {"syskey", "set"}, {"signcode"}, {"procs"}, {"docs"}, {"demo"}, {"codes"}, {"log", "follow"},
        {"state"}, {"state", "export"}, {"state", "apply"}};
    for (auto verb : verbs) {
        verb.push_back("--help");
        ToolRun run = Tool(verb);
        EXPECT_EQ(run.status, 0) << verb[0];
        EXPECT_NE(run.out.find("Example:"), std::string::npos) << verb[0];
    }
}

TEST_F(ToolTest, ErrorsNameTheOperationTheCodeAndItsMeaning) {
    ToolRun absent = Tool({"log", "show"});
    EXPECT_NE(absent.status, 0);
    EXPECT_TRUE(absent.out.empty());
    EXPECT_NE(absent.err.find("(169)"), std::string::npos) << absent.err;
    EXPECT_NE(absent.err.find("NuvexCtrl_GetLog: reading the log failed"), std::string::npos) << absent.err;
    EXPECT_NE(absent.err.find("not reachable"), std::string::npos);

    std::string plain = Scratch("plain.txt");
    nuvex::test::WriteFileBytes(plain, "hello");
    ToolRun notDoc = Tool({"doc", "decrypt", "--key-file", DocKey(), plain});
    EXPECT_NE(notDoc.status, 0);
    ToolRun guid = Tool({"doc", "guid", plain});
    EXPECT_NE(guid.status, 0);
    EXPECT_NE(guid.err.find("not an encrypted document (1530)"), std::string::npos) << guid.err;

    ToolRun missing = Tool({"doc", "encrypt", "--key-file", DocKey(), Scratch("missing.txt")});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("no such file"), std::string::npos);

    ToolRun json = Tool({"--json", "policy", "list"});
    EXPECT_NE(json.status, 0);
    EXPECT_EQ(Json(json)["error"]["code"], 942);

    ToolRun usage = Tool({"driver", "install", "bogus"});
    EXPECT_EQ(usage.status, 2);
}

TEST_F(ToolTest, DocumentsRoundTripWithoutDriver) {
    std::string file = Scratch("report.txt");
    nuvex::test::WriteFileBytes(file, "quarterly figures\n");
    ToolRun encrypt = Tool({"--json", "doc", "encrypt", "--key-file", DocKey(), file});
    ASSERT_EQ(encrypt.status, 0) << encrypt.err;
    EXPECT_EQ(Json(encrypt)["done"], 1);
    ToolRun again = Tool({"--json", "doc", "encrypt", "--key-file", DocKey(), file});
    EXPECT_EQ(Json(again)["skipped"], 1);
    ToolRun info = Tool({"--json", "doc", "info", file});
    ASSERT_EQ(info.status, 0);
    EXPECT_EQ(Json(info)["document"], true);
    EXPECT_EQ(Json(info)["rights"]["present"], false);

    const std::string password = PrivateFile(Scratch("pw"), "s3cret\n");
    ASSERT_EQ(Tool({"doc", "rights", "set", file, "--print", "4", "--password-file", password}).status, 0);
    ToolRun rights = Tool({"--json", "doc", "rights", "get", file});
    EXPECT_EQ(Json(rights)["rights"]["printCount"], 4);
    ToolRun wrong = Tool({"doc", "rights", "clear", file, "--password-stdin"}, "nope\n");
    EXPECT_NE(wrong.status, 0);
    EXPECT_NE(wrong.err.find("wrong rights password (1240)"), std::string::npos) << wrong.err;
    EXPECT_EQ(Tool({"doc", "rights", "clear", file, "--password-stdin"}, "s3cret\n").status, 0);

    ASSERT_EQ(Tool({"doc", "decrypt", "--key-file", DocKey(), file}).status, 0);
    EXPECT_EQ(nuvex::test::ReadFileBytes(file), "quarterly figures\n");
}

TEST_F(ToolTest, EveryFamilyAgainstTheSimulatedDrivers) {
    InstallAll();
    ToolRun status = Tool({"--json", "status"});
    ASSERT_EQ(status.status, 0);
    const json running = Json(status)["drivers"];
    for (const json& driver : running) EXPECT_EQ(driver["running"], true) << driver["driver"];

    EXPECT_EQ(Tool({"log", "on"}).status, 0);
    EXPECT_EQ(Tool({"key", "set", "--key-file", PrivateFile(Scratch("document.key"), "0102030405\n")}).status, 0);
    EXPECT_EQ(Tool({"syskey", "set", "--key-file", PrivateFile(Scratch("system.key"), "0f0e0d0c")}).status, 0);

    std::string dir = Scratch("tree");
    fs::create_directories(dir + "/sub");
    nuvex::test::WriteFileBytes(dir + "/a.txt", "alpha");
    nuvex::test::WriteFileBytes(dir + "/sub/b.txt", "beta");
    ToolRun tree = Tool({"--json", "doc", "encrypt", "--key-file", DocKey(), "-r", dir});
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(Json(tree)["done"], 2);

    const std::string pw = PrivateFile(Scratch("pw"), "pw\n");
    ASSERT_EQ(Tool({"doc", "rights", "set", dir + "/a.txt", "--print", "3", "--password-file", pw}).status, 0);
    ASSERT_EQ(Tool({"doc", "print-count", "set", dir + "/a.txt", "9"}).status, 0);
    ToolRun printCount = Tool({"--json", "doc", "print-count", "get", dir + "/a.txt"});
    EXPECT_EQ(Json(printCount)["printCount"], 9);

    ASSERT_EQ(Tool({"passpath", "add", "C:\\one", "C:\\two", "--persist"}).status, 0);
    ToolRun paths = Tool({"--json", "passpath", "list"});
    EXPECT_EQ(Json(paths)["passPaths"], json({"C:\\one", "C:\\two"}));

    ASSERT_EQ(Tool({"policy", "add", "--record", "--list", "x|y", "--value", "5"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "--record", "--list", "z"}).status, 0);
    ToolRun texts = Tool({"--json", "policy", "list"});
    ASSERT_EQ(Json(texts)["policies"].size(), 2u);
    EXPECT_EQ(Json(texts)["policies"][1]["id"], 1);  // the driver delivered it first
    EXPECT_EQ(Json(texts)["policies"][1]["text"], "NVP1|~1084.x%7Cy~253.%01~3.%05");
    const json records = Json(Tool({"--json", "policy", "list", "--records"}))["policies"];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["id"], 1);
    EXPECT_EQ(records[1]["textLists"], json({"x|y", "", "", "", ""}));
    EXPECT_EQ(records[1]["values1"], json({5}));
    std::string file = Scratch("policies.dat");
    ASSERT_EQ(Tool({"policy", "save", file}).status, 0);
    ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
    EXPECT_EQ(Json(Tool({"--json", "policy", "list"}))["policies"].size(), 0u);
    ASSERT_EQ(Tool({"policy", "load", file}).status, 0);
    EXPECT_EQ(Json(Tool({"--json", "policy", "list"}))["policies"], Json(texts)["policies"]);

    ASSERT_EQ(Tool({"acl", "start"}).status, 0);
    ASSERT_EQ(Tool({"acl", "policy", "add", "4", "--primary", "C:\\secret", "--list", "a|"}).status, 0);
    ToolRun acl = Tool({"--json", "acl", "policy", "list"});
    EXPECT_EQ(Json(acl)["policies"][0]["textLists"][0], "a");
    ToolRun aclLog = Tool({"--json", "acl", "log"});
    EXPECT_GE(Json(aclLog)["records"].size(), 1u);

    ToolRun log = Tool({"--json", "log", "show"});
    ASSERT_EQ(log.status, 0);
    EXPECT_GE(Json(log)["records"].size(), 1u);
    EXPECT_EQ(Tool({"--json", "procs"}).status, 0);
    EXPECT_EQ(Tool({"--json", "docs"}).status, 0);

    EXPECT_EQ(Tool({"driver", "uninstall", "main"}).status, 0);
    EXPECT_EQ(Tool({"driver", "uninstall", "acl"}).status, 0);
    EXPECT_EQ(Tool({"driver", "uninstall", "monitor"}).status, 0);
    ToolRun after = Tool({"--json", "status"});
    const json gone = Json(after)["drivers"];
    for (const json& driver : gone) EXPECT_EQ(driver["state"], "not installed") << driver["driver"];
}

// The driver verbs look before they act, so a script may run each of them again: the second
// run says there is nothing to do and succeeds. No run reaches the library's message box (an
// install over a loaded driver would raise one, and on Windows wait for a click).
TEST_F(ToolTest, DriverVerbsCanBeRunAgain) {
    const std::string events = Scratch("events");
    ::setenv("NUVEX_HOST_EVENTS", events.c_str(), 1);
    struct Step { std::vector<std::string> verb; int status; std::string said, state; };
    const Step steps[] = {
        {{"install"}, 0, "installed the D driver and loaded it", "running"},
        {{"install"}, 0, "already installed and running; nothing changed", "running"},
        {{"unload"}, 0, "unloaded the D driver (it stays installed)", "installed, not loaded"},
        {{"unload"}, 0, "not loaded; nothing to do", "installed, not loaded"},
        {{"load"}, 0, "loaded the D driver", "running"},
        {{"load"}, 0, "already loaded; nothing changed", "running"},
        {{"restart"}, 0, "restarted the D driver", "running"},
        {{"uninstall"}, 0, "uninstalled the D driver", "not installed"},
        {{"uninstall"}, 0, "not installed; nothing to do", "not installed"},
        {{"load"}, 1, "not installed", "not installed"},
        {{"restart"}, 1, "not installed", "not installed"},
        {{"unload"}, 0, "not loaded; nothing to do", "not installed"},
        {{"install", "--no-load"}, 0, "loads at the next start", "installed, not loaded"},
        {{"install", "--no-load"}, 0, "loads at the next start", "installed, not loaded"},
        {{"restart"}, 0, "loaded the D driver", "running"},
        {{"install", "--no-load"}, 0, "already installed and running", "running"},
        {{"uninstall"}, 0, "uninstalled the D driver", "not installed"},
        {{"install", "--no-load"}, 0, "loads at the next start", "installed, not loaded"},
        {{"install"}, 0, "installed the D driver and loaded it", "running"},
    };
    for (const std::string driver : {"main", "acl", "monitor"}) {
        for (const Step& step : steps) {
            std::vector<std::string> args{"driver", step.verb[0], driver};
            args.insert(args.end(), step.verb.begin() + 1, step.verb.end());
            std::string said = step.said;
            if (std::size_t d = said.find(" D "); d != std::string::npos) said.replace(d + 1, 1, driver);
            const std::string shown = driver + " " + step.verb[0] + (step.verb.size() > 1 ? " " + step.verb[1] : "");
            ToolRun run = Tool(args);
            EXPECT_EQ(run.status, step.status) << shown << "\n" << run.out << run.err;
            EXPECT_NE((run.out + run.err).find(said), std::string::npos) << shown << "\n" << run.out << run.err;
            EXPECT_EQ((run.out + run.err).find("pfnNtLoadDriver"), std::string::npos) << shown;
            ToolRun json = Tool({"--json", "status", driver});
            ASSERT_EQ(json.status, 0) << shown;
            EXPECT_EQ(Json(json)["drivers"][0]["state"], step.state) << shown;
        }
        ToolRun done = Tool({"--json", "driver", "uninstall", driver});
        EXPECT_EQ(Json(done)["changed"], true) << driver;
        EXPECT_EQ(Json(done)["state"], "not installed") << driver;
    }
    EXPECT_EQ(nuvex::test::ReadFileBytes(events).find("messagebox"), std::string::npos);
    ::unsetenv("NUVEX_HOST_EVENTS");
}

// `status` tells "not installed", "installed, not loaded", "loaded, not answering" and
// "running" apart, and `status --check` exits 0 only when every named driver is running.
TEST_F(ToolTest, StatusTellsTheDriverStatesApartAndCheckExitsThreeUnlessRunning) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    ASSERT_EQ(Tool({"driver", "install", "acl", "--no-load"}).status, 0);
    struct Expected { bool installed, loaded, running; std::string state; };
    const std::map<std::string, Expected> expected = {
        {"main", {true, true, true, "running"}},
        {"acl", {true, false, false, "installed, not loaded"}},
        {"monitor", {false, false, false, "not installed"}},
    };
    ToolRun status = Tool({"--json", "status"});
    ASSERT_EQ(status.status, 0) << status.err;
    ASSERT_EQ(Json(status)["drivers"].size(), 3u);
    EXPECT_EQ(Json(status)["allRunning"], false);
    const json drivers = Json(status)["drivers"];
    for (const json& driver : drivers) {
        const Expected& want = expected.at(driver["driver"].get<std::string>());
        EXPECT_EQ(driver["installed"], want.installed) << driver;
        EXPECT_EQ(driver["loaded"], want.loaded) << driver;
        EXPECT_EQ(driver["running"], want.running) << driver;
        EXPECT_EQ(driver["state"], want.state) << driver;
    }
    ToolRun table = Tool({"status"});
    EXPECT_NE(table.out.find("INSTALLED  LOADED  RUNNING"), std::string::npos) << table.out;

    struct Check { std::vector<std::string> names; int status; };
    const Check checks[] = {
        {{"main"}, 0}, {{"acl"}, 3}, {{"monitor"}, 3}, {{"main", "acl"}, 3}, {{}, 3}, {{"main", "bogus"}, 2}};
    for (const Check& c : checks) {
        std::vector<std::string> args{"status", "--check"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        EXPECT_EQ(Tool(args).status, c.status) << (c.names.empty() ? "all" : c.names.back());
    }
    ASSERT_EQ(Tool({"driver", "load", "acl"}).status, 0);
    ASSERT_EQ(Tool({"driver", "install", "monitor"}).status, 0);
    EXPECT_EQ(Tool({"status", "--check"}).status, 0);

    // A main driver whose control device is gone still runs as a process: loaded, not
    // answering. Installing over it is refused without a message box; a restart mends it.
    fs::remove(Root() + "/Device/Nuvexcdo_3");
    ToolRun silent = Tool({"--json", "status", "main"});
    const json main = Json(silent)["drivers"][0];
    EXPECT_EQ(main["state"], "loaded, not answering") << main;
    EXPECT_EQ(main["error"]["export"], "NuvexCtrl_GetDriverStatus") << main;
    EXPECT_EQ(Tool({"status", "--check", "main"}).status, 3);
    ToolRun over = Tool({"driver", "install", "main"});
    EXPECT_EQ(over.status, 1);
    EXPECT_NE(over.err.find("does not answer"), std::string::npos) << over.err;
    EXPECT_EQ(over.err.find("pfnNtLoadDriver"), std::string::npos) << over.err;
    ASSERT_EQ(Tool({"driver", "restart", "main"}).status, 0);
    EXPECT_EQ(Tool({"status", "--check"}).status, 0);
}

// A driver that answers although the loader did not start it (an image run by hand, or one
// left running after its registration went) counts as loaded: installing registers it without
// a second load (which would fail as already loaded and raise the message box), and unloading
// is refused, since its process is not the tool's to end.
TEST_F(ToolTest, DriverRunningWithoutRegistrationIsRegisteredNotLoadedAgain) {
    const std::string events = Scratch("events");
    ::setenv("NUVEX_HOST_EVENTS", events.c_str(), 1);
    const std::string image = (BinDir() / "Nuvex.sys").string();
    std::vector<char*> argv{const_cast<char*>(image.c_str()), const_cast<char*>("Nuvex"), nullptr};
    pid_t driver = -1;
    ASSERT_EQ(posix_spawn(&driver, image.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 250 && !fs::exists(Root() + "/Device/Nuvexcdo_3"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    EXPECT_EQ(Json(Tool({"--json", "status", "main"}))["drivers"][0]["state"], "running, not installed");
    ToolRun install = Tool({"driver", "install", "main"});
    EXPECT_EQ(install.status, 0) << install.err;
    EXPECT_NE(install.out.find("it was already running"), std::string::npos) << install.out;
    EXPECT_EQ(Json(Tool({"--json", "status", "main"}))["drivers"][0]["state"], "running");
    ToolRun unload = Tool({"driver", "unload", "main"});
    EXPECT_EQ(unload.status, 1);
    EXPECT_NE(unload.err.find("the loader did not start it"), std::string::npos) << unload.err;
    // Uninstalling asks the driver itself to unload.
    EXPECT_EQ(Tool({"driver", "uninstall", "main"}).status, 0);
    EXPECT_EQ(Wait(driver), 0);
    EXPECT_EQ(Json(Tool({"--json", "status", "main"}))["drivers"][0]["state"], "not installed");
    EXPECT_EQ(nuvex::test::ReadFileBytes(events).find("messagebox"), std::string::npos);
    ::unsetenv("NUVEX_HOST_EVENTS");
}

TEST_F(ToolTest, ResultCodePageIsGeneratedFromTheTable) {
    ToolRun markdown = Tool({"codes", "--markdown"});
    ASSERT_EQ(markdown.status, 0);
    fs::path page = fs::path(NUVEX_SOURCE_DIR) / "docs" / "result-codes.md";
    EXPECT_EQ(markdown.out, Slurp(page)) << "regenerate with: nuvexctl codes --markdown > docs/result-codes.md";
}

// Every verb, given arguments an administrator's script might produce by mistake, ends with
// exit status 0, 1 or 2 and never by a signal; with --json it prints exactly one document.
// Numbers are taken whole and within the field they go into.
TEST_F(ToolTest, NoVerbDiesWhateverItsArgumentsAndNumbersAreStrict) {
    const std::string doc = Scratch("doc.txt"), pw = PrivateFile(Scratch("pw"), "pw\n");
    nuvex::test::WriteFileBytes(doc, "text");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", DocKey(), doc}).status, 0);
    const std::string odd = "odd\xff\xfe\x01name";
    std::vector<std::vector<std::string>> verbs = {
        {"status"}, {"status", "--check"}, {"driver", "install"}, {"driver", "uninstall"}, {"driver", "suspend"},
        {"driver", "resume"}, {"driver", "load"}, {"driver", "unload"}, {"driver", "restart"}, {"log", "on"}, {"log", "off"}, {"log", "clear"}, {"log", "show"}, {"log", "state"}, {"log", "follow"},
        {"doc", "encrypt"}, {"doc", "decrypt"}, {"doc", "clean"}, {"doc", "info"}, {"doc", "guid"}, {"doc", "rights", "get"},
        {"doc", "rights", "set"}, {"doc", "rights", "clear"}, {"doc", "print-count", "get"},
        {"doc", "print-count", "set"}, {"policy", "list"}, {"policy", "show"}, {"policy", "add"},
        {"policy", "delete"}, {"policy", "clear"}, {"policy", "new-id"}, {"policy", "save"}, {"policy", "load"},
        {"policy", "restore"}, {"acl", "start"}, {"acl", "stop"}, {"acl", "log"}, {"acl", "policy", "list"}, {"acl", "policy", "show"},
        {"acl", "policy", "add"}, {"acl", "policy", "delete"}, {"acl", "policy", "clear"}, {"passpath", "list"},
        {"passpath", "add"}, {"passpath", "clear"}, {"key", "set"}, {"syskey", "set"}, {"signcode"}, {"procs"},
        {"docs"}, {"state", "export"}, {"state", "apply"}, {"codes"}, {"demo"}, {"completion"}, {"man"}};
    std::vector<std::vector<std::string>> hostile = {{odd}, {odd, "-1", "99999999999999999999"}, {"--value", "zzzz"}};
    for (const auto& verb : verbs) {
        for (const auto& extra : hostile) {
            for (bool asJson : {true, false}) {
                if (!asJson && extra.size() != 1) continue;  // tables: the odd name alone
                std::vector<std::string> args;
                if (asJson) args.push_back("--json");
                args.insert(args.end(), verb.begin(), verb.end());
                args.insert(args.end(), extra.begin(), extra.end());
                ToolRun run = Tool(args);
                std::string shown = verb[0] + " " + verb.back() + " " + extra[0] + (asJson ? " --json" : "");
                EXPECT_LE(run.status, 2) << shown << "\n" << run.err;
                if (asJson) EXPECT_TRUE(OneDocument(run.out)) << shown << "\n" << run.out;
            }
        }
    }

    struct Case {
        std::vector<std::string> args;
        int status;
    };
    std::vector<Case> strict = {
        {{"doc", "rights", "set", doc, "--value", "zzzz", "--password-file", pw}, 2},
        {{"doc", "rights", "set", doc, "--value", "-123456789abcdef", "--password-file", pw}, 2},
        {{"doc", "rights", "set", doc, "--count", "70000", "--password-file", pw}, 2},
        {{"doc", "rights", "set", doc, "--print", "65535", "--password-file", pw}, 2},
        {{"doc", "rights", "set", doc, "--count", "-1", "--password-file", pw}, 2},
        {{"doc", "print-count", "set", doc, "65536"}, 2},
        {{"key", "set", "--key-file", PrivateFile(Scratch("odd.key"), " 1")}, 2},
        {{"key", "set", "--key-file", PrivateFile(Scratch("long.key"), std::string(514, 'a'))}, 2},
        {{"key", "set", "--key-file", PrivateFile(Scratch("empty.key"), "")}, 2},
        {{"policy", "show", "010x"}, 2},
        {{"policy", "show", "4294967296"}, 2},
        {{"policy", "add", "--record", "--value", "1", "--value", "2x"}, 2},
        {{"acl", "policy", "add", "1", "--primary", std::string(128, 'p')}, 2},
        {{"doc", "rights", "set", doc, "--print", "unset", "--count", "65534", "--password-file", pw}, 0},
    };
    for (const auto& c : strict) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args[c.args.size() - 2] << " " << c.args.back()
                                        << "\n" << run.err;
    }
    ToolRun rights = Tool({"--json", "doc", "rights", "get", doc});
    EXPECT_EQ(Json(rights)["rights"]["rightsCount"], 65534);
    EXPECT_EQ(Json(rights)["rights"]["printCount"], nullptr);
}

// A misspelled verb or option is named with what was most likely meant; a word close to
// nothing gets the list of known verbs. Always the usage status, with and without --json.
TEST_F(ToolTest, MisspelledVerbsAndOptionsGetSuggestions) {
    struct Case { std::vector<std::string> args; std::string said; };
    const Case cases[] = {
        {{"driver", "instal", "main"}, "unknown verb 'instal' of 'driver'; did you mean 'install'?"},
        {{"stauts"}, "unknown verb 'stauts'; did you mean 'status'?"},
        {{"-q", "polcy", "list"}, "unknown verb 'polcy'; did you mean 'policy'?"},
        {{"complection", "bash"}, "unknown verb 'complection'; did you mean 'completion'?"},
        {{"zzz"}, "unknown verb 'zzz'; known: 'status', 'driver'"},
        {{"mam"}, "unknown verb 'mam'; known: 'status', 'driver'"},  // the hidden 'man' is not offered
        {{"--jsn", "status"}, "unknown option '--jsn'; did you mean '--json'?"},
        {{"driver", "install", "main", "--no-lod"}, "unknown option '--no-lod'; did you mean '--no-load'?"},
        {{"acl", "policy", "lst"}, "unknown verb 'lst' of 'acl policy'; did you mean 'list'?"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, 2) << c.said;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        std::vector<std::string> asJson{"--json"};
        asJson.insert(asJson.end(), c.args.begin(), c.args.end());
        ToolRun json = Tool(asJson);
        EXPECT_EQ(json.status, 2) << c.said;
        ASSERT_TRUE(OneDocument(json.out)) << json.out;
        EXPECT_NE(Json(json)["error"]["message"].get<std::string>().find(c.said), std::string::npos) << json.out;
    }
}

// Output into a pipe whose reader has gone (`nuvexctl codes | head -1`) ends the run quietly
// with the status a shell shows for SIGPIPE; a verb's own failure is still reported.
TEST_F(ToolTest, ClosedOutputPipeEndsQuietly) {
    struct Case { std::vector<std::string> args; int status; };
    const Case cases[] = {{{"codes"}, 141}, {{"--json", "codes"}, 141}, {{"codes", "--markdown"}, 141}};
    for (const Case& c : cases) {
        const fs::path err = Scratch("err");
        int reader = -1;
        pid_t pid = StartPiped(c.args, err, reader, true);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(Wait(pid), c.status) << c.args.back();
        EXPECT_EQ(Slurp(err), "") << c.args.back();
    }
}

// -q leaves out confirmations and progress but never an answer or an error; -v adds the run's
// steps (the verb, a failing export's code, the exit status) on standard error only, so that
// --json output stays one document.
TEST_F(ToolTest, QuietAndVerboseChangeOnlyWhatTheySay) {
    InstallAll();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;                // exact standard output ("*" for anything)
        std::vector<std::string> said;  // on standard error
    };
    const std::string done = "starting the log: done\n";
    const Case cases[] = {
        {{"log", "on"}, 0, "*", {}},
        {{"-q", "log", "on"}, 0, "", {}},
        {{"--quiet", "log", "state"}, 0, "logging is on\n", {}},
        {{"-q", "policy", "delete", "4000"}, 1, "", {"NuvexCtrl_DeleteOnePolicy"}},
        {{"-v", "log", "off"}, 0, "*", {"running 'nuvexctl log off'", "'nuvexctl log off' ended with exit status 0"}},
        {{"--verbose", "--json", "policy", "delete", "4000"}, 1, "*", {"NuvexCtrl_DeleteOnePolicy returned 697 (0x000002B9)", "exit status 1"}},
        {{"-v", "-q", "policy", "load", "/nonexistent/policies.dat"}, 1, "", {"no such file", "exit status 1"}},
    };
    for (const Case& c : cases) {
        const std::string shown = c.args[0] + " " + c.args[1] + " " + c.args.back();
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << shown << "\n" << run.err;
        if (c.out != "*") EXPECT_EQ(run.out, c.out) << shown;
        for (const auto& said : c.said) EXPECT_NE(run.err.find(said), std::string::npos) << shown << "\n" << run.err;
        if (c.status != 0) EXPECT_NE(run.err, "") << shown << ": errors are always shown";
        if (std::find(c.args.begin(), c.args.end(), "--json") != c.args.end())
            EXPECT_TRUE(OneDocument(run.out)) << shown << "\n" << run.out;
    }
    EXPECT_NE(Tool({"log", "on"}).out.find(done), std::string::npos);
}

// The same failure ends every verb with the same status, the one the exit-status table gives:
// an input file that is not there is a failure (1) whichever verb reads it, a command line that
// cannot be understood is 2.
TEST_F(ToolTest, SameFailureGivesTheSameExitStatusInEveryVerb) {
    InstallAll();
    const std::string missing = Scratch("missing.dat");
    const std::vector<std::vector<std::string>> readers = {
        {"policy", "load", missing}, {"state", "apply", missing}, {"doc", "info", missing},
        {"doc", "guid", missing},    {"doc", "encrypt", "--key-file", DocKey(), missing}, {"signcode", missing},
        {"key", "set", "--key-file", missing},
        {"doc", "rights", "set", missing, "--password-file", missing},
        {"doc", "decrypt", "--key-file", missing, missing},
    };
    for (const auto& verb : readers) {
        for (bool asJson : {false, true}) {
            std::vector<std::string> args = verb;
            if (asJson) args.insert(args.begin(), "--json");
            ToolRun run = Tool(args);
            EXPECT_EQ(run.status, 1) << verb[0] << " " << verb[1] << "\n" << run.err;
            EXPECT_NE(run.err.find(missing), std::string::npos) << verb[0] << " " << verb[1] << "\n" << run.err;
            if (asJson) EXPECT_TRUE(OneDocument(run.out) && Json(run).at("ok") == false) << run.out;
        }
    }
    const std::vector<std::vector<std::string>> misunderstood = {
        {"policy", "load"}, {"state", "apply", missing, "--no-such-option"}, {"completion", "fish"}, {"man", "extra"}};
    for (const auto& args : misunderstood) EXPECT_EQ(Tool(args).status, 2) << args[0] << " " << args.back();
}

// The manual page, the completion scripts and the exit-status table of docs/nuvexctl.md come
// from the tool's own definitions: every verb is in each of them, and the table in the manual
// is the tool's.
TEST_F(ToolTest, ManualPageCompletionAndExitTableComeFromTheVerbs) {
    ToolRun table = Tool({"man", "--exit-status-table"});
    ASSERT_EQ(table.status, 0);
    EXPECT_NE(Slurp(fs::path(NUVEX_SOURCE_DIR) / "docs" / "nuvexctl.md").find(table.out), std::string::npos)
        << "regenerate docs/nuvexctl.md with scripts/gen-docs.sh:\n" << table.out;
    ToolRun statuses = Tool({"--json", "man", "--exit-status-table"});
    ASSERT_TRUE(OneDocument(statuses.out)) << statuses.out;
    std::set<int> listed;
    const json rows = Json(statuses).at("exitStatuses");
    for (const auto& row : rows) {
        listed.insert(row.at("status").get<int>());
        EXPECT_NE(table.out.find("| " + std::to_string(row.at("status").get<int>()) + " |"), std::string::npos);
    }
    EXPECT_EQ(listed, (std::set<int>{0, 1, 2, 3, 129, 130, 141, 143}));

    ToolRun page = Tool({"man"});
    ToolRun bash = Tool({"completion", "bash"});
    ToolRun zsh = Tool({"completion", "zsh"});
    ToolRun powershell = Tool({"completion", "powershell"});
    for (const ToolRun* run : {&page, &bash, &zsh, &powershell}) ASSERT_EQ(run->status, 0) << run->err;
    EXPECT_EQ(zsh.out.rfind("#compdef nuvexctl\n", 0), 0u);
    EXPECT_NE(powershell.out.find("Register-ArgumentCompleter -Native -CommandName nuvexctl"), std::string::npos);
    // Every verb, with its path, in the page and in each script.
    // The verbs of each verb, as the bash script's first function lists them.
    const std::string list = bash.out.substr(0, bash.out.find("\n}\n"));
    std::istringstream lines(list);
    int verbs = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto open = line.find("'"), close = line.find("') echo '");
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string path = line.substr(open + 1, close - open - 1);
        std::istringstream words(line.substr(close + 9, line.rfind("'") - close - 9));
        for (std::string word; words >> word;) {
            const std::string full = path.empty() ? word : path + " " + word;
            ++verbs;
            std::string roff = full;  // minus signs escaped in the page
            for (std::size_t at = roff.find('-'); at != std::string::npos; at = roff.find('-', at + 2)) roff.insert(at, "\\");
            EXPECT_NE(page.out.find(".SS \"nuvexctl " + roff), std::string::npos) << full;
            EXPECT_NE(zsh.out.find("'" + word + ":"), std::string::npos) << full;
            EXPECT_NE(powershell.out.find("'" + word + "'"), std::string::npos) << full;
        }
    }
    EXPECT_GT(verbs, 50);
    // The hidden generator is in none of them.
    EXPECT_EQ(bash.out.find(" man "), std::string::npos);
}

// File names and driver texts that are not UTF-8 reach JSON without loss (as {"hex": ...}) and
// tables escaped; a log drained from the driver is on the output even so.
TEST_F(ToolTest, JsonCarriesAnyBytesAndNothingDrainedIsLost) {
    InstallAll();
    const std::string name = Scratch("bad\xff.txt");
    nuvex::test::WriteFileBytes(name, "plain");
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    ToolRun encrypt = Tool({"--json", "doc", "encrypt", "--key-file", DocKey(), Scratch("missing.txt"), name});
    EXPECT_EQ(encrypt.status, 1);
    ASSERT_TRUE(OneDocument(encrypt.out)) << encrypt.out;
    json files = Json(encrypt)["files"];
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]["status"], "failed");
    EXPECT_EQ(Bytes(files[1]["file"]), name);
    EXPECT_EQ(files[1]["status"], "encrypted");
    // Through the driver, so that the driver's log and document list hold the name.
    const std::string pw = PrivateFile(Scratch("pw"), "pw\n");
    ASSERT_EQ(Tool({"doc", "rights", "set", name, "--print", "1", "--password-file", pw}).status, 0);
    ASSERT_EQ(Tool({"doc", "print-count", "set", name, "2"}).status, 0);
    ASSERT_EQ(Tool({"passpath", "add", "C:\\caf\xe9"}).status, 0);

    ToolRun docs = Tool({"--json", "docs"});
    ASSERT_EQ(docs.status, 0) << docs.err;
    ASSERT_TRUE(OneDocument(docs.out));
    EXPECT_EQ(Bytes(Json(docs)["documents"][0]), name);
    ToolRun paths = Tool({"passpath", "list"});
    EXPECT_NE(paths.out.find("C:\\caf\\xE9"), std::string::npos) << paths.out;

    ToolRun log = Tool({"--json", "log", "show"});
    ASSERT_EQ(log.status, 0) << log.err;
    ASSERT_TRUE(OneDocument(log.out)) << log.out;
    bool named = false;
    json entries = Json(log)["records"];
    for (const auto& entry : entries) named = named || Bytes(entry["text"]).find(name) != std::string::npos;
    EXPECT_TRUE(named) << log.out;
    EXPECT_EQ(Json(Tool({"--json", "log", "show"}))["records"].size(), 0u);  // drained by the first
}

// A driver that fills its text fields to the last byte: every field is read within its size.
TEST_F(ToolTest, AccessControlTextsAreReadWithinTheirFields) {
    nuvex::test::FakeDriver acl(Root(), "NuvexACLcdo_3", [](const nuvex::test::FakeRequest& r) {
        if (r.code != nuvex::acl_driver::kGetPolicy) return nuvex::test::FakeReply::Ok();
        uint32_t id = nuvex::test::U32At(r.input, 0), selector = nuvex::test::U32At(r.input, 4);
        if ((selector == 2 && id != 0) || (selector == 3 && id != 5)) return nuvex::test::FakeReply::Fail();
        std::vector<uint8_t> record(1196, 'x');
        std::fill(record.begin(), record.begin() + 44, 0);
        record[4] = 5;
        std::fill(record.begin() + 44, record.begin() + 172, 'P');
        return nuvex::test::FakeReply::Ok(record);
    });
    for (const std::vector<std::string>& verb : {std::vector<std::string>{"--json", "acl", "policy", "list"},
                                                 std::vector<std::string>{"--json", "acl", "policy", "show", "5"}}) {
        ToolRun run = Tool(verb);
        ASSERT_EQ(run.status, 0) << verb.back() << run.err;
        json policy = verb.back() == "list" ? Json(run)["policies"][0] : Json(run)["policy"];
        // The library terminates a full field inside its array (its last byte gives way).
        EXPECT_EQ(policy["primaryText"], std::string(127, 'P')) << verb.back();
        EXPECT_EQ(policy["textLists"][3], std::string(255, 'x')) << verb.back();
    }
}

// Links are skipped and said so. One the user names is followed with --follow-links (the file,
// or the directory walked, that it names); one met below a directory is never followed, with
// --follow-links or without: another user could have put it there.
TEST_F(ToolTest, RecursionSkipsSymbolicLinksUnlessTold) {
    struct Case {
        const char* label;
        std::vector<std::string> args;  // {tree}: the tree, {link}: the link to the outside file
        int done;
        int skippedLinks;
        bool outsideChanged;
        const char* said;
    };
    const Case cases[] = {
        {"walked", {"-r", "{tree}"}, 1, 2, false, "skipped symbolic link"},
        {"walked, --follow-links", {"-r", "--follow-links", "{tree}"}, 1, 2, false, "never followed"},
        {"named link", {"{link}"}, 0, 1, false, "--follow-links processes the file it names"},
        {"named link, --follow-links", {"--follow-links", "{link}"}, 1, 0, true, ""},
        {"named folder link, --follow-links", {"-r", "--follow-links", "{tree}-link"}, 1, 2, false, "never followed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string tree = Scratch("tree"), outside = Scratch("outside.txt");
        fs::remove_all(tree);
        fs::remove(tree + "-link");
        fs::create_directories(tree);
        nuvex::test::WriteFileBytes(tree + "/a.txt", "alpha");
        nuvex::test::WriteFileBytes(outside, "outside");
        fs::create_symlink(outside, tree + "/link.txt");
        fs::create_directory_symlink(tree, tree + "/loop");
        fs::create_directory_symlink(tree, tree + "-link");
        std::vector<std::string> args{"--json", "doc", "encrypt", "--key-file", DocKey()};
        const std::map<std::string, std::string> named{
            {"{tree}", tree}, {"{link}", tree + "/link.txt"}, {"{tree}-link", tree + "-link"}};
        for (const std::string& arg : c.args) args.push_back(named.count(arg) != 0 ? named.at(arg) : arg);
        ToolRun run = Tool(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Json(run)["done"], c.done);
        EXPECT_EQ(Json(run)["skippedLinks"], c.skippedLinks);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_TRUE(fs::is_symlink(tree + "/link.txt"));
        EXPECT_EQ(nuvex::test::ReadFileBytes(outside) != "outside", c.outsideChanged);
    }
}

// Ctrl-C at the password prompt leaves the terminal echoing again.
TEST_F(ToolTest, InterruptedPasswordPromptRestoresEcho) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer holds a signal back until its own next safe point, so the prompt's handler
    // does not run while the read waits; what is tested here cannot happen in such a build.
    GTEST_SKIP() << "signal delivery is deferred under ThreadSanitizer";
#endif
    std::string doc = Scratch("doc.txt");
    nuvex::test::WriteFileBytes(doc, "text");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", DocKey(), doc}).status, 0);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::string tool = (BinDir() / "nuvexctl").string();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        execl(tool.c_str(), tool.c_str(), "doc", "rights", "set", doc.c_str(), "--print", "1", nullptr);
        _exit(127);
    }
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    fcntl(master, F_SETFL, O_NONBLOCK);
    while (seen.find("password:") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        char buffer[256];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
        else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(seen.find("password:"), std::string::npos) << seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    termios during{};
    tcgetattr(slave, &during);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);
    ASSERT_EQ(write(master, "\x03", 1), 1);
    EXPECT_EQ(Wait(pid), 128 + SIGINT);
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
    close(master);
    close(slave);
}

// Messages say what was done: no file for an empty policy table; opaque log records as a dump.
TEST_F(ToolTest, MessagesSayWhatWasDone) {
    InstallAll();
    std::string file = Scratch("policies.dat");
    ToolRun save = Tool({"policy", "save", file});
    EXPECT_EQ(save.status, 0);
    EXPECT_NE(save.out.find("the policy table is empty; no file written"), std::string::npos) << save.out;
    EXPECT_FALSE(fs::exists(file));
    ASSERT_EQ(Tool({"acl", "start"}).status, 0);
    ToolRun log = Tool({"acl", "log"});
    ASSERT_EQ(log.status, 0);
    EXPECT_NE(log.out.find("0x86662010"), std::string::npos) << log.out;  // the start request's code
    EXPECT_NE(log.out.find("access control started"), std::string::npos) << log.out;
}

// The declared state: export, change, dry run (nothing changes), apply (restored), apply again
// (nothing to do); files that do not parse or name something invalid change nothing.
TEST_F(ToolTest, StateApplyMakesTheDriversMatchTheFile) {
    InstallAll();
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    ASSERT_EQ(Tool({"passpath", "add", "C:\\build", "D:\\caf\xe9"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "--record", "--list", "x|y", "--value", "5"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP9|~1084.F:\\reports"}).status, 0);
    ASSERT_EQ(Tool({"acl", "start"}).status, 0);
    ASSERT_EQ(Tool({"acl", "policy", "add", "4", "--primary", "C:\\secret", "--list", "a|"}).status, 0);
    ASSERT_EQ(Tool({"key", "set", "--key-file", PrivateFile(Scratch("document.key"), "0102030405")}).status, 0);
    std::string file = Scratch("machine.json");
    ASSERT_EQ(Tool({"state", "export", file}).status, 0);
    std::string declared = nuvex::test::ReadFileBytes(file);
    json state = json::parse(declared);
    EXPECT_EQ(state["main"]["policies"].size(), 2u);
    EXPECT_EQ(state["acl"]["policies"][0]["textLists"][0], "a|");
    EXPECT_EQ(Bytes(state["main"]["passPaths"][1]), "D:\\caf\xe9");
    EXPECT_EQ(declared.find("0102030405"), std::string::npos);  // never keys

    auto current = [&] { return Tool({"state", "export"}).out; };
    ASSERT_EQ(Tool({"policy", "delete", "9"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP12|x"}).status, 0);
    ASSERT_EQ(Tool({"passpath", "clear"}).status, 0);
    ASSERT_EQ(Tool({"passpath", "add", "E:\\other"}).status, 0);
    ASSERT_EQ(Tool({"acl", "policy", "clear"}).status, 0);
    ASSERT_EQ(Tool({"acl", "stop"}).status, 0);
    ASSERT_EQ(Tool({"log", "off"}).status, 0);
    ASSERT_EQ(Tool({"driver", "suspend"}).status, 0);
    std::string changed = current();

    ToolRun dry = Tool({"state", "apply", "--dry-run", "--detailed-exitcode", file});
    EXPECT_EQ(dry.status, 2) << dry.err;
    EXPECT_NE(dry.out.find("would add policy 9"), std::string::npos) << dry.out;
    EXPECT_EQ(current(), changed);

    std::vector<std::string> invalid = {
        "{", "[]", R"({"main": {}})", R"({"nuvexctlState": 1, "main": {"loging": true}})",
        R"({"nuvexctlState": 1, "main": {"logging": true, "policies": ["NVP0|x"]}})",
        R"({"nuvexctlState": 1, "main": {"logging": true, "passPaths": ["a|b"]}})",
        R"({"nuvexctlState": 1, "main": {"logging": true, "passPaths": ["a", "a"]}})",
        R"({"nuvexctlState": 1, "main": {"logging": true}, "acl": {"policies": [{"id": 4, "primaryText": ""}]}})",
        R"({"nuvexctlState": 1, "main": {"logging": true}, "acl": {"policies": [{"id": 4, "primaryText": {"hex": "4"}}]}})"};
    for (const auto& text : invalid) {
        nuvex::test::WriteFileBytes(Scratch("bad.json"), text);
        ToolRun bad = Tool({"state", "apply", "--detailed-exitcode", Scratch("bad.json")});
        EXPECT_EQ(bad.status, 1) << text;
        EXPECT_NE(bad.err.find("nothing changed"), std::string::npos) << text << bad.err;
    }
    EXPECT_EQ(current(), changed);

    ToolRun apply = Tool({"--json", "state", "apply", "--detailed-exitcode", file});
    EXPECT_EQ(apply.status, 2) << apply.err;
    json changes = Json(apply)["changes"];
    json described = json::array();
    for (const auto& change : changes) described.push_back(change["description"]);
    EXPECT_EQ(described, json({"resume the main driver", "start logging", "clear the pass paths",
                               "add pass paths C:\\build, D:\\caf\\xE9", "delete policy 12", "add policy 9",
                               "add access-control policy 4", "start access control"}));
    // For scripts each change says what it does to which object, before and after.
    EXPECT_EQ(changes[0], json({{"action", "set"}, {"object", "main.suspended"}, {"before", true}, {"after", false},
                                {"description", "resume the main driver"}}));
    EXPECT_EQ(changes[4], json({{"action", "delete"}, {"object", "main.policy"}, {"id", 12}, {"before", "NVP12|x"},
                                {"after", nullptr}, {"description", "delete policy 12"}}));
    EXPECT_EQ(changes[6]["after"]["textLists"][0], "a|");
    EXPECT_EQ(current(), declared);
    ToolRun again = Tool({"state", "apply", "--detailed-exitcode", file});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("nothing to change"), std::string::npos);
}

// State and policy files are regular files: a device, a FIFO or a link to one is refused as a
// target or a source with nothing changed and no wait for a writer; a link planted at the name
// of the export's temporary file is never written through.
TEST_F(ToolTest, StateAndPolicyFilesAreRegularFilesOnly) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP9|~1084.F:\\reports"}).status, 0);
    std::string table = Tool({"policy", "list"}).out;
    std::string fifo = Scratch("pipe"), link = Scratch("link"), device = Scratch("device");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, link);
    // The device is reached through a link: a write that wrongly went through would replace the
    // link, never the machine's /dev/null.
    fs::create_symlink("/dev/null", device);
    for (const std::string& path : {device, fifo, link}) {
        ToolRun exported = Tool({"state", "export", path});
        EXPECT_EQ(exported.status, 1) << path;
        EXPECT_NE(exported.err.find("not a regular file"), std::string::npos) << exported.err;
        for (const std::vector<std::string>& verb : {std::vector<std::string>{"state", "apply", path},
                                                     std::vector<std::string>{"policy", "load", path},
                                                     std::vector<std::string>{"policy", "save", path}}) {
            ToolRun run = Tool(verb);
            EXPECT_EQ(run.status, 1) << verb[1] << " " << path << "\n" << run.err;
        }
    }
    EXPECT_EQ(Tool({"policy", "load", "/dev/null"}).status, 1);
    // A saved table piped in is refused, not taken for an empty table.
    std::string saved = Scratch("saved.dat");
    ASSERT_EQ(Tool({"policy", "save", saved}).status, 0);
    std::string piped = "cat '" + saved + "' | '" + (BinDir() / "nuvexctl").string() + "' policy load /dev/stdin 2>/dev/null";
    int piping = std::system(piped.c_str());
    EXPECT_TRUE(WIFEXITED(piping) && WEXITSTATUS(piping) == 1) << piping;
    ToolRun generated = Tool({"state", "apply", "/proc/self/status"});
    EXPECT_EQ(generated.status, 1);
    EXPECT_NE(generated.err.find("not a regular file"), std::string::npos) << generated.err;
    EXPECT_TRUE(fs::is_symlink(device) && fs::is_character_file(device));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Tool({"policy", "list"}).out, table);

    std::string file = Scratch("machine.json"), victim = Scratch("victim");
    nuvex::test::WriteFileBytes(victim, "victim");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(victim, file + ".nuvexctl-tmp");
    nuvex::test::WriteFileBytes(file, "old");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(Tool({"state", "export", file}).status, 0);
    EXPECT_EQ(nuvex::test::ReadFileBytes(victim), "victim");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(nuvex::test::ReadFileBytes(file).find("NVP9|"), std::string::npos);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(fs::is_symlink(file + ".nuvexctl-tmp"));

    // An export through a link (as /dev/stdout is one) replaces the file it names, not the link.
    std::string named = Scratch("named.json"), alias = Scratch("alias.json");
    nuvex::test::WriteFileBytes(named, "old");
    fs::create_symlink(named, alias);
    ASSERT_EQ(Tool({"state", "export", alias}).status, 0);
    EXPECT_TRUE(fs::is_symlink(alias));
    EXPECT_NE(nuvex::test::ReadFileBytes(named).find("NVP9|"), std::string::npos);
    fs::remove(named);
    EXPECT_EQ(Tool({"state", "export", alias}).status, 1);
    EXPECT_FALSE(fs::exists(named));
}

// A policy load killed in the middle leaves the journal; `policy restore` puts the table from
// before back exactly. Ctrl-C during a load is held back until the load is complete.
TEST_F(ToolTest, InterruptedPolicyLoadLeavesTheTableWholeOrRestorable) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    std::string big = Scratch("big.json"), bigFile = Scratch("big.dat");
    json state = {{"nuvexctlState", 1}, {"main", {{"policies", json::array()}}}};
    for (int id = 1; id <= 400; ++id)
        state["main"]["policies"].push_back("NVP" + std::to_string(id) + "|~1084.policy-path-" + std::to_string(id));
    nuvex::test::WriteFileBytes(big, state.dump());
    ASSERT_EQ(Tool({"state", "apply", big}).status, 0);
    ASSERT_EQ(Tool({"policy", "save", bigFile}).status, 0);
    const std::string after = Tool({"policy", "list"}).out;
    ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP7001|~1084.first"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP7002|~1084.second"}).status, 0);
    const std::string before = Tool({"policy", "list"}).out;
    const std::string journal = Root() + "/state/policy-journal.dat";
    EXPECT_NE(Tool({"policy", "restore"}).out.find("nothing to restore"), std::string::npos);

    // Starts a load and sends `signal` once it has kept the table and `delay` more has passed.
    auto interruptLoad = [&](int signal, std::chrono::microseconds delay) {
        fs::path in = Scratch("in"), out = Scratch("out"), err = Scratch("err");
        nuvex::test::WriteFileBytes(in, "");
        pid_t pid = Start({"policy", "load", bigFile}, in, out, err);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(journal) && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        std::this_thread::sleep_for(delay);
        ::kill(pid, signal);
        return Wait(pid);
    };

    int cut = 0;
    for (int trial = 0; trial < 8; ++trial) {
        int status = interruptLoad(SIGKILL, std::chrono::microseconds(trial * 3000));
        if (fs::exists(journal)) {
            EXPECT_EQ(status, 128 + SIGKILL);
            ToolRun listed = Tool({"policy", "list"});
            if (listed.out != before) ++cut;
            EXPECT_NE(listed.err.find("interrupted policy change"), std::string::npos) << listed.err;
            ToolRun restore = Tool({"policy", "restore"});
            EXPECT_EQ(restore.status, 0) << restore.err;
        } else {
            EXPECT_EQ(Tool({"policy", "list"}).out, after) << "trial " << trial;
            ASSERT_EQ(Tool({"policy", "restore"}).status, 0);
            ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
            ASSERT_EQ(Tool({"policy", "add", "NVP7001|~1084.first"}).status, 0);
            ASSERT_EQ(Tool({"policy", "add", "NVP7002|~1084.second"}).status, 0);
        }
        EXPECT_EQ(Tool({"policy", "list"}).out, before) << "trial " << trial;
        EXPECT_FALSE(fs::exists(journal));
    }
    EXPECT_GT(cut, 0) << "no kill landed in the middle of a load";

    // A kill leaves the journal; the next load keeps it (the table is half changed) and warns,
    // and only a complete load removes it.
    interruptLoad(SIGKILL, std::chrono::microseconds(2000));
    if (fs::exists(journal)) {
        ToolRun again = Tool({"policy", "load", bigFile});
        EXPECT_EQ(again.status, 0);
        EXPECT_NE(again.err.find("interrupted policy change"), std::string::npos) << again.err;
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_EQ(Tool({"policy", "list"}).out, after);
        ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
        ASSERT_EQ(Tool({"policy", "add", "NVP7001|~1084.first"}).status, 0);
        ASSERT_EQ(Tool({"policy", "add", "NVP7002|~1084.second"}).status, 0);
    }

    // Ctrl-C (or a termination request) in the middle: the load finishes first, then the tool
    // stops as interrupted, and no journal is left.
    for (int signal : {SIGINT, SIGTERM}) {
        int status = interruptLoad(signal, std::chrono::microseconds(1000));
        EXPECT_EQ(Tool({"policy", "list"}).out, after);
        EXPECT_FALSE(fs::exists(journal));
        if (status == 128 + signal) {
            EXPECT_NE(nuvex::test::ReadFileBytes(Scratch("err")).find("completed before stopping"), std::string::npos);
        } else {
            EXPECT_EQ(status, 0);
        }
        ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
        ASSERT_EQ(Tool({"policy", "add", "NVP7001|~1084.first"}).status, 0);
        ASSERT_EQ(Tool({"policy", "add", "NVP7002|~1084.second"}).status, 0);
    }
}

// log follow writes each record as it arrives, one JSON object per line, and an interrupt
// loses none that were drained.
TEST_F(ToolTest, LogFollowStreamsRecordsUntilInterrupted) {
    InstallAll();
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    fs::path in = Scratch("in"), out = Scratch("follow.jsonl"), err = Scratch("follow.err");
    nuvex::test::WriteFileBytes(in.string(), "");
    pid_t pid = Start({"--json", "log", "follow", "--acl", "--interval", "50"}, in, out, err);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP7|x"}).status, 0);
    ASSERT_EQ(Tool({"acl", "start"}).status, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (nuvex::test::ReadFileBytes(out.string()).find("\"acl\"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(Tool({"passpath", "add", "C:\\last"}).status, 0);  // logged just before the interrupt
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 0) << nuvex::test::ReadFileBytes(err.string());
    std::istringstream lines(nuvex::test::ReadFileBytes(out.string()));
    std::set<std::string> sources, texts;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(OneDocument(line)) << line;
        json record = json::parse(line);
        sources.insert(record["source"].get<std::string>());
        if (record.contains("text")) texts.insert(Bytes(record["text"]));
    }
    EXPECT_EQ(sources, (std::set<std::string>{"main", "acl"}));
    EXPECT_EQ(texts.count("policy 7 stored"), 1u);
    EXPECT_EQ(texts.count("pass paths added: 1"), 1u);
    EXPECT_EQ(Json(Tool({"--json", "log", "show"}))["records"].size(), 0u);
}

// Records drained from the driver are spooled before they are written: what a reader that went
// away did not read (`log follow | head -1`) is written by the next run that reads the log,
// and across both runs every record appears exactly once. That holds too for a leftover file
// found still under the name it was made with (`.making-...`: its rename never reached the disk
// before a power cut), which is read like any other, never deleted unread.
TEST_F(ToolTest, DrainedLogRecordsReachTheOutputExactlyOnce) {
    InstallAll();
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    constexpr int kRecords = 6;
    const fs::path spool = Root() + "/state/spool";
    for (const bool unnamed : {false, true}) {
        SCOPED_TRACE(unnamed ? "leftover under its .making- name" : "leftover under its own name");
        ASSERT_EQ(Tool({"passpath", "clear"}).status, 0);
        for (int i = 1; i <= kRecords; ++i)
            ASSERT_EQ(Tool({"passpath", "add", "C:\\spooled" + std::to_string(i)}).status, 0);

        int reader = -1;
        pid_t pid = StartPiped({"--json", "log", "follow", "--interval", "50"}, Scratch("follow.err"), reader);
        ASSERT_GT(pid, 0);
        std::string first;
        for (char c; first.empty() || first.back() != '\n';) {
            ASSERT_EQ(::read(reader, &c, 1), 1) << "follow wrote no line";
            first += c;
        }
        ::close(reader);  // like head -1: one line read, the rest never
        EXPECT_EQ(Wait(pid), 141) << nuvex::test::ReadFileBytes(Scratch("follow.err"));
        std::vector<fs::path> left;
        for (const auto& entry : fs::directory_iterator(spool)) left.push_back(entry.path());
        ASSERT_EQ(left.size(), 1u);
        if (unnamed) fs::rename(left[0], spool / (".making-" + left[0].filename().string()));

        std::vector<json> seen{json::parse(first)};
        ToolRun show = Tool({"--json", "log", "show"});
        ASSERT_EQ(show.status, 0) << show.err;
        const json shown = Json(show);
        for (const json& entry : shown["records"]) seen.push_back(entry);
        std::multiset<uint32_t> passPathCounts;
        std::set<std::string> distinct;
        for (json& record : seen) {
            record.erase("source");
            distinct.insert(record.dump());
            // The record's data holds the number added and the number of pass paths after it.
            if (Bytes(record["text"]) == "pass paths added: 1")
                passPathCounts.insert(static_cast<uint32_t>(std::stoul(record["data"].get<std::string>().substr(8, 2), nullptr, 16)));
        }
        EXPECT_EQ(distinct.size(), seen.size()) << "a record was written twice";
        EXPECT_EQ(passPathCounts, (std::multiset<uint32_t>{1, 2, 3, 4, 5, 6}));
        // Nothing is left for a third run, and the leftover file is gone.
        EXPECT_EQ(Json(Tool({"--json", "log", "show"}))["records"].size(), 0u);
        EXPECT_TRUE(fs::is_empty(spool));
    }
}

// `log follow` says when the driver is not logging, and waits for a driver that goes away and
// comes back instead of ending.
TEST_F(ToolTest, LogFollowWarnsWhenLoggingIsOffAndOutlivesADriverRestart) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    fs::path in = Scratch("in"), out = Scratch("follow.jsonl"), err = Scratch("follow.err");
    nuvex::test::WriteFileBytes(in.string(), "");
    pid_t pid = Start({"--json", "log", "follow", "--interval", "20"}, in, out, err);
    ASSERT_GT(pid, 0);
    auto waitFor = [&](const fs::path& file, const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (nuvex::test::ReadFileBytes(file.string()).find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return nuvex::test::ReadFileBytes(file.string()).find(text) != std::string::npos;
    };
    EXPECT_TRUE(waitFor(err, "not logging"));
    ASSERT_EQ(Tool({"driver", "uninstall", "main"}).status, 0);
    EXPECT_TRUE(waitFor(err, "waiting for it"));
    // The old driver's process may take a moment to end (longer under the sanitizers); until
    // it has, loading the new one is refused as already loaded.
    int installed = 1;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         installed != 0 && std::chrono::steady_clock::now() < until;) {
        installed = Tool({"driver", "install", "main"}).status;
        if (installed != 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_EQ(installed, 0);
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    EXPECT_TRUE(waitFor(out, "logging started"));
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 0) << nuvex::test::ReadFileBytes(err.string());
}

// `passpath add` counts what the driver received: "|" inside an argument separates paths,
// empty arguments add nothing, and paths the driver holds already are not counted as added.
TEST_F(ToolTest, PassPathAddCountsWhatTheDriverReceived) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    ASSERT_EQ(Tool({"passpath", "add", "C:\\held"}).status, 0);
    struct Case { std::vector<std::string> args; std::size_t added, present, ignored; std::string said; };
    const Case cases[] = {
        {{"C:\\a|C:\\b"}, 2, 0, 0, "added 2 pass path(s)"},
        {{""}, 0, 0, 1, "added 0 pass path(s), 1 empty argument(s) ignored"},
        {{"C:\\held"}, 0, 1, 0, "added 0 pass path(s), 1 already present"},
        {{"C:\\c", "C:\\c", "C:\\held", "|"}, 1, 1, 1, "added 1 pass path(s), 1 already present, 1 empty argument(s) ignored"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"passpath", "add"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.said), std::string::npos) << run.out;
    }
    std::vector<std::string> args{"--json", "passpath", "add", "C:\\d|C:\\a", ""};
    json report = Json(Tool(args));
    EXPECT_EQ(report["added"].size(), 1u);
    EXPECT_EQ(report["alreadyPresent"].size(), 1u);
    EXPECT_EQ(report["ignored"].size(), 1u);
    EXPECT_EQ(Json(Tool({"--json", "passpath", "list"}))["passPaths"].size(), 5u);
}

// A key never comes from the command line: `key set` and the document runs read it from a
// private key file, from standard input or a prompt; a key file other users can read is
// refused. Every run is a process of its own, so a key handed to the driver by `key set` is not
// the key of a later `doc encrypt`, which refuses to run without one; the built-in key is used
// only when asked for by name. A document made under a key opens under that key only.
TEST_F(ToolTest, KeysAreExplicitAndReadFromPrivateFilesOrStandardInputOnly) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    const std::string shared = PrivateFile(Scratch("shared.key"), "00112233445566778899aabbccddeeff00112233");
    fs::permissions(shared, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    const std::string plain = "quarterly figures\n", file = Scratch("report.txt");
    nuvex::test::WriteFileBytes(file, plain);
    const std::string wrong = Scratch("wrong.txt"), right = Scratch("right.txt"), same = Scratch("same.txt");
    const std::string foreign = Scratch("foreign.txt");
    nuvex::test::WriteFileBytes(foreign, plain);
    ASSERT_EQ(NuvexCtrlEx_EncryptFile(foreign.c_str(), "another program's key", 21, nullptr, nullptr), 0u);
    const std::string tree = Scratch("keyed"), found = tree + "/sub/found.txt";
    fs::create_directories(tree + "/sub");
    nuvex::test::WriteFileBytes(found, plain);
    struct Case { std::vector<std::string> args; std::string input; int status; std::string said; };
    const Case cases[] = {
        {{"key", "set", "--hex", "0011"}, "", 2, "unknown option '--hex'"},
        {{"key", "set", "--key-file", shared}, "", 2, "can be read or written by other users"},
        {{"key", "set"}, "", 2, "no document key"},
        {{"key", "set", "--key-file", "-"}, "00 11 22 33\n", 0, "handed the main driver a new document key (4 bytes)"},
        {{"key", "set", "--key-file", PrivateFile(Scratch("raw.key"), std::string("\x01\x02\xff", 3))}, "", 0, "(3 bytes)"},
        {{"key", "set", "--key-file", DocKey()}, "", 0, "later runs do not encipher with it"},
        {{"doc", "encrypt", file}, "", 2, "no document key"},
        {{"doc", "encrypt", "--key-file", shared, file}, "", 2, "can be read or written by other users"},
        {{"doc", "encrypt", "--key-file", DocKey(), "--default-key", file}, "", 2, "not both"},
        {{"doc", "encrypt", "--key-file", DocKey(), file}, "", 0, "encrypted 1"},
        {{"doc", "decrypt", file, "--out", right}, "", 2, "no document key"},
        // The tool kept the key check of the document it made: another key is refused.
        {{"doc", "decrypt", "--default-key", file, "--out", wrong}, "", 1, "made by nuvexctl under another key"},
        {{"doc", "decrypt", "--key-file", PrivateFile(Scratch("other.key"), "0011"), file}, "", 1, "under another key"},
        {{"doc", "decrypt", "--key-file", "-", file, "--out", right}, "00112233445566778899AABBCCDDEEFF", 0, "decrypted 1"},
        // A key that agrees in the bytes the cipher uses is the same key.
        {{"doc", "decrypt", "--key-file", "-", file, "--out", same}, "00112233445566778899AABBCCDDEEFF00", 0, "decrypted 1"},
        // A document the tool did not make has no check: a wrong key gives garbage, as asked.
        {{"doc", "decrypt", "--default-key", foreign, "--out", wrong}, "", 0, "protects nothing"},
        // The same for a document found below a directory, read inside the folder it was listed in.
        {{"doc", "encrypt", "--key-file", DocKey(), "-r", tree}, "", 0, "encrypted 1"},
        {{"doc", "decrypt", "--default-key", "-r", tree}, "", 1, "made by nuvexctl under another key"},
        {{"doc", "decrypt", "--key-file", DocKey(), "-r", tree}, "", 0, "decrypted 1"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool(c.args, c.input);
        EXPECT_EQ(run.status, c.status) << c.said << "\n" << run.err;
        EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    }
    EXPECT_NE(nuvex::test::ReadFileBytes(file), plain);
    EXPECT_NE(nuvex::test::ReadFileBytes(wrong), plain);
    EXPECT_EQ(nuvex::test::ReadFileBytes(right), plain);
    EXPECT_EQ(nuvex::test::ReadFileBytes(same), plain);
    EXPECT_EQ(nuvex::test::ReadFileBytes(found), plain);
}

// ---- names of other users, secrets, durable writes ------------------------------------------

// What another user planted in a folder shared with them (sticky, as /tmp is).
enum class Planted {
    TheirLink,           // their link to the caller's private file
    TheirFile,           // their own file, open to everybody
    TheirFolderWithLink, // their folder holding their link document.key to the caller's file
    OpenFile,            // the caller's file that others may read (0644)
    Fifo,                // a FIFO of the caller's (0600)
};

// Plants `what` at `name`, aimed at `victim`; `bytes` is the content of a file planted.
bool Plant(Planted what, const std::string& name, const std::string& victim, const std::string& bytes) {
    using nuvex::test::AsOtherUser;
    switch (what) {
    case Planted::TheirLink: return AsOtherUser([&] { return ::symlink(victim.c_str(), name.c_str()) == 0; });
    case Planted::TheirFile:
        return AsOtherUser([&] {
            nuvex::test::WriteFileBytes(name, bytes);
            return ::chmod(name.c_str(), 0666) == 0;
        });
    case Planted::TheirFolderWithLink:
        return AsOtherUser([&] {
            return ::mkdir(name.c_str(), 0755) == 0 && ::symlink(victim.c_str(), (name + "/document.key").c_str()) == 0;
        });
    case Planted::OpenFile:
        nuvex::test::WriteFileBytes(name, bytes);
        return ::chmod(name.c_str(), 0644) == 0;
    case Planted::Fifo: return ::mkfifo(name.c_str(), 0600) == 0;
    }
    return false;
}

// `args` with "{}" replaced by `name`.
std::vector<std::string> WithName(std::vector<std::string> args, const std::string& name) {
    for (auto& arg : args)
        if (arg == "{}") arg = name;
    return args;
}

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Names another user made in a folder shared with them are never written through: a link they
// planted where the tool writes a state file, a policy file, the plain bytes of --out or the
// demo's key file is refused, and the file it names stays as it was; a file of theirs is never
// given a document's plain text (nor a state file).
TEST_F(ToolTest, NamesOfAnotherUserAreNeverWrittenThrough) {
    NUVEX_NEEDS_OTHER_USER();
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP9|~1084.F:\\reports"}).status, 0);
    nuvex::test::SharedFolder shared;
    ASSERT_TRUE(shared.ok());
    const std::string victim = PrivateFile(shared / "victim", "root's own\n"), key = DocKey();
    const std::string document = PrivateFile(Scratch("plans.txt"), "the plain text\n");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", key, document}).status, 0);
    const std::string sealed = nuvex::test::ReadFileBytes(document);
    struct Case {
        const char* label;
        std::vector<std::string> args;
        Planted planted;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {"state export through their link", {"state", "export", "{}"}, Planted::TheirLink, 1,
         "is a link that belongs to another user"},
        {"state export over their file", {"state", "export", "{}"}, Planted::TheirFile, 1, "belongs to another user"},
        {"policy save through their link", {"policy", "save", "{}"}, Planted::TheirLink, 1,
         "is a link that belongs to another user"},
        {"decrypt --out through their link", {"doc", "decrypt", "--key-file", key, document, "--out", "{}"},
         Planted::TheirLink, 1, "is a link that belongs to another user"},
        {"decrypt --out onto their file", {"doc", "decrypt", "--key-file", key, document, "--out", "{}"},
         Planted::TheirFile, 1, "belongs to another user"},
        {"demo in their folder", {"demo", "--root", "{}"}, Planted::TheirFolderWithLink, 1,
         "belongs to another user or can be written by others"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = shared / ("name" + std::to_string(n++));
        ASSERT_TRUE(Plant(c.planted, name, victim, "their bytes\n"));
        ToolRun run = Tool(WithName(c.args, name), "", std::chrono::seconds(120));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
        EXPECT_EQ(nuvex::test::ReadFileBytes(victim), "root's own\n");
        EXPECT_EQ(OwnerOf(victim), 0u);
        EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        if (c.planted == Planted::TheirFile) {
            EXPECT_EQ(nuvex::test::ReadFileBytes(name), "their bytes\n");
            EXPECT_EQ(OwnerOf(name), nuvex::test::kOtherUser);
        }
    }
    EXPECT_EQ(nuvex::test::ReadFileBytes(document), sealed);
}

// A key or password file is a secret of the caller's: one another user owns (who could then read
// the documents made under it), one that others may read or write, one reached through another
// user's link, and a FIFO (which would hold the run) are refused with the file named and why,
// exit status 2, without waiting. State and policy files reached through another user's link
// are refused too (exit status 1): their content would be another user's choosing.
TEST_F(ToolTest, SecretsAreTheCallersOwnAndNothingWaitsForAWriter) {
    NUVEX_NEEDS_OTHER_USER();
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    nuvex::test::SharedFolder shared;
    ASSERT_TRUE(shared.ok());
    const std::string key = DocKey(), hex = "00112233445566778899aabbccddeeff\n";
    const std::string document = PrivateFile(Scratch("plans.txt"), "the plain text\n");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", key, document}).status, 0);
    struct Case {
        const char* label;
        std::vector<std::string> args;
        Planted planted;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {"key file of another user", {"key", "set", "--key-file", "{}"}, Planted::TheirFile, 2,
         "the key file {} belongs to another user"},
        {"key file through their link", {"doc", "decrypt", "--key-file", "{}", document, "--out", Scratch("out")},
         Planted::TheirLink, 2, "the key file {} is a link that belongs to another user"},
        {"key file that others may read", {"doc", "encrypt", "--key-file", "{}", Scratch("absent")}, Planted::OpenFile,
         2, "the key file {} can be read or written by other users"},
        {"key file that is a FIFO", {"key", "set", "--key-file", "{}"}, Planted::Fifo, 2,
         "the key file {} is not a regular file"},
        {"password file of another user", {"doc", "rights", "clear", document, "--password-file", "{}"},
         Planted::TheirFile, 2, "the password file {} belongs to another user"},
        {"password file that others may read", {"doc", "rights", "set", document, "--print", "3", "--password-file", "{}"},
         Planted::OpenFile, 2, "the password file {} can be read or written by other users"},
        {"password file that is a FIFO", {"doc", "rights", "set", document, "--print", "3", "--password-file", "{}"},
         Planted::Fifo, 2, "the password file {} is not a regular file"},
        {"state file through their link", {"state", "apply", "{}"}, Planted::TheirLink, 1,
         "the state file {} is a link that belongs to another user"},
        {"policy file through their link", {"policy", "load", "{}"}, Planted::TheirLink, 1,
         "is a link that belongs to another user"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = shared / ("secret" + std::to_string(n++));
        ASSERT_TRUE(Plant(c.planted, name, key, hex));
        ToolRun run = Tool(WithName(c.args, name), "", std::chrono::seconds(20));
        EXPECT_EQ(run.status, c.status) << run.err;
        std::string said = c.said;
        if (said.find("{}") != std::string::npos) said.replace(said.find("{}"), 2, name);
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    }
    EXPECT_EQ(Json(Tool({"--json", "doc", "rights", "get", document}))["rights"]["present"], false);
}

// --out naming the document itself, however it is spelled (through "./", the caller's own link,
// a hard link), is decryption in place in disguise: refused, exit status 2, the document left
// as it is.
TEST_F(ToolTest, DecryptOutNamingTheDocumentItselfIsRefused) {
    const std::string key = DocKey(), document = PrivateFile(Scratch("plans.txt"), "the plain text\n");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", key, document}).status, 0);
    const std::string sealed = nuvex::test::ReadFileBytes(document);
    fs::create_symlink(document, Scratch("alias.txt"));
    fs::create_hard_link(document, Scratch("second-name.txt"));
    for (const std::string& out : {Root() + "/scratch/./plans.txt", Scratch("alias.txt"), Scratch("second-name.txt")}) {
        ToolRun run = Tool({"doc", "decrypt", "--key-file", key, document, "--out", out});
        EXPECT_EQ(run.status, 2) << out << "\n" << run.err;
        EXPECT_NE(run.err.find("--out " + out + " is the document " + document + " itself"), std::string::npos) << run.err;
        EXPECT_EQ(nuvex::test::ReadFileBytes(document), sealed) << out;
    }
}

// The order of one run's flushes, renames and removals (call_log.c), each line "<call> <name>",
// with standard output into the file `out`. `whileRunning` is given the run's process.
std::vector<std::string> CallsOf(const std::vector<std::string>& args, const std::string& out,
                                 const std::function<void(pid_t)>& whileRunning) {
    const std::string log = out + ".calls";
    ::setenv("LD_PRELOAD", NUVEXCTL_CALL_LOG_LIBRARY, 1);
    ::setenv("NUVEXCTL_CALL_LOG", log.c_str(), 1);
    // A sanitizer's runtime must otherwise come first among the libraries loaded.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string asan = sanitizer == nullptr ? std::string() : sanitizer;
    ::setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    const std::string in = out + ".in";
    nuvex::test::WriteFileBytes(in, "");
    const pid_t pid = Start(args, in, out, out + ".err");
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("NUVEXCTL_CALL_LOG");
    if (sanitizer == nullptr) ::unsetenv("ASAN_OPTIONS");
    else ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    whileRunning(pid);
    EXPECT_EQ(Wait(pid), 0) << nuvex::test::ReadFileBytes(out + ".err");
    std::vector<std::string> calls;
    std::istringstream lines(nuvex::test::ReadFileBytes(log));
    for (std::string line; std::getline(lines, line);) calls.push_back(line);
    return calls;
}

// Whether `expected` appear in `calls` in this order (others may come between). An expected
// call ending in "*" stands for every call that begins with what comes before it.
bool InOrder(const std::vector<std::string>& calls, const std::vector<std::string>& expected) {
    std::size_t next = 0;
    for (const std::string& call : calls) {
        if (next == expected.size()) break;
        const std::string& want = expected[next];
        const bool any = !want.empty() && want.back() == '*';
        if (any ? call.compare(0, want.size() - 1, want, 0, want.size() - 1) == 0 : call == want) ++next;
    }
    return next == expected.size();
}

// What a power cut must not undo, in the order the tool makes it so: a spool file's name is on
// the disk before records go into it, and its records before they are written out; the spool
// lets go of them (empties its file) only once the output, a file, has them on the disk. The
// policy journal is on the disk, file and name, before the load, and its removal after it. A
// state file's rename is synced.
TEST_F(ToolTest, WhatIsReportedWrittenIsOnTheDisk) {
    InstallAll();
    ASSERT_EQ(Tool({"log", "on"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP9|~1084.F:\\reports"}).status, 0);
    const std::string policies = Scratch("policies.dat");
    ASSERT_EQ(Tool({"policy", "save", policies}).status, 0);
    const std::string state = Root() + "/state", spool = state + "/spool", journal = state + "/policy-journal.dat";
    const std::string exported = Scratch("machine.json");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> prepare;  // a run before it that leaves a record in the log
        bool follow;                       // interrupted once it has written a record
        std::vector<std::string> order;    // "fdatasync OUT": the run's output file synced
    };
    const Case cases[] = {
        {{"--json", "log", "show"}, {"passpath", "add", "C:\\one"}, false,
         {"rename " + spool + "/main-*", "fsync " + spool, "fsync " + spool + "/main-*", "fdatasync OUT",
          "ftruncate " + spool + "/main-*"}},
        {{"--json", "acl", "log"}, {"acl", "start"}, false,
         {"rename " + spool + "/acl-*", "fsync " + spool, "fsync " + spool + "/acl-*", "fdatasync OUT",
          "ftruncate " + spool + "/acl-*"}},
        {{"--json", "log", "follow", "--interval", "20"}, {"passpath", "add", "C:\\two"}, true,
         {"rename " + spool + "/main-*", "fsync " + spool, "fsync " + spool + "/main-*", "fdatasync OUT",
          "ftruncate " + spool + "/main-*"}},
        {{"policy", "load", policies}, {"policy", "add", "NVP10|~1084.F:\\other"}, false,
         {"fsync " + journal, "fsync " + state, "unlink " + journal, "fsync " + state}},
        {{"state", "export", exported}, {"log", "state"}, false, {"rename " + exported, "fsync " + Root() + "/scratch"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        ASSERT_EQ(Tool(c.prepare).status, 0);
        const std::string out = Scratch("out" + std::to_string(n++));
        std::vector<std::string> order = c.order;
        for (auto& call : order)
            if (call == "fdatasync OUT") call = "fdatasync " + out;
        const auto calls = CallsOf(c.args, out, [&](pid_t pid) {
            if (!c.follow) return;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (nuvex::test::ReadFileBytes(out).find('\n') == std::string::npos &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::kill(pid, SIGINT);
        });
        std::string shown;
        for (const auto& call : calls) shown += call + "\n";
        EXPECT_TRUE(InOrder(calls, order)) << shown;
    }
}

}  // namespace

// ---- state round trip, duplicate keys and size limits ------------------------------------------

// Random tables as the drivers may hold them: policy texts with empty content ("NVP51|"), a
// driver's final "|", zero runs, escaped bytes and text lists; pass paths with bytes that are not
// UTF-8; access-control policies with lists ending in "|" and driver fields.
class RandomTable {
public:
    explicit RandomTable(uint32_t seed) : rng_(seed) {}

    void PutIntoDrivers() {
        uint32_t reply = 0;
        NuvexCtrl_ResumeDriver();
        NuvexCtrl_DeleteAllPolicy(&reply);
        NuvexCtrl_DeleteAllPassPath(0);
        NuvexAccCtrl_DeleteAllPolicy();
        for (int n = Below(6); n > 0; --n) NuvexCtrl_InsertPolicyStr(PolicyText().c_str());
        if (Below(2) != 0) {
            std::string paths;
            for (int n = 1 + Below(4); n > 0; --n) paths += Chars(1 + Below(30), true) + "|";
            NuvexCtrl_AddStringPassPath(paths.c_str(), 0);
        }
        for (int n = Below(4); n > 0; --n) {
            AccPolicyRecord record{};
            record.PolicyId = 1 + Below(50);
            std::string primary = Chars(1 + Below(20), true);
            std::copy(primary.begin(), primary.end(), record.PrimaryText);
            char* lists[4] = {record.TextList1, record.TextList2, record.TextList3, record.TextList4};
            for (char* list : lists) {
                std::string text = Below(3) == 0 ? "" : Chars(Below(20), true) + (Below(2) != 0 ? "|" : "");
                std::copy(text.begin(), text.end(), list);
            }
            if (Below(2) != 0)
                for (auto& b : record.DriverFields) b = static_cast<uint8_t>(Below(256));
            NuvexAccCtrl_AddNewPolicy(&record);
        }
        if (Below(2) != 0) NuvexCtrl_StartLogging(); else NuvexCtrl_StopLogging();
        if (Below(2) != 0) NuvexAccCtrl_Start(); else NuvexAccCtrl_Stop();
        if (Below(4) == 0) NuvexCtrl_SuspendDriver();
    }

private:
    int Below(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

    // Printable characters with the policy texts' special ones, and optionally bytes above 0x7F.
    std::string Chars(int count, bool highBytes) {
        static const std::string kSpecial = "~%|\\/. :";
        std::string text;
        while (static_cast<int>(text.size()) < count) {
            int pick = Below(10);
            char c = pick == 0 ? kSpecial[Below(static_cast<int>(kSpecial.size()))]
                     : pick == 1 && highBytes ? static_cast<char>(0x80 + Below(128))
                                              : static_cast<char>('!' + Below(94));
            if (c == '|' && (text.empty() || text.back() == '|')) continue;  // no empty item
            text += c;
        }
        return text;
    }

    std::string PolicyText() {
        std::string text = "NVP" + std::to_string(1 + Below(60)) + "|";
        if (Below(4) == 0) return Below(2) != 0 ? text : text + "|";  // a policy without content
        static const char kHex[] = "0123456789ABCDEF";
        uint32_t position = NUVEX_POLICY_DRIVER_FIELDS;
        while (position < NUVEX_POLICY_ENTRY_COUNT && Below(8) != 0) {
            int pick = Below(4);
            if (pick == 0) {
                uint32_t run = 1 + static_cast<uint32_t>(Below(static_cast<int>(NUVEX_POLICY_ENTRY_COUNT - position)));
                text += "~" + std::to_string(run) + ".";
                position += run;
            } else if (pick == 1) {
                uint8_t b = static_cast<uint8_t>(Below(256));
                text += {'%', kHex[b >> 4], kHex[b & 15]};
                ++position;
            } else {
                char c = static_cast<char>('!' + Below(94));
                if (c == '%' || c == '|' || c == '~') c = 'x';
                text += c;
                ++position;
            }
        }
        if (Below(2) != 0) {  // a first text list, with an escaped "|" now and then
            text += "~" + std::to_string(NUVEX_POLICY_TEXT_LIST1 - position) + ".";
            for (int n = 1 + Below(12); n > 0; --n) text += Below(5) == 0 ? std::string("%7C") : std::string(1, static_cast<char>('a' + Below(26)));
        }
        if (Below(3) == 0) text += "|";  // the driver's final "|", given on insertion
        return text;
    }

    std::mt19937 rng_;
};

// Whatever export writes, apply takes as it is and finds nothing to change.
TEST_F(ToolTest, ExportedStateAppliesAsNoChange) {
    InstallAll();
    int tables = 20;
    if (const char* given = std::getenv("NUVEXCTL_TEST_TABLES")) tables = std::atoi(given);
    uint32_t first = static_cast<uint32_t>(std::random_device{}());
    if (const char* given = std::getenv("NUVEXCTL_TEST_SEED")) first = static_cast<uint32_t>(std::strtoul(given, nullptr, 10));
    std::string file = Scratch("state.json");
    for (int t = 0; t < tables; ++t) {
        uint32_t seed = first + static_cast<uint32_t>(t);
        SCOPED_TRACE("NUVEXCTL_TEST_SEED=" + std::to_string(seed));
        RandomTable(seed).PutIntoDrivers();
        ToolRun exported = Tool({"state", "export", file});
        ASSERT_EQ(exported.status, 0) << exported.err;
        std::string declared = nuvex::test::ReadFileBytes(file);
        ToolRun applied = Tool({"--json", "state", "apply", "--detailed-exitcode", file});
        ASSERT_EQ(applied.status, 0) << declared << applied.out << applied.err;
        ASSERT_EQ(Json(applied)["changes"], json::array()) << declared;
        ASSERT_EQ(Tool({"state", "export"}).out, declared);
    }
}

// The known edges of the round trip, exactly: a policy without content is kept, and a declared
// driver's final "|" is the held policy.
TEST_F(ToolTest, PolicyTextsWithAFinalBarRoundTrip) {
    ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP51|"}).status, 0);
    ASSERT_EQ(Tool({"policy", "add", "NVP7|abc"}).status, 0);
    std::string file = Scratch("state.json");
    ASSERT_EQ(Tool({"state", "export", file}).status, 0);
    EXPECT_NE(nuvex::test::ReadFileBytes(file).find("\"NVP51|\""), std::string::npos);
    ToolRun same = Tool({"state", "apply", "--detailed-exitcode", file});
    EXPECT_EQ(same.status, 0) << same.err;

    // Each text declared beside the other held policy, compared with the held text.
    struct Case { std::string text; std::string changes; };
    for (const Case& c : {Case{"NVP51|", "[]"}, Case{"NVP51||", "[]"}, Case{"NVP7|abc|", "[]"},
                          Case{"NVP7|abd", R"(["replace policy 7"])"}, Case{"NVP51|x", R"(["replace policy 51"])"}}) {
        std::string other = c.text.rfind("NVP51", 0) == 0 ? "NVP7|abc" : "NVP51|";
        nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "main": {"policies": [")" + other + R"(", ")" + c.text + R"("]}})");
        ToolRun dry = Tool({"--json", "state", "apply", "--dry-run", file});
        ASSERT_EQ(dry.status, 0) << c.text << dry.err;
        const json planned = Json(dry)["changes"];
        json described = json::array();
        for (const auto& change : planned) described.push_back(change["description"]);
        EXPECT_EQ(described, json::parse(c.changes)) << c.text;
    }
    // A final "|" that is the ID's own is kept: "NVP51||" applied leaves "NVP51|" in the driver.
    nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "main": {"policies": ["NVP51||"]}})");
    ASSERT_EQ(Tool({"state", "apply", file}).status, 0);
    EXPECT_EQ(Tool({"policy", "list"}).out.find("NVP7|"), std::string::npos);
    nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "main": {"policies": ["NVP51|"]}})");
    EXPECT_EQ(Tool({"state", "apply", "--detailed-exitcode", file}).status, 0);
    nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "main": {"policies": ["NVP51"]}})");
    EXPECT_EQ(Tool({"state", "apply", file}).status, 1);
    // The longest text the library hands over is taken (the driver decides whether it fits).
    for (std::size_t length : {2047u, 2048u}) {
        std::string text = "NVP5|" + std::string(length - 5, 'a');
        nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "main": {"policies": [")" + text + R"("]}})");
        EXPECT_EQ(Tool({"state", "apply", "--dry-run", file}).status, length == 2047u ? 0 : 1) << length;
    }
}

// A key given twice in one object is refused with its path, nothing changed; so are nesting far
// deeper than a state file has, and a file or an input larger than the limit.
TEST_F(ToolTest, StateFilesWithDuplicateKeysOrTooLargeAreRefused) {
    InstallAll();
    std::string zeros;  // a million values; the case adds one more
    for (int i = 0; i < 1000000; ++i) zeros += "0,";
    ASSERT_EQ(Tool({"policy", "add", "NVP9|x"}).status, 0);
    std::string before = Tool({"state", "export"}).out;
    struct Case { std::string text; std::string said; };
    const std::vector<Case> cases = {
        {R"({"nuvexctlState": 1, "main": {"policies": []}, "main": {"policies": []}})", "duplicate key \"main\" at /;"},
        {R"({"nuvexctlState": 1, "main": {"policies": [], "policies": []}})", "duplicate key \"policies\" at /main;"},
        {R"({"nuvexctlState": 1, "nuvexctlState": 1, "main": {}})", "duplicate key \"nuvexctlState\" at /;"},
        {R"({"nuvexctlState": 1, "acl": {"policies": [{"id": 4, "primaryText": "a"}, {"id": 5, "primaryText": "b", "id": 6}]}})",
         "duplicate key \"id\" at /acl/policies/1;"},
        {R"({"nuvexctlState": 1, "acl": {"policies": [{"id": 4, "primaryText": {"hex": "41", "hex": "42"}}]}})",
         "duplicate key \"hex\" at /acl/policies/0/primaryText;"},
        {R"({"a/b~": {"x": 1, "x": 2}})", "duplicate key \"x\" at /a~1b~0;"},
        {std::string(100, '[') + std::string(100, ']'), "nested more than 64 levels deep"},
        {R"({"nuvexctlState": 1, "main": {"policies": [)" + zeros + "0]}}", "holds more than 1000000 values"},
    };
    std::string file = Scratch("state.json");
    for (const Case& c : cases) {
        nuvex::test::WriteFileBytes(file, c.text);
        ToolRun run = Tool({"state", "apply", file});
        EXPECT_EQ(run.status, 1) << c.text;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << c.text << "\n" << run.err;
        EXPECT_NE(run.err.find("nothing changed"), std::string::npos) << run.err;
        ToolRun piped = Tool({"state", "apply", "-"}, c.text);
        EXPECT_EQ(piped.status, 1) << c.text;
        EXPECT_NE(piped.err.find(c.said), std::string::npos) << c.text << "\n" << piped.err;
    }
    // Keys repeated in different objects are no duplicates.
    nuvex::test::WriteFileBytes(file, R"({"nuvexctlState": 1, "acl": {"policies": [{"id": 4, "primaryText": "a"}, {"id": 5, "primaryText": "b"}]}})");
    EXPECT_EQ(Tool({"state", "apply", "--dry-run", file}).status, 0);

    const std::string limit = "larger than the limit of 67108864 bytes";
    std::string big = Scratch("big.json");
    { std::ofstream(big) << ""; }
    fs::resize_file(big, (64u << 20) + 1);
    ToolRun large = Tool({"state", "apply", big});
    EXPECT_EQ(large.status, 1);
    EXPECT_NE(large.err.find(limit), std::string::npos) << large.err;
    // Standard input without an end is read only up to the limit.
    std::string endless = "'" + (BinDir() / "nuvexctl").string() + "' state apply - </dev/zero 2>" + Scratch("err");
    int status = std::system(endless.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(nuvex::test::ReadFileBytes(Scratch("err")).find(limit), std::string::npos);
    EXPECT_EQ(Tool({"state", "export"}).out, before);
}

// The status a run over a tree gave each file, by its name below the tree.
std::map<std::string, std::string> StatusByName(const json& summary, const std::string& tree) {
    std::map<std::string, std::string> statuses;
    for (const auto& entry : summary["files"]) statuses[Bytes(entry["file"]).substr(tree.size() + 1)] = entry["status"];
    return statuses;
}

// Only names ending in ".lumadtmp<digits>" are the library's temporary files; they are never
// worked on and are reported as stale. A '\' inside a name on Linux would make the library
// work on another file (`x\y.txt` is read as `x/y.txt`): such a file is reported failed.
TEST_F(ToolTest, WalkTellsTemporaryAndUnaddressableNamesApart) {
    std::string tree = Scratch("names");
    fs::create_directories(tree + "/x");
    struct Case {
        const char* name;
        const char* status;  // after `doc encrypt -r`
        bool changed;        // the file's bytes were replaced by a document
    };
    const Case cases[] = {
        {"notes.lumadtmp.txt", "encrypted", true},
        {"report.lumadtmp", "encrypted", true},
        {"a.lumadtmpx1", "encrypted", true},
        {"x/y.txt", "encrypted", true},
        {"a.txt.lumadtmp3", "skipped: stale temporary file", false},
        {"b.lumadtmp12", "skipped: stale temporary file", false},
        {"x\\y.txt", "failed", false},
    };
    for (const auto& c : cases) nuvex::test::WriteFileBytes(tree + "/" + c.name, std::string("plain ") + c.name);

    ToolRun run = Tool({"--json", "doc", "encrypt", "--key-file", DocKey(), "-r", tree});
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_TRUE(OneDocument(run.out)) << run.out;
    json summary = Json(run);
    EXPECT_EQ(summary["done"], 4);
    EXPECT_EQ(summary["staleTemporary"], 2);
    EXPECT_EQ(summary["failed"], 1);
    auto statuses = StatusByName(summary, tree);
    for (const auto& c : cases) {
        EXPECT_EQ(statuses[c.name], c.status) << c.name;
        EXPECT_EQ(nuvex::test::ReadFileBytes(tree + "/" + c.name) != std::string("plain ") + c.name, c.changed) << c.name;
    }
    EXPECT_NE(run.err.find("stale temporary file"), std::string::npos) << run.err;

    // Named on the command line, the same names are refused or set apart; every skip is listed
    // in the summary for people too.
    ToolRun named = Tool({"doc", "encrypt", "--key-file", DocKey(), tree + "/x\\y.txt", tree + "/b.lumadtmp12", tree + "/x/y.txt"});
    EXPECT_EQ(named.status, 1);
    EXPECT_NE(named.out.find("skipped " + tree + "/b.lumadtmp12 (stale temporary file)"), std::string::npos) << named.out;
    EXPECT_NE(named.out.find("skipped " + tree + "/x/y.txt (already a document)"), std::string::npos) << named.out;
    EXPECT_EQ(nuvex::test::ReadFileBytes(tree + "/x\\y.txt"), "plain x\\y.txt");
}

// `doc clean` removes a temporary file only when the file it was to replace is there and whole;
// one with nothing beside it is kept (it may be the only copy) and the run says so.
TEST_F(ToolTest, DocCleanRemovesTemporaryFilesOnlyBesideWholeFiles) {
    std::string tree = Scratch("clean");
    fs::create_directories(tree + "/sub");
    nuvex::test::WriteFileBytes(tree + "/doc.txt", "to be a document");
    ASSERT_EQ(Tool({"doc", "encrypt", "--key-file", DocKey(), tree + "/doc.txt"}).status, 0);
    nuvex::test::WriteFileBytes(tree + "/sub/plain.txt", "plain");
    nuvex::test::WriteFileBytes(tree + "/notes.lumadtmp.txt", "a user's file");
    struct Case {
        const char* name;
        const char* status;
    };
    const Case cases[] = {
        {"doc.txt.lumadtmp1", "removed"},        // decrypt cut off: plain text beside the document
        {"sub/plain.txt.lumadtmp2", "removed"},  // encrypt cut off: the plain file is intact
        {"gone.txt.lumadtmp1", "kept"},          // nothing beside it
    };
    for (const auto& c : cases) nuvex::test::WriteFileBytes(tree + "/" + c.name, "partial");

    ToolRun run = Tool({"--json", "doc", "clean", "-r", tree});
    EXPECT_EQ(run.status, 1) << run.err;  // something was kept
    json summary = Json(run);
    EXPECT_EQ(summary["removed"], 2);
    EXPECT_EQ(summary["kept"], 1);
    auto statuses = StatusByName(summary, tree);
    for (const auto& c : cases) {
        EXPECT_EQ(statuses[c.name], c.status) << c.name;
        EXPECT_EQ(fs::exists(tree + "/" + c.name), std::string(c.status) == "kept") << c.name;
    }
    EXPECT_EQ(statuses.count("notes.lumadtmp.txt"), 0u);
    EXPECT_TRUE(fs::exists(tree + "/notes.lumadtmp.txt"));
    EXPECT_EQ(Tool({"--json", "doc", "info", tree + "/doc.txt"}).out.find("\"document\": true") != std::string::npos, true);

    // Named files: the temporary files beside them are looked at; nothing left means success.
    nuvex::test::WriteFileBytes(tree + "/doc.txt.lumadtmp7", "partial");
    ToolRun beside = Tool({"doc", "clean", tree + "/doc.txt"});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_NE(beside.out.find("removed 1, kept 0"), std::string::npos) << beside.out;
    EXPECT_FALSE(fs::exists(tree + "/doc.txt.lumadtmp7"));
}

// An interrupt during a run over a tree cancels the file under way (left as it was), starts no
// other, prints the one JSON document and exits with 128 + the signal; no temporary file is left
// behind, and every file is either done, cancelled, skipped or not started. Twenty runs over
// 3000 files, each interrupted at another point; encrypting until every file is a document,
// then decrypting.
TEST_F(ToolTest, InterruptedWalkCancelsTheFileUnderWayAndSummarises) {
    std::string tree = Scratch("walk");
    fs::create_directories(tree);
    constexpr int kFiles = 3000, kRuns = 20;
    const std::string body = "figures\n";
    for (int i = 0; i < kFiles; ++i) nuvex::test::WriteFileBytes(tree + "/f" + std::to_string(i) + ".txt", body);
    auto documents = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(tree)) {
            std::error_code ec;
            auto size = fs::file_size(entry.path(), ec);
            count += !ec && size != body.size();
        }
        return count;
    };
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    std::mt19937 random(2026);
    bool encrypting = true;
    int interrupted = 0;
    for (int run = 0; run < kRuns; ++run) {
        const int signal = signals[run % 3];
        const int before = documents();
        if (before == kFiles) encrypting = false;
        if (before == 0) encrypting = true;
        const char* verb = encrypting ? "encrypt" : "decrypt";
        SCOPED_TRACE("run " + std::to_string(run) + ": " + verb + ", " + strsignal(signal));
        fs::path in = Scratch("walk.in"), out = Scratch("walk.out"), err = Scratch("walk.err");
        nuvex::test::WriteFileBytes(in.string(), "");
        pid_t pid = Start({"--json", "doc", verb, "--key-file", DocKey(), "--jobs", "2", "-r", tree}, in, out, err);
        ASSERT_GT(pid, 0);
        // Once the run is at work, a little later each time.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (documents() == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        ::kill(pid, signal);
        const int status = Wait(pid);
        std::string text = nuvex::test::ReadFileBytes(out.string());
        ASSERT_TRUE(OneDocument(text)) << text << nuvex::test::ReadFileBytes(err.string());
        json summary = json::parse(text);
        if (summary["interrupted"] == true) {
            ++interrupted;
            EXPECT_EQ(status, 128 + signal);
            EXPECT_EQ(summary["ok"], false);
        } else {
            EXPECT_EQ(status, 0);  // the run had finished before the signal came
        }
        EXPECT_LE(summary["cancelled"].get<int>(), 2);  // one per job at most
        EXPECT_EQ(summary["done"].get<int>() + summary["cancelled"].get<int>() + summary["notStarted"].get<int>() +
                      summary["skipped"].get<int>(),
                  kFiles);
        EXPECT_EQ(std::abs(documents() - before), summary["done"].get<int>());
        for (const auto& entry : fs::directory_iterator(tree))
            ASSERT_EQ(entry.path().filename().string().find(".lumadtmp"), std::string::npos) << entry.path();
    }
    EXPECT_GE(interrupted, kRuns / 2);
}

// Several files at once: each file is worked on once, and the report lists them in the same
// order whatever the number of jobs.
TEST_F(ToolTest, JobsKeepTheReportOrderAndWorkOnEveryFileOnce) {
    const std::string tree = Scratch("jobs");
    fs::create_directories(tree + "/sub");
    std::map<std::string, std::string> plain;
    for (int i = 0; i < 200; ++i) {
        const std::string name = tree + (i % 3 ? "/f" : "/sub/f") + std::to_string(i) + ".txt";
        plain[name] = std::string(static_cast<std::size_t>(i) * 97, static_cast<char>('a' + i % 26));
        nuvex::test::WriteFileBytes(name, plain[name]);
    }
    auto order = [](const json& summary) {
        std::vector<std::string> files;
        for (const auto& entry : summary["files"]) files.push_back(entry["file"].get<std::string>() + " " + entry["status"].get<std::string>().substr(0, 4));
        return files;
    };
    struct Case { const char* verb; const char* jobs; };
    std::vector<std::string> first;
    for (const Case& c : {Case{"encrypt", "4"}, Case{"decrypt", "1"}, Case{"encrypt", "1"}, Case{"decrypt", "3"}}) {
        SCOPED_TRACE(std::string(c.verb) + " --jobs " + c.jobs);
        ToolRun run = Tool({"--json", "doc", c.verb, "--key-file", DocKey(), "--jobs", c.jobs, "-r", tree});
        ASSERT_EQ(run.status, 0) << run.err;
        json summary = Json(run);
        EXPECT_EQ(summary["done"], 200);
        std::vector<std::string> files = order(summary);
        for (auto& file : files) file = file.substr(0, file.size() - 5);
        if (first.empty()) first = files;
        EXPECT_EQ(files, first);
    }
    for (const auto& [name, bytes] : plain) EXPECT_TRUE(nuvex::test::ReadFileBytes(name) == bytes) << name;
    EXPECT_EQ(Tool({"doc", "encrypt", "--key-file", DocKey(), "--jobs", "0", tree}).status, 2);
}

// An interrupt while a large file is being enciphered cancels that call: the file keeps its
// plain bytes, the temporary file is gone, and the summary says so.
TEST_F(ToolTest, InterruptCancelsTheLargeFileUnderWay) {
    const std::string tree = Scratch("large");
    fs::create_directories(tree);
    const std::string file = tree + "/large.bin";
    const std::string plain(96u << 20, 'p');
    nuvex::test::WriteFileBytes(file, plain);
    fs::path in = Scratch("large.in"), out = Scratch("large.out"), err = Scratch("large.err");
    nuvex::test::WriteFileBytes(in.string(), "");
    pid_t pid = Start({"--json", "doc", "encrypt", "--key-file", DocKey(), file}, in, out, err);
    ASSERT_GT(pid, 0);
    auto temporary = [&] {
        for (const auto& entry : fs::directory_iterator(tree))
            if (entry.path().filename().string().find(".lumadtmp") != std::string::npos) return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!temporary() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 130) << nuvex::test::ReadFileBytes(err.string());
    json summary = json::parse(nuvex::test::ReadFileBytes(out.string()));
    EXPECT_EQ(summary["interrupted"], true);
    // The copy may have been complete before the signal came; then the file is a document.
    if (summary["cancelled"] == 1) {
        EXPECT_EQ(summary["done"], 0);
        EXPECT_EQ(summary["files"][0]["status"], "cancelled");
        EXPECT_TRUE(nuvex::test::ReadFileBytes(file) == plain);
    } else {
        EXPECT_EQ(summary["done"], 1);
    }
    EXPECT_FALSE(temporary());
}

// ---- walks through trees other users can change ------------------------------------------------

// What a run that left its tree would have changed in a file: its bytes, owner and mode.
struct FileState {
    std::string bytes;
    uid_t owner = 0;
    mode_t mode = 0;
    bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    return {nuvex::test::ReadFileBytes(path), st.st_uid, st.st_mode & 07777};
}

// A file of `owner`'s with `bytes` and `mode`; a document made under `key` when `key` is not empty.
bool MakeFile(const std::string& path, const std::string& bytes, uid_t owner, mode_t mode,
              const std::vector<uint8_t>& key = {}) {
    nuvex::test::WriteFileBytes(path, bytes);
    const auto length = static_cast<uint32_t>(key.size());
    if (!key.empty() && NuvexCtrlEx_EncryptFile(path.c_str(), key.data(), length, nullptr, nullptr) != 0) return false;
    return ::lchown(path.c_str(), owner, owner) == 0 && ::chmod(path.c_str(), mode) == 0;
}

bool MakeFolder(const std::string& path, uid_t owner, mode_t mode) {
    return ::mkdir(path.c_str(), mode) == 0 && ::lchown(path.c_str(), owner, owner) == 0 && ::chmod(path.c_str(), mode) == 0;
}

// The tool's runs while it lives have walk_swap.c preloaded: just before the `call`-th call of a
// document export, the other user renames `name` to `aside` and puts a link to `target` there.
class SwapBeforeCall {
public:
    SwapBeforeCall(long call, const std::string& name, const std::string& aside, const std::string& target) {
        ::setenv("LD_PRELOAD", NUVEXCTL_WALK_SWAP_LIBRARY, 1);
        ::setenv("NUVEXCTL_SWAP_AT", std::to_string(call).c_str(), 1);
        ::setenv("NUVEXCTL_SWAP_NAME", name.c_str(), 1);
        ::setenv("NUVEXCTL_SWAP_ASIDE", aside.c_str(), 1);
        ::setenv("NUVEXCTL_SWAP_TARGET", target.c_str(), 1);
        ::setenv("NUVEXCTL_SWAP_UID", std::to_string(nuvex::test::kOtherUser).c_str(), 1);
    }
    ~SwapBeforeCall() {
        for (const char* name : {"LD_PRELOAD", "NUVEXCTL_SWAP_AT", "NUVEXCTL_SWAP_NAME", "NUVEXCTL_SWAP_ASIDE",
                                 "NUVEXCTL_SWAP_TARGET", "NUVEXCTL_SWAP_UID"})
            ::unsetenv(name);
    }
    SwapBeforeCall(const SwapBeforeCall&) = delete;
    SwapBeforeCall& operator=(const SwapBeforeCall&) = delete;
};

// The tool's runs while it lives may open at most `descriptors` files at once.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t descriptors) {
        ::getrlimit(RLIMIT_NOFILE, &before_);
        rlimit lower = before_;
        lower.rlim_cur = std::min(descriptors, before_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &lower);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &before_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

private:
    rlimit before_{};
};

// `doc encrypt -r`, `doc decrypt -r` and `doc clean -r` reach every file through the folders
// they listed, held open, and never follow a link below the folders named: a folder inside the
// tree that its owner (another user) swaps for a link to a folder outside it once the listing is
// done, or a file of theirs swapped for a link to a file outside, never steers root's run
// outside the tree. The tree is root's and holds their folder `their`, with `sub` in it holding
// a plain file, a document and a temporary file of theirs; outside, in a folder only root may
// enter, are a plain file of root's, a document of a third user's and a temporary file beside
// it under the same names. The folder is swapped before another call of each trial
// (NUVEXCTL_WALK_SWAP_TRIALS trials, 20 by default), one or two jobs at once.
TEST_F(ToolTest, WalksNeverLeaveTheirTree) {
    NUVEX_NEEDS_OTHER_USER();
    nuvex::test::SharedFolder shared;
    ASSERT_TRUE(shared.ok());
    const std::string tree = shared / "tree", their = tree + "/their", sub = their + "/sub", aside = their + "/moved";
    const std::string outside = shared / "private", key = DocKey();
    const std::vector<uint8_t> keyBytes = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    constexpr uid_t kThirdUser = 12345;
    const uid_t other = nuvex::test::kOtherUser;
    int trials = 20;
    if (const char* given = std::getenv("NUVEXCTL_WALK_SWAP_TRIALS")) trials = std::atoi(given);
    const std::vector<std::string> names = {"doc.txt", "doc.txt.lumadtmp1", "plain.txt"};

    struct Case {
        const char* verb;
        const char* jobs;     // nullptr: the verb takes neither a key nor jobs
        const char* swapped;  // below `their`: the folder "sub", or a file in it
        int trials;           // 0: NUVEXCTL_WALK_SWAP_TRIALS
    };
    const Case cases[] = {
        {"encrypt", "1", "sub", 0},          {"encrypt", "2", "sub", 0},
        {"decrypt", "1", "sub", 0},          {"decrypt", "2", "sub", 0},
        {"encrypt", "1", "sub/plain.txt", 2}, {"encrypt", "2", "sub/plain.txt", 2},
        {"decrypt", "1", "sub/doc.txt", 2},   {"decrypt", "2", "sub/doc.txt", 2},
        {"clean", nullptr, "sub", 2},
    };
    for (const Case& c : cases) {
        const std::string verb = c.verb;
        const bool folder = std::string(c.swapped) == "sub";
        for (int trial = 0; trial < (c.trials == 0 ? trials : c.trials); ++trial) {
            SCOPED_TRACE(verb + " --jobs " + (c.jobs ? c.jobs : "-") + ", " + c.swapped + " swapped, trial " + std::to_string(trial));
            fs::remove_all(tree);
            fs::remove_all(outside);
            // Files of root's beside their folder: the run works on them before or after the swap.
            ASSERT_TRUE(MakeFolder(tree, 0, 0755));
            for (const char* name : {"/f1.txt", "/f2.txt", "/f3.txt"})
                ASSERT_TRUE(MakeFile(tree + name, "root's figures\n", 0, 0644,
                                     verb == "decrypt" ? keyBytes : std::vector<uint8_t>{}));
            ASSERT_TRUE(MakeFolder(their, other, 0755));
            ASSERT_TRUE(MakeFolder(sub, other, 0755));
            ASSERT_TRUE(MakeFile(sub + "/plain.txt", "their plain text\n", other, 0644));
            ASSERT_TRUE(MakeFile(sub + "/doc.txt", "their document\n", other, 0644, keyBytes));
            ASSERT_TRUE(MakeFile(sub + "/doc.txt.lumadtmp1", "their partial text\n", other, 0644));
            ASSERT_TRUE(MakeFolder(outside, 0, 0700));
            ASSERT_TRUE(MakeFile(outside + "/plain.txt", "root's plain text\n", 0, 0600));
            ASSERT_TRUE(MakeFile(outside + "/doc.txt", "the third user's document\n", kThirdUser, 0600, keyBytes));
            ASSERT_TRUE(MakeFile(outside + "/doc.txt.lumadtmp1", "the third user's partial text\n", kThirdUser, 0600));
            std::map<std::string, FileState> before;
            for (const auto& name : names) before[name] = StateOf(outside + "/" + name);

            // The folder swapped before one of the first four calls; a file, and the folder
            // for `doc clean` (which asks about one file), before the first.
            const std::string name = their + "/" + c.swapped;
            std::vector<std::string> args{"--json", "doc", c.verb};
            if (c.jobs != nullptr) args.insert(args.end(), {"--key-file", key, "--jobs", c.jobs});
            args.insert(args.end(), {"-r", tree});
            ToolRun run;
            {
                SwapBeforeCall swap(folder && c.jobs != nullptr ? 1 + trial % 4 : 1, name, aside,
                                    folder ? outside : outside + name.substr(sub.size()));
                run = Tool(args);
            }
            ASSERT_TRUE(fs::exists(aside)) << "the swap was not made: " << run.err;
            EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
            ASSERT_TRUE(OneDocument(run.out)) << run.out << run.err;
            std::map<std::string, FileState> after;
            for (const auto& entry : fs::directory_iterator(outside))
                after[entry.path().filename().string()] = StateOf(entry.path().string());
            EXPECT_TRUE(after == before) << run.out;
            // A file swapped for a link is never followed: the run says it failed.
            if (!folder) EXPECT_EQ(StatusByName(Json(run), tree)["their/" + std::string(c.swapped)], "failed") << run.out;
        }
    }
}

// A walk keeps a bounded number of folders open, whatever the tree: one deeper than the
// descriptors a run may have, and wide besides, is encrypted and decrypted whole, with one job
// or two, and every file gets its own bytes back.
TEST_F(ToolTest, TreesDeeperThanTheDescriptorLimitAreWalkedWhole) {
    const std::string tree = Scratch("deep");
    std::map<std::string, std::string> plain;
    std::string folder = tree;
    for (int depth = 0; depth < 120; ++depth) {
        folder += "/d";
        plain[folder + "/f.txt"] = "level " + std::to_string(depth) + "\n";
    }
    for (int i = 0; i < 80; ++i) plain[tree + "/w" + std::to_string(i) + "/f.txt"] = "wide " + std::to_string(i) + "\n";
    for (const auto& [name, bytes] : plain) {
        fs::create_directories(fs::path(name).parent_path());
        nuvex::test::WriteFileBytes(name, bytes);
    }
    struct Case {
        const char* verb;
        const char* jobs;
    };
    for (const Case& c : {Case{"encrypt", "1"}, Case{"decrypt", "2"}, Case{"encrypt", "2"}, Case{"decrypt", "1"}}) {
        SCOPED_TRACE(std::string(c.verb) + " --jobs " + c.jobs);
        ToolRun run;
        {
            DescriptorLimit limit(48);
            run = Tool({"--json", "doc", c.verb, "--key-file", DocKey(), "--jobs", c.jobs, "-r", tree});
        }
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Json(run)["done"], 200);
        EXPECT_EQ(Json(run)["failed"], 0);
    }
    for (const auto& [name, bytes] : plain) EXPECT_EQ(nuvex::test::ReadFileBytes(name), bytes) << name;
}
