#include "crypto/seal_ahead.h"

#include <cstring>

#include "crypto/key_slots.h"
#include "crypto/seal.h"
#include "crypto/seal_cache.h"
#include "frame/heap.h"
#include "platform/threads.h"

namespace nuvex {
namespace {

struct AheadEntry {
    bool used;
    uint8_t key[kSealKeyBytes];
    uint64_t lastUse;
    uint32_t first;   // counter value of pad's first block
    uint32_t blocks;  // blocks in pad
    uint8_t pad[kSealAheadBlocks * kSealBlockBytes];
};

using Ahead = KeySlots<AheadEntry, kSealAheadEntries>;

Ahead& TheAhead() {
    static Ahead ahead;
    return ahead;
}

}  // namespace

uint32_t SealAheadTake(const uint8_t* key, uint32_t counter, uint32_t word, uint8_t* data,
                       uint64_t length) {
    Ahead& ahead = TheAhead();
    platform::LockHolder guard(ahead.lock);
    AheadEntry* entry = ahead.Find(key);
    // Counter values compare as distances from the entry's first one, so that a run of
    // blocks across the top of the counter range is found too.
    if (entry == nullptr || counter - entry->first >= entry->blocks) return 0;
    const uint32_t start = (counter - entry->first) * kSealBlockBytes + word;
    const uint32_t held = entry->blocks * kSealBlockBytes - start;
    const uint32_t n = static_cast<uint32_t>(length < held ? length : held);
    SealXorBytes(data, entry->pad + start, n);
    entry->lastUse = ++ahead.clock;
    return n;
}

void SealAheadKeep(const uint8_t* key, uint32_t counter, const uint8_t* pad, uint32_t blocks) {
    if (blocks == 0 || blocks > kSealAheadBlocks) return;
    Ahead& ahead = TheAhead();
    platform::LockHolder guard(ahead.lock);
    // A key replaced meanwhile (a call in flight under its snapshot) has nothing kept.
    if (!ahead.Admits(key)) return;
    AheadEntry* entry = ahead.Find(key);
    if (entry == nullptr) {
        bool evicted = false;
        entry = &ahead.Claim(evicted);
    }
    // The new blocks overwrite the old ones; what lies past them is wiped.
    if (entry->used && entry->blocks > blocks)
        SecureWipe(entry->pad + blocks * kSealBlockBytes, (entry->blocks - blocks) * kSealBlockBytes);
    entry->used = true;
    std::memcpy(entry->key, key, kSealKeyBytes);
    entry->lastUse = ++ahead.clock;
    entry->first = counter;
    entry->blocks = blocks;
    std::memcpy(entry->pad, pad, blocks * kSealBlockBytes);
}

void SealAheadKeepOnly(const uint8_t* const* keys, uint32_t count) {
    Ahead& ahead = TheAhead();
    platform::LockHolder guard(ahead.lock);
    ahead.KeepOnly(keys, count);
}

void SealAheadClear() {
    Ahead& ahead = TheAhead();
    platform::LockHolder guard(ahead.lock);
    SecureWipe(ahead.entries, sizeof ahead.entries);
    SecureWipe(ahead.kept, sizeof ahead.kept);
    ahead.keptCount = 0;
    ahead.restricted = false;
}

}  // namespace nuvex
