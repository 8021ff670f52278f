// A fresh machine root per test: a temporary directory that NUVEX_HOST_ROOT names while the
// test runs, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace nuvex::test {

class MachineRootTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string& Root() const { return root_; }
    // A path inside a scratch directory of the test (outside the machine root's folders).
    std::string Scratch(const std::string& name) const;

private:
    std::string root_;
};

// Ends (SIGKILL) the simulated drivers a tool run loaded for `root`: each process whose pid
// is recorded in the root's Drivers folder, only while that process still runs for this root.
// A recorded driver may have ended long ago and its pid be another process's by now (tests
// run side by side and spawn thousands of processes), which must not be hit.
void KillRecordedDrivers(const std::string& root);

// Reads and writes whole files (host paths).
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace nuvex::test
