// Blocks of the process heap for the Windows platform layer's own strings. The heap calls,
// not operator new: the nothrow operator new would link the C++ runtime's exception support
// into the DLL, whose start-up allocates (and at every unload leaves behind) an emergency
// pool and its lock.
#pragma once

#include <windows.h>

#include <cstddef>

namespace nuvex::platform {

template <typename T>
T* Allocate(std::size_t count) {
    return static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(T)));
}

inline void FreeBlock(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace nuvex::platform
