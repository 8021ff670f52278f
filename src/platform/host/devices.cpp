// Control devices: `\\.\NAME` is a connection to the Unix stream socket <root>/Device/NAME, and
// each DeviceIoControl is one request frame and one reply frame on it (little-endian):
//   request: u32 code, u32 inputLength, u32 outputLength, input bytes
//   reply:   u32 ok, u32 bytesReturned, bytesReturned bytes (never more than outputLength)
#include <errno.h>
#include <fcntl.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// Sends everything; a closed peer gives EPIPE, never SIGPIPE.
bool SendAll(int fd, const uint8_t* data, size_t length, int flags) {
    while (length > 0) {
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::recv(fd, data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int ConnectTo(const std::string& folder, const std::string& name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder + "/" + name;
    int folderFd = -1;
    if (path.size() >= sizeof address.sun_path) {
        // A long machine root: reach the socket through a descriptor of its folder.
        folderFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
    }
    int result = -1;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        do {
            result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } while (result != 0 && errno == EINTR);
    } else {
        errno = ENAMETOOLONG;
    }
    int saved = errno;
    if (folderFd >= 0) ::close(folderFd);
    if (result != 0) {
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

BOOL BreakConnection(int fd, HandleInfo& info, DWORD error) {
    info.broken = true;
    ::shutdown(fd, SHUT_RDWR);
    return Fail(error);
}

}  // namespace

HANDLE OpenDeviceHandle(const std::string& name) {
    int fd = LiftDescriptor(ConnectTo(MachineRoot() + "/Device", name));
    if (fd < 0) {
        // Nothing listens there: the device does not exist.
        SetError(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                                                    : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto info = std::make_shared<HandleInfo>();
    info->kind = HandleKind::Device;
    info->access = GENERIC_READ | GENERIC_WRITE;
    info->canRead = true;
    info->canWrite = true;
    SetError(ERROR_SUCCESS);
    return RegisterHandle(fd, std::move(info));
}

}  // namespace nuvex::host

using namespace nuvex::host;

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, LPDWORD returned, LPOVERLAPPED ov) {
    if (returned != nullptr) *returned = 0;
    int fd = -1;
    std::shared_ptr<HandleInfo> info = LookupHandle(device, &fd);
    if (!info) return FALSE;
    if (info->kind != HandleKind::Device) return Fail(ERROR_INVALID_FUNCTION);
    if (ov != nullptr || (in == nullptr && inLength > 0) || (out == nullptr && outLength > 0))
        return Fail(ERROR_INVALID_PARAMETER);

    std::lock_guard<std::mutex> order(info->requestLock);
    if (info->broken) return Fail(ERROR_BROKEN_PIPE);
    uint8_t request[12];
    PutU32(request, code);
    PutU32(request + 4, inLength);
    PutU32(request + 8, outLength);
    if (!SendAll(fd, request, sizeof request, inLength > 0 ? MSG_MORE : 0) ||
        !SendAll(fd, static_cast<const uint8_t*>(in), inLength, 0))
        return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);

    uint8_t head[8];
    if (!ReceiveAll(fd, head, sizeof head)) return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);
    uint32_t ok = GetU32(head);
    uint32_t count = GetU32(head + 4);
    // A driver that claims more than the caller's buffer holds has lost the frame boundary.
    if (count > outLength) return BreakConnection(fd, *info, ERROR_GEN_FAILURE);
    if (count > 0 && !ReceiveAll(fd, static_cast<uint8_t*>(out), count))
        return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);
    if (returned != nullptr) *returned = count;
    if (ok != 1) return Fail(ERROR_GEN_FAILURE);
    return TRUE;
}
