// Routines the document exports share.
#pragma once

#include <cstdint>

#include "frame/owners.h"

namespace nuvex::document {

// The quick document test on an open file: at least a header's size (low 32 bits) and the
// first 15 signature bytes at offset 64. Moves the file pointer.
bool PassesQuickTest(HANDLE file);

// The driver test of the rights writers: the main filter driver counts as running when its
// control device opens (it is closed again at once).
bool DriverRunning();

// A document handle as the header request carries it (on the host: the descriptor number).
uint32_t RequestHandleValue(HANDLE file);

}  // namespace nuvex::document
