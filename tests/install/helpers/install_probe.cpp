// Calls one install export of the shared library, from wherever this program has been copied
// to, and prints the result code. Arguments: main, acl or monitor, then the source path (none:
// the default source next to this program).
#include <cstdio>
#include <cstring>

#include "nuvexctrl.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* source = argc > 2 ? argv[2] : nullptr;
    uint32_t result;
    if (std::strcmp(argv[1], "main") == 0)
        result = NuvexCtrl_Install(0, source);
    else if (std::strcmp(argv[1], "acl") == 0)
        result = NuvexAccCtrl_Install(0, source);
    else if (std::strcmp(argv[1], "monitor") == 0)
        result = NuvexAntiSteal_Install(0, source);
    else
        return 2;
    std::printf("%u\n", result);
    return 0;
}
