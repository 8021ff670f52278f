// Keystream read ahead for streams enciphered in small consecutive chunks. A chunk of a few
// blocks is too narrow for the wide keystream routines, which generate all their lanes in the
// time of one; when a call continues where an earlier one under the same key ended, it
// generates a whole batch and leaves the blocks it does not use here, folded, for the calls
// that follow. A fixed number of entries in static storage (no heap), one lock, least recently
// used entry replaced; an entry that leaves is wiped. Once a key has been replaced, only the
// keys still in use have keystream kept.
#pragma once

#include <cstdint>

#include "crypto/seal_core.h"

namespace nuvex {

constexpr uint32_t kSealAheadEntries = 4;
constexpr uint32_t kSealAheadBlocks = kSealPadLanes;  // blocks one entry holds at most

// XORs into data[0 .. n) the kept keystream of the stretch that starts at word `word` of
// counter value `counter` under the 20-byte key, for as many bytes n <= length as the entry
// holds; returns n (0 when nothing is kept for that place).
uint32_t SealAheadTake(const uint8_t* key, uint32_t counter, uint32_t word, uint8_t* data,
                       uint64_t length);

// Keeps `blocks` (<= kSealAheadBlocks) folded keystream blocks, `pad`, of counter values from
// `counter` under the key, in place of what the key had.
void SealAheadKeep(const uint8_t* key, uint32_t counter, const uint8_t* pad, uint32_t blocks);

// Restricts the read-ahead to the `count` 20-byte keys at `keys` (at most
// kSealCacheKeptKeys), as the table cache is restricted when a key is replaced (which calls
// this): every entry of another key is wiped now, and the keystream of another key is never
// kept from now on.
void SealAheadKeepOnly(const uint8_t* const* keys, uint32_t count);

// Wipes and empties every entry and lifts the restriction (the state at load).
void SealAheadClear();

}  // namespace nuvex
