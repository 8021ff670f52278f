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
// Through the wide calls: `path` may be long (prefixed "\\?\") or hold any characters.
void RemoveTreeW(const std::wstring& path);
std::string ModuleDirectory();  // directory of the running program, with a trailing '\'
// Whole-file I/O by UTF-16 paths, and an 8-bit path of the ANSI code page in UTF-16.
Bytes ReadFileBytesW(const std::wstring& path);
bool WriteFileBytesW(const std::wstring& path, const Bytes& bytes);
std::wstring Widen(const std::string& path);
// A whole number from the environment, or `fallback`.
int EnvInt(const char* name, int fallback);

// Calls `fn` as a stdcall caller does: pushes `count` arguments from `args` (last first), calls,
// and does not pop them. At the call, ESP is `below16` bytes under a multiple of 16 (0, 4, 8
// or 12: the 32-bit Windows convention promises a callee only 4-byte alignment). Returns ESP
// after the call minus ESP before the pushes: 0 when the callee removed its arguments.
// `*result` receives EAX; `*kept` is 1 when EBX, ESI, EDI and EBP held their values across the
// call.
extern "C" int32_t NuvexCallMeasured(void* fn, const uint32_t* args, uint32_t count,
                                     uint32_t below16, uint32_t* result, uint32_t* kept);
// The stack offsets under a multiple of 16 that callers may present.
constexpr uint32_t kStackOffsets[] = {0, 4, 8, 12};

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
