// The process token's state, for the calls that need a privilege.
#pragma once

namespace nuvex::host {

// True once AdjustTokenPrivileges has enabled SeLoadDriverPrivilege.
bool LoadDriverPrivilegeEnabled();

}  // namespace nuvex::host
