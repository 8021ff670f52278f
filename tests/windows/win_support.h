// Helpers of the Windows test programs: a scratch directory per test and whole-file I/O
// through the real Win32 calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nuvex_win {

using Bytes = std::vector<uint8_t>;

bool FileExists(const std::string& path);
Bytes ReadFileBytes(const std::string& path);  // empty when the file cannot be read
bool WriteFileBytes(const std::string& path, const Bytes& bytes);
Bytes PatternBytes(size_t size, uint32_t seed);  // deterministic, varied bytes
void RemoveTree(const std::string& path);
std::string ModuleDirectory();  // directory of the running program, with a trailing '\'

// A fresh scratch directory for each test, removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Scratch(const std::string& name) const { return dir_ + "\\" + name; }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace nuvex_win
