// The table of open handles. A file, device or token HANDLE is the number of a descriptor the
// platform opened; the table keeps what Windows keeps with a handle (access granted, kind).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

std::mutex g_tableLock;
std::map<int, std::shared_ptr<HandleInfo>>& Table() {
    static auto* table = new std::map<int, std::shared_ptr<HandleInfo>>();  // never destroyed:
    return *table;  // handles may still be closed by other objects' destructors at exit
}
std::atomic<uint32_t> g_otherObjects{0};

int FdOf(HANDLE handle) {
    intptr_t value = reinterpret_cast<intptr_t>(handle);
    if (value < 0 || value > 0x7FFFFFFF) return -1;
    return static_cast<int>(value);
}

}  // namespace

int LiftDescriptor(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return lifted;
}

HANDLE RegisterHandle(int fd, std::shared_ptr<HandleInfo> info) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    Table()[fd] = std::move(info);
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

std::shared_ptr<HandleInfo> LookupHandle(HANDLE handle, int* fd) {
    int number = FdOf(handle);
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto found = number < 0 ? Table().end() : Table().find(number);
    if (found == Table().end()) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (fd != nullptr) *fd = number;
    return found->second;
}

bool CloseRegisteredHandle(HANDLE handle) {
    int number = FdOf(handle);
    {
        std::lock_guard<std::mutex> lock(g_tableLock);
        auto found = number < 0 ? Table().end() : Table().find(number);
        if (found == Table().end()) return false;
        Table().erase(found);
    }
    ::close(number);
    return true;
}

void CountObjectOpened() {
    g_otherObjects.fetch_add(1);
}
void CountObjectClosed() {
    g_otherObjects.fetch_sub(1);
}

uint32_t OpenHandleCount() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    return static_cast<uint32_t>(Table().size()) + g_otherObjects.load();
}

}  // namespace nuvex::host

using namespace nuvex::host;

BOOL CloseHandle(HANDLE handle) {
    // The pseudo handles of the current process and thread need no closing.
    if (handle == GetCurrentProcess() || handle == GetCurrentThread()) return TRUE;
    if (!CloseRegisteredHandle(handle)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
