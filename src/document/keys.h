// The two module-wide keys: the document key (enciphers document bodies) and the system key
// (handed to the main filter driver). They start at built-in defaults in every process and
// change only after the driver has accepted a new key.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/seal.h"

namespace nuvex {

// The built-in key under which the policy file is enciphered.
extern const uint8_t kPolicyFileKey[kSealKeyBytes];

// The built-in document key every process starts with (20 bytes of 0x5C). Every copy of the
// library holds it, so a document made under it is protected from nobody.
extern const uint8_t kBuiltInDocumentKey[kSealKeyBytes];

// The first 20 bytes of the document-key store, read consistently (no torn key even while
// another thread installs a new one).
SealKey DocumentKeySnapshot();
// The 16 bytes of the system-key store.
std::array<uint8_t, 16> SystemKeySnapshot();

}  // namespace nuvex
