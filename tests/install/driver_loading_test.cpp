// Whole installations of a real driver image: loaded through NtLoadDriver (main filter
// driver) and through the service control manager (access-control driver), talked to over
// its device, and removed again.
#include <gtest/gtest.h>

#include <filesystem>

#include "nuvex_wire.h"
#include "install_fixture.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

namespace fs = std::filesystem;

class DriverLoading : public InstallTest {
protected:
    std::string Image() {
        std::string path = Scratch("image.sys");
        fs::copy_file(NUVEX_TEST_DRIVER_IMAGE, path, fs::copy_options::overwrite_existing);
        return path;
    }
    std::string Journal(const std::string& service) {
        return ReadFileBytes(Scratch(service + ".requests"));
    }
};

TEST_F(DriverLoading, MainDriverThroughNtLoadDriver) {
    std::string image = Image();
    ASSERT_EQ(NuvexCtrl_Install(1, image.c_str()), 0u);
    ASSERT_TRUE(FileExists(PidFile("Nuvex")));
    ASSERT_TRUE(FileExists(DeviceSocket("Nuvex")));

    // A second load finds the driver running.
    EXPECT_EQ(NuvexCtrl_Install(1, image.c_str()), 195u);
    EXPECT_EQ(Events(), "messagebox: |pfnNtLoadDriver:0xC000010E\n");

    EXPECT_EQ(NuvexCtrl_UnInstall(), 0u);
    EXPECT_EQ(Journal("Nuvex"), "0x83092004\n0x83092018\n0x8309200C\n");
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(DriverLoading, AccessControlDriverThroughTheServiceManager) {
    ASSERT_EQ(NuvexAccCtrl_Install(1, Image().c_str()), 0u);
    ASSERT_TRUE(FileExists(PidFile("NuvexACL")));
    uint32_t status[2] = {7, 7};
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(NuvexAccCtrl_Start(), 0u);

    // Installing again replaces the service; starting the running driver fails, unheeded.
    EXPECT_EQ(NuvexAccCtrl_Install(1, Image().c_str()), 0u);

    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_EQ(Journal("NuvexACL"), "0x86662018\n0x86662010\n0x86662014\n");
    EXPECT_FALSE(FileExists(ServiceKey("NuvexACL")));
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(DriverLoading, MonitorDriverStartsAfterInstall) {
    ASSERT_EQ(NuvexAntiSteal_Install(1, Image().c_str()), 0u);
    EXPECT_TRUE(FileExists(PidFile("NuvexMon")));
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 0u);
    EXPECT_EQ(Journal("NuvexMon"), "");  // the monitor driver is never contacted
    EXPECT_FALSE(FileExists(DriverFile("NuvexMon")));
}

}  // namespace
}  // namespace nuvex::test
