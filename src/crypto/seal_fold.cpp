// The fold of keystream words into keystream bytes (XOR of a word's four bytes) and its XOR
// into the data: a portable routine and, on x86, SSE2 and AVX2 routines picked at run time.
#include "crypto/seal_core.h"

#include <cstring>

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define NUVEX_FOLD_X86 1
#include <immintrin.h>
#endif

namespace nuvex {
namespace {

inline uint8_t Fold(uint32_t w) {
    w ^= w >> 16;
    w ^= w >> 8;
    return static_cast<uint8_t>(w);
}

void FoldXorPortable(uint8_t* data, const uint32_t* words, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) data[k] ^= Fold(words[k]);
}

#if defined(NUVEX_FOLD_X86)

__attribute__((target("sse2"))) inline __m128i FoldLanes128(__m128i w) {
    w = _mm_xor_si128(w, _mm_srli_epi32(w, 16));
    w = _mm_xor_si128(w, _mm_srli_epi32(w, 8));
    return _mm_and_si128(w, _mm_set1_epi32(0xFF));
}

__attribute__((target("sse2"))) void FoldXorSse2(uint8_t* data, const uint32_t* words,
                                                 std::size_t count) {
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const __m128i* w = reinterpret_cast<const __m128i*>(words + k);
        const __m128i w0 = FoldLanes128(_mm_loadu_si128(w));
        const __m128i w1 = FoldLanes128(_mm_loadu_si128(w + 1));
        const __m128i w2 = FoldLanes128(_mm_loadu_si128(w + 2));
        const __m128i w3 = FoldLanes128(_mm_loadu_si128(w + 3));
        // Values are at most 255, so the saturating packs keep them unchanged.
        const __m128i pad = _mm_packus_epi16(_mm_packs_epi32(w0, w1), _mm_packs_epi32(w2, w3));
        __m128i* d = reinterpret_cast<__m128i*>(data + k);
        _mm_storeu_si128(d, _mm_xor_si128(_mm_loadu_si128(d), pad));
    }
    FoldXorPortable(data + k, words + k, count - k);
}

__attribute__((target("avx2"))) inline __m256i FoldLanes256(__m256i w) {
    w = _mm256_xor_si256(w, _mm256_srli_epi32(w, 16));
    w = _mm256_xor_si256(w, _mm256_srli_epi32(w, 8));
    return _mm256_and_si256(w, _mm256_set1_epi32(0xFF));
}

__attribute__((target("avx2"))) void FoldXorAvx2(uint8_t* data, const uint32_t* words,
                                                 std::size_t count) {
    std::size_t k = 0;
    // The packs work within 128-bit halves; the permutation puts the four-byte groups back
    // into word order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (; k + 32 <= count; k += 32) {
        const __m256i* w = reinterpret_cast<const __m256i*>(words + k);
        const __m256i w0 = FoldLanes256(_mm256_loadu_si256(w));
        const __m256i w1 = FoldLanes256(_mm256_loadu_si256(w + 1));
        const __m256i w2 = FoldLanes256(_mm256_loadu_si256(w + 2));
        const __m256i w3 = FoldLanes256(_mm256_loadu_si256(w + 3));
        const __m256i packed =
            _mm256_packus_epi16(_mm256_packs_epi32(w0, w1), _mm256_packs_epi32(w2, w3));
        const __m256i pad = _mm256_permutevar8x32_epi32(packed, order);
        __m256i* d = reinterpret_cast<__m256i*>(data + k);
        _mm256_storeu_si256(d, _mm256_xor_si256(_mm256_loadu_si256(d), pad));
    }
    FoldXorSse2(data + k, words + k, count - k);
}

#endif

struct Routines {
    SealFoldRoutine list[3];
    std::size_t count;
    std::size_t chosen;

    Routines() : list{}, count(0), chosen(0) {
        list[count++] = SealFoldRoutine{"portable", FoldXorPortable, true};
#if defined(NUVEX_FOLD_X86)
        __builtin_cpu_init();
        list[count++] = SealFoldRoutine{"sse2", FoldXorSse2, __builtin_cpu_supports("sse2") != 0};
        list[count++] = SealFoldRoutine{"avx2", FoldXorAvx2, __builtin_cpu_supports("avx2") != 0};
#endif
        for (std::size_t i = 0; i < count; ++i)
            if (list[i].usable) chosen = i;  // later entries are faster
    }
};

const Routines& TheRoutines() {
    static const Routines routines;
    return routines;
}

}  // namespace

void SealXorBytes(uint8_t* data, const uint8_t* pad, std::size_t count) {
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        uint64_t x, y;
        std::memcpy(&x, data + k, 8);
        std::memcpy(&y, pad + k, 8);
        x ^= y;
        std::memcpy(data + k, &x, 8);
    }
    for (; k < count; ++k) data[k] ^= pad[k];
}

void SealFoldXor(uint8_t* data, const uint32_t* words, std::size_t count) {
    static const SealFoldXorFn run = SealFoldChosen().run;
    run(data, words, count);
}

const SealFoldRoutine* SealFoldRoutines(std::size_t* count) {
    const Routines& routines = TheRoutines();
    if (count != nullptr) *count = routines.count;
    return routines.list;
}

const SealFoldRoutine& SealFoldChosen() {
    const Routines& routines = TheRoutines();
    return routines.list[routines.chosen];
}

}  // namespace nuvex
