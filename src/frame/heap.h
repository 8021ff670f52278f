// The library's private heap. Every block handed to a caller comes from here and goes back
// only through the Free exports; blocks for the library's own use are released before the
// export that took them returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nuvex {

// Returns nullptr when the block cannot be had (callers turn that into their result code).
void* MemAlloc(std::size_t bytes);
// Like MemAlloc, with the block filled with zero bytes.
void* MemAllocZero(std::size_t bytes);
// Accepts nullptr.
void MemFree(void* block);

// Overwrites memory in a way the compiler may not drop (keys, digests, plain bytes).
void SecureWipe(void* data, std::size_t bytes);

// Fault injection and counters for the tests, reached only through their hooks: the nth
// allocation from now on fails (sticky: every one from the nth on; nth 0 switches it off).
void HeapFailAt(uint32_t nth, bool sticky);
uint32_t HeapLiveBlocks();
uint32_t HeapAllocCount();

// Owner of one heap block: released when the owner goes out of scope unless handed out.
template <typename T = unsigned char>
class HeapBlock {
public:
    HeapBlock() = default;
    explicit HeapBlock(T* block) : block_(block) {}
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    HeapBlock(HeapBlock&& other) noexcept : block_(other.release()) {}
    HeapBlock& operator=(HeapBlock&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~HeapBlock() { reset(); }

    // Allocates `bytes` zero-filled bytes; false when the heap refuses.
    bool allocateZero(std::size_t bytes) {
        reset(static_cast<T*>(MemAllocZero(bytes)));
        return block_ != nullptr;
    }
    T* get() const { return block_; }
    T* operator->() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    T* release() {
        T* block = block_;
        block_ = nullptr;
        return block;
    }
    void reset(T* block = nullptr) {
        if (block_ != nullptr) MemFree(block_);
        block_ = block;
    }

private:
    T* block_ = nullptr;
};

}  // namespace nuvex
