// The library's one cipher: a SEAL-family keystream generator under a 20-byte key with
// random access by stream offset. Enciphering and deciphering are the same operation.
#pragma once

#include <array>
#include <cstdint>

namespace nuvex {

constexpr uint32_t kSealKeyBytes = 20;
using SealKey = std::array<uint8_t, kSealKeyBytes>;
// Data bytes covered by one counter value's keystream block: a stretch split on a multiple of
// this (counted in stream offsets) makes no block twice.
constexpr uint32_t kSealBlockBytes = 512;

// Copies `length` bytes from `source` to `destination` (forward, so destination may equal
// source or start below an overlapping source), then enciphers `destination` as the stretch
// that starts at stream offset `offset` under the first 20 bytes of `key`. Returns 1.
int SealCrypt(const void* source, void* destination, uint32_t length, uint32_t offset,
              const uint8_t* key);
// SealCrypt in the caller's own working memory, for callers that keep one per thread in their
// context (SealCrypt otherwise borrows one of a few shared ones, or works more slowly in a
// small room on the stack when they are all in use). The contents on return are wiped.
struct SealWorkspace;
int SealCryptWith(SealWorkspace& workspace, const void* source, void* destination,
                  uint32_t length, uint32_t offset, const uint8_t* key);
// The same operation under the name the deciphering callers use.
int SealDecrypt(const void* source, void* destination, uint32_t length, uint32_t offset,
                const uint8_t* key);

// Document routines: the same cipher under a document key the caller passes. The cipher knows
// nothing of where keys are kept: whole-file operations take one snapshot of the key at their
// start (DocumentKeySnapshot in document/keys.h) and pass it, so one file never mixes two keys.
int EncryptDocumentBytes(const void* source, void* destination, uint32_t length, uint32_t offset,
                         const SealKey& key);
int DecryptDocumentBytes(const void* source, void* destination, uint32_t length, uint32_t offset,
                         const SealKey& key);
// The same in the caller's working memory (see SealCryptWith).
int CryptDocumentBytesWith(SealWorkspace& workspace, void* data, uint32_t length,
                           uint32_t offset, const SealKey& key);

}  // namespace nuvex
