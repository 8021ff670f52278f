// Installing and removing the three drivers against a real registry and service control
// manager (Wine's), with no driver image ever running.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "nuvexctrl.h"
#include "win_support.h"

namespace {

using nuvex_win::Bytes;
using nuvex_win::FileExists;
using nuvex_win::PatternBytes;
using nuvex_win::ReadFileBytes;
using nuvex_win::WriteFileBytes;

const char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";

std::string SystemDirectory() {
    char path[MAX_PATH] = {};
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

std::string DriverFile(const char* service) {
    return SystemDirectory() + "\\drivers\\" + service + ".sys";
}

bool ServiceKeyExists(const char* service) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServices) + service).c_str(), 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

struct RegValue {
    bool present = false;
    DWORD type = 0;
    Bytes data;
};

RegValue ReadValue(const char* service, const char* name) {
    RegValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServices) + service).c_str(), 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        value.present = RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(),
                                         &size) == ERROR_SUCCESS;
        value.data.resize(size);
    }
    RegCloseKey(key);
    return value;
}

DWORD Dword(const RegValue& v) {
    DWORD d = 0;
    if (v.data.size() == 4) std::memcpy(&d, v.data.data(), 4);
    return d;
}

// The service's configuration as the service control manager reports it.
struct ServiceConfig {
    bool present = false;
    DWORD type = 0, start = 0, errorControl = 0;
    std::string binaryPath, displayName;
    std::vector<std::string> dependencies;
};

ServiceConfig QueryService(const char* service) {
    ServiceConfig config;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return config;
    SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_QUERY_CONFIG);
    if (handle != nullptr) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (QueryServiceConfigA(handle, q, static_cast<DWORD>(buffer.size()), &needed)) {
            config.present = true;
            config.type = q->dwServiceType;
            config.start = q->dwStartType;
            config.errorControl = q->dwErrorControl;
            config.binaryPath = q->lpBinaryPathName ? q->lpBinaryPathName : "";
            config.displayName = q->lpDisplayName ? q->lpDisplayName : "";
            for (const char* d = q->lpDependencies; d != nullptr && *d != '\0';
                 d += std::strlen(d) + 1) {
                config.dependencies.push_back(d);
            }
        }
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
    return config;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           _stricmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

class InstallTest : public nuvex_win::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        image_ = PatternBytes(3000, 77);
        source_ = Scratch("driver.sys");
        ASSERT_TRUE(WriteFileBytes(source_, image_));
    }
    void TearDown() override {
        // Leave the machine as it was found, whatever the test did.
        NuvexCtrl_UnInstall();
        NuvexAccCtrl_UnInstall();
        NuvexAntiSteal_UnInstall();
        ScratchTest::TearDown();
    }
    Bytes image_;
    std::string source_;
};

TEST_F(InstallTest, MainDriverIsRegisteredDirectlyInTheRegistry) {
    ASSERT_FALSE(ServiceKeyExists("Nuvex"));
    EXPECT_EQ(NuvexCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), image_);

    RegValue start = ReadValue("Nuvex", "Start"), type = ReadValue("Nuvex", "Type"),
             group = ReadValue("Nuvex", "Group");
    ASSERT_TRUE(start.present && type.present && group.present);
    EXPECT_EQ(start.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Dword(start), 0u);
    EXPECT_EQ(type.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Dword(type), 2u);
    EXPECT_EQ(group.type, static_cast<DWORD>(REG_SZ));
    const char kGroup[] = "FSFilter Infrastructure";
    EXPECT_EQ(group.data, Bytes(kGroup, kGroup + sizeof kGroup));  // with its zero
    EXPECT_FALSE(ReadValue("Nuvex", "ImagePath").present);

    // Installing again replaces the file.
    Bytes newer = PatternBytes(1234, 78);
    ASSERT_TRUE(WriteFileBytes(source_, newer));
    EXPECT_EQ(NuvexCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), newer);

    // Installing from the installed file itself, spelled otherwise, keeps it.
    const std::string respelled = SystemDirectory() + "\\drivers\\.\\NUVEX.SYS";
    EXPECT_EQ(NuvexCtrl_Install(0, respelled.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), newer);
    EXPECT_TRUE(ReadValue("Nuvex", "Group").present);

    // No driver runs: the request cannot be sent, but key and file go.
    EXPECT_EQ(NuvexCtrl_UnInstall(), 341u);
    EXPECT_FALSE(ServiceKeyExists("Nuvex"));
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
    EXPECT_EQ(NuvexCtrl_UnInstall(), 360u);
}

TEST_F(InstallTest, UninstallingWhatIsNotInstalledLeavesAStrayFileAlone) {
    std::string stray = DriverFile("NuvexMon");
    ASSERT_TRUE(WriteFileBytes(stray, image_));
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 387u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 148u);
    EXPECT_EQ(NuvexCtrl_UnInstall(), 360u);
    EXPECT_TRUE(FileExists(stray));
    DeleteFileA(stray.c_str());
}

TEST_F(InstallTest, MissingSourceChangesNothing) {
    std::string missing = Scratch("missing.sys");
    EXPECT_EQ(NuvexCtrl_Install(0, missing.c_str()), 149u);
    EXPECT_EQ(NuvexAccCtrl_Install(0, missing.c_str()), 119u);
    EXPECT_EQ(NuvexAntiSteal_Install(0, missing.c_str()), 308u);
    EXPECT_FALSE(ServiceKeyExists("Nuvex"));
    EXPECT_FALSE(QueryService("NuvexACL").present);
    EXPECT_FALSE(QueryService("NuvexMon").present);
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));
    EXPECT_FALSE(FileExists(DriverFile("NuvexMon")));
}

// An installed driver survives an install whose source is missing: the file is replaced only
// by a complete copy made beside it, never deleted first.
TEST_F(InstallTest, MissingSourceKeepsTheInstalledDriver) {
    ASSERT_EQ(NuvexCtrl_Install(0, source_.c_str()), 0u);
    ASSERT_EQ(NuvexAccCtrl_Install(0, source_.c_str()), 0u);
    std::string missing = Scratch("missing.sys");
    EXPECT_EQ(NuvexCtrl_Install(0, missing.c_str()), 149u);
    EXPECT_EQ(NuvexAccCtrl_Install(0, missing.c_str()), 119u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), image_);
    EXPECT_EQ(ReadFileBytes(DriverFile("NuvexACL")), image_);
    EXPECT_TRUE(ReadValue("Nuvex", "Group").present);
    EXPECT_TRUE(QueryService("NuvexACL").present);
    EXPECT_FALSE(FileExists(SystemDirectory() + "\\drivers\\Nuvex.new"));
    EXPECT_FALSE(FileExists(SystemDirectory() + "\\drivers\\NuvexACL.new"));

    // A read-only source gives a read-only driver file, which the next install still replaces.
    ASSERT_TRUE(SetFileAttributesA(source_.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(NuvexCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_NE(GetFileAttributesA(DriverFile("Nuvex").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(NuvexCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), image_);
    SetFileAttributesA(source_.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(NuvexCtrl_UnInstall(), 341u);
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
}

TEST_F(InstallTest, DefaultSourceLiesBesideTheProgram) {
    std::string beside = nuvex_win::ModuleDirectory() + "Nuvex.sys";
    ASSERT_TRUE(WriteFileBytes(beside, image_));
    EXPECT_EQ(NuvexCtrl_Install(0, nullptr), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), image_);
    DeleteFileA(beside.c_str());
}

TEST_F(InstallTest, AccessControlDriverIsABootStartKernelService) {
    EXPECT_EQ(NuvexAccCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(DriverFile("NuvexACL")), image_);
    ServiceConfig config = QueryService("NuvexACL");
    ASSERT_TRUE(config.present);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_BOOT_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.displayName, "NuvexACL");
    EXPECT_TRUE(EndsWithNoCase(config.binaryPath, "\\drivers\\NuvexACL.sys"))
        << config.binaryPath;
    EXPECT_TRUE(config.dependencies.empty());

    // A second install replaces the service.
    EXPECT_EQ(NuvexAccCtrl_Install(0, source_.c_str()), 0u);
    EXPECT_TRUE(QueryService("NuvexACL").present);

    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 0u);
    EXPECT_FALSE(ServiceKeyExists("NuvexACL"));
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 148u);
}

TEST_F(InstallTest, MonitorDriverStartsAutomaticallyAfterTcpip) {
    EXPECT_EQ(NuvexAntiSteal_Install(0, source_.c_str()), 0u);
    ServiceConfig config = QueryService("NuvexMon");
    ASSERT_TRUE(config.present);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.displayName, "NuvexMon");
    // Wine's service manager reports no dependencies and stores the list with trailing
    // garbage; its first name is what the library gave.
    if (!config.dependencies.empty()) {
        EXPECT_EQ(config.dependencies, std::vector<std::string>{"tcpip"});
    } else {
        RegValue depends = ReadValue("NuvexMon", "DependOnService");
        ASSERT_TRUE(depends.present);
        EXPECT_EQ(depends.type, static_cast<DWORD>(REG_MULTI_SZ));
        ASSERT_GE(depends.data.size(), 6u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(depends.data.data())), "tcpip");
    }
    EXPECT_TRUE(EndsWithNoCase(config.binaryPath, "\\drivers\\NuvexMon.sys"))
        << config.binaryPath;

    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 0u);
    EXPECT_FALSE(ServiceKeyExists("NuvexMon"));
    EXPECT_FALSE(FileExists(DriverFile("NuvexMon")));
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 387u);
}

}  // namespace
