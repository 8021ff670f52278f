// nuvexctl run as a subprocess, as an administrator or a script would run it, against the
// simulated drivers on a temporary machine root.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine_root.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path BinDir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ToolRun Tool(const std::vector<std::string>& args, const std::string& input = "") {
    char dir[] = "/tmp/nuvexctl-run-XXXXXX";
    fs::path tmp = ::mkdtemp(dir);
    fs::path in = tmp / "in", out = tmp / "out", err = tmp / "err";
    std::ofstream(in) << input;
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
    ToolRun run;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = Slurp(out);
    run.err = Slurp(err);
    fs::remove_all(tmp);
    return run;
}

json Json(const ToolRun& run) { return json::parse(run.out); }

class ToolTest : public nuvex::test::MachineRootTest {
protected:
    void TearDown() override {
        // Leave no driver running, whatever the test did.
        Tool({"driver", "uninstall", "main"});
        Tool({"driver", "uninstall", "acl"});
        Tool({"driver", "uninstall", "monitor"});
        for (const char* pidFile : {"Nuvex.pid", "NuvexACL.pid", "NuvexMon.pid"}) {
            std::ifstream in(Root() + "/Drivers/" + pidFile);
            int pid = 0;
            if (in >> pid && pid > 0) ::kill(pid, SIGKILL);
        }
        MachineRootTest::TearDown();
    }
    void InstallAll() {
        ASSERT_EQ(Tool({"driver", "install", "main"}).status, 0);
        ASSERT_EQ(Tool({"driver", "install", "acl"}).status, 0);
        ASSERT_EQ(Tool({"driver", "install", "monitor"}).status, 0);
    }
};

TEST_F(ToolTest, HelpOfEveryVerbSucceedsWithAnExample) {
    std::vector<std::vector<std::string>> verbs = {
        {}, {"status"}, {"driver"}, {"driver", "install"}, {"driver", "uninstall"}, {"driver", "suspend"},
        {"driver", "resume"}, {"log"}, {"log", "on"}, {"log", "off"}, {"log", "clear"}, {"log", "show"},
        {"doc"}, {"doc", "encrypt"}, {"doc", "decrypt"}, {"doc", "info"}, {"doc", "guid"}, {"doc", "rights"},
        {"doc", "rights", "get"}, {"doc", "rights", "set"}, {"doc", "rights", "clear"}, {"doc", "print-count"},
        {"policy"}, {"policy", "list"}, {"policy", "add"}, {"policy", "save"}, {"policy", "load"},
        {"acl"}, {"acl", "policy"}, {"acl", "log"}, {"passpath"}, {"passpath", "add"}, {"key", "set"},
        {"syskey", "set"}, {"signcode"}, {"procs"}, {"docs"}, {"demo"}, {"codes"}};
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
    EXPECT_NE(absent.err.find("not reachable"), std::string::npos);

    std::string plain = Scratch("plain.txt");
    nuvex::test::WriteFileBytes(plain, "hello");
    ToolRun notDoc = Tool({"doc", "decrypt", plain});
    EXPECT_NE(notDoc.status, 0);
    ToolRun guid = Tool({"doc", "guid", plain});
    EXPECT_NE(guid.status, 0);
    EXPECT_NE(guid.err.find("not an encrypted document (1530)"), std::string::npos) << guid.err;

    ToolRun missing = Tool({"doc", "encrypt", Scratch("missing.txt")});
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
    ToolRun encrypt = Tool({"--json", "doc", "encrypt", file});
    ASSERT_EQ(encrypt.status, 0) << encrypt.err;
    EXPECT_EQ(Json(encrypt)["done"], 1);
    ToolRun again = Tool({"--json", "doc", "encrypt", file});
    EXPECT_EQ(Json(again)["skipped"], 1);
    ToolRun info = Tool({"--json", "doc", "info", file});
    ASSERT_EQ(info.status, 0);
    EXPECT_EQ(Json(info)["document"], true);
    EXPECT_EQ(Json(info)["rights"]["present"], false);

    std::string password = Scratch("pw");
    nuvex::test::WriteFileBytes(password, "s3cret\n");
    ASSERT_EQ(Tool({"doc", "rights", "set", file, "--print", "4", "--password-file", password}).status, 0);
    ToolRun rights = Tool({"--json", "doc", "rights", "get", file});
    EXPECT_EQ(Json(rights)["rights"]["printCount"], 4);
    ToolRun wrong = Tool({"doc", "rights", "clear", file, "--password-stdin"}, "nope\n");
    EXPECT_NE(wrong.status, 0);
    EXPECT_NE(wrong.err.find("wrong rights password (1240)"), std::string::npos) << wrong.err;
    EXPECT_EQ(Tool({"doc", "rights", "clear", file, "--password-stdin"}, "s3cret\n").status, 0);

    ASSERT_EQ(Tool({"doc", "decrypt", file}).status, 0);
    EXPECT_EQ(nuvex::test::ReadFileBytes(file), "quarterly figures\n");
}

TEST_F(ToolTest, EveryFamilyAgainstTheSimulatedDrivers) {
    InstallAll();
    ToolRun status = Tool({"--json", "status"});
    ASSERT_EQ(status.status, 0);
    EXPECT_EQ(Json(status)["main"]["running"], true);
    EXPECT_EQ(Json(status)["acl"]["running"], true);

    EXPECT_EQ(Tool({"log", "on"}).status, 0);
    EXPECT_EQ(Tool({"key", "set", "--hex", "0102030405"}).status, 0);
    EXPECT_EQ(Tool({"syskey", "set", "--hex", "0f0e0d0c"}).status, 0);

    std::string dir = Scratch("tree");
    fs::create_directories(dir + "/sub");
    nuvex::test::WriteFileBytes(dir + "/a.txt", "alpha");
    nuvex::test::WriteFileBytes(dir + "/sub/b.txt", "beta");
    ToolRun tree = Tool({"--json", "doc", "encrypt", "-r", dir});
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(Json(tree)["done"], 2);

    std::string pw = Scratch("pw");
    nuvex::test::WriteFileBytes(pw, "pw\n");
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
    std::string file = Scratch("policies.dat");
    ASSERT_EQ(Tool({"policy", "save", file}).status, 0);
    ASSERT_EQ(Tool({"policy", "clear"}).status, 0);
    EXPECT_EQ(Json(Tool({"--json", "policy", "list"}))["policies"].size(), 0u);
    ASSERT_EQ(Tool({"policy", "load", file}).status, 0);
    EXPECT_EQ(Json(Tool({"--json", "policy", "list"}))["policies"], Json(texts)["policies"]);

    ASSERT_EQ(Tool({"acl", "start"}).status, 0);
    ASSERT_EQ(Tool({"acl", "policy", "add", "4", "--primary", "C:\\secret", "--list", "a|"}).status, 0);
    ToolRun acl = Tool({"--json", "acl", "policy", "list"});
    EXPECT_EQ(Json(acl)["policies"][0]["textList1"], "a");
    ToolRun aclLog = Tool({"--json", "acl", "log"});
    EXPECT_GE(Json(aclLog)["records"].size(), 1u);

    ToolRun log = Tool({"--json", "log", "show"});
    ASSERT_EQ(log.status, 0);
    EXPECT_GE(Json(log)["entries"].size(), 1u);
    EXPECT_EQ(Tool({"--json", "procs"}).status, 0);
    EXPECT_EQ(Tool({"--json", "docs"}).status, 0);

    EXPECT_EQ(Tool({"driver", "uninstall", "main"}).status, 0);
    EXPECT_EQ(Tool({"driver", "uninstall", "acl"}).status, 0);
    EXPECT_EQ(Tool({"driver", "uninstall", "monitor"}).status, 0);
    ToolRun after = Tool({"--json", "status"});
    EXPECT_EQ(Json(after)["main"]["running"], false);
}

TEST_F(ToolTest, ResultCodePageIsGeneratedFromTheTable) {
    ToolRun markdown = Tool({"codes", "--markdown"});
    ASSERT_EQ(markdown.status, 0);
    fs::path page = fs::path(NUVEX_SOURCE_DIR) / "docs" / "result-codes.md";
    EXPECT_EQ(markdown.out, Slurp(page)) << "regenerate with: nuvexctl codes --markdown > docs/result-codes.md";
}

}  // namespace
