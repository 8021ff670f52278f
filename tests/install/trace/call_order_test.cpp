// The exact sequence of platform calls that the installers make. This program is linked with
// the platform's file, registry, service, module, token and message-box calls wrapped
// (--wrap), so every call the library makes passes through a recorder first. Calls that the
// platform makes inside one of these calls are not recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "install/main_install.h"
#include "install_fixture.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace {

std::vector<std::string> g_trace;
bool g_recording = false;
int g_depth = 0;
std::map<const void*, std::string> g_names;  // open keys and service handles by role

// Records one call made by the library (not by the platform within a recorded call).
struct Call {
    bool outer;
    Call() : outer(g_depth == 0 && g_recording) { ++g_depth; }
    ~Call() { --g_depth; }
    void Log(const std::string& line) const {
        if (outer) g_trace.push_back(line);
    }
};

std::string Base(const char* path) {
    if (path == nullptr) return "(null)";
    std::string text(path);
    std::size_t cut = text.find_last_of("\\/");
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

std::string Name(const void* handle) {
    if (handle == HKEY_LOCAL_MACHINE) return "HKLM";
    auto found = g_names.find(handle);
    return found == g_names.end() ? "?" : found->second;
}

std::string Bytes(const BYTE* data, DWORD size) {
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += byte;
    }
    return text;
}

// Calls made to fail: the nth recorded call of a name (1 = the next one) fails at once.
std::map<std::string, int> g_failAt;
bool Refused(const Call& call, const std::string& name) {
    if (!call.outer) return false;
    auto found = g_failAt.find(name);
    if (found == g_failAt.end() || found->second == 0) return false;
    if (--found->second != 0) return false;
    g_trace.back() += " -> refused";
    return true;
}

int g_managers = 0;
int g_services = 0;

NTSTATUS TracedNtLoadDriver(NUVEX_UNICODE_STRING* path);

}  // namespace

// The real calls and their recording wrappers (host names are C++ names, hence the mangling).
extern "C" {
BOOL __real__Z18SetFileAttributesAPKcj(LPCSTR, DWORD);
BOOL __real__Z11DeleteFileAPKc(LPCSTR);
BOOL __real__Z9CopyFileAPKcS0_i(LPCSTR, LPCSTR, BOOL);
BOOL __real__Z11MoveFileExAPKcS0_j(LPCSTR, LPCSTR, DWORD);
LSTATUS __real__Z11RegOpenKeyAP6HKEY__PKcPS0_(HKEY, LPCSTR, HKEY*);
LSTATUS __real__Z13RegCreateKeyAP6HKEY__PKcPS0_(HKEY, LPCSTR, HKEY*);
LSTATUS __real__Z13RegDeleteKeyAP6HKEY__PKc(HKEY, LPCSTR);
LSTATUS __real__Z12SHDeleteKeyAP6HKEY__PKc(HKEY, LPCSTR);
LSTATUS __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
LSTATUS __real__Z11RegCloseKeyP6HKEY__(HKEY);
SC_HANDLE __real__Z14OpenSCManagerAPKcS0_j(LPCSTR, LPCSTR, DWORD);
SC_HANDLE __real__Z12OpenServiceAP11SC_HANDLE__PKcj(SC_HANDLE, LPCSTR, DWORD);
BOOL __real__Z13DeleteServiceP11SC_HANDLE__(SC_HANDLE);
BOOL __real__Z18CloseServiceHandleP11SC_HANDLE__(SC_HANDLE);
SC_HANDLE __real__Z14CreateServiceAP11SC_HANDLE__PKcS2_jjjjS2_S2_PjS2_S2_S2_(
    SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, DWORD*, LPCSTR,
    LPCSTR, LPCSTR);
BOOL __real__Z13StartServiceAP11SC_HANDLE__jPPKc(SC_HANDLE, DWORD, LPCSTR*);
HMODULE __real__Z12LoadLibraryAPKc(LPCSTR);
FARPROC __real__Z14GetProcAddressPvPKc(HMODULE, LPCSTR);
BOOL __real__Z11FreeLibraryPv(HMODULE);
BOOL __real__Z15OpenThreadTokenPvjiPS_(HANDLE, DWORD, BOOL, HANDLE*);
BOOL __real__Z16OpenProcessTokenPvjPS_(HANDLE, DWORD, HANDLE*);
BOOL __real__Z21LookupPrivilegeValueAPKcS0_P4LUID(LPCSTR, LPCSTR, PLUID);
BOOL __real__Z21AdjustTokenPrivilegesPviP16TOKEN_PRIVILEGESjS1_Pj(HANDLE, BOOL, PTOKEN_PRIVILEGES,
                                                                   DWORD, PTOKEN_PRIVILEGES,
                                                                   DWORD*);
BOOL __real__Z11CloseHandlePv(HANDLE);
HWND __real__Z19GetForegroundWindowv();
int __real__Z11MessageBoxAPvPKcS1_j(HWND, LPCSTR, LPCSTR, UINT);

BOOL __wrap__Z18SetFileAttributesAPKcj(LPCSTR path, DWORD attributes) {
    Call call;
    call.Log("SetFileAttributesA " + Base(path) + " " + Hex(attributes));
    return __real__Z18SetFileAttributesAPKcj(path, attributes);
}

BOOL __wrap__Z11DeleteFileAPKc(LPCSTR path) {
    Call call;
    call.Log("DeleteFileA " + Base(path));
    return __real__Z11DeleteFileAPKc(path);
}

BOOL __wrap__Z9CopyFileAPKcS0_i(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    Call call;
    call.Log("CopyFileA " + Base(from) + " " + Base(to) + " " + std::to_string(failIfExists));
    return __real__Z9CopyFileAPKcS0_i(from, to, failIfExists);
}

BOOL __wrap__Z11MoveFileExAPKcS0_j(LPCSTR from, LPCSTR to, DWORD flags) {
    Call call;
    call.Log("MoveFileExA " + Base(from) + " " + Base(to) + " " + Hex(flags));
    return __real__Z11MoveFileExAPKcS0_j(from, to, flags);
}

LSTATUS __wrap__Z11RegOpenKeyAP6HKEY__PKcPS0_(HKEY key, LPCSTR name, HKEY* out) {
    Call call;
    call.Log("RegOpenKeyA " + Name(key) + " " + name);
    LSTATUS status = __real__Z11RegOpenKeyAP6HKEY__PKcPS0_(key, name, out);
    if (status == ERROR_SUCCESS && call.outer) g_names[*out] = Base(name);
    return status;
}

LSTATUS __wrap__Z13RegCreateKeyAP6HKEY__PKcPS0_(HKEY key, LPCSTR name, HKEY* out) {
    Call call;
    call.Log("RegCreateKeyA " + Name(key) + " " + name);
    if (Refused(call, "RegCreateKeyA")) return ERROR_ACCESS_DENIED;
    LSTATUS status = __real__Z13RegCreateKeyAP6HKEY__PKcPS0_(key, name, out);
    if (status == ERROR_SUCCESS && call.outer) g_names[*out] = Base(name);
    return status;
}

LSTATUS __wrap__Z13RegDeleteKeyAP6HKEY__PKc(HKEY key, LPCSTR name) {
    Call call;
    call.Log("RegDeleteKeyA " + Name(key) + " " + name);
    return __real__Z13RegDeleteKeyAP6HKEY__PKc(key, name);
}

LSTATUS __wrap__Z12SHDeleteKeyAP6HKEY__PKc(HKEY key, LPCSTR name) {
    Call call;
    call.Log("SHDeleteKeyA " + Name(key) + " " + name);
    return __real__Z12SHDeleteKeyAP6HKEY__PKc(key, name);
}

LSTATUS __wrap__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY key, LPCSTR name, DWORD reserved,
                                                   DWORD type, const BYTE* data, DWORD size) {
    Call call;
    call.Log("RegSetValueExA " + Name(key) + " " + name + " " + std::to_string(type) + " " +
             Bytes(data, size));
    return __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(key, name, reserved, type, data, size);
}

LSTATUS __wrap__Z11RegCloseKeyP6HKEY__(HKEY key) {
    Call call;
    call.Log("RegCloseKey " + Name(key));
    return __real__Z11RegCloseKeyP6HKEY__(key);
}

SC_HANDLE __wrap__Z14OpenSCManagerAPKcS0_j(LPCSTR machine, LPCSTR database, DWORD access) {
    Call call;
    if (call.outer && g_failAt["OpenSCManagerA"] == 1) {
        g_failAt["OpenSCManagerA"] = 0;
        call.Log("OpenSCManagerA -> refused");
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (call.outer && g_failAt["OpenSCManagerA"] > 1) --g_failAt["OpenSCManagerA"];
    SC_HANDLE manager = __real__Z14OpenSCManagerAPKcS0_j(machine, database, access);
    std::string name = manager != nullptr ? "M" + std::to_string(++g_managers) : "null";
    if (manager != nullptr && call.outer) g_names[manager] = name;
    call.Log("OpenSCManagerA " + std::string(machine == nullptr ? "local" : machine) + " " +
             std::string(database == nullptr ? "active" : database) + " " + Hex(access) +
             " -> " + (manager != nullptr ? name : "null"));
    return manager;
}

SC_HANDLE __wrap__Z12OpenServiceAP11SC_HANDLE__PKcj(SC_HANDLE manager, LPCSTR name,
                                                   DWORD access) {
    Call call;
    SC_HANDLE service = __real__Z12OpenServiceAP11SC_HANDLE__PKcj(manager, name, access);
    std::string role = service != nullptr ? "S" + std::to_string(++g_services) : "null";
    if (service != nullptr && call.outer) g_names[service] = role;
    call.Log("OpenServiceA " + Name(manager) + " " + name + " " + Hex(access) + " -> " +
             (service != nullptr ? role : "null"));
    return service;
}

BOOL __wrap__Z13DeleteServiceP11SC_HANDLE__(SC_HANDLE service) {
    Call call;
    call.Log("DeleteService " + Name(service));
    return __real__Z13DeleteServiceP11SC_HANDLE__(service);
}

BOOL __wrap__Z18CloseServiceHandleP11SC_HANDLE__(SC_HANDLE handle) {
    Call call;
    call.Log("CloseServiceHandle " + Name(handle));
    return __real__Z18CloseServiceHandleP11SC_HANDLE__(handle);
}

SC_HANDLE __wrap__Z14CreateServiceAP11SC_HANDLE__PKcS2_jjjjS2_S2_PjS2_S2_S2_(
    SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type, DWORD start,
    DWORD errorControl, LPCSTR image, LPCSTR group, DWORD* tag, LPCSTR dependencies,
    LPCSTR account, LPCSTR password) {
    Call call;
    SC_HANDLE service = __real__Z14CreateServiceAP11SC_HANDLE__PKcS2_jjjjS2_S2_PjS2_S2_S2_(
        manager, name, display, access, type, start, errorControl, image, group, tag,
        dependencies, account, password);
    std::string role = service != nullptr ? "S" + std::to_string(++g_services) : "null";
    if (service != nullptr && call.outer) g_names[service] = role;
    std::string depends = "none";
    if (dependencies != nullptr) {
        depends.clear();
        for (const char* p = dependencies; *p != '\0'; p += std::strlen(p) + 1)
            depends += std::string(p) + ";";
    }
    call.Log("CreateServiceA " + Name(manager) + " " + name + " " + display + " " + Hex(access) +
             " " + std::to_string(type) + " " + std::to_string(start) + " " +
             std::to_string(errorControl) + " " + Base(image) + " " +
             (group == nullptr ? "none" : group) + " " + (tag == nullptr ? "none" : "tag") +
             " " + depends + " " + (account == nullptr ? "none" : account) + " " +
             (password == nullptr ? "none" : password) + " -> " +
             (service != nullptr ? role : "null"));
    return service;
}

BOOL __wrap__Z13StartServiceAP11SC_HANDLE__jPPKc(SC_HANDLE service, DWORD count,
                                                  LPCSTR* arguments) {
    Call call;
    call.Log("StartServiceA " + Name(service) + " " + std::to_string(count) +
             (arguments == nullptr ? " null" : " args"));
    return __real__Z13StartServiceAP11SC_HANDLE__jPPKc(service, count, arguments);
}

HMODULE __wrap__Z12LoadLibraryAPKc(LPCSTR name) {
    Call call;
    call.Log(std::string("LoadLibraryA ") + name);
    if (Refused(call, "LoadLibraryA")) return nullptr;
    HMODULE module = __real__Z12LoadLibraryAPKc(name);
    if (module != nullptr && call.outer) g_names[module] = name;
    return module;
}

FARPROC __wrap__Z14GetProcAddressPvPKc(HMODULE module, LPCSTR name) {
    Call call;
    call.Log("GetProcAddress " + Name(module) + " " + name);
    if (Refused(call, "GetProcAddress")) return nullptr;
    FARPROC proc = __real__Z14GetProcAddressPvPKc(module, name);
    // The load goes through a recorder too.
    if (proc != nullptr && call.outer && std::string(name) == "NtLoadDriver")
        return reinterpret_cast<FARPROC>(&TracedNtLoadDriver);
    return proc;
}

BOOL __wrap__Z11FreeLibraryPv(HMODULE module) {
    Call call;
    call.Log("FreeLibrary " + Name(module));
    return __real__Z11FreeLibraryPv(module);
}

BOOL __wrap__Z15OpenThreadTokenPvjiPS_(HANDLE thread, DWORD access, BOOL self, HANDLE* token) {
    Call call;
    if (call.outer && g_failAt["OpenThreadToken"] == 1) {
        g_failAt["OpenThreadToken"] = 0;
        call.Log("OpenThreadToken -> error 5");
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (call.outer && g_failAt["ImpersonatingThread"] == 1) {
        // Stands in for a thread that impersonates: it has a token of its own.
        g_failAt["ImpersonatingThread"] = 0;
        BOOL ok = __real__Z16OpenProcessTokenPvjPS_(GetCurrentProcess(), access, token);
        call.Log("OpenThreadToken self " + Hex(access) + " " + std::to_string(self) +
                 " -> thread token");
        if (ok) g_names[*token] = "token";
        return ok;
    }
    BOOL ok = __real__Z15OpenThreadTokenPvjiPS_(thread, access, self, token);
    DWORD error = GetLastError();
    call.Log("OpenThreadToken " + std::string(thread == GetCurrentThread() ? "self" : "other") +
             " " + Hex(access) + " " + std::to_string(self) + " -> " +
             (ok ? "ok" : "error " + std::to_string(error)));
    if (ok && call.outer) g_names[*token] = "token";
    SetLastError(error);
    return ok;
}

BOOL __wrap__Z16OpenProcessTokenPvjPS_(HANDLE process, DWORD access, HANDLE* token) {
    Call call;
    call.Log("OpenProcessToken " +
             std::string(process == GetCurrentProcess() ? "self" : "other") + " " +
             Hex(access));
    BOOL ok = __real__Z16OpenProcessTokenPvjPS_(process, access, token);
    if (ok && call.outer) g_names[*token] = "token";
    return ok;
}

BOOL __wrap__Z21LookupPrivilegeValueAPKcS0_P4LUID(LPCSTR system, LPCSTR name, PLUID luid) {
    Call call;
    call.Log("LookupPrivilegeValueA " + std::string(system == nullptr ? "local" : system) + " " +
             name);
    if (Refused(call, "LookupPrivilegeValueA")) return FALSE;
    return __real__Z21LookupPrivilegeValueAPKcS0_P4LUID(system, name, luid);
}

BOOL __wrap__Z21AdjustTokenPrivilegesPviP16TOKEN_PRIVILEGESjS1_Pj(
    HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES privileges, DWORD length,
    PTOKEN_PRIVILEGES previous, DWORD* returned) {
    Call call;
    call.Log("AdjustTokenPrivileges " + Name(token) + " " + std::to_string(disableAll) + " " +
             std::to_string(privileges->PrivilegeCount) + " " +
             Hex(privileges->Privileges[0].Attributes) + " " +
             (previous == nullptr ? "null" : "prev") + " " +
             (returned == nullptr ? "null" : "len"));
    if (Refused(call, "AdjustTokenPrivileges")) return FALSE;
    return __real__Z21AdjustTokenPrivilegesPviP16TOKEN_PRIVILEGESjS1_Pj(
        token, disableAll, privileges, length, previous, returned);
}

BOOL __wrap__Z11CloseHandlePv(HANDLE handle) {
    Call call;
    // Only the token is of interest here; files and devices are counted elsewhere.
    if (Name(handle) == "token") call.Log("CloseHandle token");
    return __real__Z11CloseHandlePv(handle);
}

HWND __wrap__Z19GetForegroundWindowv() {
    Call call;
    HWND window = __real__Z19GetForegroundWindowv();
    if (call.outer) g_names[window] = "foreground";
    call.Log("GetForegroundWindow");
    return window;
}

int __wrap__Z11MessageBoxAPvPKcS1_j(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Call call;
    call.Log("MessageBoxA " + Name(owner) + " " + text + " [" + caption + "] " +
             std::to_string(type));
    return __real__Z11MessageBoxAPvPKcS1_j(owner, text, caption, type);
}
}  // extern "C"

namespace {

NTSTATUS TracedNtLoadDriver(NUVEX_UNICODE_STRING* path) {
    std::string text;
    for (USHORT i = 0; i < path->Length / 2; ++i) text += static_cast<char>(path->Buffer[i]);
    g_trace.push_back("NtLoadDriver " + std::to_string(path->Length) + " " +
                      std::to_string(path->MaximumLength) + " " + text);
    return NtLoadDriver(path);
}

}  // namespace

namespace nuvex::test {
namespace {

using Trace = std::vector<std::string>;

const char kFileNormal[] = "80";

class CallOrder : public InstallTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        g_trace.clear();
        g_names.clear();
        g_managers = g_services = 0;
        g_failAt.clear();
    }
    void Start() {
        g_trace.clear();
        g_recording = true;
    }
    Trace Stop() {
        g_recording = false;
        return g_trace;
    }
};

TEST_F(CallOrder, MainInstallWithoutLoading) {
    std::string source = MakeSource("main.sys", "image");
    Start();
    ASSERT_EQ(NuvexCtrl_Install(0, source.c_str()), 0u);
    EXPECT_EQ(Stop(), (Trace{
        // Copied beside the installed file, then renamed over it in one step.
        std::string("SetFileAttributesA Nuvex.new ") + kFileNormal,
        "DeleteFileA Nuvex.new",
        "CopyFileA main.sys Nuvex.new 1",
        "MoveFileExA Nuvex.new Nuvex.sys 9",
        "RegOpenKeyA HKLM SYSTEM\\CurrentControlSet\\Services",
        "RegDeleteKeyA Services Nuvex",
        "RegCreateKeyA Services Nuvex",
        "RegSetValueExA Nuvex Start 4 00000000",
        "RegSetValueExA Nuvex Type 4 02000000",
        // "FSFilter Infrastructure" with its terminating zero.
        "RegSetValueExA Nuvex Group 1 465346696C74657220496E66726173747275637475726500",
        "RegCloseKey Nuvex",
        "RegCloseKey Services",
    }));
}

TEST_F(CallOrder, MainInstallLoadRefusedTwice) {
    std::string source = MakeSource("main.sys", "image");
    NuvexHost_ForceLoadStatus(2, static_cast<int32_t>(0xC000010Eu));
    Start();
    ASSERT_EQ(NuvexCtrl_Install(1, source.c_str()), 195u);
    Trace trace = Stop();
    ASSERT_GT(trace.size(), 12u);
    const std::string load =
        "NtLoadDriver 114 114 \\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nuvex";
    EXPECT_EQ(Trace(trace.begin() + 12, trace.end()), (Trace{
        "LoadLibraryA ntdll.dll",
        "GetProcAddress ntdll.dll NtLoadDriver",
        load,
        "OpenThreadToken self 28 1 -> error 1008",
        "OpenProcessToken self 28",
        "LookupPrivilegeValueA local SeLoadDriverPrivilege",
        "AdjustTokenPrivileges token 0 1 2 null null",
        "CloseHandle token",
        load,
        "GetForegroundWindow",
        "MessageBoxA foreground pfnNtLoadDriver:0xC000010E [] 0",
        "FreeLibrary ntdll.dll",
    }));
}

TEST_F(CallOrder, CompanionInstallReplacingAnOldService) {
    std::string source = MakeSource("acl.sys", "image");
    ASSERT_EQ(NuvexAccCtrl_Install(0, source.c_str()), 0u);
    g_managers = g_services = 0;
    Start();
    ASSERT_EQ(NuvexAntiSteal_Install(0, source.c_str()), 0u);
    ASSERT_EQ(NuvexAccCtrl_Install(1, source.c_str()), 0u);
    Trace trace = Stop();
    EXPECT_EQ(trace, (Trace{
        std::string("SetFileAttributesA NuvexMon.new ") + kFileNormal,
        "DeleteFileA NuvexMon.new",
        "CopyFileA acl.sys NuvexMon.new 1",
        "MoveFileExA NuvexMon.new NuvexMon.sys 9",
        "OpenSCManagerA local active F003F -> M1",
        "OpenServiceA M1 NuvexMon F01FF -> null",
        "CreateServiceA M1 NuvexMon NuvexMon F01FF 1 2 1 NuvexMon.sys none none tcpip; none "
        "none -> S1",
        "CloseServiceHandle S1",
        "CloseServiceHandle M1",
        std::string("SetFileAttributesA NuvexACL.new ") + kFileNormal,
        "DeleteFileA NuvexACL.new",
        "CopyFileA acl.sys NuvexACL.new 1",
        "MoveFileExA NuvexACL.new NuvexACL.sys 9",
        "OpenSCManagerA local active F003F -> M2",
        "OpenServiceA M2 NuvexACL F01FF -> S2",
        "DeleteService S2",
        "CloseServiceHandle S2",
        // The first manager is closed before the second is opened.
        "CloseServiceHandle M2",
        "OpenSCManagerA local active F003F -> M3",
        "CreateServiceA M3 NuvexACL NuvexACL F01FF 1 0 1 NuvexACL.sys none none none none "
        "none -> S3",
        "StartServiceA S3 0 null",
        "CloseServiceHandle S3",
        "CloseServiceHandle M3",
    }));
}

TEST_F(CallOrder, UninstallsDeleteTheKeyBeforeTheFile) {
    Start();
    EXPECT_EQ(NuvexCtrl_UnInstall(), 360u);
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 387u);
    Trace trace = Stop();
    EXPECT_EQ(trace, (Trace{
        "SHDeleteKeyA HKLM SYSTEM\\CurrentControlSet\\Services\\Nuvex",
        "SHDeleteKeyA HKLM SYSTEM\\CurrentControlSet\\Services\\NuvexMon",
    }));

    ASSERT_EQ(NuvexAntiSteal_Install(0, MakeSource("m.sys", "image").c_str()), 0u);
    Start();
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 0u);
    EXPECT_EQ(Stop(), (Trace{
        "SHDeleteKeyA HKLM SYSTEM\\CurrentControlSet\\Services\\NuvexMon",
        std::string("SetFileAttributesA NuvexMon.sys ") + kFileNormal,
        "DeleteFileA NuvexMon.sys",
    }));
}


TEST_F(CallOrder, MainInstallFailuresReleaseWhatTheyOpened) {
    std::string source = MakeSource("main.sys", "image");
    g_failAt["RegCreateKeyA"] = 1;
    Start();
    EXPECT_EQ(NuvexCtrl_Install(1, source.c_str()), 137u);
    Trace trace = Stop();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(Trace(trace.end() - 2, trace.end()),
              (Trace{"RegCreateKeyA Services Nuvex -> refused", "RegCloseKey Services"}));

    g_failAt["LoadLibraryA"] = 1;
    Start();
    EXPECT_EQ(NuvexCtrl_Install(1, source.c_str()), 205u);
    EXPECT_EQ(Stop().back(), "LoadLibraryA ntdll.dll -> refused");

    g_failAt["GetProcAddress"] = 1;
    Start();
    EXPECT_EQ(NuvexCtrl_Install(1, source.c_str()), 200u);
    trace = Stop();
    EXPECT_EQ(Trace(trace.end() - 3, trace.end()),
              (Trace{"LoadLibraryA ntdll.dll", "GetProcAddress ntdll.dll NtLoadDriver -> refused",
                     "FreeLibrary ntdll.dll"}));
    EXPECT_EQ(NuvexHost_LoadDriverCallCount(), 0u);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(CallOrder, PrivilegeFailuresCloseTheToken) {
    // A thread token that cannot be opened for another reason than its absence ends it.
    g_failAt["OpenThreadToken"] = 1;
    Start();
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 1), 0);
    EXPECT_EQ(Stop(), (Trace{"OpenThreadToken -> error 5"}));

    const Trace opened{"OpenThreadToken self 28 1 -> error 1008", "OpenProcessToken self 28",
                       "LookupPrivilegeValueA local SeLoadDriverPrivilege"};
    g_failAt["LookupPrivilegeValueA"] = 1;
    Start();
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 1), 0);
    Trace expected = opened;
    expected.back() += " -> refused";
    expected.push_back("CloseHandle token");
    EXPECT_EQ(Stop(), expected);

    g_failAt["AdjustTokenPrivileges"] = 1;
    Start();
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 1), 0);
    expected = opened;
    expected.push_back("AdjustTokenPrivileges token 0 1 2 null null -> refused");
    expected.push_back("CloseHandle token");
    EXPECT_EQ(Stop(), expected);
    EXPECT_EQ(NuvexHost_LoadDriverPrivilegeEnabled(), 0);

    // A thread with a token of its own has that token adjusted; the process's is not opened.
    g_failAt["ImpersonatingThread"] = 1;
    Start();
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 1), 1);
    EXPECT_EQ(Stop(), (Trace{"OpenThreadToken self 28 1 -> thread token",
                             "LookupPrivilegeValueA local SeLoadDriverPrivilege",
                             "AdjustTokenPrivileges token 0 1 2 null null", "CloseHandle token"}));

    // Disabling asks for no attribute.
    Start();
    EXPECT_EQ(EnablePrivilege("SeLoadDriverPrivilege", 0), 1);
    expected = opened;
    expected.push_back("AdjustTokenPrivileges token 0 1 0 null null");
    expected.push_back("CloseHandle token");
    EXPECT_EQ(Stop(), expected);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(CallOrder, CompanionFailuresRemoveTheCopiedFile) {
    std::string source = MakeSource("acl.sys", "image");
    const Trace removed{std::string("SetFileAttributesA NuvexACL.sys ") + kFileNormal,
                        "DeleteFileA NuvexACL.sys"};

    g_failAt["OpenSCManagerA"] = 1;
    Start();
    EXPECT_EQ(NuvexAccCtrl_Install(0, source.c_str()), 66u);
    Trace trace = Stop();
    ASSERT_EQ(trace.size(), 7u);
    EXPECT_EQ(trace[4], "OpenSCManagerA -> refused");
    EXPECT_EQ(Trace(trace.end() - 2, trace.end()), removed);
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));

    // The manager cannot be opened again after the old service went.
    ASSERT_EQ(NuvexAccCtrl_Install(0, source.c_str()), 0u);
    g_managers = g_services = 0;
    g_failAt["OpenSCManagerA"] = 2;
    Start();
    EXPECT_EQ(NuvexAccCtrl_Install(0, source.c_str()), 82u);
    trace = Stop();
    EXPECT_EQ(Trace(trace.begin() + 4, trace.end()),
              (Trace{"OpenSCManagerA local active F003F -> M1", "OpenServiceA M1 NuvexACL F01FF -> S1",
                     "DeleteService S1", "CloseServiceHandle S1", "CloseServiceHandle M1",
                     "OpenSCManagerA -> refused", removed[0], removed[1]}));
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));

    // Creation refused: the file goes before the manager is closed.
    WriteFileBytes(ServiceKey("NuvexACL"), "in the way");
    g_managers = g_services = 0;
    Start();
    EXPECT_EQ(NuvexAccCtrl_Install(1, source.c_str()), 105u);
    trace = Stop();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(Trace(trace.end() - 3, trace.end()),
              (Trace{removed[0], removed[1], "CloseServiceHandle M1"}));
    EXPECT_FALSE(FileExists(DriverFile("NuvexACL")));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace nuvex::test
