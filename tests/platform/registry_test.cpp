// The registry on disk: layout and exact bytes, case-insensitive names, Windows' results.
#include <string>

#include "machine_root.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

class HostRegistry : public MachineRootTest {
protected:
    std::string KeyFolder(const std::string& path) {
        return Root() + "/Registry/HKEY_LOCAL_MACHINE/" + path;
    }
};

TEST_F(HostRegistry, ValuesAreFilesNamedByTypeHoldingTheExactBytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Demo", &key),
              ERROR_SUCCESS);
    const BYTE dword[4] = {0x02, 0x00, 0x00, 0x00};
    const char group[] = "FSFilter Infrastructure";
    const char multi[] = "tcpip\0";
    EXPECT_EQ(RegSetValueExA(key, "Start", 0, REG_DWORD, dword, 4), ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExA(key, "Group", 0, REG_SZ, reinterpret_cast<const BYTE*>(group), sizeof group),
        ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi), sizeof multi),
              ERROR_SUCCESS);
    std::string folder = KeyFolder("SYSTEM/CurrentControlSet/Services/Demo");
    EXPECT_EQ(ReadFileBytes(folder + "/Start.4"), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(ReadFileBytes(folder + "/Group.1"), std::string(group, sizeof group));
    EXPECT_EQ(ReadFileBytes(folder + "/DependOnService.7"), std::string("tcpip\0\0", 7));

    // A new type replaces the old file; names match whatever their case and keep their
    // first spelling.
    EXPECT_EQ(RegSetValueExA(key, "start", 0, REG_BINARY, dword, 2), ERROR_SUCCESS);
    EXPECT_FALSE(FileExists(folder + "/Start.4"));
    EXPECT_FALSE(FileExists(folder + "/start.3"));
    EXPECT_EQ(ReadFileBytes(folder + "/Start.3"), std::string("\x02\0", 2));

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "GROUP", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, sizeof group);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Group", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof group);
    char buffer[64] = {};
    size = sizeof buffer;
    EXPECT_EQ(
        RegQueryValueExA(key, "Group", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(buffer, group);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostRegistry, KeysOpenCaseInsensitivelyAndDeleteAsWindowsDoes) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Nope", &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Outer\\Inner", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "system\\OUTER", &key), ERROR_SUCCESS);
    HKEY inner = nullptr;
    EXPECT_EQ(RegCreateKeyA(key, "inner", &inner), ERROR_SUCCESS);  // the existing one
    EXPECT_FALSE(FileExists(KeyFolder("SYSTEM/Outer/inner")));
    RegCloseKey(inner);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Outer"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(key, "Inner"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Inner"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyA(key, "A\\B\\C", &inner), ERROR_SUCCESS);
    const BYTE one[4] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExA(inner, "V", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\OUTER"), ERROR_SUCCESS);
    EXPECT_FALSE(FileExists(KeyFolder("SYSTEM/Outer")));
    // A handle whose key went away reports it.
    EXPECT_EQ(RegSetValueExA(inner, "V", 0, REG_DWORD, one, 4), ERROR_KEY_DELETED);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Outer"), ERROR_FILE_NOT_FOUND);
    HKEY escaped = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\..\\..", &escaped), ERROR_BAD_PATHNAME);
    EXPECT_EQ(escaped, nullptr);
    RegCloseKey(inner);
    RegCloseKey(key);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace nuvex::test
