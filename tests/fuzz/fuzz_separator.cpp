// Separator texts of the main filter driver: the pass-path list and the encrypted-document list.
#include <cstring>

#include "fuzz_support.h"
#include "nuvexctrl.h"

namespace {
void CheckList(uint32_t result, UserStrNode* list, uint32_t count) {
    uint32_t nodes = 0;
    for (UserStrNode* n = list; n; n = n->next) {
        ++nodes;
        if (n->data != nullptr) (void)std::strlen(n->data);  // every string is terminated
    }
    if (result == 0 && nodes != count) __builtin_trap();
    if (result != 0 && list != nullptr) __builtin_trap();
    NuvexCtrl_FreeUserStrList(list);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    if (size < 1) return 0;
    driver.SetScript(data + 1, size - 1);
    LeakGuard guard;
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    uint32_t result = (data[0] & 1) ? NuvexCtrl_GetPassPath(&list, &count)
                                    : NuvexCtrl_GetEnFileList(data[0] >> 1, &list, &count);
    CheckList(result, list, count);
    return 0;
}
