// A driver image is an executable. Loading starts it in its own session with stdin from
// /dev/null and its output appended to Drivers/NAME.log, NUVEX_HOST_ROOT set and the service
// name as its one argument, and records its pid in Drivers/NAME.pid. It is ready when it
// writes a byte to the pipe whose descriptor NUVEX_READY_FD names, or, for images that do not
// know that pipe, when a socket that was not there before appears under Device/ and accepts a
// connection. The loading process stays its parent and a small thread reaps it when it ends,
// so no zombie is left behind.
#include "platform/host/driver_loader.h"

#include <dirent.h>
#include <strings.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/driver_records.h"
#include "platform/host/host_internal.h"
#include "platform/host/registry_store.h"

extern char** environ;

namespace nuvex::host {
namespace {

std::mutex g_loadLock;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Serialises loads across processes of one machine root.
class LoadGate {
public:
    explicit LoadGate(const std::string& folder)
        : fd_(::open((folder + "/.load.lock").c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
        if (fd_.get() >= 0)
            while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {}
    }

private:
    Fd fd_;
};

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           ::strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The image of a service: ImagePath in the forms Windows writes (absolute, "\??\" prefixed,
// "\SystemRoot\..." or relative to the Windows folder), else drivers\<name>.sys.
std::string ImageOf(const std::string& root, const std::string& keyFolder,
                    const std::string& name) {
    std::string image = TranslatePath(ReadStringValue(keyFolder, "ImagePath").c_str());
    if (image.empty()) return root + "/Windows/System32/drivers/" + name + ".sys";
    if (StartsWithNoCase(image,
                         "/?"
                         "?/"))
        image = image.substr(3);  // "\??\" marks a DOS path
    if (StartsWithNoCase(image, "/SystemRoot/")) return root + "/Windows/" + image.substr(12);
    if (StartsWithNoCase(image, "%SystemRoot%/")) return root + "/Windows/" + image.substr(13);
    if (StartsWithNoCase(image, "%windir%/")) return root + "/Windows/" + image.substr(9);
    if (image[0] != '/') return root + "/Windows/" + image;
    return image;
}

// Sockets now under Device/, by name and inode: a new or re-created one tells a driver is up.
std::map<std::string, ino_t> DeviceSockets(const std::string& folder) {
    std::map<std::string, ino_t> sockets;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return sockets;
    while (dirent* entry = ::readdir(dir)) {
        struct stat st;
        std::string path = folder + "/" + entry->d_name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            sockets[entry->d_name] = st.st_ino;
    }
    ::closedir(dir);
    return sockets;
}

bool Accepts(const std::string& path) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd.get() < 0 || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool NewDeviceAccepts(const std::string& folder, const std::map<std::string, ino_t>& before) {
    for (const auto& [name, inode] : DeviceSockets(folder)) {
        auto old = before.find(name);
        if ((old == before.end() || old->second != inode) && Accepts(folder + "/" + name))
            return true;
    }
    return false;
}

struct Child {
    pid_t pid = -1;
    std::atomic<bool> ended{false};
};

// Starts the image; the child is reaped by a detached thread whenever it ends.
std::shared_ptr<Child> Spawn(const std::string& root, const std::string& image,
                             const std::string& name, const std::string& logPath,
                             int readyWriteFd) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NUVEX_HOST_ROOT=", 16) == 0 ||
            std::strncmp(*entry, "NUVEX_READY_FD=", 15) == 0)
            continue;
        environment.emplace_back(*entry);
    }
    environment.push_back("NUVEX_HOST_ROOT=" + root);
    environment.push_back("NUVEX_READY_FD=" + std::to_string(readyWriteFd));
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = image;
    std::string argument = name;
    char* argv[] = {program.data(), argument.data(), nullptr};

    Fd nullFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Fd logFd(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (nullFd.get() < 0 || logFd.get() < 0) return nullptr;

    pid_t pid = ::fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setsid();
        ::dup2(nullFd.get(), STDIN_FILENO);
        ::dup2(logFd.get(), STDOUT_FILENO);
        ::dup2(logFd.get(), STDERR_FILENO);
        ::fcntl(readyWriteFd, F_SETFD, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    try {
        auto child = std::make_shared<Child>();
        child->pid = pid;
        std::thread([child] {
            int status = 0;
            while (::waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {}
            child->ended = true;
        }).detach();
        return child;
    } catch (...) {
        // No reaper: end the child here rather than leave it unwatched.
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        return nullptr;
    }
}

enum class Readiness { Ready, Ended, TimedOut };

Readiness AwaitReady(const Child& child, int readyReadFd, const std::string& deviceFolder,
                     const std::map<std::string, ino_t>& socketsBefore) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kDriverReadyMilliseconds);
    bool pipeOpen = true;
    for (;;) {
        if (pipeOpen) {
            pollfd poller{readyReadFd, POLLIN, 0};
            if (::poll(&poller, 1, 20) > 0) {
                char byte = 0;
                ssize_t n = ::read(readyReadFd, &byte, 1);
                if (n == 1) return Readiness::Ready;
                if (n == 0) pipeOpen = false;  // closed without a word: watch for its socket
            }
        } else {
            ::usleep(20000);
        }
        if (NewDeviceAccepts(deviceFolder, socketsBefore)) return Readiness::Ready;
        if (child.ended.load()) return Readiness::Ended;
        if (std::chrono::steady_clock::now() >= deadline) return Readiness::TimedOut;
    }
}

}  // namespace

NTSTATUS LoadDriverOfService(const std::string& keyFolder) {
    std::string name = BaseName(keyFolder);
    // Nothing is started for a machine root that is not the caller's own.
    std::string root = MachineRoot();
    if (root.empty()) return STATUS_ACCESS_DENIED;
    std::string driversFolder = root + "/Drivers";
    std::string deviceFolder = root + "/Device";

    std::lock_guard<std::mutex> inProcess(g_loadLock);
    LoadGate acrossProcesses(driversFolder);
    if (DriverRunning(name)) return STATUS_IMAGE_ALREADY_LOADED;
    ForgetDriver(name);

    std::string image = ImageOf(root, keyFolder, name);
    struct stat st;
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // An image that another user could rewrite would run that user's program with the
    // caller's rights: it must belong to the caller (or the system) and be writable by no one
    // else.
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return STATUS_ACCESS_DENIED;
    if (::access(image.c_str(), X_OK) != 0) return STATUS_INVALID_IMAGE_FORMAT;

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return STATUS_UNSUCCESSFUL;
    Fd readyRead(ready[0]);
    Fd readyWrite(ready[1]);
    auto socketsBefore = DeviceSockets(deviceFolder);
    std::shared_ptr<Child> child =
        Spawn(root, image, name, driversFolder + "/" + name + ".log", readyWrite.get());
    readyWrite.reset();
    if (!child) return STATUS_UNSUCCESSFUL;
    RecordDriver(name, child->pid);

    Readiness readiness = AwaitReady(*child, readyRead.get(), deviceFolder, socketsBefore);
    if (readiness == Readiness::Ready) return STATUS_SUCCESS;
    ::kill(child->pid, SIGKILL);
    ForgetDriver(name);
    return readiness == Readiness::TimedOut ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
}

}  // namespace nuvex::host
