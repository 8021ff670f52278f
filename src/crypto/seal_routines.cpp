// The keystream routines of this build and the choice among them, made once from what the
// processor has; tests and benchmarks may force any usable one.
#include <atomic>
#include <cstring>

#include "crypto/seal_core.h"

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define NUVEX_SEAL_X86 1
#endif

namespace nuvex {
namespace {

struct Routines {
    SealKeystreamRoutine list[4];
    std::size_t count = 0;
    std::size_t fastest = 0;

    Routines() : list{} {
        list[count++] = SealKeystreamRoutine{"portable", kSealLanes, SealXorBlocksPortable, true, nullptr};
#if defined(NUVEX_SEAL_X86)
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2") != 0;
        const bool avx512 = __builtin_cpu_supports("avx512f") != 0 &&
                            __builtin_cpu_supports("avx512vl") != 0 &&
                            __builtin_cpu_supports("avx512bw") != 0;
        list[count++] = SealKeystreamRoutine{"avx2-8", 8, SealXorBlocksAvx2x8, avx2, nullptr};
        list[count++] = SealKeystreamRoutine{"avx2-16", 16, SealXorBlocksAvx2x16, avx2, nullptr};
        list[count++] = SealKeystreamRoutine{"avx512-48", 48, SealXorBlocksAvx512x48, avx512, nullptr};
#endif
        // Each entry is faster on long stretches than the ones before it, on both word sizes
        // (measured), and hands small batches to the usable entry before it.
        for (std::size_t i = 0; i < count; ++i) {
            if (!list[i].usable) continue;
            if (i > 0) list[i].narrower = &list[fastest];
            fastest = i;
        }
    }
};

const Routines& TheRoutines() {
    static const Routines routines;
    return routines;
}

// The forced routine, or null for the fastest.
std::atomic<const SealKeystreamRoutine*> forced{nullptr};

}  // namespace

const SealKeystreamRoutine* SealKeystreamRoutines(std::size_t* count) {
    const Routines& routines = TheRoutines();
    if (count != nullptr) *count = routines.count;
    return routines.list;
}

const SealKeystreamRoutine& SealKeystreamChosen() {
    const SealKeystreamRoutine* routine = forced.load(std::memory_order_relaxed);
    if (routine != nullptr) return *routine;
    const Routines& routines = TheRoutines();
    return routines.list[routines.fastest];
}

bool SealKeystreamForce(const char* name) {
    if (name == nullptr) {
        forced.store(nullptr);
        return true;
    }
    const Routines& routines = TheRoutines();
    for (std::size_t i = 0; i < routines.count; ++i)
        if (routines.list[i].usable && std::strcmp(routines.list[i].name, name) == 0) {
            forced.store(&routines.list[i]);
            return true;
        }
    return false;
}

}  // namespace nuvex
