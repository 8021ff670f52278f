#include "fake_driver.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "nuvex_wire_socket.h"

namespace nuvex::test {

FakeReply FakeReply::U32(uint32_t value) {
    std::vector<uint8_t> bytes(NUVEX_WORD_SIZE);
    NuvexWire_Store32(bytes.data(), value);
    return Ok(std::move(bytes));
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

FakeDriver::FakeDriver(const std::string& machineRoot, const std::string& deviceName,
                       Handler handler)
    : handler_(std::move(handler)) {
    std::filesystem::path dir = std::filesystem::path(machineRoot) / "Device";
    std::filesystem::create_directories(dir);
    path_ = (dir / deviceName).string();
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::strcpy(address.sun_path, path_.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0)
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FakeDriver::~FakeDriver() { Stop(); }

void FakeDriver::Stop() {
    if (stopping_.exchange(true)) return;
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    ::unlink(path_.c_str());
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : clientFds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_)
        if (worker.joinable()) worker.join();
}

void FakeDriver::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<FakeRequest> FakeDriver::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<uint32_t> FakeDriver::Codes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> codes;
    for (const auto& request : requests_) codes.push_back(request.code);
    return codes;
}

void FakeDriver::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void FakeDriver::AcceptLoop() {
    while (!stopping_.load()) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        int connection = ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        clientFds_.push_back(fd);
        workers_.emplace_back([this, fd, connection] { Serve(fd, connection); });
    }
}

void FakeDriver::Serve(int fd, int connection) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size);
    for (;;) {
        NuvexFrameRequest head;
        if (!NuvexWire_ReceiveRequest(fd, &head)) break;
        FakeRequest request;
        request.code = head.code;
        request.outputLength = head.outputLength;
        request.connection = connection;
        request.peerPid = credentials.pid;
        request.input.resize(head.inputLength);
        if (head.inputLength > 0 && !NuvexWire_ReceiveAll(fd, request.input.data(), head.inputLength))
            break;
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            handler = handler_;
        }
        FakeReply reply = handler ? handler(request) : FakeReply::Ok();
        if (reply.hangUp) break;
        // The head may claim another length than the bytes that follow (a lying driver).
        uint8_t replyHead[NUVEX_FRAME_REPLY_HEAD_SIZE];
        NuvexFrame_EncodeReply(
            replyHead,
            {reply.ok ? 1u : 0u,
             reply.claimedLength.value_or(static_cast<uint32_t>(reply.bytes.size()))});
        if (!NuvexWire_SendAll(fd, replyHead, sizeof replyHead, MSG_MORE) ||
            !NuvexWire_SendAll(fd, reply.bytes.data(), reply.bytes.size(), 0))
            break;
    }
    ++closed_;
    ::close(fd);
}

}  // namespace nuvex::test
