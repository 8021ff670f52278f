// Install and uninstall of the access-control and monitor drivers through the service
// control manager, on the per-test machine root.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nuvex_wire.h"
#include "fake_driver.h"
#include "frame/result_codes.h"
#include "install_fixture.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

namespace fs = std::filesystem;

struct Companion {
    const char* service;
    uint32_t (*install)(uint32_t, const char*);
    uint32_t (*uninstall)();
    uint32_t startType;
    uint32_t copyFailed;
    uint32_t createFailed;
    uint32_t keyFailed;
    uint32_t fileFailed;
};

const Companion kAcl{"NuvexACL",
                     NuvexAccCtrl_Install,
                     NuvexAccCtrl_UnInstall,
                     0,
                     rc::NuvexAccCtrl_Install::kCopyFailed,
                     rc::NuvexAccCtrl_Install::kServiceCreateFailed,
                     rc::NuvexAccCtrl_UnInstall::kNotInstalled,
                     rc::NuvexAccCtrl_UnInstall::kFileDeleteFailed};
const Companion kMonitor{"NuvexMon",
                         NuvexAntiSteal_Install,
                         NuvexAntiSteal_UnInstall,
                         2,
                         rc::NuvexAntiSteal_Install::kCopyFailed,
                         rc::NuvexAntiSteal_Install::kServiceCreateFailed,
                         rc::NuvexAntiSteal_UnInstall::kNotInstalled,
                         rc::NuvexAntiSteal_UnInstall::kFileDeleteFailed};

void PrintTo(const Companion& c, std::ostream* out) { *out << c.service; }

class CompanionInstall : public InstallTest, public ::testing::WithParamInterface<Companion> {};

// The value as CreateServiceA recorded it, without a trailing terminator.
std::string Text(std::string value) {
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

TEST_P(CompanionInstall, RecordsTheServiceSettings) {
    const Companion& c = GetParam();
    std::string source = MakeSource("driver.sys", "companion image");
    EXPECT_EQ(c.install(0, source.c_str()), 0u);

    EXPECT_EQ(ReadFileBytes(DriverFile(c.service)), "companion image");
    EXPECT_EQ(Value(c.service, "Type.4"), Dword(1));
    EXPECT_EQ(Value(c.service, "Start.4"), Dword(c.startType));
    EXPECT_EQ(Value(c.service, "ErrorControl.4"), Dword(1));
    EXPECT_EQ(Text(Value(c.service, "DisplayName.1")), c.service);
    // The image path names the copied file, with the platform's separators or Windows'.
    std::string image = Text(Value(c.service, "ImagePath.2"));
    std::replace(image.begin(), image.end(), '\\', '/');
    EXPECT_EQ(fs::path(image), fs::path(DriverFile(c.service)));
    if (c.startType == 2)
        EXPECT_EQ(Value(c.service, "DependOnService.7"), std::string("tcpip\0\0", 7));
    else
        EXPECT_FALSE(FileExists(ServiceKey(c.service) + "/DependOnService.7"));
    EXPECT_FALSE(FileExists(PidFile(c.service)));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_P(CompanionInstall, SecondInstallReplacesTheService) {
    const Companion& c = GetParam();
    ASSERT_EQ(c.install(0, MakeSource("a.sys", "first").c_str()), 0u);
    WriteFileBytes(ServiceKey(c.service) + "/Marker.4", Dword(1));
    EXPECT_EQ(c.install(0, MakeSource("b.sys", "second").c_str()), 0u);
    EXPECT_FALSE(FileExists(ServiceKey(c.service) + "/Marker.4"));
    EXPECT_EQ(Value(c.service, "Start.4"), Dword(c.startType));
    EXPECT_EQ(ReadFileBytes(DriverFile(c.service)), "second");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// Installing from the file already in the drivers folder, spelled any way, keeps that file:
// the service is made anew as usual, and a failure does not take away the only copy.
TEST_P(CompanionInstall, ReinstallFromTheInstalledFileKeepsIt) {
    const Companion& c = GetParam();
    ASSERT_EQ(c.install(0, MakeSource("a.sys", "first").c_str()), 0u);
    WriteFileBytes(ServiceKey(c.service) + "/Marker.4", Dword(1));
    const std::string installed =
        Root() + "\\Windows\\System32\\drivers\\.\\" + c.service + ".sys";
    EXPECT_EQ(c.install(0, installed.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile(c.service)), "first");
    EXPECT_FALSE(FileExists(ServiceKey(c.service) + "/Marker.4"));
    EXPECT_EQ(Value(c.service, "Start.4"), Dword(c.startType));

    fs::remove_all(ServiceKey(c.service));
    WriteFileBytes(ServiceKey(c.service), "in the way");
    EXPECT_EQ(c.install(0, installed.c_str()), c.createFailed);
    EXPECT_EQ(ReadFileBytes(DriverFile(c.service)), "first");
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_P(CompanionInstall, FailedCreateRemovesTheCopiedFile) {
    const Companion& c = GetParam();
    // A plain file where the service's key would go: the manager cannot record the service.
    WriteFileBytes(ServiceKey(c.service), "in the way");
    EXPECT_EQ(c.install(1, MakeSource("e.sys", "image").c_str()), c.createFailed);
    EXPECT_FALSE(FileExists(DriverFile(c.service)));
    EXPECT_FALSE(FileExists(PidFile(c.service)));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_P(CompanionInstall, UnInstallCodes) {
    const Companion& c = GetParam();
    // Not installed: the key deletion fails and an existing file stays.
    fs::create_directories(fs::path(DriverFile(c.service)).parent_path());
    WriteFileBytes(DriverFile(c.service), "not ours");
    EXPECT_EQ(c.uninstall(), c.keyFailed);
    EXPECT_EQ(ReadFileBytes(DriverFile(c.service)), "not ours");

    // A key without its file.
    fs::remove(DriverFile(c.service));
    fs::create_directories(ServiceKey(c.service) + "/Enum");
    EXPECT_EQ(c.uninstall(), c.fileFailed);
    EXPECT_FALSE(FileExists(ServiceKey(c.service)));

    ASSERT_EQ(c.install(0, MakeSource("d.sys", "image").c_str()), 0u);
    EXPECT_EQ(c.uninstall(), 0u);
    EXPECT_FALSE(FileExists(ServiceKey(c.service)));
    EXPECT_FALSE(FileExists(DriverFile(c.service)));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Drivers, CompanionInstall, ::testing::Values(kAcl, kMonitor),
                         [](const auto& info) { return std::string(info.param.service); });

class AclUnInstall : public InstallTest {};

TEST_F(AclUnInstall, StopsTheDriverOnlyAfterKeyAndFileAreGone) {
    FakeDriver driver(Root(), "NuvexACLcdo_3");
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 148u);
    fs::create_directories(ServiceKey("NuvexACL"));
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 145u);
    EXPECT_TRUE(driver.Codes().empty());

    ASSERT_EQ(NuvexAccCtrl_Install(0, MakeSource("acl.sys", "image").c_str()), 0u);
    // A refused stop does not change the result.
    driver.SetHandler([](const FakeRequest&) { return FakeReply::Fail(); });
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_EQ(driver.Codes(), (std::vector<uint32_t>{acl_driver::kStop}));

    // Nor does a driver that is not there.
    driver.Stop();
    ASSERT_EQ(NuvexAccCtrl_Install(0, MakeSource("acl.sys", "image").c_str()), 0u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
}

}  // namespace
}  // namespace nuvex::test
