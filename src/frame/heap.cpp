#include <cstring>
#include "frame/heap.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace nuvex {
namespace {

std::atomic<uint32_t> g_liveBlocks{0};
// Fault injection (armed only by the tests' hooks): the allocation number that fails, 0 for
// none.
std::atomic<uint32_t> g_failAt{0};
std::atomic<int> g_failSticky{0};
std::atomic<uint32_t> g_attempts{0};

bool InjectedFailure() {
    uint32_t attempt = g_attempts.fetch_add(1, std::memory_order_relaxed) + 1;
    uint32_t failAt = g_failAt.load(std::memory_order_relaxed);
    if (failAt == 0) return false;
    if (attempt == failAt) return true;
    return attempt > failAt && g_failSticky.load(std::memory_order_relaxed) != 0;
}

}  // namespace

void* MemAlloc(std::size_t bytes) {
    if (InjectedFailure()) return nullptr;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr) g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void* MemAllocZero(std::size_t bytes) {
    void* block = MemAlloc(bytes);
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

void MemFree(void* block) {
    if (block == nullptr) return;
    g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void SecureWipe(void* data, std::size_t bytes) {
    if (bytes == 0) return;
#if defined(__GNUC__) || defined(__clang__)
    // A plain memset at memory speed; the empty assembly statement that takes the block's
    // address and clobbers memory makes the compiler assume the zeros are read afterwards, so
    // it cannot drop the stores as dead (the block is freed or goes out of scope next).
    std::memset(data, 0, bytes);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (bytes-- > 0) *p++ = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

void HeapFailAt(uint32_t nth, bool sticky) {
    g_failSticky.store(sticky ? 1 : 0);
    g_attempts.store(0);
    g_failAt.store(nth);
}

uint32_t HeapLiveBlocks() { return g_liveBlocks.load(); }

uint32_t HeapAllocCount() { return g_attempts.load(); }

}  // namespace nuvex
