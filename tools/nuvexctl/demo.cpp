// `nuvexctl demo`: a guided tour on a fresh machine root of the host platform. Every step is
// run as the nuvexctl command a person would type, printed before its output.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "commands.h"
#include "nuvexctrl.h"
#include "output.h"
#include "tool_files.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

#if !defined(_WIN32)
std::string SelfPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).string();
}

// Runs this tool with `args`, showing the command first; returns its exit status.
int Step(const std::vector<std::string>& args, bool mayFail = false) {
    std::string shown = "$ nuvexctl";
    for (const auto& a : args) shown += " " + (a.find(' ') != std::string::npos ? "'" + a + "'" : a);
    std::cout << "\n" << shown << "\n" << std::flush;
    std::string self = SelfPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("nuvexctl"));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // No step reads standard input: a step that would ask at a prompt refuses instead.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return 127;
    int status = 0;
    waitpid(pid, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (code != 0 && !mayFail) std::cout << "(step failed with exit status " << code << ")\n";
    return code;
}

void Explain(const std::string& text) { std::cout << "\n== " << text << "\n"; }

// The tour's own files (a key, a password, samples) are written as the tool writes any file: a
// new file for its owner only, never through a name or a link already there.
struct DemoFiles {
    int failures = 0;
    void Write(const fs::path& path, const std::string& bytes) {
        std::string why;
        if (ReplaceFileWith(path, bytes, why)) return;
        ++failures;
        std::cout << "(cannot write " << path.string() << ": " << why << ")\n";
    }
};

// The largest file the tour compares.
constexpr std::size_t kLargestSample = 64u << 20;

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::string x, y, why;
    return ReadRegularFile(a, kLargestSample, x, why) && ReadRegularFile(b, kLargestSample, y, why) && x == y;
}

int RunDemo(const std::string& keepRoot) {
    // A fresh machine root for the emulated Windows machine, unless one is named. A named one
    // must be the caller's own, as the host platform wants a machine root: a folder that another
    // user made or may write could hold links that steer the tour's key file to a file of their
    // choosing (and the machine in it would not be used anyway).
    fs::path root;
    bool removeRoot = keepRoot.empty();
    std::string why;
    if (removeRoot) {
        char pattern[] = "/tmp/nuvex-demo-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return ReportError("cannot create a machine root under /tmp");
        root = pattern;
    } else {
        root = keepRoot;
        std::error_code ec;
        if (root.has_parent_path()) fs::create_directories(root.parent_path(), ec);
        if (!OwnFolder(root, why))
            return ReportError("the machine root " + keepRoot + " " + why + "; nothing was done");
    }
    ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
    fs::path work = root / "demo-files";
    if (!OwnFolder(work, why)) return ReportError("the tour's folder " + work.string() + " " + why + "; nothing was done");
    DemoFiles files;

    std::cout << "Nuvexctrl demo tour\n"
                 "The emulated Windows machine lives in " << root.string() << "\n"
                 "(registry, system directory, drivers and their control devices are under it).\n";
    int& failures = files.failures;
    auto must = [&](const std::vector<std::string>& args) {
        if (Step(args) != 0) ++failures;
    };

    Explain("Install the three drivers through the library. With no source path the library takes "
            "Nuvex.sys, NuvexACL.sys and NuvexMon.sys from beside the calling program.");
    must({"driver", "install", "main"});
    must({"driver", "install", "acl"});
    must({"driver", "install", "monitor"});
    must({"status"});
    Explain("Switch the main driver's log on, so that it records what the tour does.");
    must({"log", "on"});

    Explain("A document key in a file only its owner can read (never on the command line), handed to the "
            "main driver. The library keeps a key only in the process that set it, and every nuvexctl run "
            "is a process of its own, so every run that enciphers or deciphers documents names its key too.");
    fs::path keyFile = root / "document.key";
    files.Write(keyFile, "4e757665782064656d6f206b65792032303236\n");
    const std::string key = keyFile.string();
    must({"key", "set", "--key-file", key});

    Explain("Make a few sample files and one larger one, then encrypt the whole folder under that key.");
    files.Write(work / "letter.txt", "Dear reader,\nthis letter is protected by Nuvex.\n");
    files.Write(work / "budget.csv", "item,amount\nservers,12000\nlicences,3400\n");
    files.Write(work / "empty.txt", "");
    {
        std::mt19937 random(2026);
        std::string big(24u << 20, '\0');
        for (auto& c : big) c = static_cast<char>(random());
        files.Write(work / "archive.bin", big);
        files.Write(root / "archive.original", big);
    }
    Explain("Without a key the run refuses, rather than using the built-in key every copy of the library holds.");
    Step({"doc", "encrypt", "-r", work.string()}, true);
    must({"doc", "encrypt", "--key-file", key, "-r", work.string()});
    Explain("Encrypting again skips what already is a document.");
    must({"doc", "encrypt", "--key-file", key, (work / "letter.txt").string()});
    must({"doc", "info", (work / "letter.txt").string()});

    Explain("Rights: the first call fixes the rights password; the print count can also be read and "
            "written through the driver.");
    fs::path password = root / "password.txt";
    files.Write(password, "correct horse\n");
    must({"doc", "rights", "set", (work / "letter.txt").string(), "--print", "3", "--count", "10",
          "--password-file", password.string()});
    must({"doc", "rights", "get", (work / "letter.txt").string()});
    must({"doc", "print-count", "set", (work / "letter.txt").string(), "2"});
    must({"doc", "print-count", "get", (work / "letter.txt").string()});
    must({"doc", "guid", (work / "letter.txt").string()});
    must({"docs"});

    Explain("Pass paths: the driver lets these pass; --persist also records them in the pass-path file.");
    must({"passpath", "add", "C:\\build", "D:\\scratch", "--persist"});
    must({"passpath", "list"});

    Explain("Policies in both forms: a record built field by field, and a text as the driver renders it.");
    must({"policy", "add", "--record", "--list", "C:\\docs|D:\\work", "--list", "winword.exe|excel.exe", "--value", "7"});
    must({"policy", "add", "--record", "--list", "E:\\finance", "--value", "1", "--value", "2"});
    Explain("A policy given as text: three-character lead, the policy ID, \"|\", then its fields.");
    must({"policy", "add", "NVP3|~1084.F:\\reports"});
    must({"policy", "show", "3"});
    must({"policy", "list"});
    must({"policy", "list", "--records"});
    fs::path policyFile = root / "policies.dat";
    Explain("Save the policy table to an enciphered file, clear it, and load it back.");
    must({"policy", "save", policyFile.string()});
    must({"policy", "clear"});
    must({"policy", "list"});
    must({"policy", "load", policyFile.string()});
    must({"policy", "list"});

    Explain("The access-control driver keeps its own policies and log.");
    must({"acl", "start"});
    must({"acl", "policy", "add", "4", "--primary", "C:\\secret", "--list", "notepad.exe|"});
    must({"acl", "policy", "list"});
    must({"acl", "log"});

    Explain("A declared state: export what the drivers hold (never keys) to a file, change the machine, "
            "then apply the file. --dry-run lists the changes and makes none; applying makes only those.");
    fs::path stateFile = root / "machine.json";
    must({"state", "export", stateFile.string()});
    must({"policy", "delete", "3"});
    must({"acl", "stop"});
    if (Step({"state", "apply", "--dry-run", "--detailed-exitcode", stateFile.string()}, true) != 2) ++failures;
    must({"state", "apply", stateFile.string()});
    Explain("Applying the same file again finds nothing to change (exit status 0 with --detailed-exitcode).");
    must({"state", "apply", "--detailed-exitcode", stateFile.string()});

    Explain("Decrypt the larger file and check it is byte for byte the original.");
    must({"doc", "decrypt", "--key-file", key, (work / "archive.bin").string()});
    bool same = SameBytes(work / "archive.bin", root / "archive.original");
    std::cout << (same ? "archive.bin is identical to the original\n" : "archive.bin DIFFERS from the original\n");
    if (!same) ++failures;

    Explain("Errors say what failed and why, with the result code:");
    Step({"doc", "decrypt", "--key-file", key, (work / "archive.bin").string()}, true);

    Explain("The main driver's log recorded what was done.");
    must({"log", "show"});

    Explain("Uninstall the three drivers.");
    must({"driver", "uninstall", "main"});
    must({"driver", "uninstall", "acl"});
    must({"driver", "uninstall", "monitor"});
    // An uninstalled driver unloads itself once its registration is gone; wait (bounded) so that
    // the tour leaves nothing running.
    for (int i = 0; i < 50; ++i) {
        uint32_t words[2];
        DriverStatus status{};
        if (NuvexAccCtrl_GetDriverStatus(words) != 0 && NuvexCtrl_GetDriverStatus(&status) != 0) break;
        usleep(100 * 1000);
    }
    Step({"status"}, true);

    if (removeRoot) {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::cout << "\nDemo " << (failures == 0 ? "finished." : "finished with failed steps.") << "\n";
    return failures == 0 ? kExitOk : kExitFailed;
}
#endif

}  // namespace

void AddDemoCommand(CLI::App& app) {
    static std::string root;
    auto* demo = app.add_subcommand("demo", "A guided tour with the simulated drivers (host platform)");
    demo->add_option("--root", root, "Keep the machine root in this directory (your own; made for you alone when missing) instead of a temporary one");
    demo->footer(Example("nuvexctl demo"));
#if defined(_WIN32)
    Bind(demo, [] { return ReportError("the demo runs on the host platform only"); });
#else
    Bind(demo, [] { return RunDemo(root); });
#endif
}

}  // namespace nuvexctl
