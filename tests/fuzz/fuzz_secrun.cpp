// Secure-run process blocks and their sub-entries through NuvexCtrl_GetSecRunProcList.
#include "fuzz_support.h"
#include "nuvexctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    driver.SetScript(data, size);
    LeakGuard guard;
    SecRunProcEntry* list = nullptr;
    uint32_t result = NuvexCtrl_GetSecRunProcList(&list);
    if (result != 0 && list != nullptr) __builtin_trap();
    if (list != nullptr) NuvexCtrl_FreeSecRunProcList(list);
    return 0;
}
