// The three images installed, used and removed through the library's install exports.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "core_fixture.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

class InstalledImages : public nuvex::test::MachineRootTest {
protected:
    pid_t RecordedPid(const char* service) {
        std::string text = nuvex::test::ReadFileBytes(Root() + "/Drivers/" + service + ".pid");
        return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
    }
    static bool Runs(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }
    // Waits until the process has gone (the loader reaps its drivers).
    static bool GoneWithin(pid_t pid, int milliseconds) {
        for (int waited = 0; waited < milliseconds; waited += 20) {
            if (!Runs(pid)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return !Runs(pid);
    }
    bool Exists(const std::string& relative) const {
        return std::filesystem::exists(Root() + "/" + relative);
    }
};

TEST_F(InstalledImages, InstallUseAndUninstallAllThree) {
    ASSERT_EQ(NuvexCtrl_Install(1, nullptr), 0u);
    ASSERT_EQ(NuvexAccCtrl_Install(1, nullptr), 0u);
    ASSERT_EQ(NuvexAntiSteal_Install(1, nullptr), 0u);
    pid_t mainPid = RecordedPid("Nuvex"), aclPid = RecordedPid("NuvexACL"),
          monitorPid = RecordedPid("NuvexMon");
    ASSERT_TRUE(Runs(mainPid));
    ASSERT_TRUE(Runs(aclPid));
    ASSERT_TRUE(Runs(monitorPid));
    EXPECT_TRUE(Exists("Device/Nuvexcdo_3"));
    EXPECT_TRUE(Exists("Device/NuvexACLcdo_3"));
    EXPECT_TRUE(Exists("Windows/System32/drivers/NuvexMon.sys"));

    DriverStatus status{};
    ASSERT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
    ASSERT_EQ(NuvexCtrl_AddStringPassPath("C:\\kept", 0), 0u);
    ASSERT_EQ(NuvexAccCtrl_Start(), 0u);
    AccPolicyRecord policy{};
    policy.PolicyId = 2;
    std::strcpy(policy.PrimaryText, "viewer.exe");
    ASSERT_EQ(NuvexAccCtrl_AddNewPolicy(&policy), 0u);
    uint32_t words[2] = {};
    ASSERT_EQ(NuvexAccCtrl_GetDriverStatus(words), 0u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 1u);

    EXPECT_EQ(NuvexCtrl_UnInstall(), 0u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 0u);
    EXPECT_TRUE(GoneWithin(mainPid, 3000));
    EXPECT_TRUE(GoneWithin(aclPid, 3000));
    EXPECT_TRUE(GoneWithin(monitorPid, 3000));
    EXPECT_FALSE(Exists("Device/Nuvexcdo_3"));
    EXPECT_FALSE(Exists("Device/NuvexACLcdo_3"));
    const std::string services = "Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/";
    for (const char* name : {"Nuvex", "NuvexACL", "NuvexMon"}) {
        EXPECT_FALSE(Exists(services + name)) << name;
        EXPECT_FALSE(Exists(std::string("Windows/System32/drivers/") + name + ".sys")) << name;
    }
    // Installed again, the main driver starts with empty tables.
    ASSERT_EQ(NuvexCtrl_Install(1, nullptr), 0u);
    UserStrNode* paths = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPassPath(&paths, nullptr), 0u);
    EXPECT_EQ(paths, nullptr);
    EXPECT_EQ(NuvexCtrl_UnInstall(), 0u);
}

TEST_F(InstalledImages, ReinstallingACompanionKeepsItRunning) {
    ASSERT_EQ(NuvexAccCtrl_Install(1, nullptr), 0u);
    pid_t first = RecordedPid("NuvexACL");
    ASSERT_TRUE(Runs(first));
    // The second install deletes and recreates the service around the running driver.
    ASSERT_EQ(NuvexAccCtrl_Install(1, nullptr), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(Runs(first));
    EXPECT_EQ(NuvexAccCtrl_Start(), 0u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_TRUE(GoneWithin(first, 3000));
}

// An install whose source cannot be copied leaves the running drivers, their images and their
// services exactly as they were.
TEST_F(InstalledImages, UnusableSourceLeavesTheRunningDriversAlone) {
    ASSERT_EQ(NuvexCtrl_Install(1, nullptr), 0u);
    ASSERT_EQ(NuvexAccCtrl_Install(1, nullptr), 0u);
    const pid_t mainPid = RecordedPid("Nuvex"), aclPid = RecordedPid("NuvexACL");
    const std::string drivers = Root() + "/Windows/System32/drivers/";
    const std::string mainImage = nuvex::test::ReadFileBytes(drivers + "Nuvex.sys");
    const std::string aclImage = nuvex::test::ReadFileBytes(drivers + "NuvexACL.sys");
    ASSERT_FALSE(mainImage.empty());
    // Owner-only in the drivers folder, and still runnable by its owner.
    struct stat st{};
    ASSERT_EQ(::stat((drivers + "Nuvex.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const std::string absent = Root() + "/absent.sys";
    EXPECT_EQ(NuvexCtrl_Install(1, absent.c_str()), 149u);
    EXPECT_EQ(NuvexAccCtrl_Install(1, absent.c_str()), 119u);
    EXPECT_EQ(nuvex::test::ReadFileBytes(drivers + "Nuvex.sys"), mainImage);
    EXPECT_EQ(nuvex::test::ReadFileBytes(drivers + "NuvexACL.sys"), aclImage);
    EXPECT_EQ(RecordedPid("Nuvex"), mainPid);
    EXPECT_EQ(RecordedPid("NuvexACL"), aclPid);
    DriverStatus status{};
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
    EXPECT_EQ(NuvexAccCtrl_Start(), 0u);

    EXPECT_EQ(NuvexCtrl_UnInstall(), 0u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_TRUE(GoneWithin(mainPid, 3000));
    EXPECT_TRUE(GoneWithin(aclPid, 3000));
}

}  // namespace
}  // namespace nuvex::simtest
