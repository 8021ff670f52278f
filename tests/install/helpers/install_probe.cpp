// Calls one install export of the shared library with no source path, from wherever this
// program has been copied to, and prints the result code. Argument: main, acl or monitor.
#include <cstdio>
#include <cstring>

#include "nuvexctrl.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    uint32_t result;
    if (std::strcmp(argv[1], "main") == 0)
        result = NuvexCtrl_Install(0, nullptr);
    else if (std::strcmp(argv[1], "acl") == 0)
        result = NuvexAccCtrl_Install(0, nullptr);
    else if (std::strcmp(argv[1], "monitor") == 0)
        result = NuvexAntiSteal_Install(0, nullptr);
    else
        return 2;
    std::printf("%u\n", result);
    return 0;
}
