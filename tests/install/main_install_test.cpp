// NuvexCtrl_Install, NuvexCtrl_UnInstall and the privilege routine on the per-test machine
// root. Loading uses the tiny driver image built beside this test.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "nuvex_wire.h"
#include "fake_driver.h"
#include "install/main_install.h"
#include "install_fixture.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

namespace fs = std::filesystem;

const std::string kGroup("FSFilter Infrastructure\0", 24);

// Every test starts with the load-driver privilege held but disabled.
class MainInstall : public InstallTest {
protected:
    // A copy of the driver image that the platform can start.
    std::string Image() {
        std::string path = Scratch("Nuvex-image.sys");
        fs::copy_file(NUVEX_TEST_DRIVER_IMAGE, path, fs::copy_options::overwrite_existing);
        return path;
    }
};

TEST_F(MainInstall, RegistersWithoutLoading) {
    std::string source = Image();
    EnablePrivilege("SeLoadDriverPrivilege", 1);  // a load would succeed, were it tried
    EXPECT_EQ(NuvexCtrl_Install(0, source.c_str()), 0u);

    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), ReadFileBytes(source));
    EXPECT_EQ(ValueNames("Nuvex"), (std::set<std::string>{"Start.4", "Type.4", "Group.1"}));
    EXPECT_EQ(Value("Nuvex", "Start.4"), Dword(0));
    EXPECT_EQ(Value("Nuvex", "Type.4"), Dword(2));
    EXPECT_EQ(Value("Nuvex", "Group.1"), kGroup);
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 0u);
    EXPECT_FALSE(FileExists(PidFile("Nuvex")));
    EXPECT_FALSE(FileExists(DeviceSocket("Nuvex")));
    EXPECT_EQ(Events(), "");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, ReplacesTheFileAndRewritesTheKey) {
    std::string first = MakeSource("first.sys", "first image");
    std::string second = MakeSource("second.sys", "second");
    ASSERT_EQ(NuvexCtrl_Install(0, first.c_str()), 0u);
    WriteFileBytes(ServiceKey("Nuvex") + "/Stale.4", Dword(9));

    ASSERT_EQ(NuvexCtrl_Install(0, second.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "second");
    // The old key had no subkeys: it was deleted and made anew.
    EXPECT_EQ(ValueNames("Nuvex"), (std::set<std::string>{"Start.4", "Type.4", "Group.1"}));

    // A key with subkeys survives the deletion and is reused.
    fs::create_directories(ServiceKey("Nuvex") + "/Instances");
    WriteFileBytes(ServiceKey("Nuvex") + "/Stale.4", Dword(9));
    WriteFileBytes(ServiceKey("Nuvex") + "/Start.4", Dword(3));
    ASSERT_EQ(NuvexCtrl_Install(0, first.c_str()), 0u);
    EXPECT_TRUE(fs::is_directory(ServiceKey("Nuvex") + "/Instances"));
    EXPECT_EQ(Value("Nuvex", "Stale.4"), Dword(9));
    EXPECT_EQ(Value("Nuvex", "Start.4"), Dword(0));
}

// Installing from the installed file itself (another spelling, or another name of the same
// file) keeps it in place and writes the key as usual.
TEST_F(MainInstall, ReinstallFromTheInstalledFileKeepsIt) {
    ASSERT_EQ(NuvexCtrl_Install(0, MakeSource("first.sys", "first image").c_str()), 0u);
    fs::remove_all(ServiceKey("Nuvex"));
    const std::string respelled = Root() + "/Windows/System32//drivers/../drivers/Nuvex.sys";
    EXPECT_EQ(NuvexCtrl_Install(0, respelled.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "first image");
    EXPECT_EQ(Value("Nuvex", "Group.1"), kGroup);

    const std::string link = Scratch("linked.sys");
    fs::create_hard_link(DriverFile("Nuvex"), link);
    EXPECT_EQ(NuvexCtrl_Install(0, link.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "first image");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// An install that cannot complete its copy leaves the installed driver exactly as it was:
// file, key and values, and no staging copy beside it. The same for all three installers. A
// source that is not a regular disk file (a pipe, a device, a file the kernel makes up as it
// is read, whose bytes are not what its size says) is no driver file and is refused.
TEST_F(MainInstall, FailedCopyKeepsTheInstalledDriver) {
    struct Installer {
        const char* service;
        uint32_t (*install)(uint32_t, const char*);
        uint32_t copyFailed;
    };
    const Installer installers[] = {{"Nuvex", NuvexCtrl_Install, 149},
                                    {"NuvexACL", NuvexAccCtrl_Install, 119},
                                    {"NuvexMon", NuvexAntiSteal_Install, 308}};
    const std::string fresh = MakeSource("new.sys", std::string(300000, 'n'));
    fs::create_directories(Scratch("folder.sys"));
    // A pipe without a writer: reading it gives 0 bytes at once (or would wait for one).
    ASSERT_EQ(::mkfifo(Scratch("pipe.sys").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string source;
        int fault;  // injected into the nth operation of its kind, or -1
        uint32_t nth;
    };
    const Case cases[] = {
        {"missing source", Scratch("absent.sys"), -1, 0},
        {"unreadable source", Scratch("folder.sys"), -1, 0},
        {"a pipe as source", Scratch("pipe.sys"), -1, 0},
        {"a file the kernel makes up as source", "/proc/self/status", -1, 0},
        {"an endless device as source", "/dev/zero", -1, 0},
        {"an empty device as source", "/dev/null", -1, 0},
        {"copy fails", fresh, kNuvexFaultMove, 1},
        {"flush fails", fresh, kNuvexFaultFlush, 1},
        {"rename fails", fresh, kNuvexFaultMove, 2},
    };
    for (const Installer& installer : installers) {
        const std::string service = installer.service;
        ASSERT_EQ(installer.install(0, MakeSource("old.sys", "old driver").c_str()), 0u);
        WriteFileBytes(ServiceKey(service) + "/Stale.4", Dword(9));
        const std::set<std::string> values = ValueNames(service);
        const std::string staging = Root() + "/Windows/System32/drivers/" + service + ".new";
        for (const Case& c : cases) {
            SCOPED_TRACE(service + ": " + c.name);
            NuvexHost_ResetFaults();
            if (c.fault >= 0) NuvexHost_FailFileOp(c.fault, c.nth, 0);
            EXPECT_EQ(installer.install(1, c.source.c_str()), installer.copyFailed);
            EXPECT_EQ(ReadFileBytes(DriverFile(service)), "old driver");
            EXPECT_EQ(ValueNames(service), values);
            EXPECT_EQ(Value(service, "Stale.4"), Dword(9));
            EXPECT_FALSE(FileExists(staging));
            EXPECT_FALSE(FileExists(PidFile(service)));
            EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 0u);
            EXPECT_EQ(Events(), "");
        }
    }
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// The image in the drivers folder is the installer's alone, whatever the source allowed, and
// a read-only source, a read-only installed file or a staging copy left by a killed install
// do not stand in the way of the next one.
TEST_F(MainInstall, DriverFileIsOwnerOnlyAndReadOnlyFilesAreReplaced) {
    auto modeOf = [](const std::string& path) {
        return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask);
    };
    std::string open = MakeSource("open.sys", "open image");
    fs::permissions(open, fs::perms::all);
    ASSERT_EQ(NuvexCtrl_Install(0, open.c_str()), 0u);
    EXPECT_EQ(modeOf(DriverFile("Nuvex")), 0700u);

    std::string readOnly = MakeSource("ro.sys", "read-only image");
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string staging = Root() + "/Windows/System32/drivers/Nuvex.new";
    WriteFileBytes(staging, "left by a killed install");
    fs::permissions(staging, fs::perms::owner_read);
    ASSERT_EQ(NuvexCtrl_Install(0, readOnly.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "read-only image");
    EXPECT_EQ(modeOf(DriverFile("Nuvex")), 0500u);  // still read-only, runnable by its owner
    EXPECT_FALSE(FileExists(staging));

    ASSERT_EQ(NuvexCtrl_Install(0, open.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "open image");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// An install killed at any moment leaves the old driver file or the complete new one.
// NUVEX_INSTALL_KILL_TRIALS sets the number of kills (default 12).
TEST_F(MainInstall, KilledInstallLeavesAWholeDriverFile) {
    const char* text = std::getenv("NUVEX_INSTALL_KILL_TRIALS");
    const int trials = text != nullptr && *text != '\0' ? std::atoi(text) : 12;
    const std::string oldImage(8u << 20, 'o');
    std::string fresh(8u << 20, 'n');
    fresh.back() = 'z';
    const std::string source = MakeSource("big.sys", fresh);
    ASSERT_EQ(NuvexCtrl_Install(0, MakeSource("old.sys", oldImage).c_str()), 0u);
    const std::string probe = Scratch("probe");
    fs::copy_file(NUVEX_INSTALL_PROBE, probe, fs::copy_options::overwrite_existing);

    // How long an install takes when left alone: kills are spread over that time.
    auto runProbe = [&](std::chrono::microseconds killAfter, bool* killed) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(probe.c_str(), probe.c_str(), "main", source.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + killAfter;
        int status = 0;
        *killed = false;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                *killed = WIFSIGNALED(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    };
    bool killed = false;
    auto start = std::chrono::steady_clock::now();
    runProbe(std::chrono::seconds(30), &killed);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    ASSERT_FALSE(killed);
    ASSERT_EQ(ReadFileBytes(DriverFile("Nuvex")), fresh);

    const std::string staging = Root() + "/Windows/System32/drivers/Nuvex.new";
    std::mt19937 random(20261208);
    int killedMidway = 0;
    int killedWhileStaging = 0;
    int damaged = 0;
    for (int trial = 0; trial < trials; ++trial) {
        SCOPED_TRACE(trial);
        ASSERT_EQ(NuvexCtrl_Install(0, MakeSource("old.sys", oldImage).c_str()), 0u);
        std::uniform_int_distribution<long> delay(0, took.count());
        runProbe(std::chrono::microseconds(delay(random)), &killed);
        const std::string now = ReadFileBytes(DriverFile("Nuvex"));
        const bool whole = now == oldImage || now == fresh;
        EXPECT_TRUE(whole) << "size " << now.size();
        if (!whole) ++damaged;
        if (killed) ++killedMidway;
        if (killed && FileExists(staging)) ++killedWhileStaging;
    }
    std::printf("[ kills    ] %d of %d installs killed before they ended, %d of them while "
                "copying; %d left no whole driver file\n",
                killedMidway, trials, killedWhileStaging, damaged);
}

TEST_F(MainInstall, WithoutAServicesKeyTheFileStaysAndNothingIsRegistered) {
    // A plain file in place of the Services key.
    const std::string services = Root() + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services";
    fs::remove_all(services);
    WriteFileBytes(services, "not a key");
    EXPECT_EQ(NuvexCtrl_Install(1, MakeSource("n.sys", "image").c_str()), 144u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "image");
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 0u);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, FirstLoadSucceedingChangesNoPrivilege) {
    NuvexHost_ForceLoadStatus(1, 0);
    EXPECT_EQ(NuvexCtrl_Install(1, MakeSource("n.sys", "image").c_str()), 0u);
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 1u);
    EXPECT_FALSE(LoadPrivilegeEnabled());
    EXPECT_EQ(Events(), "");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, BothLoadsRefusedShowTheSecondStatus) {
    NuvexHost_ForceLoadStatus(2, static_cast<int32_t>(0xC0000034u));
    EXPECT_EQ(NuvexCtrl_Install(1, MakeSource("n.sys", "image").c_str()), 195u);
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 2u);
    EXPECT_TRUE(LoadPrivilegeEnabled());
    EXPECT_EQ(Events(), "messagebox: |pfnNtLoadDriver:0xC0000034\n");
    // Nothing is undone: the driver stays registered for the next system start.
    EXPECT_TRUE(FileExists(DriverFile("Nuvex")));
    EXPECT_EQ(Value("Nuvex", "Start.4"), Dword(0));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, LoadRefusedOnceThenSucceeding) {
    ASSERT_FALSE(LoadPrivilegeEnabled());
    EXPECT_EQ(NuvexCtrl_Install(1, Image().c_str()), 0u);
    EXPECT_TRUE(FileExists(PidFile("Nuvex")));
    EXPECT_TRUE(FileExists(DeviceSocket("Nuvex")));
    // The privilege was enabled for the second attempt and stays so.
    EXPECT_TRUE(LoadPrivilegeEnabled());
    EXPECT_EQ(Events(), "");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, LoadRefusedTwiceShowsTheSecondStatus) {
    ASSERT_EQ(NuvexCtrl_Install(1, Image().c_str()), 0u);
    std::string pid = ReadFileBytes(PidFile("Nuvex"));
    // The driver runs: both attempts are refused as already loaded.
    EXPECT_EQ(NuvexCtrl_Install(1, Image().c_str()), 195u);
    EXPECT_EQ(Events(), "messagebox: |pfnNtLoadDriver:0xC000010E\n");
    // Nothing is undone: file and key stay, the running driver is the first one.
    EXPECT_TRUE(FileExists(DriverFile("Nuvex")));
    EXPECT_EQ(Value("Nuvex", "Type.4"), Dword(2));
    EXPECT_EQ(ReadFileBytes(PidFile("Nuvex")), pid);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainInstall, EnablePrivilege) {
    EXPECT_EQ(EnablePrivilege(nullptr, 1), 0);
    EXPECT_EQ(EnablePrivilege("", 1), 0);
    EXPECT_EQ(EnablePrivilege("SeNoSuchPrivilege", 1), 0);
    EXPECT_FALSE(LoadPrivilegeEnabled());
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 1), 1);
    EXPECT_TRUE(LoadPrivilegeEnabled());
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 0), 1);
    EXPECT_FALSE(LoadPrivilegeEnabled());
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// ---- uninstall -----------------------------------------------------------------------

class MainUnInstall : public InstallTest {
protected:
    void Install() {
        ASSERT_EQ(NuvexCtrl_Install(0, MakeSource("n.sys", "image").c_str()), 0u);
    }
};

TEST_F(MainUnInstall, DriverTakesTheRequest) {
    Install();
    FakeDriver driver(Root(), "Nuvexcdo_3", [](const FakeRequest& request) {
        if (request.code == main_driver::kBeginControl) return FakeReply::U32(0x600D);
        return FakeReply::Ok();
    });
    EXPECT_EQ(NuvexCtrl_UnInstall(), 0u);
    EXPECT_EQ(driver.Codes(),
              (std::vector<uint32_t>{main_driver::kBeginControl, main_driver::kConfirmControl,
                                     main_driver::kUninstall, main_driver::kEndControl}));
    auto uninstall = driver.Requests()[2];
    EXPECT_TRUE(uninstall.input.empty());
    EXPECT_EQ(uninstall.outputLength, 0u);
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(MainUnInstall, RefusedRequestStillRemovesKeyAndFile) {
    Install();
    fs::create_directories(ServiceKey("Nuvex") + "/Instances/Default");
    FakeDriver driver(Root(), "Nuvexcdo_3", [](const FakeRequest& request) {
        return request.code == main_driver::kUninstall ? FakeReply::Fail() : FakeReply::Ok();
    });
    EXPECT_EQ(NuvexCtrl_UnInstall(), 334u);
    EXPECT_EQ(driver.Codes().back(), main_driver::kEndControl);
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));  // with its subkeys
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
}

TEST_F(MainUnInstall, WithoutADriver) {
    Install();
    EXPECT_EQ(NuvexCtrl_UnInstall(), 341u);
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));

    // Not installed: the key deletion fails first and an existing file is left alone.
    WriteFileBytes(DriverFile("Nuvex"), "someone's file");
    EXPECT_EQ(NuvexCtrl_UnInstall(), 360u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "someone's file");

    // A key without its file: the file's code takes precedence over the device's.
    fs::remove(DriverFile("Nuvex"));
    fs::create_directories(ServiceKey("Nuvex"));
    EXPECT_EQ(NuvexCtrl_UnInstall(), 357u);
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace nuvex::test
