// Counter values side by side in the lanes of 256-bit AVX2 vectors, table look-ups by gather:
// eight in one vector, and sixteen in two vectors whose look-ups overlap. Compiled for AVX2
// but only called when the processor has it (the routine list in seal_routines.cpp checks).
#include "crypto/seal_core.h"

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)

#include <immintrin.h>

#include <cstdint>

// Everything below, the kernel included, is compiled for AVX2. No standard-library header is
// included past this point, so no shared inline function is compiled for AVX2 here.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "crypto/seal_lanes.h"
#include "crypto/seal_lanes_x86.h"

namespace nuvex {

void SealXorBlocksAvx2x8(const SealContext& context, uint32_t first, uint32_t count,
                         uint8_t* data, uint32_t* words) {
    lanes::XorBlocks<Avx2>(context.T, context.S, context.R, first, data, words, count - 1);
}

void SealXorBlocksAvx2x16(const SealContext& context, uint32_t first, uint32_t count,
                          uint8_t* data, uint32_t* words) {
    lanes::XorBlocks<lanes::Multi<Avx2, 2>>(context.T, context.S, context.R, first, data, words,
                                            count - 1);
}

}  // namespace nuvex

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
