// Child of the crash and race tests.
//
//   crash_child encrypt|decrypt <file>   encrypts or decrypts one file in place and exits with
//                                        0 on success (the crash test kills it at random)
//   crash_child serve                    runs document operations for the race test: reads a
//                                        command line, answers "ready", waits for "go", runs
//                                        it and answers with the result code; until end of input
//
// Commands: "encrypt <file>", "decrypt <file>", "decryptto <file> <target>", "rights <file>".
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "nuvexctrl.h"
#include "race_ops.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "serve") == 0) {
        std::string command;
        std::string go;
        while (std::getline(std::cin, command)) {
            std::cout << "ready" << std::endl;
            if (!std::getline(std::cin, go)) break;
            std::cout << nuvex::reliability::RunRaceOp(command) << std::endl;
        }
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s encrypt|decrypt <file> | serve\n", argv[0]);
        return 2;
    }
    uint32_t result = std::strcmp(argv[1], "encrypt") == 0
                          ? NuvexCtrl_EncryptFile(argv[2], 0, nullptr, 0)
                          : NuvexCtrl_DecryptFile(argv[2], 0, nullptr, 0, nullptr, 0);
    return result == 0 ? 0 : 1;
}
