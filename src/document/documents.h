// Routines the document exports share.
#pragma once

#include <cstdint>

#include "frame/owners.h"

namespace nuvex::document {

// The quick document test through NuvexCtrl_IsEncryptFile (8-bit path); a file that cannot
// be opened is simply not a document.
bool IsDocument(const char* fileName);

// The driver test of the rights writers: the main filter driver counts as running when its
// control device opens (it is closed again at once).
bool DriverRunning();

// A document handle as the header request carries it (on the host: the descriptor number).
uint32_t RequestHandleValue(HANDLE file);

}  // namespace nuvex::document
