// The service control manager, driver loading as processes, tokens and the ntdll module.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "machine_root.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

constexpr char kServices[] = "SYSTEM/CurrentControlSet/Services/";

class HostServices : public MachineRootTest {
protected:
    std::string ServiceFolder(const std::string& name) {
        return Root() + "/Registry/HKEY_LOCAL_MACHINE/" + kServices + name;
    }
    // Creates a demand-start kernel-driver service with the given image.
    SC_HANDLE CreateDriverService(SC_HANDLE scm, const std::string& name, const char* image) {
        return CreateServiceA(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                              SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              image, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    pid_t RecordedPid(const std::string& name) {
        return static_cast<pid_t>(
            std::atol(ReadFileBytes(Root() + "/Drivers/" + name + ".pid").c_str()));
    }
    static bool Alive(pid_t pid) {
        std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        return close != std::string::npos && stat[close + 2] != 'Z';
    }
    NTSTATUS LoadByPath(const std::u16string& path) {
        NUVEX_UNICODE_STRING name{static_cast<USHORT>(path.size() * 2),
                                  static_cast<USHORT>(path.size() * 2),
                                  const_cast<WCHAR*>(path.c_str())};
        return NtLoadDriver(&name);
    }
    void EnableLoadDriver() {
        HANDLE token = nullptr;
        ASSERT_TRUE(
            OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        ASSERT_TRUE(
            LookupPrivilegeValueA(nullptr, SE_LOAD_DRIVER_NAME, &privileges.Privileges[0].Luid));
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        CloseHandle(token);
    }
};

TEST_F(HostServices, CreateServiceRecordsItsValuesLikeWindows) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
    SC_HANDLE service =
        CreateServiceA(scm, "Demo", "Demo Driver", SERVICE_ALL_ACCESS, SERVICE_FILE_SYSTEM_DRIVER,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\drivers\\demo.sys",
                       "FSFilter Activity Monitor", nullptr, "tcpip\0", nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    std::string folder = ServiceFolder("Demo");
    EXPECT_EQ(ReadFileBytes(folder + "/Type.4"), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(ReadFileBytes(folder + "/Start.4"), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(ReadFileBytes(folder + "/ErrorControl.4"), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(ReadFileBytes(folder + "/ImagePath.2"), std::string("C:\\drivers\\demo.sys\0", 20));
    EXPECT_EQ(ReadFileBytes(folder + "/DisplayName.1"), std::string("Demo Driver\0", 12));
    EXPECT_EQ(ReadFileBytes(folder + "/Group.1"), std::string("FSFilter Activity Monitor\0", 26));
    EXPECT_EQ(ReadFileBytes(folder + "/DependOnService.7"), std::string("tcpip\0\0", 7));

    EXPECT_EQ(CreateDriverService(scm, "demo", "x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    SC_HANDLE opened = OpenServiceA(scm, "DEMO", SERVICE_ALL_ACCESS);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(DeleteService(opened));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(OpenServiceA(scm, "Demo", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 3u);
    EXPECT_TRUE(CloseServiceHandle(opened));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(scm));
    EXPECT_FALSE(CloseServiceHandle(scm));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostServices, StartServiceLoadsTheImageAsAProcessOnce) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateDriverService(scm, "Probe", NUVEX_TEST_DRIVER_IMAGE);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    pid_t pid = RecordedPid("Probe");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Alive(pid));
    EXPECT_EQ(ReadFileBytes(Root() + "/Drivers/Probe.args"), "2 Probe " + Root());

    // Its device answers, and it is the recorded process that answers.
    HANDLE device = CreateFileA("\\\\.\\Probe", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint8_t out[4] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, 1, nullptr, 0, out, 4, &returned, nullptr));
    EXPECT_EQ(static_cast<pid_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24)), pid);
    CloseHandle(device);

    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    // Deleting the service leaves the driver running.
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(Alive(pid));
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    EXPECT_EQ(NuvexHost_StopDrivers(), 1u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Alive(pid) && std::chrono::steady_clock::now() < deadline) ::usleep(10000);
    EXPECT_FALSE(Alive(pid));  // ended and reaped: not even a zombie remains
    EXPECT_FALSE(FileExists(Root() + "/Drivers/Probe.pid"));
}

TEST_F(HostServices, NtLoadDriverNeedsThePrivilegeAndRefusesALoadedImage) {
    std::string drivers = Root() + "/Windows/System32/drivers/";
    // No ImagePath: the image is drivers\<name>.sys.
    ASSERT_TRUE(CopyFileA(NUVEX_TEST_DRIVER_IMAGE, (drivers + "NtProbe.sys").c_str(), FALSE));
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\NtProbe", &key),
        ERROR_SUCCESS);
    const BYTE kernel[4] = {1, 0, 0, 0};
    RegSetValueExA(key, "Type", 0, REG_DWORD, kernel, 4);
    RegCloseKey(key);
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NtProbe";

    EXPECT_EQ(NuvexHost_LoadDriverPrivilegeEnabled(), 0);
    EXPECT_EQ(LoadByPath(path), STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_FALSE(FileExists(Root() + "/Drivers/NtProbe.pid"));
    EnableLoadDriver();
    EXPECT_EQ(NuvexHost_LoadDriverPrivilegeEnabled(), 1);
    EXPECT_EQ(LoadByPath(path), STATUS_SUCCESS);
    EXPECT_TRUE(Alive(RecordedPid("NtProbe")));
    EXPECT_EQ(LoadByPath(path), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(LoadByPath(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Absent"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 4u);

    NuvexHost_ForceLoadStatus(1, static_cast<int32_t>(0xC0000022u));
    EXPECT_EQ(LoadByPath(path), static_cast<NTSTATUS>(0xC0000022u));
    EXPECT_EQ(LoadByPath(path), STATUS_IMAGE_ALREADY_LOADED);
    NuvexHost_ResetFaults();
    EXPECT_EQ(NuvexHost_LoadDriverPrivilegeEnabled(), 0);
}

TEST_F(HostServices, DriversThatNeverGetReadyAreEndedAndTheLoadFails) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    // An image without the ready pipe counts as ready once its new socket accepts.
    SC_HANDLE silent = CreateDriverService(scm, "SilentProbe", NUVEX_TEST_DRIVER_IMAGE);
    EXPECT_TRUE(StartServiceA(silent, 0, nullptr));
    SC_HANDLE quitter = CreateDriverService(scm, "ExitProbe", NUVEX_TEST_DRIVER_IMAGE);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(StartServiceA(quitter, 0, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(FileExists(Root() + "/Drivers/ExitProbe.pid"));
    SC_HANDLE missing = CreateDriverService(scm, "MissingProbe", "/nonexistent/driver.sys");
    EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SC_HANDLE stuck = CreateDriverService(scm, "NeverProbe", NUVEX_TEST_DRIVER_IMAGE);
    EXPECT_FALSE(StartServiceA(stuck, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_FALSE(FileExists(Root() + "/Drivers/NeverProbe.pid"));
    for (SC_HANDLE h : {silent, quitter, missing, stuck, scm}) CloseServiceHandle(h);
    EXPECT_EQ(NuvexHost_StopDrivers(), 1u);
}

TEST_F(HostServices, TokensAndTheNtdllModule) {
    HANDLE token = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    LUID luid{};
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeMadeUpPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(
        LookupPrivilegeValueA(nullptr, "SeLoadDriverPrivilege", &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(token);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 1u);
    // A privilege the process does not hold: success, but not all assigned.
    TOKEN_PRIVILEGES debug = privileges;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debug.Privileges[0].Luid));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &debug, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    EXPECT_TRUE(
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u);
    EXPECT_EQ(NuvexHost_LoadDriverPrivilegeEnabled(), 1);
    EXPECT_TRUE(CloseHandle(token));

    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    EXPECT_EQ(LoadLibraryA("kernel33.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    auto load = reinterpret_cast<PFN_NtLoadDriver>(GetProcAddress(ntdll, "NtLoadDriver"));
    EXPECT_EQ(load, &NtLoadDriver);
    EXPECT_EQ(GetProcAddress(ntdll, "NtUnloadDriver"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 1u);
    EXPECT_TRUE(FreeLibrary(ntdll));
    EXPECT_FALSE(FreeLibrary(ntdll));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace nuvex::test
