// Tables of recently used keys, so that a file handled in 4096-byte chunks pays for the table
// derivation once and not once per chunk. A fixed number of entries in static storage (no
// heap), one lock, least recently used entry replaced; an entry that leaves the cache is
// wiped. Once a key has been replaced, only the keys still in use are cached. Each entry also keeps the last keystream block that a call under its key generated
// but did not use up, which the call for the next chunk of the same stream starts with.
#pragma once

#include <cstdint>

#include "crypto/seal.h"
#include "crypto/seal_core.h"

namespace nuvex {

constexpr uint32_t kSealCacheEntries = 8;

// Copies the tables of the 20-byte key into `tables`, deriving and caching them when the key
// is not in the cache. When the entry holds the keystream block of `counter`, copies it to
// `block` and returns true.
bool SealCacheLoad(const uint8_t* key, uint32_t counter, SealTables& tables, uint32_t* block);

// Remembers `block`, the keystream of `counter` under the key, for a later SealCacheLoad
// (only when the key still has an entry).
void SealCacheKeepBlock(const uint8_t* key, uint32_t counter, const uint32_t* block);

// Restricts the cache to the `count` 20-byte keys at `keys` (at most kSealCacheKeptKeys):
// every entry of another key is wiped now, and from now on the tables of another key are
// derived for the one call that needs them and never kept. The key stores call it whenever a
// key is replaced, so that the tables of a replaced key do not outlive the change.
constexpr uint32_t kSealCacheKeptKeys = 2;
void SealCacheKeepOnly(const uint8_t* const* keys, uint32_t count);

// Wipes and empties every entry.
void SealCacheClear();

struct SealCacheStats {
    uint64_t hits;
    uint64_t misses;
    uint64_t evictions;
    uint64_t blockReuses;
};
SealCacheStats SealCacheStatistics();

}  // namespace nuvex
