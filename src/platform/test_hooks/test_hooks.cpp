// The entry points of host_hooks.h. Compiled into the library the tests link and nowhere
// else, so that the installed library exports the 61 exports and nothing more.
#include "platform/host/host_hooks.h"

#include "document/document_io.h"
#include "frame/heap.h"
#include "platform/host/driver_records.h"
#include "platform/host/host_internal.h"
#include "platform/host/tokens.h"

using namespace nuvex::host;

extern "C" {

void NuvexHost_FailFileOp(int kind, uint32_t nth, int sticky) {
    ArmFileFault(kind, nth, sticky != 0);
}

void NuvexHost_ShortWrite(uint32_t nth, uint32_t bytes) { ArmShortWrite(nth, bytes); }

uint32_t NuvexHost_FileOpCount(int kind) { return FileOpCount(kind); }

void NuvexHost_ResetFaults(void) { ResetFaults(); }

uint32_t NuvexHost_OpenHandleCount(void) { return OpenHandleCount(); }

void NuvexHost_ResetMachineRoot(void) { ResetMachineRoot(); }

void NuvexHost_ForceLoadStatus(uint32_t count, int32_t status) { ForceLoadStatus(count, status); }

uint32_t NuvexHost_LoadDriverCallCount(void) { return LoadDriverCallCount(); }

int NuvexHost_LoadDriverPrivilegeEnabled(void) { return LoadDriverPrivilegeEnabled() ? 1 : 0; }

uint32_t NuvexHost_StopDrivers(void) { return StopAllDrivers(); }

void NuvexHost_HoldThreadStarts(int mode) { HoldThreadStarts(mode); }

uint32_t NuvexHost_LiveThreads(void) { return LiveThreadCount(); }

void NuvexTest_HeapFailAt(uint32_t nth, int sticky) { nuvex::HeapFailAt(nth, sticky != 0); }

// The copy buffers the module keeps between calls are its own, released when it unloads; a
// test counting the blocks an export leaves behind does not count them.
uint32_t NuvexTest_HeapLiveBlocks(void) {
    return nuvex::HeapLiveBlocks() - nuvex::document::KeptCopyBuffers();
}

int NuvexTest_KeptCopyBuffersAreClean(void) {
    return nuvex::document::KeptCopyBuffersAreClean() ? 1 : 0;
}

uint32_t NuvexTest_KeptCopyBuffers(void) { return nuvex::document::KeptCopyBuffers(); }

uint32_t NuvexTest_HeapAllocCount(void) { return nuvex::HeapAllocCount(); }

}  // extern "C"
