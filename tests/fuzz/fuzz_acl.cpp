// Access-control driver replies: policy records, the log, one policy and the status words.
#include "fuzz_support.h"
#include "nuvexctrl.h"

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
        NuvexAccCtrl_FreePolicyList(list);
        break;
    }
    case 1: {
        AccLogRecord* log = nullptr;
        uint32_t result = NuvexAccCtrl_GetLog(&log);
        if (result != 0 && log != nullptr) __builtin_trap();
        NuvexAccCtrl_FreeLog(log);
        break;
    }
    case 2: {
        AccPolicyRecord one{};
        NuvexAccCtrl_GetOnePolicy(data[0] >> 2, &one);
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
