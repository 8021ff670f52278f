// The machine root, system paths, events reaching a person, GUIDs and the last error.
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "machine_root.h"
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
