// Test hooks of the host platform and of the library's private heap. They exist only in the
// library the tests link (nuvexctrl_static, with src/platform/test_hooks): neither the
// installed shared library nor the Windows DLL carries them. Unused, they change nothing.
#pragma once

#include <cstdint>

extern "C" {

// File operations that a test can make fail.
enum NuvexFaultKind {
    kNuvexFaultOpen = 0,
    kNuvexFaultRead = 1,
    kNuvexFaultWrite = 2,
    kNuvexFaultFlush = 3,
    kNuvexFaultMove = 4,   // MoveFileExA, CopyFileA and ReplaceFileA
    kNuvexFaultDelete = 5,
    kNuvexFaultSetAttributes = 6,
    kNuvexFaultKinds = 7
};

// Makes the nth operation of `kind` from now on fail (1 = the next one); with `sticky` every
// operation from the nth on fails. nth 0 switches the fault off.
void NuvexHost_FailFileOp(int kind, uint32_t nth, int sticky);
// Makes the nth WriteFile from now on write only `bytes` bytes and report that count.
void NuvexHost_ShortWrite(uint32_t nth, uint32_t bytes);
// Operations of `kind` performed since the last reset (counts ordinary files only).
uint32_t NuvexHost_FileOpCount(int kind);
// Switches every injected fault off and sets the counters to zero; also puts the process token
// back in its start state (SeLoadDriverPrivilege held but disabled) and drops forced
// NtLoadDriver results, and lets held thread starts go.
void NuvexHost_ResetFaults(void);
// Handles of any kind (files, devices, registry keys, services, tokens, modules) now open.
uint32_t NuvexHost_OpenHandleCount(void);
// Forgets the cached machine root so that the next call reads NUVEX_HOST_ROOT again; the
// standard folders of the root NUVEX_HOST_ROOT names now are created at once.
void NuvexHost_ResetMachineRoot(void);

// Makes the next `count` NtLoadDriver calls return `status` at once, before any other check,
// without starting anything.
void NuvexHost_ForceLoadStatus(uint32_t count, int32_t status);
// NtLoadDriver calls since the last NuvexHost_ResetFaults.
uint32_t NuvexHost_LoadDriverCallCount(void);
// 1 while SeLoadDriverPrivilege is enabled in the process token.
int NuvexHost_LoadDriverPrivilegeEnabled(void);
// Ends every driver process recorded under the current machine root (Drivers/*.pid) and
// removes the records; returns how many were running.
uint32_t NuvexHost_StopDrivers(void);

// Threads the library starts: mode 1 holds every new one before it begins (the caller goes on
// without it) until the mode goes back to 0; mode 2 makes every start fail; 0 lets them run.
void NuvexHost_HoldThreadStarts(int mode);
// Threads the library started that have not ended yet, held ones included.
uint32_t NuvexHost_LiveThreads(void);

// Library heap: make the nth allocation from now on fail (sticky: every one from the nth on);
// nth 0 switches it off.
void NuvexTest_HeapFailAt(uint32_t nth, int sticky);
// Blocks of the library heap now allocated and not freed (the copy buffers kept between
// calls left out).
uint32_t NuvexTest_HeapLiveBlocks(void);
// Copy buffers kept between calls, and whether every byte of them is zero.
uint32_t NuvexTest_KeptCopyBuffers(void);
int NuvexTest_KeptCopyBuffersAreClean(void);
// Allocations attempted since the last NuvexTest_HeapFailAt call.
uint32_t NuvexTest_HeapAllocCount(void);
}
