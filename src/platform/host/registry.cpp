#include "platform/host/host_internal.h"
using namespace nuvex::host;
LSTATUS RegOpenKeyA(HKEY, LPCSTR, PHKEY r) { if (r) *r = nullptr; return ERROR_NOT_SUPPORTED; }
LSTATUS RegCreateKeyA(HKEY, LPCSTR, PHKEY r) { if (r) *r = nullptr; return ERROR_NOT_SUPPORTED; }
LSTATUS RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_NOT_SUPPORTED; }
LSTATUS RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_NOT_SUPPORTED; }
LSTATUS RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, BYTE*, LPDWORD) { return ERROR_NOT_SUPPORTED; }
LSTATUS RegCloseKey(HKEY) { return ERROR_NOT_SUPPORTED; }
LSTATUS SHDeleteKeyA(HKEY, LPCSTR) { return ERROR_NOT_SUPPORTED; }
