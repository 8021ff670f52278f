// The pass-path file as found on disk, updated by the persisted pass-path exports.
#include "fuzz_support.h"
#include "nuvexctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    static const std::string file = MachineRoot() + "/Windows/System32/NUVEXpath.nvdat";
    if (size < 1) return 0;
    WriteFile(file, data + 1, size - 1);
    driver.SetScript(nullptr, 0);
    LeakGuard guard;
    if (data[0] & 1) {
        NuvexCtrl_DeleteAllPassPath(1);
    } else {
        UserStrNode second{nullptr, const_cast<char*>("E:\\two")};
        UserStrNode first{&second, const_cast<char*>("D:\\one")};
        if (data[0] & 2) NuvexCtrl_AddStructPassPath(&first, 1);
        else NuvexCtrl_AddStringPassPath("C:\\new", 1);
    }
    return 0;
}
