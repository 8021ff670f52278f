// State of the test hooks: file-operation counters, injected failures and short writes, and
// forced outcomes of NtLoadDriver. Unused, none of it changes what a call does; only the
// library the tests link can arm it (src/platform/test_hooks).
#include <atomic>
#include <mutex>

#include "platform/host/host_hooks.h"
#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

struct Fault {
    uint32_t seen = 0;  // operations of the kind since the fault was armed
    uint32_t nth = 0;   // 0: no fault
    bool sticky = false;
};

std::mutex g_hookLock;
uint32_t g_counts[kNuvexFaultKinds] = {};
Fault g_faults[kNuvexFaultKinds];
uint32_t g_writesSeen = 0;
uint32_t g_shortWriteAt = 0;
uint32_t g_shortWriteBytes = 0;
uint32_t g_forcedLoads = 0;
NTSTATUS g_forcedStatus = STATUS_SUCCESS;
uint32_t g_loadCalls = 0;

}  // namespace

bool FileOpFails(FileOp op) {
    int kind = static_cast<int>(op);
    std::lock_guard<std::mutex> lock(g_hookLock);
    ++g_counts[kind];
    Fault& fault = g_faults[kind];
    if (fault.nth == 0) return false;
    ++fault.seen;
    return fault.seen == fault.nth || (fault.sticky && fault.seen > fault.nth);
}

DWORD WriteAllowance(DWORD requested) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    if (g_shortWriteAt == 0) return requested;
    if (++g_writesSeen != g_shortWriteAt) return requested;
    g_shortWriteAt = 0;
    return g_shortWriteBytes < requested ? g_shortWriteBytes : requested;
}

bool TakeForcedLoadStatus(NTSTATUS* status) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    if (g_forcedLoads == 0) return false;
    --g_forcedLoads;
    *status = g_forcedStatus;
    return true;
}

void CountLoadDriverCall() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    ++g_loadCalls;
}

void ResetForcedLoads() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_forcedLoads = 0;
    g_loadCalls = 0;
}

void ArmFileFault(int kind, uint32_t nth, bool sticky) {
    if (kind < 0 || kind >= kNuvexFaultKinds) return;
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_faults[kind] = Fault{0, nth, sticky};
}

void ArmShortWrite(uint32_t nth, uint32_t bytes) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_writesSeen = 0;
    g_shortWriteAt = nth;
    g_shortWriteBytes = bytes;
}

uint32_t FileOpCount(int kind) {
    if (kind < 0 || kind >= kNuvexFaultKinds) return 0;
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_counts[kind];
}

void ResetFaults() {
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        for (int kind = 0; kind < kNuvexFaultKinds; ++kind) {
            g_counts[kind] = 0;
            g_faults[kind] = Fault{};
        }
        g_writesSeen = 0;
        g_shortWriteAt = 0;
    }
    ResetForcedLoads();
    ResetTokenState();
    HoldThreadStarts(0);
}

void ForceLoadStatus(uint32_t count, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_forcedLoads = count;
    g_forcedStatus = status;
}

uint32_t LoadDriverCallCount() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_loadCalls;
}

}  // namespace nuvex::host
