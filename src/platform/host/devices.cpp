// Control devices: `\\.\NAME` is a connection to the Unix stream socket <root>/Device/NAME, and
// each DeviceIoControl is one request frame and one reply frame on it (nuvex_wire.h).
#include <errno.h>
#include <fcntl.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "nuvex_wire_socket.h"
#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

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
    // A socket in a machine that is not the caller's own is never connected to: whoever
    // listens there would receive keys and policies meant for the driver.
    std::string root = MachineRoot();
    if (root.empty()) return INVALID_HANDLE_VALUE;
    int fd = LiftDescriptor(ConnectTo(root + "/Device", name));
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
    if (!NuvexWire_SendRequest(fd, code, in, inLength, outLength))
        return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);

    NuvexFrameReply reply;
    if (!NuvexWire_ReceiveReply(fd, &reply)) return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);
    const uint32_t ok = reply.ok;
    const uint32_t count = reply.returned;
    // A driver that claims more than the caller's buffer holds has lost the frame boundary.
    if (count > outLength) return BreakConnection(fd, *info, ERROR_GEN_FAILURE);
    if (count > 0 && !NuvexWire_ReceiveAll(fd, out, count))
        return BreakConnection(fd, *info, ERROR_BROKEN_PIPE);
    if (returned != nullptr) *returned = count;
    if (ok != 1) return Fail(ERROR_GEN_FAILURE);
    return TRUE;
}
