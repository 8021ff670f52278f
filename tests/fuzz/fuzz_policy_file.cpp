// Policy files as found on disk: the input, enciphered under the built-in policy-file key,
// is loaded into a driver that accepts every request.
#include <vector>

#include "crypto/seal.h"
#include "fuzz_support.h"
#include "nuvexctrl.h"

namespace {
const uint8_t kPolicyFileKey[20] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25,
                                    0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    static const std::string file = MachineRoot() + "/policies.dat";
    std::vector<uint8_t> enciphered(data, data + size);
    if (size > 0) nuvex::SealCrypt(enciphered.data(), enciphered.data(), static_cast<uint32_t>(size), 0, kPolicyFileKey);
    WriteFile(file, enciphered.data(), enciphered.size());
    driver.SetScript(nullptr, 0);
    LeakGuard guard;
    NuvexCtrl_LoadPolicyFromFile(file.c_str());
    return 0;
}
