// A deliberately plain, step-by-step version of the document cipher: tables derived on every
// call, one keystream block generated at a time, one word fetched and folded per byte. It is
// the yardstick for the library's fast version (tests compare the two byte for byte, the
// benchmark measures against it). Written on its own, sharing no code with the library.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace literal_seal {

inline uint32_t RotL(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }
inline uint32_t RotR(uint32_t x, int k) { return (x >> k) | (x << (32 - k)); }

// The table function: the original Secure Hash compression (no rotation in the expansion)
// of the block (i, 0, ..., 0) under the key's five big-endian words as chaining value.
inline void G(const uint8_t* key, uint32_t i, uint32_t out[5]) {
    uint32_t H[5];
    for (int k = 0; k < 5; ++k)
        H[k] = (uint32_t(key[4 * k]) << 24) | (uint32_t(key[4 * k + 1]) << 16) |
               (uint32_t(key[4 * k + 2]) << 8) | uint32_t(key[4 * k + 3]);
    uint32_t W[80] = {};
    W[0] = i;
    for (int t = 16; t < 80; ++t) W[t] = W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16];
    uint32_t A = H[0], B = H[1], C = H[2], D = H[3], E = H[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, K;
        if (t <= 19) {
            f = (B & C) | ((~B) & D);
            K = 0x5A827999;
        } else if (t <= 39) {
            f = B ^ C ^ D;
            K = 0x6ED9EBA1;
        } else if (t <= 59) {
            f = (B & C) | (B & D) | (C & D);
            K = 0x8F1BBCDC;
        } else {
            f = B ^ C ^ D;
            K = 0xCA62C1D6;
        }
        uint32_t TEMP = RotL(A, 5) + f + E + W[t] + K;
        E = D;
        D = C;
        C = RotL(B, 30);
        B = A;
        A = TEMP;
    }
    out[0] = H[0] + A;
    out[1] = H[1] + B;
    out[2] = H[2] + C;
    out[3] = H[3] + D;
    out[4] = H[4] + E;
}

struct Context {
    uint32_t* T;
    uint32_t* S;
    uint32_t* R;
    uint32_t Counter;
    uint32_t* Keystream;
    int32_t Position;
};

// Tables in the published filling order, five words per evaluation of G.
inline void MakeTables(Context& ctx, const uint8_t* key) {
    uint32_t g[5];
    for (uint32_t i = 0; i <= 101; ++i) {
        G(key, i, g);
        for (int w = 0; w < 5; ++w) ctx.T[5 * i + w] = g[w];
    }
    G(key, 102, g);
    ctx.T[510] = g[0];
    ctx.T[511] = g[1];
    G(key, 819, g);
    for (int w = 1; w <= 4; ++w) ctx.S[w - 1] = g[w];
    for (uint32_t i = 820; i <= 869; ++i) {
        G(key, i, g);
        for (int w = 0; w < 5; ++w) ctx.S[4 + 5 * (i - 820) + w] = g[w];
    }
    G(key, 870, g);
    ctx.S[254] = g[0];
    ctx.S[255] = g[1];
    G(key, 1638, g);
    for (int w = 2; w <= 4; ++w) ctx.R[w - 2] = g[w];
    for (uint32_t i = 1639; i <= 1640; ++i) {
        G(key, i, g);
        for (int w = 0; w < 5; ++w) ctx.R[3 + 5 * (i - 1639) + w] = g[w];
    }
    G(key, 1641, g);
    for (int w = 0; w <= 2; ++w) ctx.R[13 + w] = g[w];
}

inline void Setup(Context& ctx, const uint8_t* key) {
    MakeTables(ctx, key);
    ctx.Counter = 0;
    ctx.Position = 512;
}

// One mixing pass on a, b, c, d.
inline void Pass(const uint32_t* T, uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    uint32_t P;
    P = a & 0x7FC; b = b + T[P / 4]; a = RotR(a, 9);
    P = b & 0x7FC; c = c + T[P / 4]; b = RotR(b, 9);
    P = c & 0x7FC; d = d + T[P / 4]; c = RotR(c, 9);
    P = d & 0x7FC; a = a + T[P / 4]; d = RotR(d, 9);
}

// The 512 words of counter value n, in two halves; the second half goes on from the words
// the first one left.
inline void Generate(const Context& ctx, uint32_t n, uint32_t* Y) {
    const uint32_t* T = ctx.T;
    const uint32_t* S = ctx.S;
    const uint32_t* R = ctx.R;
    uint32_t a = n ^ R[12];
    uint32_t b = RotR(n, 8) ^ R[13];
    uint32_t c = RotR(n, 16) ^ R[14];
    uint32_t d = RotR(n, 24) ^ R[15];
    for (int h = 0; h < 2; ++h) {
        Pass(T, a, b, c, d);
        uint32_t N1 = d, N2 = b, N3 = a, N4 = c;
        Pass(T, a, b, c, d);
        for (int i = 0; i < 64; ++i) {
            uint32_t P, Q;
            P = a & 0x7FC; b = b + T[P / 4]; a = RotR(a, 9); b = b ^ a;
            Q = b & 0x7FC; c = c ^ T[Q / 4]; b = RotR(b, 9); c = c + b;
            P = (P + c) & 0x7FC; d = d + T[P / 4]; c = RotR(c, 9); d = d ^ c;
            Q = (Q + d) & 0x7FC; a = a ^ T[Q / 4]; d = RotR(d, 9); a = a + d;
            P = (P + a) & 0x7FC; b = b ^ T[P / 4]; a = RotR(a, 9);
            Q = (Q + b) & 0x7FC; c = c + T[Q / 4]; b = RotR(b, 9);
            P = (P + c) & 0x7FC; d = d ^ T[P / 4]; c = RotR(c, 9);
            Q = (Q + d) & 0x7FC; a = a + T[Q / 4]; d = RotR(d, 9);
            Y[256 * h + 4 * i] = b + S[4 * i];
            Y[256 * h + 4 * i + 1] = c ^ S[4 * i + 1];
            Y[256 * h + 4 * i + 2] = d + S[4 * i + 2];
            Y[256 * h + 4 * i + 3] = a ^ S[4 * i + 3];
            if (i % 2 == 0) {
                a = a + N1;
                c = c + N2;
            } else {
                a = a + N3;
                c = c + N4;
            }
        }
    }
}

inline void Refill(Context& ctx) {
    Generate(ctx, ctx.Counter, ctx.Keystream);
    ctx.Counter = ctx.Counter + 1;
    ctx.Position = 0;
}

inline void XorAt(Context& ctx, uint8_t* data, uint32_t length, uint32_t offset) {
    ctx.Counter = offset >> 9;
    Refill(ctx);
    ctx.Position = offset & 0x1FF;
    for (uint32_t k = 0; k < length; ++k) {
        if (ctx.Position >= 512) Refill(ctx);
        uint32_t w = ctx.Keystream[ctx.Position];
        data[k] = data[k] ^ (w & 0xFF) ^ ((w >> 8) & 0xFF) ^ ((w >> 16) & 0xFF) ^ (w >> 24);
        ctx.Position = ctx.Position + 1;
    }
}

inline int Crypt(const void* source, void* destination, uint32_t length, uint32_t offset,
                 const uint8_t* key) {
    Context ctx{};
    ctx.T = static_cast<uint32_t*>(std::malloc(2080));
    ctx.S = static_cast<uint32_t*>(std::malloc(1060));
    ctx.R = static_cast<uint32_t*>(std::malloc(80));
    ctx.Keystream = static_cast<uint32_t*>(std::malloc(2048));
    if (ctx.T && ctx.S && ctx.R && ctx.Keystream) {
        Setup(ctx, key);
        const uint8_t* s = static_cast<const uint8_t*>(source);
        uint8_t* d = static_cast<uint8_t*>(destination);
        for (uint32_t k = 0; k < length; ++k) d[k] = s[k];
        XorAt(ctx, d, length, offset);
    }
    std::free(ctx.T);
    std::free(ctx.S);
    std::free(ctx.R);
    std::free(ctx.Keystream);
    return 1;
}

}  // namespace literal_seal
