// Signature codes of program files: MD5 of file bytes 4096..12287 in upper-case hex.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/md5.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex {
namespace {

using test::MachineRootTest;
using test::WriteFileBytes;

std::string PatternFile(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>((k * 131 + 7) >> 3);
    return bytes;
}

std::string ExpectedCode(const std::string& region) {
    uint8_t digest[16];
    Md5Digest(region.data(), static_cast<uint32_t>(region.size()), digest);
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", digest[i]);
    return std::string(text, 32);
}

class SignCode : public MachineRootTest {
protected:
    // The code of `bytes` written to a file, or the result code when it fails; the 33rd
    // byte of the output buffer must stay as it was.
    uint32_t CodeOf(const std::string& bytes, std::string& code) {
        const std::string path = Scratch("program.exe");
        WriteFileBytes(path, bytes);
        char out[40];
        std::memset(out, '#', sizeof out);
        const uint32_t result = NuvexCtrl_GetProcSignCode(path.c_str(), out);
        EXPECT_EQ(out[32], '#');
        code.assign(out, 32);
        return result;
    }
};

TEST_F(SignCode, FilesUpTo4096BytesHaveNoCode) {
    std::string code;
    EXPECT_EQ(1192u, CodeOf(PatternFile(4096), code));
    EXPECT_EQ(code, std::string(32, '#'));
    EXPECT_EQ(1192u, CodeOf("", code));
}

TEST_F(SignCode, SignedRegionIsBytes4096To12287) {
    std::string code;
    const std::string small = PatternFile(4097);
    ASSERT_EQ(0u, CodeOf(small, code));
    EXPECT_EQ(code, ExpectedCode(small.substr(4096)));

    std::string big = PatternFile(20000);
    ASSERT_EQ(0u, CodeOf(big, code));
    EXPECT_EQ(code, ExpectedCode(big.substr(4096, 8192)));
    const std::string original = code;
    big[100] ^= 1;
    big[15000] ^= 1;
    ASSERT_EQ(0u, CodeOf(big, code));
    EXPECT_EQ(code, original);
    big[5000] ^= 1;
    ASSERT_EQ(0u, CodeOf(big, code));
    EXPECT_NE(code, original);
}

TEST_F(SignCode, FailuresLeaveTheOutputAndReleaseEverything) {
    char out[32];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(1164u, NuvexCtrl_GetProcSignCode(nullptr, out));
    EXPECT_EQ(1164u, NuvexCtrl_GetProcSignCode("x", nullptr));
    EXPECT_EQ(1202u, NuvexCtrl_GetProcSignCode(Scratch("missing.exe").c_str(), out));

    const std::string path = Scratch("program.exe");
    WriteFileBytes(path, PatternFile(6000));
    const uint32_t handles = NuvexHost_OpenHandleCount();
    const uint32_t blocks = NuvexTest_HeapLiveBlocks();
    NuvexTest_HeapFailAt(1, 0);
    EXPECT_EQ(1196u, NuvexCtrl_GetProcSignCode(path.c_str(), out));
    NuvexHost_FailFileOp(kNuvexFaultRead, 1, 0);
    EXPECT_EQ(1192u, NuvexCtrl_GetProcSignCode(path.c_str(), out));
    EXPECT_EQ(std::string(out, 32), std::string(32, '#'));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), handles);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), blocks);
}

}  // namespace
}  // namespace nuvex
