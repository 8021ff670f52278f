// MD5 against RFC 1321's test suite and the padding boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/md5.h"

namespace nuvex {
namespace {

std::string Hex(const uint8_t digest[16]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string Md5Of(const std::string& message) {
    uint8_t digest[16];
    Md5Digest(message.data(), static_cast<uint32_t>(message.size()), digest);
    return Hex(digest);
}

TEST(Md5Digest, Rfc1321Suite) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of("1234567890123456789012345678901234567890123456789012345678901234567890"
                    "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Digest, PaddingBoundaries) {
    EXPECT_EQ(Md5Of(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Of(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(Md5Of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Md5Of(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
    EXPECT_EQ(Md5Of(std::string(1000, 'a')), "cabe45dcc9ae5b66ba86600cca6b8ba8");
}

TEST(Md5Digest, NullPointersLeaveTheDigestAlone) {
    uint8_t digest[16];
    std::memset(digest, 0xA5, sizeof digest);
    Md5Digest(nullptr, 3, digest);
    for (uint8_t b : digest) EXPECT_EQ(b, 0xA5);
    Md5Digest("abc", 3, nullptr);  // must not crash
}

}  // namespace
}  // namespace nuvex
