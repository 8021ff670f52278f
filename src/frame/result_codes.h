// Named result codes for the library's return sites, one namespace per export, made from the
// public table: rc::NuvexCtrl_GetDriverStatus::kNullArgument is 50. A return site can only
// name a code that the table lists for that export, so the table, the tool's messages and the
// reference pages cannot miss a code the library returns.
#pragma once

#include <cstdint>

#include "nuvexctrl_results.h"

namespace nuvex::rc {

#define NUVEX_RESULT_CONSTANT(exportName, name, value, kind, meaning) \
    namespace exportName {                                            \
    inline constexpr uint32_t k##name = value;                        \
    }
NUVEX_RESULT_CODES(NUVEX_RESULT_CONSTANT)
#undef NUVEX_RESULT_CONSTANT

}  // namespace nuvex::rc
