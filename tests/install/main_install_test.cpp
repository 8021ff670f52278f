// NuvexCtrl_Install, NuvexCtrl_UnInstall and the privilege routine on the per-test machine
// root. Loading uses the tiny driver image built beside this test.
#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(MainInstall, MissingSourceLeavesTheRegistryUntouched) {
    fs::create_directories(fs::path(DriverFile("Nuvex")).parent_path());
    WriteFileBytes(DriverFile("Nuvex"), "old driver");
    EXPECT_EQ(NuvexCtrl_Install(1, Scratch("absent.sys").c_str()), 149u);
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));  // the old file was deleted first
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_EQ(Events(), "");
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
