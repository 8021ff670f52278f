// Installation of the main filter driver and the privilege it needs to be loaded.
#pragma once

#include <cstdint>

namespace nuvex {

// Enables (enable non-zero) or disables the named privilege in the token of the calling
// thread, or of the process when the thread does not impersonate. Returns 1 when the token
// was adjusted and closed again, 0 otherwise (a privilege the token lacks still counts as
// adjusted, as AdjustTokenPrivileges reports it).
int EnablePrivilege(const char* name, int enable);

}  // namespace nuvex
