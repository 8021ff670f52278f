// Document headers as found on disk: the input is a file given to recognition, the rights
// exports, the GUID query and decryption to another file.
#include <cstdio>

#include "fuzz_support.h"
#include "nuvexctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static const std::string file = MachineRoot() + "/input.doc";
    static const std::string out = MachineRoot() + "/output.txt";
    if (size < 1) return 0;
    WriteFile(file, data + 1, size - 1);
    LeakGuard guard;
    uint32_t status = 0;
    switch (data[0] % 6) {
    case 0: {
        uint32_t answer = 0;
        NuvexCtrl_IsEncryptFile(file.c_str(), 0, &answer);
        break;
    }
    case 1: {
        uint32_t print = 0, flags = 0;
        uint8_t value[8];
        uint16_t count = 0, print16 = 0;
        NuvexCtrl_GetEnFileRights(file.c_str(), &print, value, &count, &print16, &flags, &status);
        break;
    }
    case 2: {
        const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        NuvexCtrl_SetEnFileRights(file.c_str(), value, 3, 4, 0, "pw", 2, &status);
        break;
    }
    case 3:
        NuvexCtrl_ClearEnFileRights(file.c_str(), "pw", 2, &status);
        break;
    case 4: {
        uint8_t guid[16];
        NuvexCtrl_GetFileGUID(file.c_str(), guid);
        break;
    }
    default:
        NuvexCtrl_DecryptFile(file.c_str(), 1, out.c_str(), 0, nullptr, 0);
        std::remove(out.c_str());
        break;
    }
    return 0;
}
