// A small client of the simulated drivers for tests: starts an image as a process with its
// own machine root and talks to its device with the raw frame protocol.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nuvex_wire.h"

namespace nuvex::simtest {

using Bytes = std::vector<uint8_t>;

struct Reply {
    bool ok = false;
    Bytes bytes;
    bool broken = false;  // the connection failed instead of answering
};

class Client {
public:
    Client() = default;
    explicit Client(const std::string& socketPath) { Connect(socketPath); }
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(const std::string& socketPath);
    bool Connected() const { return fd_ >= 0; }
    Reply Call(uint32_t code, const Bytes& input = {}, uint32_t outputLength = 0);
    // Sends bytes as they are (half frames and other rubbish).
    bool SendRaw(const Bytes& bytes);
    // Begin and end of the control handshake of the main filter driver.
    bool BeginControl();
    void EndControl();

private:
    int fd_ = -1;
};

// The directory of the running test program, where the driver images are built.
std::string BinaryDirectory();
// A fresh temporary directory, removed by RemoveTree.
std::string MakeTempRoot();
void RemoveTree(const std::string& path);

// A driver image running as a child process.
class DriverProcess {
public:
    DriverProcess() = default;
    ~DriverProcess() { Stop(); }
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // Starts <bin>/<image> with NUVEX_HOST_ROOT=root and waits for its ready byte.
    bool Start(const std::string& image, const std::string& root);
    // Sends SIGTERM and reaps the process; returns its exit status (or -1).
    int Stop();
    // Waits up to `milliseconds` for the process to end by itself; returns its exit
    // status, or -1 when it is still running.
    int WaitExit(int milliseconds);
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

void Put32(Bytes& out, uint32_t value);
uint32_t Get32(const Bytes& bytes, size_t offset);
Bytes Text(const std::string& text);

}  // namespace nuvex::simtest
