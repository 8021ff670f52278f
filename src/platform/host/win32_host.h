// The host platform's Win32 subset: types, constants and calls with Windows' names and
// meanings, implemented on Linux. Only library code, the host platform itself and its own
// tests include this header; the shared object exports none of these names.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- basic types -----------------------------------------------------------------------
using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using NTSTATUS = int32_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LPSTR = char*;
using LPCSTR = const char*;
using WCHAR = char16_t;  // UTF-16 code unit, as on Windows
using NUVEX_WCHAR = WCHAR;
using PWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HWND = void*;
using FARPROC = void (*)();
using ACCESS_MASK = DWORD;
using REGSAM = DWORD;
using LSTATUS = LONG;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;

#define WINAPI
#define NTAPI
#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

// A security descriptor on the host is what a POSIX file has in place of an access-control
// list: its permission bits. CreateFile gives a file it creates exactly these bits, in the
// creating call (see src/platform/file_security.h for how the library makes them).
struct SECURITY_DESCRIPTOR {
    DWORD permissions;  // POSIX permission bits, e.g. 0600
};
using PSECURITY_DESCRIPTOR = void*;
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Windows' layout; ReadFile and WriteFile refuse it, LockFileEx and UnlockFileEx take the
// byte range's offset from it.
struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using HRESULT = LONG;
#define S_OK 0

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
using PLUID = LUID*;
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

struct NUVEX_UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PFN_NtLoadDriver = NTSTATUS (*)(NUVEX_UNICODE_STRING* driverServiceName);

// ---- constants -------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define SYNCHRONIZE 0x00100000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u

#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_TEMPORARY 0x100u
#define FILE_ATTRIBUTE_OFFLINE 0x1000u
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x2000u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
// CreateFile: the last name is not followed when it is a link; the host refuses to open a link
// (ERROR_CANT_ACCESS_FILE) where Windows would open the link itself.
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_COPY_ALLOWED 0x2u
#define MOVEFILE_WRITE_THROUGH 0x8u

#define REPLACEFILE_WRITE_THROUGH 0x1u
#define REPLACEFILE_IGNORE_MERGE_ERRORS 0x2u
#define REPLACEFILE_IGNORE_ACL_ERRORS 0x4u

#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u

#define FILE_TYPE_UNKNOWN 0x0u
#define FILE_TYPE_DISK 0x1u
#define FILE_TYPE_CHAR 0x2u
#define FILE_TYPE_PIPE 0x3u

#define MAX_PATH 260

// Windows error codes (GetLastError)
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_CANT_ACCESS_FILE 1920L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_NO_TOKEN 1008L
#define ERROR_KEY_DELETED 1018L
#define ERROR_UNABLE_TO_REMOVE_REPLACED 1175L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT 1176L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 1177L
#define ERROR_NOT_LOCKED 158L
#define ERROR_BADKEY 1010L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_INVALID_SERVICE_ACCOUNT 1057L
#define ERROR_SERVICE_NO_THREAD 1054L

// NTSTATUS values
#define STATUS_SUCCESS 0
#define STATUS_UNSUCCESSFUL static_cast<NTSTATUS>(0xC0000001u)
#define STATUS_NOT_IMPLEMENTED static_cast<NTSTATUS>(0xC0000002u)
#define STATUS_OBJECT_NAME_NOT_FOUND static_cast<NTSTATUS>(0xC0000034u)
#define STATUS_ACCESS_DENIED static_cast<NTSTATUS>(0xC0000022u)
#define STATUS_PRIVILEGE_NOT_HELD static_cast<NTSTATUS>(0xC0000061u)
#define STATUS_IMAGE_ALREADY_LOADED static_cast<NTSTATUS>(0xC000010Eu)
#define STATUS_NO_SUCH_FILE static_cast<NTSTATUS>(0xC000000Fu)
#define STATUS_INVALID_PARAMETER static_cast<NTSTATUS>(0xC000000Du)
#define STATUS_OBJECT_PATH_SYNTAX_BAD static_cast<NTSTATUS>(0xC000003Bu)
#define STATUS_IO_TIMEOUT static_cast<NTSTATUS>(0xC00000B5u)
#define STATUS_INVALID_IMAGE_FORMAT static_cast<NTSTATUS>(0xC000007Bu)
#define STATUS_INSUFFICIENT_RESOURCES static_cast<NTSTATUS>(0xC000009Au)

// registry
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

// service control manager
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_KERNEL_DRIVER 0x1u
#define SERVICE_FILE_SYSTEM_DRIVER 0x2u
#define SERVICE_BOOT_START 0u
#define SERVICE_SYSTEM_START 1u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_ERROR_NORMAL 1u

// tokens
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_QUERY 0x0008u
#define SE_PRIVILEGE_ENABLED 0x2u
#define SE_LOAD_DRIVER_NAME "SeLoadDriverPrivilege"

// user32
#define MB_OK 0x0u
#define IDOK 1

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u

// ---- calls -----------------------------------------------------------------------------
// kernel32: files
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
// A second handle of the file open as `original`, with its own access and share mode, reached
// through the descriptor (never by a name, which may by now name another file).
HANDLE ReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE file);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL FlushFileBuffers(HANDLE file);
DWORD GetFileType(HANDLE file);
// The volume serial number and file index together name the file itself, whatever path led
// to it (on the host: the device and inode numbers).
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                  LPOVERLAPPED overlapped);
DWORD GetFileAttributesA(LPCSTR name);
BOOL SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists);
BOOL DeleteFileA(LPCSTR name);
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
BOOL ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags,
                  LPVOID exclude, LPVOID reserved);
BOOL CloseHandle(HANDLE handle);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
// The path made absolute against the current directory (the host's separators), as Windows'
// call returns it: its length without the zero, or the size needed with the zero when `size`
// is too small; 0 on failure.
DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// kernel32: control devices
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, LPDWORD returned, LPOVERLAPPED ov);

// kernel32: time, process, errors, debugger output, modules
void GetSystemTime(LPSYSTEMTIME time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME fileTime);
BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME time);
DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetLastError();
void SetLastError(DWORD error);
void OutputDebugStringA(LPCSTR text);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
BOOL DisableThreadLibraryCalls(HMODULE module);

// advapi32: registry
LSTATUS RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LSTATUS RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD size);
LSTATUS RegCloseKey(HKEY key);
// shlwapi
LSTATUS SHDeleteKeyA(HKEY key, LPCSTR subKey);

// advapi32: service control manager
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                         LPCSTR dependencies, LPCSTR account, LPCSTR password);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// advapi32: tokens
BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previous, DWORD* returnLength);

// ole32, user32, ntdll
HRESULT CoCreateGuid(GUID* guid);
HWND GetForegroundWindow();
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
NTSTATUS NtLoadDriver(NUVEX_UNICODE_STRING* driverServiceName);
