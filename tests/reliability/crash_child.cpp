// Child of the crash test: encrypts or decrypts one file in place and exits with the result
// code (the parent kills it at a random moment).
#include <cstdio>
#include <cstring>

#include "nuvexctrl.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s encrypt|decrypt <file>\n", argv[0]);
        return 2;
    }
    uint32_t result = std::strcmp(argv[1], "encrypt") == 0
                          ? NuvexCtrl_EncryptFile(argv[2], 0, nullptr, 0)
                          : NuvexCtrl_DecryptFile(argv[2], 0, nullptr, 0, nullptr, 0);
    return result == 0 ? 0 : 1;
}
