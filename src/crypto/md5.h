// MD5 message digest (RFC 1321, unchanged).
#pragma once

#include <cstdint>

namespace nuvex {

// Writes the 16-byte digest of `length` bytes at `data` to `digest`. Does nothing when either
// pointer is null.
void Md5Digest(const void* data, uint32_t length, uint8_t* digest);

}  // namespace nuvex
