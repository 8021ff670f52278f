// NuvexMon.sys for the host: the monitor driver has no control device; it starts, says it
// is ready and runs until it is ended.
#include <string>

#include "driver_host.h"

int main(int argc, char** argv) {
    const nuvex::sim::ImageInfo info{"NuvexMon", nullptr,
                                     "Monitor driver: no control device; runs until ended."};
    std::string root, service;
    int code = nuvex::sim::ParseCommandLine(argc, argv, info, &root, &service);
    if (code >= 0) return code;
    nuvex::sim::UnloadWhenServiceDeleted(root, service);
    return nuvex::sim::RunUntilEnded(info);
}
