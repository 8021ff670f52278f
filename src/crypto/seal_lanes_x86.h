// The AVX2 vector operations of the lanes kernel (seal_lanes.h) for eight lanes of 256 bits.
// Only for the instruction-set files, included after a target pragma that enables AVX2 (or
// more): the operations are compiled for that instruction set, in an unnamed namespace so
// that each file has its own copy.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace nuvex {
namespace {

// Transposes 8 rows of 8 words (row r at rows + stride r) and
// XORs row l of the result, 32 bytes, into data + 512 l.
inline void XorTransposed8x8(uint8_t* data, const uint32_t* rows, int stride) {
    const auto row = [&](int r) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + stride * r));
    };
    const __m256i t0 = _mm256_unpacklo_epi32(row(0), row(1));
    const __m256i t1 = _mm256_unpackhi_epi32(row(0), row(1));
    const __m256i t2 = _mm256_unpacklo_epi32(row(2), row(3));
    const __m256i t3 = _mm256_unpackhi_epi32(row(2), row(3));
    const __m256i t4 = _mm256_unpacklo_epi32(row(4), row(5));
    const __m256i t5 = _mm256_unpackhi_epi32(row(4), row(5));
    const __m256i t6 = _mm256_unpacklo_epi32(row(6), row(7));
    const __m256i t7 = _mm256_unpackhi_epi32(row(6), row(7));
    // u_k holds column k of rows 0-3 in its low half and column k + 4 in its high half.
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
    const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
    const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
    const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
    const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
    const auto xorInto = [&](int lane, __m256i v) {
        __m256i* p = reinterpret_cast<__m256i*>(data + 512 * lane);
        _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), v));
    };
    xorInto(0, _mm256_permute2x128_si256(u0, u4, 0x20));
    xorInto(1, _mm256_permute2x128_si256(u1, u5, 0x20));
    xorInto(2, _mm256_permute2x128_si256(u2, u6, 0x20));
    xorInto(3, _mm256_permute2x128_si256(u3, u7, 0x20));
    xorInto(4, _mm256_permute2x128_si256(u0, u4, 0x31));
    xorInto(5, _mm256_permute2x128_si256(u1, u5, 0x31));
    xorInto(6, _mm256_permute2x128_si256(u2, u6, 0x31));
    xorInto(7, _mm256_permute2x128_si256(u3, u7, 0x31));
}

struct Avx2 {
    using V = __m256i;
    static constexpr int kLanes = 8;

    static V Set1(uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    static V Counters(uint32_t first) {
        return _mm256_add_epi32(Set1(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static V Add(V x, V y) { return _mm256_add_epi32(x, y); }
    static V Xor(V x, V y) { return _mm256_xor_si256(x, y); }
    static V And(V x, V y) { return _mm256_and_si256(x, y); }
    template <int k>
    static V Rotr(V x) {
        return _mm256_or_si256(_mm256_srli_epi32(x, k), _mm256_slli_epi32(x, 32 - k));
    }
    static V Gather(const uint32_t* T, V byteOffsets) {
        return _mm256_i32gather_epi32(reinterpret_cast<const int*>(T), byteOffsets, 1);
    }
    // Byte k of each lane: the fold of yk. Halving each word first leaves the two 16-bit
    // partial folds where the 16-bit blend can pair them, then one 8-bit step finishes two
    // folds per 16-bit word.
    static V Fold4(V y0, V y1, V y2, V y3) {
        const V t0 = _mm256_xor_si256(y0, _mm256_srli_epi32(y0, 16));  // bits 0-15
        const V t1 = _mm256_xor_si256(y1, _mm256_srli_epi32(y1, 16));  // bits 0-15
        const V t2 = _mm256_xor_si256(y2, _mm256_slli_epi32(y2, 16));  // bits 16-31
        const V t3 = _mm256_xor_si256(y3, _mm256_slli_epi32(y3, 16));  // bits 16-31
        const V m = _mm256_blend_epi16(t0, t2, 0xAA);
        const V n = _mm256_blend_epi16(t1, t3, 0xAA);
        const V even = _mm256_xor_si256(m, _mm256_srli_epi16(m, 8));  // bytes 0 and 2
        const V odd = _mm256_xor_si256(n, _mm256_slli_epi16(n, 8));   // bytes 1 and 3
        return _mm256_blendv_epi8(even, odd, _mm256_set1_epi16(static_cast<short>(0xFF00)));
    }
    static void Store(uint32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
    static void XorLanesStrided(uint8_t* data, const uint32_t* pad, int stride) {
        XorTransposed8x8(data, pad, stride);
    }
    static void XorLanes(uint8_t* data, const uint32_t* pad) { XorLanesStrided(data, pad, kLanes); }
};

}  // namespace
}  // namespace nuvex
