// Per-key entries in module-wide storage, as the table cache and the keystream read-ahead keep
// them: one lock, a use clock, the least recently used entry replaced when all are taken, and,
// once a key has been replaced, admission only for the keys the key stores still hold. An
// entry is wiped when it leaves, and everything is wiped when the module unloads.
#pragma once

#include <cstdint>
#include <cstring>

#include "crypto/seal_cache.h"
#include "frame/heap.h"
#include "platform/threads.h"

namespace nuvex {

// Entry has `bool used`, `uint8_t key[kSealKeyBytes]` and `uint64_t lastUse`.
template <typename Entry, uint32_t kEntries>
struct KeySlots {
    platform::Lock lock;
    uint64_t clock = 0;
    Entry entries[kEntries]{};
    // Set by KeepOnly: only these keys get entries.
    bool restricted = false;
    uint32_t keptCount = 0;
    uint8_t kept[kSealCacheKeptKeys][kSealKeyBytes]{};

    // Key-derived bytes must not outlive the module.
    ~KeySlots() {
        platform::LockHolder guard(lock);
        SecureWipe(entries, sizeof entries);
        SecureWipe(kept, sizeof kept);
    }

    bool Admits(const uint8_t* key) const {
        if (!restricted) return true;
        for (uint32_t k = 0; k < keptCount; ++k)
            if (std::memcmp(kept[k], key, kSealKeyBytes) == 0) return true;
        return false;
    }

    Entry* Find(const uint8_t* key) {
        for (Entry& entry : entries)
            if (entry.used && std::memcmp(entry.key, key, kSealKeyBytes) == 0) return &entry;
        return nullptr;
    }

    // A free entry, or the least recently used one wiped (`evicted` tells which).
    Entry& Claim(bool& evicted) {
        Entry* victim = &entries[0];
        for (Entry& entry : entries) {
            if (!entry.used) {
                evicted = false;
                return entry;
            }
            if (entry.lastUse < victim->lastUse) victim = &entry;
        }
        SecureWipe(victim, sizeof *victim);
        evicted = true;
        return *victim;
    }

    // Restricts admission to the `count` keys at `keys` and wipes the entries of all others.
    void KeepOnly(const uint8_t* const* keys, uint32_t count) {
        SecureWipe(kept, sizeof kept);
        keptCount = count < kSealCacheKeptKeys ? count : kSealCacheKeptKeys;
        for (uint32_t k = 0; k < keptCount; ++k) std::memcpy(kept[k], keys[k], kSealKeyBytes);
        restricted = true;
        for (Entry& entry : entries)
            if (entry.used && !Admits(entry.key)) SecureWipe(&entry, sizeof entry);
    }
};

}  // namespace nuvex
