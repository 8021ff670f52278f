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
    SealKeystreamRoutine list[3];
    std::size_t count = 0;
    std::size_t fastest = 0;

    Routines() : list{} {
        list[count++] = SealKeystreamRoutine{"portable", kSealLanes, SealXorBlocksPortable, true};
#if defined(NUVEX_SEAL_X86)
        __builtin_cpu_init();
        list[count++] = SealKeystreamRoutine{"avx2", 8, SealXorBlocksAvx2,
                                             __builtin_cpu_supports("avx2") != 0};
#endif
        for (std::size_t i = 0; i < count; ++i)
            if (list[i].usable) fastest = i;  // later entries are faster
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
