// Asks the main filter driver for its status and prints what the library answered.
#include <cstdio>

#include <nuvexctrl.h>

int main() {
    DriverStatus status{};
    uint32_t code = NuvexCtrl_GetDriverStatus(&status);
    if (code != 0) {
        // 74: the driver's control device cannot be opened (the driver is not running).
        std::printf("main driver not reachable (result %u)\n", code);
        return code == 74 ? 0 : 1;
    }
    std::printf("main driver status:");
    for (unsigned char b : status.bytes) std::printf(" %02x", b);
    std::printf("\n");
    return 0;
}
