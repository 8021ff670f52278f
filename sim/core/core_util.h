// Small helpers shared by the driver cores: little-endian access (nuvex_wire.h), bounded strings and a
// growable array of plain values whose memory comes from the embedder's allocator. No
// exceptions, no standard containers, no system calls.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "nuvex_wire.h"
#include "sim_env.h"

namespace nuvex::simcore {

inline uint32_t Load32(const uint8_t* p) { return NuvexWire_Load32(p); }
inline void Store32(uint8_t* p, uint32_t v) { NuvexWire_Store32(p, v); }
inline void Store16(uint8_t* p, uint16_t v) { NuvexWire_Store16(p, v); }
inline uint32_t Swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Length of the text in a fixed field, or `capacity` when the field holds no NUL.
inline size_t BoundedLength(const void* field, size_t capacity) {
    const void* nul = memchr(field, 0, capacity);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) -
                                     static_cast<const char*>(field))
               : capacity;
}

// Copies a text into a fixed field, cut so that a NUL always fits.
inline void CopyText(char* field, size_t capacity, const char* text, size_t length) {
    if (capacity == 0) return;
    if (length >= capacity) length = capacity - 1;
    memcpy(field, text, length);
    memset(field + length, 0, capacity - length);
}

inline void* Allocate(const NuvexSimEnv& env, size_t size) {
    return env.allocate ? env.allocate(env.context, size) : nullptr;
}
inline void Release(const NuvexSimEnv& env, void* block) {
    if (block && env.release) env.release(env.context, block);
}

// A growable array of trivially copyable values.
template <typename T>
class Array {
public:
    void Init(const NuvexSimEnv* env) {
        env_ = env;
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    void Free() {
        if (env_) Release(*env_, data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    size_t Size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

    // Makes room for one more value; false when memory is short (nothing changes then).
    bool Reserve(size_t wanted) {
        if (wanted <= capacity_) return true;
        size_t capacity = capacity_ ? capacity_ * 2 : 8;
        while (capacity < wanted) capacity *= 2;
        T* grown = static_cast<T*>(Allocate(*env_, capacity * sizeof(T)));
        if (!grown) return false;
        if (size_) memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
        Release(*env_, data_);
        data_ = grown;
        capacity_ = capacity;
        return true;
    }
    bool Insert(size_t at, const T& value) {
        if (!Reserve(size_ + 1)) return false;
        memmove(static_cast<void*>(data_ + at + 1), data_ + at, (size_ - at) * sizeof(T));
        data_[at] = value;
        ++size_;
        return true;
    }
    bool Push(const T& value) { return Insert(size_, value); }
    void Erase(size_t at) {
        memmove(static_cast<void*>(data_ + at), data_ + at + 1, (size_ - at - 1) * sizeof(T));
        --size_;
    }
    void Clear() { size_ = 0; }

private:
    const NuvexSimEnv* env_ = nullptr;
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace nuvex::simcore
