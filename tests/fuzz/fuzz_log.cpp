// Log batches of the main filter driver through NuvexCtrl_GetLog.
#include <cstdio>

#include "fuzz_support.h"
#include "nuvexctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nuvex::fuzz;
    static ScriptedDriver driver("Nuvexcdo_3");
    driver.SetScript(data, size);
    LeakGuard guard;
    LogEntry* log = nullptr;
    uint32_t count = 0;
    // Any result may come with a list (records before a damaged batch, records of fetches
    // after a failed allocation); the counter always matches it.
    NuvexCtrl_GetLog(&log, &count);
    uint32_t nodes = 0;
    for (LogEntry* e = log; e; e = e->next) ++nodes;
    if (nodes != count) {
        std::fprintf(stderr, "GetLog: %u nodes, count %u\n", nodes, count);
        __builtin_trap();
    }
    NuvexCtrl_FreeLog(log);
    return 0;
}
