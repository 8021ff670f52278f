// Control devices: the frame protocol on the wire, replies that break the rules, broken
// connections (no SIGPIPE) and absent devices.
#include <signal.h>

#include <string>
#include <vector>

#include "fake_driver.h"
#include "machine_root.h"
#include "nuvex_wire.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

class HostDevices : public MachineRootTest {
protected:
    HANDLE OpenDevice(const char* name) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(HostDevices, AbsentDeviceIsFileNotFound) {
    EXPECT_EQ(OpenDevice("\\\\.\\Nowhere"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostDevices, RequestsAndRepliesTravelAsFrames) {
    FakeDriver driver(Root(), "Frames", [](const FakeRequest& request) {
        if (request.code == 2) return FakeReply{false, Bytes("no")};
        return FakeReply::Ok(Bytes("reply"));
    });
    HANDLE device = OpenDevice("\\\\.\\Frames");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 1u);
    uint8_t in[3] = {7, 8, 9};
    uint8_t out[16] = {};
    DWORD returned = 99;
    ASSERT_TRUE(
        DeviceIoControl(device, main_driver::kBeginControl, in, sizeof in, out, sizeof out,
                        &returned, nullptr));
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 5), "reply");
    EXPECT_FALSE(DeviceIoControl(device, 2, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 2u);  // a failing reply still reports its count
    ASSERT_TRUE(DeviceIoControl(device, 3, nullptr, 0, out, sizeof out, &returned, nullptr));

    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, main_driver::kBeginControl);
    EXPECT_EQ(requests[0].input, (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(requests[0].outputLength, 16u);
    EXPECT_EQ(requests[0].peerPid, ::getpid());
    EXPECT_EQ(requests[2].connection, requests[0].connection);  // one handle, one connection
    // Devices are not ordinary files: the hooks' counters leave them out.
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultOpen), 0u);
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostDevices, ReplyLongerThanTheOutputBreaksTheConnection) {
    FakeDriver driver(Root(), "Greedy", [](const FakeRequest&) {
        return FakeReply::Ok(Bytes("far too many bytes"));
    });
    HANDLE device = OpenDevice("\\\\.\\Greedy");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint8_t guard[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(guard, guard + 4));
    // The connection is gone: later requests fail too instead of reading leftovers.
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(driver.Requests().size(), 1u);
    CloseHandle(device);
}

TEST_F(HostDevices, BrokenConnectionFailsWithoutSignal) {
    // Make SIGPIPE fatal-by-default for the test, as in a host program that never touched it.
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &fatal, &previous);
    FakeDriver driver(Root(), "Flaky", [](const FakeRequest&) {
        FakeReply reply;
        reply.hangUp = true;
        return reply;
    });
    HANDLE device = OpenDevice("\\\\.\\Flaky");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD returned = 5;
    uint8_t out[4];
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    std::vector<uint8_t> big(1 << 20, 0x55);
    EXPECT_FALSE(DeviceIoControl(device, 1, big.data(), static_cast<DWORD>(big.size()), out,
                                 sizeof out, &returned, nullptr));
    CloseHandle(device);

    // A driver that stops while a handle is open: the request fails, the process lives on.
    FakeDriver gone(Root(), "Gone");
    device = OpenDevice("\\\\.\\Gone");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    gone.Stop();
    EXPECT_FALSE(DeviceIoControl(device, 1, big.data(), static_cast<DWORD>(big.size()), out,
                                 sizeof out, &returned, nullptr));
    CloseHandle(device);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(HostDevices, FileCallsOnDevicesAndDeviceCallsOnFilesAreRefused) {
    FakeDriver driver(Root(), "Dev");
    HANDLE device = OpenDevice("\\\\.\\Dev");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    char byte = 0;
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(device, &byte, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(device);
    HANDLE file =
        CreateFileA(Scratch("f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(file, 1, nullptr, 0, nullptr, 0, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(file);
}

}  // namespace
}  // namespace nuvex::test
