// Little-endian encode and decode of wire buffers. Driver buffers and file formats are byte
// images with a fixed layout; they are read and written through these helpers, never by
// casting a record onto them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nuvex {

inline uint16_t LoadU16(const void* at) {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadU32(const void* at) {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const void* at) {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU16(void* at, uint16_t value) {
    auto* p = static_cast<uint8_t*>(at);
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
inline void StoreU32(void* at, uint32_t value) {
    auto* p = static_cast<uint8_t*>(at);
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
inline void StoreU64(void* at, uint64_t value) {
    auto* p = static_cast<uint8_t*>(at);
    StoreU32(p, static_cast<uint32_t>(value));
    StoreU32(p + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace nuvex
