// The machine root, system paths, events reaching a person, GUIDs and the last error.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

class HostMachine : public MachineRootTest {};

TEST_F(HostMachine, SystemDirectoryIsUnderTheRootWithWindowsBufferRules) {
    std::string expected = Root() + "/Windows/System32";
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), expected.size() + 1);
    std::vector<char> exact(expected.size());
    EXPECT_EQ(GetSystemDirectoryA(exact.data(), static_cast<UINT>(exact.size())),
              expected.size() + 1);  // no room for the zero: the size needed
    char buffer[MAX_PATH * 2];
    ASSERT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_TRUE(FileExists(expected + "/drivers"));
    EXPECT_TRUE(
        FileExists(Root() + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services"));

    // A new root is read again after a reset.
    std::string other = Scratch("other-root");
    ::setenv("NUVEX_HOST_ROOT", other.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(buffer), other + "/Windows/System32");
}

TEST_F(HostMachine, ModuleFileNameIsTheRunningProgram) {
    char expected[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    char buffer[4096];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, length), std::string(expected));
    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);  // truncated, terminated
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), std::string(expected).substr(0, 4));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
}

TEST_F(HostMachine, DebugTextAndMessageBoxesGoToTheEventsFile) {
    std::string events = Scratch("events.log");
    OutputDebugStringA("nobody listens");  // no file named: goes nowhere
    ::setenv("NUVEX_HOST_EVENTS", events.c_str(), 1);
    SetLastError(1234);
    OutputDebugStringA("hello");
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(MessageBoxA(GetForegroundWindow(), "pfnNtLoadDriver:0xC000010E", "Nuvex", MB_OK),
              IDOK);
    ::unsetenv("NUVEX_HOST_EVENTS");
    EXPECT_EQ(ReadFileBytes(events),
              "debug: hello\nmessagebox: Nuvex|pfnNtLoadDriver:0xC000010E\n");
}

// ---- whose machine root ---------------------------------------------------------------------

// A user other than the one the tests run as (the tests run as root, which may give files away).
constexpr uid_t kOtherUser = 65534;

mode_t ModeOf(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A machine root that someone else could have prepared must not be used at all: no system
// directory, no registry, no service manager and, above all, nothing sent to a socket there.
TEST_F(HostMachine, RootOrFolderNotTheCallersOwnIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> spoil;
    };
    const Case cases[] = {
        {"root of another user", [](const std::string& root) { ASSERT_EQ(::chown(root.c_str(), kOtherUser, 0), 0); }},
        {"root writable by others", [](const std::string& root) { ASSERT_EQ(::chmod(root.c_str(), 0777), 0); }},
        {"root writable by the group", [](const std::string& root) { ASSERT_EQ(::chmod(root.c_str(), 0770), 0); }},
        {"sticky shared root", [](const std::string& root) { ASSERT_EQ(::chmod(root.c_str(), 01777), 0); }},
        {"device folder of another user", [](const std::string& root) { ASSERT_EQ(::chown((root + "/Device").c_str(), kOtherUser, 0), 0); }},
        {"drivers folder writable by others", [](const std::string& root) { ASSERT_EQ(::chmod((root + "/Windows/System32/drivers").c_str(), 0777), 0); }},
        {"services key of another user", [](const std::string& root) { ASSERT_EQ(::chown((root + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services").c_str(), kOtherUser, 0), 0); }},
        {"pid folder as a link", [](const std::string& root) {
             fs::rename(root + "/Drivers", root + "/Drivers.real");
             fs::create_directory_symlink(root + "/Drivers.real", root + "/Drivers");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = Scratch(std::string("machine-") + std::to_string(&c - cases));
        ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
        NuvexHost_ResetMachineRoot();
        ASSERT_EQ(ModeOf(root + "/Device"), 0700u);
        FakeDriver planted(root, "Nuvexcdo_3");
        c.spoil(root);
        const mode_t spoiled = ModeOf(root);

        char buffer[MAX_PATH * 2] = {};
        SetLastError(0);
        EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(CreateFileA("\\\\.\\Nuvexcdo_3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", &key),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
        // Through the exports: the key goes nowhere, nothing is installed or started.
        const char secret[16] = "secret key";
        EXPECT_NE(NuvexCtrl_SetKey(1, secret, sizeof secret), 0u);
        EXPECT_NE(NuvexCtrl_Install(1, "/proc/self/exe"), 0u);
        EXPECT_NE(NuvexAccCtrl_Install(1, "/proc/self/exe"), 0u);
        EXPECT_FALSE(FileExists(root + "/Windows/System32/drivers/Nuvex.sys"));
        EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 0u);
        EXPECT_EQ(planted.ConnectionCount(), 0);
        // Refused as found: the platform does not try to take the folder over.
        EXPECT_EQ(ModeOf(root), spoiled);
    }
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostMachine, RootAsALinkIsRefusedEvenToTheCallersOwnFolder) {
    namespace fs = std::filesystem;
    const std::string real = Scratch("real-root");
    const std::string link = Scratch("linked-root");
    fs::create_directory(real);
    ASSERT_EQ(::chmod(real.c_str(), 0700), 0);
    fs::create_directory_symlink(real, link);
    ::setenv("NUVEX_HOST_ROOT", link.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    char buffer[MAX_PATH * 2];
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FileExists(real + "/Windows"));  // nothing made through the link
}

// A root in a folder anyone may write to can be renamed away and replaced by anyone: refused
// there, accepted in a sticky shared folder such as /tmp.
TEST_F(HostMachine, RootInAFolderAnyoneMayWriteToIsRefused) {
    namespace fs = std::filesystem;
    char buffer[MAX_PATH * 2];
    for (const mode_t shared : {0777u, 01777u}) {
        SCOPED_TRACE(shared);
        const std::string folder = Scratch("shared-" + std::to_string(shared));
        fs::create_directory(folder);
        ASSERT_EQ(::chmod(folder.c_str(), shared), 0);
        ::setenv("NUVEX_HOST_ROOT", (folder + "/deeper/root").c_str(), 1);
        NuvexHost_ResetMachineRoot();
        const bool sticky = (shared & S_ISVTX) != 0;
        EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer) != 0, sticky);
        EXPECT_EQ(FileExists(folder + "/deeper/root/Device"), sticky);
    }
}

// What is missing is made owner-only in one step; a folder of the caller's that only others
// may read (0755) is used as it is.
TEST_F(HostMachine, MissingRootIsMadeOwnerOnlyAndAReadableOneIsKept) {
    namespace fs = std::filesystem;
    const std::string root = Scratch("new/deeper/root");
    ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    char buffer[MAX_PATH * 2];
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    for (const char* folder : {"", "/Windows", "/Windows/System32/drivers", "/Device", "/Drivers",
                               "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services"})
        EXPECT_EQ(ModeOf(root + folder), 0700u) << folder;
    EXPECT_EQ(ModeOf(Scratch("new/deeper")), 0700u);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nuvex", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ModeOf(root + "/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Nuvex"), 0700u);

    const std::string open = Scratch("readable-root");
    fs::create_directory(open);
    ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
    ::setenv("NUVEX_HOST_ROOT", open.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(buffer), open + "/Windows/System32");
    EXPECT_EQ(ModeOf(open), 0755u);
}

// Without NUVEX_HOST_ROOT the per-user folder is checked like any other; and a root that goes
// away while the process runs is checked again when it is next used, so a folder someone else
// made in its place is not followed.
TEST_F(HostMachine, DefaultRootAndARootReplacedLaterAreChecked) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    namespace fs = std::filesystem;
    const std::string runtime = Scratch("runtime");
    fs::create_directory(runtime);
    ::unsetenv("NUVEX_HOST_ROOT");
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    NuvexHost_ResetMachineRoot();
    char buffer[MAX_PATH * 2];
    ASSERT_GT(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(buffer), runtime + "/nuvex-host/Windows/System32");
    EXPECT_EQ(ModeOf(runtime + "/nuvex-host"), 0700u);

    // Removed and made again by another user while this process still has it cached.
    fs::remove_all(runtime + "/nuvex-host");
    fs::create_directory(runtime + "/nuvex-host");
    ASSERT_EQ(::chown((runtime + "/nuvex-host").c_str(), kOtherUser, 0), 0);
    FakeDriver planted(runtime + "/nuvex-host", "Nuvexcdo_3");
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(CreateFileA("\\\\.\\Nuvexcdo_3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(planted.ConnectionCount(), 0);
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(HostGuid, GuidsAreRandomVersionFour) {
    GUID a{}, b{};
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    EXPECT_EQ(a.Data3 >> 12, 4);
    EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
    EXPECT_FALSE(a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3);
}

TEST(HostErrors, LastErrorBelongsToTheThread) {
    SetLastError(5);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(7);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(HostMachine, ConcurrentRequestsOnOneHandleGetTheirOwnReplies) {
    FakeDriver driver(Root(), "Echo",
                      [](const FakeRequest& request) { return FakeReply::Ok(request.input); });
    HANDLE device = CreateFileA("\\\\.\\Echo", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([device, t, &mismatches] {
            for (uint32_t i = 0; i < 50; ++i) {
                uint32_t in[2] = {static_cast<uint32_t>(t), i};
                uint32_t out[2] = {};
                DWORD returned = 0;
                if (!DeviceIoControl(device, 1, in, sizeof in, out, sizeof out, &returned,
                                     nullptr) ||
                    returned != sizeof out || out[0] != in[0] || out[1] != in[1])
                    ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    EXPECT_EQ(driver.ConnectionCount(), 1);
    CloseHandle(device);
}

}  // namespace
}  // namespace nuvex::test
