#include "driver_host.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "nuvex_wire_socket.h"

namespace nuvex::sim {
namespace {

constexpr uint32_t kMaxInput = 1u << 20;   // larger inputs are read, dropped and refused
constexpr uint32_t kMaxOutput = 4u << 20;  // replies never need more

int g_signalPipe[2] = {-1, -1};
std::mutex g_exitMutex;
std::string g_socketPath;

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// Ends the image: the socket goes first so that no new client reaches a dying driver.
[[noreturn]] void Exit(int code) {
    std::lock_guard<std::mutex> lock(g_exitMutex);
    if (!g_socketPath.empty()) ::unlink(g_socketPath.c_str());
    ::_exit(code);
}

bool InstallSignals() {
    if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// The host platform's readiness protocol: one byte on the descriptor NUVEX_READY_FD names.
void SignalReady() {
    const char* text = ::getenv("NUVEX_READY_FD");
    if (!text || !*text) return;
    char* end = nullptr;
    long fd = ::strtol(text, &end, 10);
    if (*end != 0 || fd < 0 || fd > 65535) return;
    char byte = 'R';
    ssize_t ignored = ::write(static_cast<int>(fd), &byte, 1);
    (void)ignored;
    ::close(static_cast<int>(fd));
    ::unsetenv("NUVEX_READY_FD");
}

// One connection: frames in, frames out, until the peer closes it.
void Serve(int fd, const ConnectionFactory& factory) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) credentials.pid = 0;
    std::unique_ptr<Connection> connection = factory(credentials.pid);
    std::vector<uint8_t> input;
    std::vector<uint8_t> reply;
    while (connection) {
        NuvexFrameRequest request;
        if (!NuvexWire_ReceiveRequest(fd, &request)) break;
        bool ok = false;
        uint32_t returned = 0;
        uint32_t capacity = request.outputLength < kMaxOutput ? request.outputLength : kMaxOutput;
        reply.assign(capacity, 0);
        if (request.inputLength > kMaxInput) {
            if (!NuvexWire_DiscardInput(fd, request.inputLength)) break;
        } else {
            input.resize(request.inputLength);
            if (request.inputLength > 0 &&
                !NuvexWire_ReceiveAll(fd, input.data(), request.inputLength))
                break;
            ok = connection->Handle(request.code, input.data(), request.inputLength,
                                    reply.data(), capacity, &returned);
            if (!ok || returned > capacity) returned = 0;
        }
        if (!NuvexWire_SendReply(fd, ok, reply.data(), returned)) break;
        if (connection->UnloadRequested()) {
            ::close(fd);
            Exit(0);
        }
    }
    connection.reset();
    ::close(fd);
}

// Finds `name` in `folder` ignoring case, as the registry compares key names.
bool FindEntry(const std::string& folder, const std::string& name, std::string* path) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            *path = folder + "/" + entry->d_name;
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool ServiceKeyExists(const std::string& root, const std::string& service) {
    std::string folder = root + "/Registry/HKEY_LOCAL_MACHINE";
    for (const char* part : {"SYSTEM", "CurrentControlSet", "Services"})
        if (!FindEntry(folder, part, &folder)) return false;
    struct stat info {};
    return FindEntry(folder, service, &folder) && ::stat(folder.c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode);
}

void PrintUsage(const ImageInfo& info, FILE* to) {
    fprintf(to,
            "usage: %s.sys [service-name]\n"
            "%s\n"
            "Simulated driver image for the host platform, normally started by the platform\n"
            "when the driver is loaded; it can be run by hand as well.\n"
            "Environment:\n"
            "  NUVEX_HOST_ROOT  machine root (required)\n"
            "  NUVEX_READY_FD   descriptor that receives one byte once the driver is ready\n",
            info.serviceName, info.summary);
    if (info.deviceName)
        fprintf(to, "Device: <NUVEX_HOST_ROOT>/Device/%s (Unix socket)\n", info.deviceName);
    fprintf(to, "Ends on SIGTERM or SIGINT%s.\n", info.deviceName ? ", removing its socket" : "");
}

}  // namespace

uint64_t FileTimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    constexpr uint64_t kEpochDifference = 116444736000000000ull;  // 1601 to 1970 in 100 ns
    return kEpochDifference + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

void UnloadWhenServiceDeleted(const std::string& root, const std::string& service) {
    if (!ServiceKeyExists(root, service)) return;
    std::thread([root, service] {
        // Two misses in a row: a reinstall deletes and recreates the key in one moment.
        int misses = 0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            misses = ServiceKeyExists(root, service) ? 0 : misses + 1;
            if (misses >= 2) Exit(0);
        }
    }).detach();
}

int ParseCommandLine(int argc, char** argv, const ImageInfo& info, std::string* root,
                     std::string* service) {
    *service = info.serviceName;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            PrintUsage(info, stdout);
            return 0;
        }
        if (argv[i][0] == '-' || i > 1) {
            fprintf(stderr, "%s.sys: unexpected argument '%s' (try --help)\n", info.serviceName,
                    argv[i]);
            return 2;
        }
        *service = argv[i];
    }
    const char* machineRoot = ::getenv("NUVEX_HOST_ROOT");
    if (!machineRoot || !*machineRoot) {
        fprintf(stderr,
                "%s.sys: NUVEX_HOST_ROOT is not set; it must name the machine root "
                "directory (try --help)\n",
                info.serviceName);
        return 2;
    }
    *root = machineRoot;
    return -1;
}

int ServeDevice(const std::string& root, const ImageInfo& info, ConnectionFactory factory) {
    const char* name = info.serviceName;
    if (!InstallSignals()) {
        fprintf(stderr, "%s.sys: cannot set up signal handling: %s\n", name, strerror(errno));
        return 1;
    }
    std::error_code error;
    std::filesystem::path directory = std::filesystem::path(root) / "Device";
    std::filesystem::create_directories(directory, error);
    std::string path = (directory / info.deviceName).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "%s.sys: device path too long for a socket: %s\n", name, path.c_str());
        return 1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        fprintf(stderr, "%s.sys: socket: %s\n", name, strerror(errno));
        return 1;
    }
    // A socket left behind by an image that died is replaced; a live one is not.
    if (::connect(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        fprintf(stderr, "%s.sys: another image already serves %s\n", name, path.c_str());
        return 1;
    }
    ::close(listenFd);
    ::unlink(path.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 ||
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd, 128) != 0) {
        fprintf(stderr, "%s.sys: cannot listen on %s: %s\n", name, path.c_str(), strerror(errno));
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(g_exitMutex);
        g_socketPath = path;
    }
    SignalReady();

    auto shared = std::make_shared<ConnectionFactory>(std::move(factory));
    for (;;) {
        pollfd waits[2] = {{listenFd, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        int n = ::poll(waits, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waits[1].revents) Exit(0);
        if (!(waits[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::thread([fd, shared] { Serve(fd, *shared); }).detach();
    }
    Exit(1);
}

int RunUntilEnded(const ImageInfo& info) {
    if (!InstallSignals()) {
        fprintf(stderr, "%s.sys: cannot set up signal handling\n", info.serviceName);
        return 1;
    }
    SignalReady();
    for (;;) {
        char byte;
        ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        if (n == 1) return 0;
        if (n < 0 && errno == EINTR) continue;
        return 1;
    }
}

}  // namespace nuvex::sim
