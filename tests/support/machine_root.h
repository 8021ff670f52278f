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

// Reads and writes whole files (host paths).
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace nuvex::test
