#include "machine_root.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host/host_hooks.h"

namespace nuvex::test {

void KillRecordedDrivers(const std::string& root) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/Drivers", ec)) {
        if (entry.path().extension() != ".pid") continue;
        const long pid = std::atol(ReadFileBytes(entry.path().string()).c_str());
        if (pid <= 0) continue;
        // The driver's environment names its machine root (NUVEX_HOST_ROOT).
        std::string environment = '\0' + ReadFileBytes("/proc/" + std::to_string(pid) + "/environ");
        if (environment.find(std::string("\0NUVEX_HOST_ROOT=") + root + '\0') != std::string::npos)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

void MachineRootTest::SetUp() {
    char pattern[] = "/tmp/nuvex-test-XXXXXX";
    char* made = ::mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    root_ = made;
    std::filesystem::create_directories(root_ + "/scratch");
    ::setenv("NUVEX_HOST_ROOT", root_.c_str(), 1);
    // nuvexctl keeps its own state (the log spool) beside the machine it was run against.
    ::setenv("NUVEXCTL_STATE_DIR", (root_ + "/scratch/tool-state").c_str(), 1);
    NuvexHost_ResetMachineRoot();
    NuvexHost_ResetFaults();
    NuvexTest_HeapFailAt(0, 0);
}

void MachineRootTest::TearDown() {
    NuvexHost_StopDrivers();  // driver processes a test loaded end with its machine root
    NuvexHost_ResetFaults();
    NuvexTest_HeapFailAt(0, 0);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string MachineRootTest::Scratch(const std::string& name) const {
    return root_ + "/scratch/" + name;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace nuvex::test
