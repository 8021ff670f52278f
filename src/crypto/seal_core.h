// Inner routines of the SEAL-family cipher. Everything here works on caller-provided memory:
// the cipher takes nothing from the heap, so it cannot fail half-way and leave plain bytes
// behind while reporting success.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/seal.h"

namespace nuvex {

constexpr uint32_t kSealBlockWords = 512;  // keystream words of one counter value

// The tables, filled five words at a time as the table function delivers them; the words
// past 512, 256 and 16 are written during filling and never read.
struct SealTables {
    uint32_t T[520];
    uint32_t S[265];
    uint32_t R[20];
};

// Counter values that the portable routine generates side by side (independent dependency
// chains keep the execution units busy).
constexpr uint32_t kSealLanes = 4;
// The most counter values generated in the pad (see SealContext::Pad).
constexpr uint32_t kSealPadLanes = 48;

// Working state of one call.
struct SealContext {
    const uint32_t* T;
    const uint32_t* S;
    const uint32_t* R;
    uint32_t Counter;      // counter value that the next refill generates
    uint32_t* Keystream;   // 512 words: the block of counter value Counter - 1
    int32_t Position;      // next word of Keystream to use; 512 means used up (or none yet)
    // Room for the kSealLanes blocks that the portable routine generates side by side.
    uint32_t (*Lanes)[kSealBlockWords];
    // kSealPadLanes * 512 bytes where a stretch that starts inside a block or ends before a
    // whole batch of blocks is enciphered (the routines work on whole batches).
    uint8_t* Pad;
    // The 20-byte key, for the keystream read ahead (seal_ahead.h); null: none.
    const uint8_t* Key;
    // How much of Lanes and Pad the call has written (what is to be wiped).
    bool LanesUsed;
    uint32_t PadUsed;  // bytes from the start
};

// Everything one call needs, meant to live on the caller's stack.
struct SealWorkspace {
    SealTables tables;
    uint32_t keystream[kSealBlockWords];
    uint32_t lanes[kSealLanes][kSealBlockWords];
    uint8_t pad[kSealPadLanes * kSealBlockBytes];
};

// The hash compression at the heart of the table function: five chaining words and one
// 16-word block in, five words out (chaining value plus working words). With
// `rotateExpansion` false the message expansion has no one-bit rotation (the table function's
// form); with it true this is exactly the SHA-1 compression.
void SealShaCompress(uint32_t state[5], const uint32_t block[16], bool rotateExpansion);

// Table function: five words for the 20-byte key and index i.
void SealG(const uint8_t* key, uint32_t index, uint32_t out[5]);

// Derives T, S and R from the key (159 evaluations of the table function).
void SealMakeTables(const uint8_t* key, SealTables& tables);

// Points the context at tables and at the keystream memory of `workspace`; Counter 0,
// Position 512 (nothing generated yet).
void SealBind(SealContext& context, const SealTables& tables, SealWorkspace& workspace);
// Derives the tables into `workspace` and binds the context to them.
void SealSetup(SealContext& context, SealWorkspace& workspace, const uint8_t* key);

// The 512 keystream words of counter value n.
void SealGenerate(const SealContext& context, uint32_t counter, uint32_t* keystream);
// Generates the block of Counter into Keystream, then Counter + 1 and Position 0.
void SealRefill(SealContext& context);

// XORs `length` bytes at `data` with the keystream from stream offset `offset` (the byte at
// offset x uses the four bytes, folded by XOR, of word x mod 512 of counter value x div 512).
// A stretch that runs past offset 0xFFFFFFFF goes on with the next counter value. When
// Position is below 512 and Counter - 1 is the counter value of `offset`, the block already in
// Keystream is used instead of being generated again. With Key set, keystream read ahead
// for the place is used, and a stretch that continues a stream reads ahead for the next
// (seal_ahead.h). Leaves Counter as after the last byte, and Keystream and Position as after
// it when the words of the last block are at hand (otherwise Position 512).
void SealXorAt(SealContext& context, uint8_t* data, uint32_t length, uint32_t offset);

// Keystream of `count` consecutive counter values from `first` (count <= kSealLanes), each
// block into out[k]; generated side by side (the portable routine).
void SealGenerateLanes(const SealContext& context, uint32_t first, uint32_t count,
                       uint32_t (*out)[kSealBlockWords]);

// data[k] ^= fold(words[k]) for k < count, where fold XORs the four bytes of a word. Uses
// the fastest routine the processor has (chosen once, at the first call).
void SealFoldXor(uint8_t* data, const uint32_t* words, std::size_t count);

// data[k] ^= pad[k] for k < count.
void SealXorBytes(uint8_t* data, const uint8_t* pad, std::size_t count);

using SealFoldXorFn = void (*)(uint8_t* data, const uint32_t* words, std::size_t count);
struct SealFoldRoutine {
    const char* name;
    SealFoldXorFn run;
    bool usable;  // this processor can run it
};
// Every fold routine of this build, the portable one first.
const SealFoldRoutine* SealFoldRoutines(std::size_t* count);
// The routine SealFoldXor uses.
const SealFoldRoutine& SealFoldChosen();

// A keystream routine: XORs the folded keystream of `count` consecutive counter values from
// `first` (1 <= count <= the routine's lanes) into data[0 .. 512 count), block k at
// data + 512 k. `data` must have room for 512 * lanes bytes: a routine may encipher the bytes
// past block count - 1 too, with the keystream of the following counter values. When `words`
// is not null it receives the 512 words of the last block (counter value first + count - 1).
using SealXorBlocksFn = void (*)(const SealContext& context, uint32_t first, uint32_t count,
                                 uint8_t* data, uint32_t* words);
struct SealKeystreamRoutine {
    const char* name;
    uint32_t lanes;  // counter values generated side by side
    SealXorBlocksFn xorBlocks;
    bool usable;  // this processor can run it
    // The routine that is faster for a batch of at most lanes / 2 blocks (null: none). The
    // lanes past the batch are generated all the same, so a wide routine wastes them.
    const SealKeystreamRoutine* narrower;
};
// Every keystream routine of this build, the portable one first.
const SealKeystreamRoutine* SealKeystreamRoutines(std::size_t* count);
// The routine SealXorAt uses: the fastest usable one unless one is forced.
const SealKeystreamRoutine& SealKeystreamChosen();
// Makes SealXorAt use the routine called `name` (tests and benchmarks); nullptr returns to
// the automatic choice. False, and no change, when there is no such usable routine.
bool SealKeystreamForce(const char* name);

// The routines (seal.cpp, seal_lanes_*.cpp).
void SealXorBlocksPortable(const SealContext& context, uint32_t first, uint32_t count,
                           uint8_t* data, uint32_t* words);
void SealXorBlocksAvx2x8(const SealContext& context, uint32_t first, uint32_t count,
                         uint8_t* data, uint32_t* words);
void SealXorBlocksAvx2x16(const SealContext& context, uint32_t first, uint32_t count,
                          uint8_t* data, uint32_t* words);
void SealXorBlocksAvx512x48(const SealContext& context, uint32_t first, uint32_t count,
                            uint8_t* data, uint32_t* words);

}  // namespace nuvex
