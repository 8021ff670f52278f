#include "fuzz_support.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "nuvex_wire_socket.h"
#include "platform/host/host_hooks.h"

namespace nuvex::fuzz {
namespace {

bool IsHandshake(uint32_t code) {
    return code == main_driver::kBeginControl || code == main_driver::kConfirmControl ||
           code == main_driver::kEndControl;
}

}  // namespace

const std::string& MachineRoot() {
    static const std::string root = [] {
        char pattern[] = "/tmp/nuvex-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) std::abort();
        ::setenv("NUVEX_HOST_ROOT", made, 1);
        NuvexHost_ResetMachineRoot();
        std::string path = made;
        // The root goes when the fuzzer exits normally.
        static struct Remover {
            std::string path;
            ~Remover() {
                std::error_code ignored;
                std::filesystem::remove_all(path, ignored);
            }
        } remover{path};
        return path;
    }();
    return root;
}

struct ScriptedDriver::State {
    std::mutex lock;
    std::vector<uint8_t> script;
    size_t position = 0;
    std::atomic<uint32_t> answered{0};
    int listenFd = -1;

    std::vector<uint8_t> NextReply(bool* ok) {
        std::lock_guard<std::mutex> guard(lock);
        *ok = true;
        std::vector<uint8_t> bytes;
        if (position + 3 > script.size()) {
            position = script.size();
            return bytes;
        }
        const uint8_t flags = script[position];
        uint32_t length = script[position + 1] | (script[position + 2] << 8);
        position += 3;
        *ok = (flags & 1) == 0;
        if (length > script.size() - position) length = static_cast<uint32_t>(script.size() - position);
        bytes.assign(script.begin() + position, script.begin() + position + length);
        position += length;
        return bytes;
    }

    void Serve(int fd) {
        for (;;) {
            NuvexFrameRequest head;
            if (!NuvexWire_ReceiveRequest(fd, &head)) break;
            if (!NuvexWire_DiscardInput(fd, head.inputLength)) break;
            bool ok = true;
            std::vector<uint8_t> bytes;
            if (IsHandshake(head.code)) {
                if (head.code == main_driver::kBeginControl) {
                    bytes.resize(NUVEX_WORD_SIZE);
                    NuvexWire_Store32(bytes.data(), 0x5A5A0001);
                }
            } else {
                bytes = NextReply(&ok);
                ++answered;
            }
            if (!NuvexWire_SendReply(fd, ok, bytes.data(), static_cast<uint32_t>(bytes.size())))
                break;
        }
        ::close(fd);
    }
};

ScriptedDriver::ScriptedDriver(const char* deviceName) : state_(new State) {
    std::filesystem::path dir = std::filesystem::path(MachineRoot()) / "Device";
    std::filesystem::create_directories(dir);
    std::string path = (dir / deviceName).string();
    ::unlink(path.c_str());
    state_->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(state_->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(state_->listenFd, 16) != 0)
        std::abort();
    // One connection at a time: the library opens one device handle per export call. The
    // driver lives as long as the process.
    State* state = state_;
    std::thread([state] {
        for (;;) {
            int fd = ::accept4(state->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR) continue;
                return;
            }
            state->Serve(fd);
        }
    }).detach();
}

void ScriptedDriver::SetScript(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->script.assign(data, data + size);
    state_->position = 0;
    state_->answered = 0;
}

uint32_t ScriptedDriver::Answered() const { return state_->answered.load(); }

LeakGuard::LeakGuard() : blocks_(NuvexTest_HeapLiveBlocks()), handles_(NuvexHost_OpenHandleCount()) {}

LeakGuard::~LeakGuard() {
    uint32_t blocks = NuvexTest_HeapLiveBlocks();
    uint32_t handles = NuvexHost_OpenHandleCount();
    if (blocks != blocks_ || handles != handles_) {
        std::fprintf(stderr, "leak: heap blocks %u -> %u, handles %u -> %u\n", blocks_, blocks,
                     handles_, handles);
        std::abort();
    }
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
}

}  // namespace nuvex::fuzz
