// A Windows kernel-mode image around one of the simulated drivers' cores (sim/core), so that
// the real DLL can be tested against real drivers: Wine loads such images through its
// service manager into winedevice.exe and routes DeviceIoControl to them as IRPs.
//
// Built three times (see CMakeLists.txt): NUVEX_KERNEL_DRIVER 1 is the main filter driver
// (device "Nuvexcdo_3"), 2 the access-control driver ("NuvexACLcdo_3"), 3 the monitor driver
// (no device). The core does all request handling; this file only adapts the I/O manager's
// requests to it: one core per driver, one core session per open handle, one mutex around
// every call into the core.
//
// The header request carries a handle of the calling process. Wine does not resolve user
// handles inside a driver (ObReferenceObjectByHandle), so the core gets no file access here
// and fails that request.
#include <ntddk.h>

#include "sim_env.h"
#if NUVEX_KERNEL_DRIVER == 1
#include "main_driver_core.h"
#elif NUVEX_KERNEL_DRIVER == 2
#include "acl_driver_core.h"
#endif

#if NUVEX_KERNEL_DRIVER == 1
static const wchar_t kDeviceName[] = L"\\Device\\" NUVEX_MAIN_DEVICE_NAME;
static const wchar_t kLinkName[] = L"\\DosDevices\\" NUVEX_MAIN_DEVICE_NAME;
static NuvexMainCore* g_core = NULL;
#elif NUVEX_KERNEL_DRIVER == 2
static const wchar_t kDeviceName[] = L"\\Device\\" NUVEX_ACL_DEVICE_NAME;
static const wchar_t kLinkName[] = L"\\DosDevices\\" NUVEX_ACL_DEVICE_NAME;
static NuvexAclCore* g_core = NULL;
#endif

#if NUVEX_KERNEL_DRIVER != 3
static const ULONG kPoolTag = 0x7876754E; /* 'Nuvx' */
static UNICODE_STRING g_deviceName;
static UNICODE_STRING g_linkName;
static BOOLEAN g_linked = FALSE;
static KMUTEX g_lock;
static NuvexSimEnv g_env;

static void* PoolAllocate(void* context, size_t size) {
    (void)context;
    return ExAllocatePoolWithTag(NonPagedPool, size == 0 ? 1 : size, kPoolTag);
}

static void PoolRelease(void* context, void* block) {
    (void)context;
    if (block != NULL) ExFreePoolWithTag(block, kPoolTag);
}

static uint64_t SystemTime(void* context) {
    (void)context;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return (uint64_t)now.QuadPart;
}

static void Lock() {
    KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
}

static void Unlock() { KeReleaseMutex(&g_lock, FALSE); }

static uint32_t RequestorProcessId() {
    return (uint32_t)(ULONG_PTR)PsGetCurrentProcessId();
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI OnCreate(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
#if NUVEX_KERNEL_DRIVER == 1
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Lock();
    NuvexMainSession* session =
        NuvexMainCore_UnloadRequested(g_core)
            ? NULL
            : NuvexMainCore_OpenSession(g_core, RequestorProcessId());
    Unlock();
    if (session == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    stack->FileObject->FsContext2 = session;
#endif
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI OnClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
#if NUVEX_KERNEL_DRIVER == 1
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NuvexMainSession* session = (NuvexMainSession*)stack->FileObject->FsContext2;
    stack->FileObject->FsContext2 = NULL;
    if (session != NULL) {
        Lock();
        NuvexMainCore_CloseSession(g_core, session);
        Unlock();
    }
#endif
    return Complete(irp, STATUS_SUCCESS, 0);
}

// METHOD_BUFFERED: input and output share one system buffer, so the input is copied out
// before the core writes its reply.
static NTSTATUS NTAPI OnDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* system = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    if ((inputLength > 0 || outputLength > 0) && system == NULL) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    uint8_t* input = NULL;
    if (inputLength > 0) {
        input = (uint8_t*)PoolAllocate(NULL, inputLength);
        if (input == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        memcpy(input, system, inputLength);
    }
    uint32_t returned = 0;
    Lock();
#if NUVEX_KERNEL_DRIVER == 1
    NuvexMainSession* session = (NuvexMainSession*)stack->FileObject->FsContext2;
    int ok = session != NULL &&
             NuvexMainCore_Request(g_core, session, code, input, inputLength, system,
                                   outputLength, &returned);
    if (NuvexMainCore_UnloadRequested(g_core) && g_linked) {
        // The driver is going away: new opens of the device fail from now on.
        IoDeleteSymbolicLink(&g_linkName);
        g_linked = FALSE;
    }
#else
    int ok = NuvexAclCore_Request(g_core, RequestorProcessId(), code, input, inputLength, system,
                                  outputLength, &returned);
#endif
    Unlock();
    PoolRelease(NULL, input);
    if (!ok) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return Complete(irp, STATUS_SUCCESS, returned <= outputLength ? returned : 0);
}
#endif

static void NTAPI OnUnload(PDRIVER_OBJECT driver) {
#if NUVEX_KERNEL_DRIVER != 3
    if (g_linked) IoDeleteSymbolicLink(&g_linkName);
    g_linked = FALSE;
    if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
#if NUVEX_KERNEL_DRIVER == 1
    NuvexMainCore_Destroy(g_core);
#else
    NuvexAclCore_Destroy(g_core);
#endif
    g_core = NULL;
#else
    (void)driver;
#endif
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    driver->DriverUnload = OnUnload;
#if NUVEX_KERNEL_DRIVER != 3
    KeInitializeMutex(&g_lock, 0);
    RtlZeroMemory(&g_env, sizeof g_env);
    g_env.allocate = PoolAllocate;
    g_env.release = PoolRelease;
    g_env.now = SystemTime;
#if NUVEX_KERNEL_DRIVER == 1
    g_core = NuvexMainCore_Create(&g_env);
#else
    g_core = NuvexAclCore_Create(&g_env);
#endif
    if (g_core == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    RtlInitUnicodeString(&g_deviceName, kDeviceName);
    RtlInitUnicodeString(&g_linkName, kLinkName);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, 0, &g_deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
        if (!NT_SUCCESS(status)) IoDeleteDevice(device);
    }
    if (!NT_SUCCESS(status)) {
        OnUnload(driver);
        return status;
    }
    g_linked = TRUE;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = OnClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
#endif
    return STATUS_SUCCESS;
}
