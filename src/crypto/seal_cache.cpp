#include "crypto/seal_cache.h"

#include <cstring>
#include "crypto/key_slots.h"
#include "crypto/seal_ahead.h"
#include "frame/heap.h"
#include "platform/threads.h"

namespace nuvex {
namespace {

struct CacheEntry {
    bool used;
    bool hasBlock;
    uint8_t key[kSealKeyBytes];
    uint64_t lastUse;  // value of the use clock at the entry's last lookup
    SealTables tables;
    uint32_t blockCounter;
    uint32_t block[kSealBlockWords];
};

struct Cache : KeySlots<CacheEntry, kSealCacheEntries> {
    SealCacheStats stats{};
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

}  // namespace

bool SealCacheLoad(const uint8_t* key, uint32_t counter, SealTables& tables, uint32_t* block) {
    Cache& cache = TheCache();
    {
        platform::LockHolder guard(cache.lock);
        if (CacheEntry* entry = cache.Find(key)) {
            entry->lastUse = ++cache.clock;
            cache.stats.hits += 1;
            std::memcpy(&tables, &entry->tables, sizeof tables);
            if (entry->hasBlock && entry->blockCounter == counter) {
                std::memcpy(block, entry->block, sizeof entry->block);
                cache.stats.blockReuses += 1;
                return true;
            }
            return false;
        }
    }
    // Derive without holding the lock: other keys stay served meanwhile.
    SealMakeTables(key, tables);
    platform::LockHolder guard(cache.lock);
    cache.stats.misses += 1;
    // A key replaced meanwhile, or one the key stores no longer hold, is not kept.
    if (!cache.Admits(key)) return false;
    CacheEntry* entry = cache.Find(key);  // another thread may have stored it meanwhile
    if (entry == nullptr) {
        bool evicted = false;
        entry = &cache.Claim(evicted);
        if (evicted) cache.stats.evictions += 1;
        entry->used = true;
        entry->hasBlock = false;
        std::memcpy(entry->key, key, kSealKeyBytes);
        std::memcpy(&entry->tables, &tables, sizeof tables);
    }
    entry->lastUse = ++cache.clock;
    return false;
}

void SealCacheKeepBlock(const uint8_t* key, uint32_t counter, const uint32_t* block) {
    Cache& cache = TheCache();
    platform::LockHolder guard(cache.lock);
    CacheEntry* entry = cache.Find(key);
    if (entry == nullptr) return;
    entry->hasBlock = true;
    entry->blockCounter = counter;
    std::memcpy(entry->block, block, sizeof entry->block);
}

void SealCacheKeepOnly(const uint8_t* const* keys, uint32_t count) {
    Cache& cache = TheCache();
    platform::LockHolder guard(cache.lock);
    cache.KeepOnly(keys, count);
    // The keystream read ahead under a replaced key goes in the same step.
    SealAheadKeepOnly(keys, count);
}

void SealCacheClear() {
    Cache& cache = TheCache();
    platform::LockHolder guard(cache.lock);
    SecureWipe(cache.entries, sizeof cache.entries);
}

SealCacheStats SealCacheStatistics() {
    Cache& cache = TheCache();
    platform::LockHolder guard(cache.lock);
    return cache.stats;
}

}  // namespace nuvex
