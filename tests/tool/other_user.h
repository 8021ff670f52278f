// Acting as another local user (nobody, 65534) in a folder that user shares with the caller, as
// the tests of names and links another user plants need. The tests run as root.
#pragma once

#include <gtest/gtest.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace nuvex::test {

constexpr uid_t kOtherUser = 65534;

// Runs `act` in a child process that has become the other user; true when it returned true.
inline bool AsOtherUser(const std::function<bool()>& act) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const bool became = ::setgroups(0, nullptr) == 0 && ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
                            ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
        ::_exit(became && act() ? 0 : 1);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder everybody may write, sticky as /tmp is, removed with everything in it when it goes.
class SharedFolder {
public:
    SharedFolder() {
        char pattern[] = "/tmp/nuvexctl-shared-XXXXXX";
        if (::mkdtemp(pattern) != nullptr && ::chmod(pattern, 01777) == 0) path_ = pattern;
    }
    ~SharedFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    SharedFolder(const SharedFolder&) = delete;
    SharedFolder& operator=(const SharedFolder&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Skips a test that needs to act as another user when the run cannot (not root).
#define NUVEX_NEEDS_OTHER_USER()                                                        \
    do {                                                                                \
        if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";      \
    } while (0)

}  // namespace nuvex::test
