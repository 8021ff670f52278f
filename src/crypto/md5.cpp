// MD5 (RFC 1321), one-shot on a context local to the call.
#include "crypto/md5.h"

#include <cstring>

#include "frame/heap.h"
#include "frame/wire.h"

namespace nuvex {
namespace {

struct Md5Context {
    uint32_t state[4];
    uint64_t bitCount;
    uint8_t block[64];
    uint32_t words[16];  // the block being transformed, as words
};

inline uint32_t Rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

// Per-step shift amounts and sine-derived constants of the four rounds.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

void Transform(uint32_t state[4], uint32_t x[16], const uint8_t* block) {
    for (int i = 0; i < 16; ++i) x[i] = LoadU32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        const uint32_t next = b + Rotl(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5Digest(const void* data, uint32_t length, uint8_t* digest) {
    if (data == nullptr || digest == nullptr) return;
    Md5Context context{{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476},
                       static_cast<uint64_t>(length) * 8,
                       {},
                       {}};
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t left = length;
    for (; left >= 64; left -= 64, bytes += 64) Transform(context.state, context.words, bytes);

    // Padding: 0x80, zeros up to 56 mod 64, then the bit count little-endian.
    std::memcpy(context.block, bytes, left);
    context.block[left] = 0x80;
    if (left >= 56) {
        Transform(context.state, context.words, context.block);
        std::memset(context.block, 0, sizeof context.block);
    }
    StoreU64(context.block + 56, context.bitCount);
    Transform(context.state, context.words, context.block);

    for (int i = 0; i < 4; ++i) StoreU32(digest + 4 * i, context.state[i]);
    SecureWipe(&context, sizeof context);
}

}  // namespace nuvex
