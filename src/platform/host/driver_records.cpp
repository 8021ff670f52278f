#include "platform/host/driver_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

// Empty when the machine root is refused: no record is then read or written.
std::string RecordPath(const std::string& name) {
    std::string root = MachineRoot();
    return root.empty() ? root : root + "/Drivers/" + name + ".pid";
}

std::string ReadSmallFile(const std::string& path, bool* ok) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *ok = fd >= 0;
    if (fd < 0) return text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > (1u << 20)) break;
    }
    ::close(fd);
    return text;
}

pid_t RecordedPid(const std::string& name) {
    bool ok = false;
    std::string text = ReadSmallFile(RecordPath(name), &ok);
    long pid = ok ? std::strtol(text.c_str(), nullptr, 10) : 0;
    return pid > 0 && pid < 0x7FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

// Alive (not a zombie) and started for this machine root.
bool IsDriverProcess(pid_t pid) {
    bool ok = false;
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &ok);
    size_t close = stat.rfind(')');
    if (!ok || close == std::string::npos || close + 2 >= stat.size()) return false;
    char state = stat[close + 2];
    if (state == 'Z' || state == 'X' || state == 'x') return false;
    std::string environment = ReadSmallFile("/proc/" + std::to_string(pid) + "/environ", &ok);
    std::string root = MachineRoot();
    if (!ok || root.empty()) return false;
    std::string wanted = "NUVEX_HOST_ROOT=" + root;
    environment.insert(environment.begin(), '\0');
    return environment.find('\0' + wanted + '\0') != std::string::npos;
}

}  // namespace

void RecordDriver(const std::string& name, pid_t pid) {
    std::string path = RecordPath(name);
    if (path.empty()) return;
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    std::string text = std::to_string(pid) + "\n";
    ssize_t ignored = ::write(fd, text.data(), text.size());
    (void)ignored;
    ::close(fd);
    ::rename(temp.c_str(), path.c_str());
}

void ForgetDriver(const std::string& name) {
    std::string path = RecordPath(name);
    if (!path.empty()) ::unlink(path.c_str());
}

bool DriverRunning(const std::string& name) {
    pid_t pid = RecordedPid(name);
    return pid > 0 && IsDriverProcess(pid);
}

unsigned StopAllDrivers() {
    std::string root = MachineRoot();
    if (root.empty()) return 0;
    std::string folder = root + "/Drivers";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return 0;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string file = entry->d_name;
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".pid") == 0)
            names.push_back(file.substr(0, file.size() - 4));
    }
    ::closedir(dir);
    unsigned stopped = 0;
    for (const std::string& name : names) {
        pid_t pid = RecordedPid(name);
        if (pid > 0 && IsDriverProcess(pid)) {
            ++stopped;
            ::kill(pid, SIGTERM);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (IsDriverProcess(pid) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (IsDriverProcess(pid)) ::kill(pid, SIGKILL);
        }
        ForgetDriver(name);
    }
    return stopped;
}

}  // namespace nuvex::host
