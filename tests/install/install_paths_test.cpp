// Driver paths are built in buffers of 260 characters. A system directory or a host-program
// directory too long for the driver's file name is refused before anything changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "install_fixture.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

namespace fs = std::filesystem;

// "/Windows/System32" behind the machine root, "\drivers\Nuvex.sys" behind that.
constexpr size_t kSystemSuffix = 17;
constexpr size_t kMainFileSuffix = 18;

// A directory below `base` whose path is exactly `length` characters long.
std::string DirectoryOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;  // after the separator
        if (room == 101) room = 50;  // 100 would leave a last component of 0 characters
        path += "/" + std::string(std::min<size_t>(room, 100), 'd');
    }
    fs::create_directories(path);
    return path;
}

class InstallPaths : public InstallTest {
protected:
    // Moves the machine root to a directory of the given length.
    void UseRootOfLength(size_t length) {
        root_ = DirectoryOfLength(Root() + "/r", length);
        ::setenv("NUVEX_HOST_ROOT", root_.c_str(), 1);
        NuvexHost_ResetMachineRoot();
    }
    std::string root_;
};

TEST_F(InstallPaths, SystemDirectoryJustShortEnough) {
    std::string source = MakeSource("n.sys", "image");
    UseRootOfLength(259 - kSystemSuffix - kMainFileSuffix);
    EXPECT_EQ(NuvexCtrl_Install(0, source.c_str()), 0u);
    EXPECT_TRUE(FileExists(root_ + "/Windows/System32/drivers/Nuvex.sys"));
    EXPECT_EQ(NuvexCtrl_UnInstall(), 341u);
}

TEST_F(InstallPaths, SystemDirectoryTooLongChangesNothing) {
    std::string source = MakeSource("n.sys", "image");
    UseRootOfLength(260 - kSystemSuffix - kMainFileSuffix);
    EXPECT_EQ(NuvexCtrl_Install(1, source.c_str()), NUVEX_E_INSTALL_PATH_TOO_LONG);
    EXPECT_EQ(NuvexAccCtrl_Install(1, source.c_str()), NUVEX_E_INSTALL_PATH_TOO_LONG);
    EXPECT_EQ(NuvexAntiSteal_Install(1, source.c_str()), NUVEX_E_INSTALL_PATH_TOO_LONG);
    const std::string services = root_ + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services";
    for (const char* service : {"Nuvex", "NuvexACL", "NuvexMon"})
        EXPECT_FALSE(FileExists(services + "/" + service)) << service;
    EXPECT_FALSE(FileExists(root_ + "/Windows/System32/drivers/Nuvex.sys"));

    // Uninstalls leave an installed-looking key alone too.
    for (const char* service : {"Nuvex", "NuvexACL", "NuvexMon"})
        fs::create_directories(services + "/" + service);
    EXPECT_EQ(NuvexCtrl_UnInstall(), NUVEX_E_INSTALL_PATH_TOO_LONG);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), NUVEX_E_INSTALL_PATH_TOO_LONG);
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), NUVEX_E_INSTALL_PATH_TOO_LONG);
    for (const char* service : {"Nuvex", "NuvexACL", "NuvexMon"})
        EXPECT_TRUE(FileExists(services + "/" + service)) << service;
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

// Runs the probe copied into `directory` as the program "p"; returns what it printed.
std::string RunProbeFrom(const std::string& directory, const char* which) {
    std::string probe = directory + "/p";
    fs::copy_file(NUVEX_INSTALL_PROBE, probe, fs::copy_options::overwrite_existing);
    std::string command = "'" + probe + "' " + which;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char line[64] = {};
    std::string out = std::fgets(line, sizeof line, pipe) != nullptr ? line : "";
    ::pclose(pipe);
    return out;
}

TEST_F(InstallPaths, DefaultSourceIsNextToTheHostProgram) {
    std::string directory = Scratch("host");
    fs::create_directories(directory);
    WriteFileBytes(directory + "/Nuvex.sys", "main next to host");
    WriteFileBytes(directory + "/NuvexACL.sys", "acl next to host");
    WriteFileBytes(directory + "/NuvexMon.sys", "monitor next to host");
    // The shared library lies in the build folder (beside the simulated driver images, when
    // they are built): what gets installed must come from the probe's own folder.
    EXPECT_EQ(RunProbeFrom(directory, "main"), "0\n");
    EXPECT_EQ(RunProbeFrom(directory, "acl"), "0\n");
    EXPECT_EQ(RunProbeFrom(directory, "monitor"), "0\n");
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "main next to host");
    EXPECT_EQ(ReadFileBytes(DriverFile("NuvexACL")), "acl next to host");
    EXPECT_EQ(ReadFileBytes(DriverFile("NuvexMon")), "monitor next to host");

    fs::remove(directory + "/NuvexACL.sys");
    EXPECT_EQ(RunProbeFrom(directory, "acl"), "119\n");
}

TEST_F(InstallPaths, HostProgramDirectoryTooLongForTheFileName) {
    // 250 + "/" + "Nuvex.sys" is 260 characters: one too many. The program's own path
    // (250 + "/p") fits, so only the appended name overflows.
    std::string directory = DirectoryOfLength(Scratch("h"), 250);
    WriteFileBytes(directory + "/Nuvex.sys", "x");
    WriteFileBytes(directory + "/NuvexACL.sys", "x");
    EXPECT_EQ(RunProbeFrom(directory, "main"), std::to_string(NUVEX_E_INSTALL_PATH_TOO_LONG) + "\n");
    EXPECT_EQ(RunProbeFrom(directory, "acl"), std::to_string(NUVEX_E_INSTALL_PATH_TOO_LONG) + "\n");
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
    EXPECT_FALSE(FileExists(ServiceKey("Nuvex")));
    EXPECT_FALSE(FileExists(ServiceKey("NuvexACL")));

    // One character shorter, the main driver's file name fits (259), the longer one does not.
    std::string shorter = DirectoryOfLength(Scratch("i"), 249);
    WriteFileBytes(shorter + "/Nuvex.sys", "fits");
    EXPECT_EQ(RunProbeFrom(shorter, "main"), "0\n");
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), "fits");
    EXPECT_EQ(RunProbeFrom(shorter, "acl"), std::to_string(NUVEX_E_INSTALL_PATH_TOO_LONG) + "\n");

    // A program path that does not fit at all.
    std::string deeper = DirectoryOfLength(Scratch("j"), 300);
    EXPECT_EQ(RunProbeFrom(deeper, "monitor"),
              std::to_string(NUVEX_E_INSTALL_PATH_TOO_LONG) + "\n");
}

}  // namespace
}  // namespace nuvex::test
