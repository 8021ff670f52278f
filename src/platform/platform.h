// The one header through which library code reaches the operating system.
//
// On Windows it is the real Win32 API. On the Linux host it is the host platform: the same
// names, types and constants for the subset of Win32 that the library calls, implemented in
// src/platform/host/ on top of POSIX (files, Unix-socket control devices, a directory-based
// registry, a service manager that starts driver images as processes).
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#include <objbase.h>
#include <shlwapi.h>
#include <winsvc.h>

// Native types of NtLoadDriver, which the library resolves from ntdll.dll at run time.
#ifndef NUVEX_HAVE_UNICODE_STRING
typedef struct NUVEX_UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} NUVEX_UNICODE_STRING;
#endif
typedef LONG(NTAPI* PFN_NtLoadDriver)(NUVEX_UNICODE_STRING* driverServiceName);
typedef WCHAR NUVEX_WCHAR;
#else
#include "host/win32_host.h"
#endif
