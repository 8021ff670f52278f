// Little-endian encode and decode of wire buffers. Driver buffers and file formats are byte
// images with a fixed layout; they are read and written through these helpers, never by
// casting a record onto them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "nuvex_wire.h"

namespace nuvex {

inline uint16_t LoadU16(const void* at) { return NuvexWire_Load16(at); }
inline uint32_t LoadU32(const void* at) { return NuvexWire_Load32(at); }
inline uint64_t LoadU64(const void* at) { return NuvexWire_Load64(at); }
inline void StoreU16(void* at, uint16_t value) { NuvexWire_Store16(at, value); }
inline void StoreU32(void* at, uint32_t value) { NuvexWire_Store32(at, value); }
inline void StoreU64(void* at, uint64_t value) { NuvexWire_Store64(at, value); }

}  // namespace nuvex
