// The C++ ABI's guard routines for local static objects, which the compiler calls around the
// first initialisation of each one, built on the DLL's own lock and condition variable.
//
// The language runtime's versions create a mutex and a condition of the runtime's thread
// library on first use and never free them: each load of a DLL that carries them leaves those
// behind when it is unloaded. These take nothing from the system: one module-wide lock and one
// condition variable, both constant initialised.
//
// The guard object is 64 bits; the compiler's inline check reads its first byte, which is
// set (with release order) once the object is initialised. The second byte marks an
// initialisation under way on some thread; others wait for it.
#include <cstdint>

#include "platform/threads.h"

namespace {

constinit nuvex::platform::Lock g_guardLock;
constinit nuvex::platform::Condition g_guardSettled;

uint8_t* Bytes(uint64_t* guard) { return reinterpret_cast<uint8_t*>(guard); }

}  // namespace

extern "C" {

// 1 when the caller is to initialise the object, 0 when it already is.
int __cxa_guard_acquire(uint64_t* guard) {
    uint8_t* bytes = Bytes(guard);
    nuvex::platform::LockHolder held(g_guardLock);
    for (;;) {
        if (__atomic_load_n(&bytes[0], __ATOMIC_ACQUIRE) != 0) return 0;
        if (bytes[1] == 0) {
            bytes[1] = 1;
            return 1;
        }
        g_guardSettled.Wait(held);
    }
}

void __cxa_guard_release(uint64_t* guard) {
    uint8_t* bytes = Bytes(guard);
    {
        nuvex::platform::LockHolder held(g_guardLock);
        bytes[1] = 0;
        __atomic_store_n(&bytes[0], uint8_t{1}, __ATOMIC_RELEASE);
    }
    g_guardSettled.WakeAll();
}

// The initialisation did not complete: the next caller tries again.
void __cxa_guard_abort(uint64_t* guard) {
    {
        nuvex::platform::LockHolder held(g_guardLock);
        Bytes(guard)[1] = 0;
    }
    g_guardSettled.WakeAll();
}

}  // extern "C"
