// A process that encrypts or decrypts one file in place and exits with the result code, for
// the tests that end it at random moments with TerminateProcess.
//   win_document_child.exe encrypt|decrypt <path>
#include <windows.h>

#include <cstring>

#include "nuvexctrl.h"

int main(int argc, char** argv) {
    if (argc != 3) return 1000;
    if (std::strcmp(argv[1], "encrypt") == 0)
        return static_cast<int>(NuvexCtrl_EncryptFile(argv[2], 0, nullptr, 0));
    if (std::strcmp(argv[1], "decrypt") == 0)
        return static_cast<int>(NuvexCtrl_DecryptFile(argv[2], 0, nullptr, 0, nullptr, 0));
    return 1001;
}
