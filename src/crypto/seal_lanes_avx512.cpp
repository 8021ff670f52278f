// Forty-eight counter values side by side in three 512-bit AVX-512 vectors of sixteen lanes,
// whose gathers overlap, with the AVX-512 rotation (one instruction where AVX2 needs three).
// Compiled for AVX-512 F, VL and BW but only called when the processor has them (the routine
// list in seal_routines.cpp checks).
#include "crypto/seal_core.h"

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)

#include <immintrin.h>

#include <cstdint>

// Everything below, the kernel included, is compiled for AVX-512. No standard-library header
// is included past this point, so no shared inline function is compiled for AVX-512 here.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl,avx512bw"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw")
#endif
// The compiler's own AVX-512 headers start some intrinsics from a deliberately undefined
// vector, which this compiler reports as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "crypto/seal_lanes.h"
#include "crypto/seal_lanes_x86.h"

namespace nuvex {
namespace {

struct Avx512Zmm {
    using V = __m512i;
    static constexpr int kLanes = 16;

    static V Set1(uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    static V Counters(uint32_t first) {
        return _mm512_add_epi32(Set1(first), _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                                                10, 11, 12, 13, 14, 15));
    }
    static V Add(V x, V y) { return _mm512_add_epi32(x, y); }
    static V Xor(V x, V y) { return _mm512_xor_si512(x, y); }
    static V And(V x, V y) { return _mm512_and_si512(x, y); }
    template <int k>
    static V Rotr(V x) {
        return _mm512_ror_epi32(x, k);
    }
    static V Gather(const uint32_t* T, V byteOffsets) {
        return _mm512_i32gather_epi32(byteOffsets, T, 1);
    }
    // As Avx2::Fold4, sixteen lanes at a time.
    static V Fold4(V y0, V y1, V y2, V y3) {
        const V t0 = _mm512_xor_si512(y0, _mm512_srli_epi32(y0, 16));
        const V t1 = _mm512_xor_si512(y1, _mm512_srli_epi32(y1, 16));
        const V t2 = _mm512_xor_si512(y2, _mm512_slli_epi32(y2, 16));
        const V t3 = _mm512_xor_si512(y3, _mm512_slli_epi32(y3, 16));
        const V m = _mm512_mask_blend_epi16(0xAAAAAAAAu, t0, t2);
        const V n = _mm512_mask_blend_epi16(0xAAAAAAAAu, t1, t3);
        const V even = _mm512_xor_si512(m, _mm512_srli_epi16(m, 8));
        const V odd = _mm512_xor_si512(n, _mm512_slli_epi16(n, 8));
        return _mm512_mask_blend_epi8(0xAAAAAAAAAAAAAAAAull, even, odd);
    }
    static void Store(uint32_t* p, V v) { _mm512_storeu_si512(p, v); }
    // Lanes 0-7 and 8-15, transposed as two 8 x 8 blocks.
    static void XorLanesStrided(uint8_t* data, const uint32_t* pad, int stride) {
        XorTransposed8x8(data, pad, stride);
        XorTransposed8x8(data + 8 * 512, pad + 8, stride);
    }
    static void XorLanes(uint8_t* data, const uint32_t* pad) { XorLanesStrided(data, pad, kLanes); }
};

}  // namespace

void SealXorBlocksAvx512x48(const SealContext& context, uint32_t first, uint32_t count,
                            uint8_t* data, uint32_t* words) {
    lanes::XorBlocks<lanes::Multi<Avx512Zmm, 3>>(context.T, context.S, context.R, first, data,
                                                 words, count - 1);
}

}  // namespace nuvex

#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
