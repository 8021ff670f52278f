#include "sim_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include "nuvex_wire_socket.h"

namespace nuvex::simtest {

void Put32(Bytes& out, uint32_t value) {
    out.resize(out.size() + 4);
    NuvexWire_Store32(out.data() + out.size() - 4, value);
}

uint32_t Get32(const Bytes& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    return NuvexWire_Load32(bytes.data() + offset);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Client::~Client() {
    if (fd_ >= 0) ::close(fd_);
}

bool Client::Connect(const std::string& socketPath) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

Reply Client::Call(uint32_t code, const Bytes& input, uint32_t outputLength) {
    Reply reply;
    NuvexFrameReply frame;
    if (fd_ < 0 ||
        !NuvexWire_SendRequest(fd_, code, input.data(), static_cast<uint32_t>(input.size()),
                               outputLength) ||
        !NuvexWire_ReceiveReply(fd_, &frame)) {
        reply.broken = true;
        return reply;
    }
    if (frame.returned > outputLength) {
        reply.broken = true;
        return reply;
    }
    reply.bytes.resize(frame.returned);
    if (frame.returned > 0 && !NuvexWire_ReceiveAll(fd_, reply.bytes.data(), frame.returned)) {
        reply.broken = true;
        return reply;
    }
    reply.ok = frame.ok == 1;
    return reply;
}

bool Client::SendRaw(const Bytes& bytes) {
    return fd_ >= 0 && NuvexWire_SendAll(fd_, bytes.data(), bytes.size(), 0);
}

bool Client::BeginControl() {
    Reply token = Call(main_driver::kBeginControl, {}, NUVEX_WORD_SIZE);
    if (!token.ok || token.bytes.size() != NUVEX_WORD_SIZE) return false;
    return Call(main_driver::kConfirmControl, token.bytes, 0).ok;
}

void Client::EndControl() { Call(main_driver::kEndControl); }

std::string BinaryDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

std::string MakeTempRoot() {
    char pattern[] = "/tmp/nuvex-sim-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made ? made : "";
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool DriverProcess::Start(const std::string& image, const std::string& root) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    std::string program = BinaryDirectory() + "/" + image;
    std::string service = image.substr(0, image.find('.'));
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::close(ready[0]);
        int fd = ::dup(ready[1]);  // without close-on-exec
        ::setenv("NUVEX_HOST_ROOT", root.c_str(), 1);
        ::setenv("NUVEX_READY_FD", std::to_string(fd).c_str(), 1);
        ::execl(program.c_str(), program.c_str(), service.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    pid_ = pid;
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    bool ok = ::poll(&wait, 1, 5000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!ok) Stop();
    return ok;
}

int DriverProcess::WaitExit(int milliseconds) {
    if (pid_ < 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int DriverProcess::Stop() {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = WaitExit(5000);
    if (status < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return status;
}

}  // namespace nuvex::simtest
