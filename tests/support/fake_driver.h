// A scriptable driver for tests: listens on <root>/Device/<name>, serves every connection
// on its own thread, records each request and answers through the handler the test gives.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nuvex::test {

struct FakeRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
    int connection = 0;   // serial number of the connection that carried it (1, 2, ...)
    pid_t peerPid = 0;    // process on the other end (SO_PEERCRED)
};

struct FakeReply {
    bool ok = true;
    std::vector<uint8_t> bytes;
    // When set, the reply claims this many bytes instead of bytes.size() (hostile drivers).
    std::optional<uint32_t> claimedLength;
    // When true, the driver drops the connection instead of answering.
    bool hangUp = false;

    static FakeReply Ok(std::vector<uint8_t> bytes = {}) { return FakeReply{true, std::move(bytes)}; }
    static FakeReply Fail() { return FakeReply{false, {}}; }
    static FakeReply U32(uint32_t value);
};

class FakeDriver {
public:
    using Handler = std::function<FakeReply(const FakeRequest&)>;

    // Starts listening at once; by default every request succeeds with no bytes.
    FakeDriver(const std::string& machineRoot, const std::string& deviceName,
               Handler handler = nullptr);
    ~FakeDriver();
    FakeDriver(const FakeDriver&) = delete;
    FakeDriver& operator=(const FakeDriver&) = delete;

    void SetHandler(Handler handler);
    std::vector<FakeRequest> Requests() const;
    std::vector<uint32_t> Codes() const;
    int ConnectionCount() const { return connections_.load(); }
    // Connections whose peer has closed them.
    int ClosedConnectionCount() const { return closed_.load(); }
    void ClearRequests();
    const std::string& SocketPath() const { return path_; }
    // Stops listening and removes the socket (the driver "unloads").
    void Stop();

private:
    void AcceptLoop();
    void Serve(int fd, int connection);

    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> closed_{0};
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<FakeRequest> requests_;
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
    std::vector<int> clientFds_;
};

// Helpers for building replies and reading requests.
std::vector<uint8_t> Bytes(const std::string& text);
uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace nuvex::test
