// Policy records and policy texts as the main filter driver returns them.
#include <cstring>

#include "fuzz_support.h"
#include "nuvexctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    static const std::string saved = MachineRoot() + "/policies.dat";
    if (size < 1) return 0;
    driver.SetScript(data + 1, size - 1);
    LeakGuard guard;
    switch (data[0] % 5) {
    case 0: {
        PolicyRecord* list = nullptr;
        uint32_t result = NuvexCtrl_GetPolicyList(&list);
        if (result != 0 && list != nullptr) __builtin_trap();
        NuvexCtrl_FreePolicyList(list);
        break;
    }
    case 1: {
        UserStrNode* list = nullptr;
        uint32_t result = NuvexCtrl_GetPolicyStrList(&list);
        if (result != 0 && list != nullptr) __builtin_trap();
        for (UserStrNode* n = list; n; n = n->next)
            if (n->data) (void)std::strlen(n->data);
        NuvexCtrl_FreeUserStrList(list);
        break;
    }
    case 2: {
        char* text = nullptr;
        if (NuvexCtrl_GetOnePolicyStr(data[0] >> 3, &text) == 0 && text != nullptr) (void)std::strlen(text);
        if (text) NuvexCtrl_FreeBuffer(text);
        break;
    }
    case 3: {
        PolicyRecord one{};
        NuvexCtrl_GetOnePolicyByID(data[0] >> 3, &one);
        break;
    }
    default:
        NuvexCtrl_SaveCurrentPolicyToFile(saved.c_str());
        break;
    }
    return 0;
}
