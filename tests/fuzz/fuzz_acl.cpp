// Access-control driver replies: policy records, the log, one policy and the status words.
#include <cstring>

#include "fuzz_support.h"
#include "nuvexctrl.h"

namespace {

// Every text field handed out ends inside its array.
bool TextsTerminated(const AccPolicyRecord& r) {
    return strnlen(r.PrimaryText, sizeof r.PrimaryText) < sizeof r.PrimaryText &&
           strnlen(r.TextList1, sizeof r.TextList1) < sizeof r.TextList1 &&
           strnlen(r.TextList2, sizeof r.TextList2) < sizeof r.TextList2 &&
           strnlen(r.TextList3, sizeof r.TextList3) < sizeof r.TextList3 &&
           strnlen(r.TextList4, sizeof r.TextList4) < sizeof r.TextList4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("NuvexACLcdo_3");
    if (size < 1) return 0;
    driver.SetScript(data + 1, size - 1);
    LeakGuard guard;
    switch (data[0] % 4) {
    case 0: {
        AccPolicyRecord* list = nullptr;
        uint32_t result = NuvexAccCtrl_GetPolicyList(&list);
        if (result != 0 && list != nullptr) __builtin_trap();
        for (const AccPolicyRecord* r = list; r != nullptr; r = r->next)
            if (!TextsTerminated(*r)) __builtin_trap();
        NuvexAccCtrl_FreePolicyList(list);
        break;
    }
    case 1: {
        AccLogRecord* log = nullptr;
        uint32_t result = NuvexAccCtrl_GetLog(&log);
        // Only a walk stopped at its bound hands over what it fetched with a failure.
        if (result != 0 && result != NUVEX_E_WALK_BOUND_REACHED && log != nullptr)
            __builtin_trap();
        NuvexAccCtrl_FreeLog(log);
        break;
    }
    case 2: {
        AccPolicyRecord one{};
        if (NuvexAccCtrl_GetOnePolicy(data[0] >> 2, &one) == 0 && !TextsTerminated(one))
            __builtin_trap();
        break;
    }
    default: {
        uint32_t status[2] = {};
        NuvexAccCtrl_GetDriverStatus(status);
        break;
    }
    }
    return 0;
}
