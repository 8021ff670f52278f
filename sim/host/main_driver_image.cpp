// Nuvex.sys for the host: the main filter driver's core behind the device "Nuvexcdo_3".
// Document headers are reached through the caller's own handle, /proc/<pid>/fd/<handle>,
// where <pid> comes from the socket's credentials, never from the request.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "core/main_driver_core.h"
#include "driver_host.h"

namespace {

using nuvex::sim::Connection;

std::mutex g_coreMutex;  // the core is not thread-safe: every call goes through this lock
NuvexMainCore* g_core = nullptr;

void* Allocate(void*, size_t size) { return ::malloc(size); }
void Release(void*, void* block) { ::free(block); }
uint64_t Now(void*) { return nuvex::sim::FileTimeNow(); }

uint32_t Random32(void*) {
    uint32_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) value = 0;
    return value;
}

std::string HandlePath(uint32_t pid, uint32_t handle) {
    return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(handle);
}

// Opens the file behind a caller's handle, regular files only (a FIFO or a device could
// block the driver).
int OpenCallerFile(uint32_t pid, uint32_t handle, int flags) {
    if (pid == 0) return -1;
    std::string path = HandlePath(pid, handle);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ReadFileStart(void*, uint32_t pid, uint32_t handle, uint8_t* buffer, uint32_t length,
                  uint32_t* got, char* path, uint32_t pathCapacity) {
    *got = 0;
    int fd = OpenCallerFile(pid, handle, O_RDONLY);
    if (fd < 0) return 0;
    uint32_t total = 0;
    while (total < length) {
        ssize_t n = ::pread(fd, buffer + total, length - total, total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<uint32_t>(n);
    }
    ::close(fd);
    *got = total;
    if (path && pathCapacity > 0) {
        std::string link = HandlePath(pid, handle);
        ssize_t n = ::readlink(link.c_str(), path, pathCapacity - 1);
        path[n > 0 ? n : 0] = 0;
    }
    return 1;
}

int WriteFileStart(void*, uint32_t pid, uint32_t handle, const uint8_t* buffer,
                   uint32_t length) {
    // A read-only file (no write permission bit) is left alone, as the platform does.
    struct stat info {};
    if (::stat(HandlePath(pid, handle).c_str(), &info) != 0 || (info.st_mode & 0222) == 0)
        return 0;
    int fd = OpenCallerFile(pid, handle, O_WRONLY);
    if (fd < 0) return 0;
    uint32_t total = 0;
    while (total < length) {
        ssize_t n = ::pwrite(fd, buffer + total, length - total, total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<uint32_t>(n);
    }
    ::close(fd);
    return total == length;
}

int DescribeProcess(void*, uint32_t pid, char* name, uint32_t capacity) {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = ::readlink(link.c_str(), name, capacity - 1);
    if (n <= 0) return 0;
    name[n] = 0;
    return 1;
}

const NuvexSimEnv kEnv = {nullptr,       Allocate,       Release,        Now, Random32,
                          ReadFileStart, WriteFileStart, DescribeProcess};

class MainConnection final : public Connection {
public:
    explicit MainConnection(pid_t peer) {
        std::lock_guard<std::mutex> lock(g_coreMutex);
        session_ = NuvexMainCore_OpenSession(g_core, static_cast<uint32_t>(peer));
    }
    ~MainConnection() override {
        std::lock_guard<std::mutex> lock(g_coreMutex);
        NuvexMainCore_CloseSession(g_core, session_);
    }
    bool Handle(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                uint32_t capacity, uint32_t* returned) override {
        std::lock_guard<std::mutex> lock(g_coreMutex);
        if (!session_) return false;
        return NuvexMainCore_Request(g_core, session_, code, in, inLength, out, capacity,
                                     returned) != 0;
    }
    bool UnloadRequested() const override {
        std::lock_guard<std::mutex> lock(g_coreMutex);
        return NuvexMainCore_UnloadRequested(g_core) != 0;
    }

private:
    NuvexMainSession* session_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    const nuvex::sim::ImageInfo info{"Nuvex", NUVEX_MAIN_DEVICE_NAME,
                                     "Main filter driver: policies, pass paths, log, document "
                                     "headers through the caller's handle."};
    std::string root, service;
    int code = nuvex::sim::ParseCommandLine(argc, argv, info, &root, &service);
    if (code >= 0) return code;
    g_core = NuvexMainCore_Create(&kEnv);
    if (!g_core) {
        fprintf(stderr, "Nuvex.sys: out of memory\n");
        return 1;
    }
    nuvex::sim::UnloadWhenServiceDeleted(root, service);
    return nuvex::sim::ServeDevice(root, info, [](pid_t peer) {
        return std::unique_ptr<Connection>(new MainConnection(peer));
    });
}
