// Routines the document exports share.
#pragma once

#include <cstdint>

#include "crypto/seal.h"
#include "document/document_io.h"
#include "frame/owners.h"

namespace nuvex::document {

// The quick document test on an open file: at least a header's size (low 32 bits) and the
// first 15 signature bytes at offset 64. Moves the file pointer.
bool PassesQuickTest(HANDLE file);

// The driver test of the rights writers: the main filter driver counts as running when its
// control device opens (it is closed again at once).
bool DriverRunning();

// Encryption and decryption of a file under `key`, telling `progress` (may be null) as the
// body is copied: the work of NuvexCtrl_EncryptFile and NuvexCtrl_DecryptFile (which pass the
// module's document key) and of their extension counterparts (which pass the caller's key).
// The result codes are those of the two exports, and NUVEX_E_CANCELLED when `progress`
// stopped the copy.
uint32_t EncryptDocumentFile(const char* fileName, const SealKey& key, const CopyProgress* progress);
uint32_t DecryptDocumentFile(const char* fileName, uint32_t toOtherFile, const char* outFileName,
                             const SealKey& key, const CopyProgress* progress);
// The same for a name inside a folder the caller holds (a descriptor or a HANDLE), never
// following a link at the name; `outName` is another name in that folder, or null in place.
uint32_t EncryptDocumentIn(intptr_t folder, const char* name, const SealKey& key,
                           const CopyProgress* progress);
uint32_t DecryptDocumentIn(intptr_t folder, const char* name, const char* outName,
                           const SealKey& key, const CopyProgress* progress);

// A document handle as the header request carries it (on the host: the descriptor number).
uint32_t RequestHandleValue(HANDLE file);

}  // namespace nuvex::document
