// The real DLL against real kernel drivers: the simulated drivers' cores built as Windows
// kernel-mode images (tests/windows/kernel), loaded by Wine's service manager into
// winedevice.exe and reached through the I/O manager with DeviceIoControl.
//
// Run in two Wine sessions by wine_drivers.sh:
//  1. MainDriverInstallTest: NuvexCtrl_Install with load 1. Wine's NtLoadDriver is a stub,
//     so both attempts fail and the export ends in 195 after its message box.
//  2. everything else, after a restart of the Wine session: Wine's service manager reads the
//     service key that the library wrote directly into the registry only at its start, and
//     loads the boot-start driver then (StartServiceA finds it running).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nuvexctrl.h"
#include "win_support.h"

namespace {

using nuvex_win::Bytes;
using nuvex_win::FileExists;
using nuvex_win::PatternBytes;
using nuvex_win::ReadFileBytes;
using nuvex_win::WriteFileBytes;

std::string KernelImage(const char* name) {
    return nuvex_win::ModuleDirectory() + "kernel\\" + name + ".sys";
}

std::string SystemDirectory() {
    char path[MAX_PATH] = {};
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

std::string DriverFile(const char* service) {
    return SystemDirectory() + "\\drivers\\" + service + ".sys";
}

bool ServiceKeyExists(const char* service) {
    HKEY key = nullptr;
    std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool DeviceOpens(const char* device) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

bool WaitForDevice(const char* device) {
    for (int i = 0; i < 100; ++i) {
        if (DeviceOpens(device)) return true;
        Sleep(100);
    }
    return false;
}

// Starts the named service (already running counts as started). Returns the error.
DWORD StartDriverService(const char* service) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return GetLastError();
    SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_ALL_ACCESS);
    DWORD error = ERROR_SUCCESS;
    if (handle == nullptr) {
        error = GetLastError();
    } else {
        if (!StartServiceA(handle, 0, nullptr)) error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) error = ERROR_SUCCESS;
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
    return error;
}

// Unloads the driver through the service manager and forgets the service.
void StopAndForgetService(const char* service) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_ALL_ACCESS);
    if (handle != nullptr) {
        SERVICE_STATUS status;
        ControlService(handle, SERVICE_CONTROL_STOP, &status);
        DeleteService(handle);
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
}

DriverStatus MainStatus() {
    DriverStatus status;
    std::memset(&status, 0xEE, sizeof status);
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
    return status;
}

uint32_t HandshakeViolations(const DriverStatus& status) {
    uint32_t v;
    std::memcpy(&v, status.bytes + 8, 4);
    return v;
}

// ---- session 1 -----------------------------------------------------------------------------

// What the DLL showed through MessageBoxA: its import of it is pointed at this recorder.
struct ShownBox {
    int count = 0;
    std::string text, caption;
    UINT style = 0;
} g_box;

int WINAPI RecordMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT style) {
    ++g_box.count;
    g_box.text = text ? text : "(null)";
    g_box.caption = caption ? caption : "(null)";
    g_box.style = style;
    return IDOK;
}

// Replaces the DLL's import address table entry of `dll`!`name`; returns the old routine.
void* PatchImport(HMODULE module, const char* dll, const char* name, void* routine) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         imp->Name != 0; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<uintptr_t>(routine);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return previous;
        }
    }
    return nullptr;
}

TEST(MainDriverInstallTest, LoadingThroughNtLoadDriverFailsUnderWineAfterTheMessageBox) {
    // Leftovers of an earlier run would make this a reinstall; start clean.
    NuvexCtrl_UnInstall();
    DWORD started = GetTickCount();
    // Both NtLoadDriver attempts get Wine's stub status 0xC0000002. Without a display Wine's
    // box would return at once; the recorder shows what the DLL put in it.
    HMODULE dll = GetModuleHandleA("Nuvexctrl.dll");
    ASSERT_NE(dll, nullptr);
    void* original = PatchImport(dll, "user32.dll", "MessageBoxA",
                                 reinterpret_cast<void*>(&RecordMessageBox));
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(NuvexCtrl_Install(1, KernelImage("Nuvex").c_str()), 195u);
    PatchImport(dll, "user32.dll", "MessageBoxA", original);
    EXPECT_LT(GetTickCount() - started, 30000u);
    EXPECT_EQ(g_box.count, 1);
    EXPECT_EQ(g_box.text, "pfnNtLoadDriver:0xC0000002");
    EXPECT_EQ(g_box.caption, "");
    EXPECT_EQ(g_box.style, static_cast<UINT>(MB_OK));
    // The second attempt ran with the load-driver privilege enabled, and it stays enabled.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    LUID load;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeLoadDriverPrivilege", &load));
    PRIVILEGE_SET wanted = {1, PRIVILEGE_SET_ALL_NECESSARY, {{load, 0}}};
    BOOL enabled = FALSE;
    EXPECT_TRUE(PrivilegeCheck(token, &wanted, &enabled));
    EXPECT_TRUE(enabled);
    CloseHandle(token);
    // The driver stays registered and in place for the next start of the system.
    EXPECT_TRUE(ServiceKeyExists("Nuvex"));
    EXPECT_EQ(ReadFileBytes(DriverFile("Nuvex")), ReadFileBytes(KernelImage("Nuvex")));
}

// ---- session 2: the main filter driver -----------------------------------------------------

class MainDriverTest : public nuvex_win::ScratchTest {
protected:
    static void SetUpTestSuite() {
        loadError_ = StartDriverService("Nuvex");
        loaded_ = loadError_ == ERROR_SUCCESS && WaitForDevice("\\\\.\\Nuvexcdo_3");
    }
    void SetUp() override {
        ScratchTest::SetUp();
        ASSERT_TRUE(loaded_) << "the main filter driver did not load, error " << loadError_;
    }
    static DWORD loadError_;
    static bool loaded_;
};
DWORD MainDriverTest::loadError_ = 0;
bool MainDriverTest::loaded_ = false;

TEST_F(MainDriverTest, StatusSwitchesAndAuthorisation) {
    DriverStatus status = MainStatus();
    EXPECT_EQ(status.bytes[0], 0);  // running
    EXPECT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    EXPECT_EQ(MainStatus().bytes[0], 1);
    EXPECT_EQ(NuvexCtrl_ResumeDriver(), 0u);
    EXPECT_EQ(MainStatus().bytes[0], 0);

    // This process has completed a control handshake: the driver knows it as a controller,
    // by the process id the I/O manager reports for the request.
    uint32_t answer = 0;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(0, &answer), 0u);
    EXPECT_EQ(answer & 1u, 1u);
    answer = 0xFF;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(GetCurrentProcessId() + 4000, &answer), 0u);
    EXPECT_EQ(answer, 0u);
}

TEST_F(MainDriverTest, LoggingAndTheLog) {
    EXPECT_EQ(NuvexCtrl_StartLogging(), 0u);
    uint32_t state = 0;
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 0u);
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(NuvexCtrl_ClearAllLog(), 0u);
    EXPECT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    EXPECT_EQ(NuvexCtrl_ResumeDriver(), 0u);

    LogEntry* log = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    EXPECT_GE(count, 2u);
    uint32_t walked = 0;
    bool sawSuspend = false;
    for (LogEntry* e = log; e != nullptr; e = e->next, ++walked) {
        if (std::strstr(e->text, "suspended") != nullptr) sawSuspend = true;
        EXPECT_GE(e->time.wYear, 2000);  // a real time stamp, converted
    }
    EXPECT_EQ(walked, count);
    EXPECT_TRUE(sawSuspend);
    EXPECT_EQ(NuvexCtrl_FreeLog(log), 0u);

    EXPECT_EQ(NuvexCtrl_StopLogging(), 0u);
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 0u);
    EXPECT_EQ(state, 0u);
}

TEST_F(MainDriverTest, PassPathsInTheDriverAndTheFile) {
    std::string passFile = SystemDirectory() + "\\NUVEXpath.nvdat";
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 0u);
    char a[] = "C:\\Tools\\a", b[] = "C:\\Tools\\b";
    PassPathNode second = {nullptr, b};
    PassPathNode first = {&second, a};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&first, 1), 0u);
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("C:\\Only\\Driver", 0), 0u);

    UserStrNode* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    std::vector<std::string> paths;
    for (UserStrNode* n = list; n != nullptr; n = n->next) paths.push_back(n->data);
    EXPECT_EQ(paths, (std::vector<std::string>{a, b, "C:\\Only\\Driver"}));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(list), 0u);
    EXPECT_EQ(MainStatus().bytes[2], 3);

    std::string persisted = std::string(a) + "|" + b + "|";
    Bytes file = ReadFileBytes(passFile);
    EXPECT_EQ(std::string(file.begin(), file.end()), persisted);

    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 0u);
    EXPECT_TRUE(FileExists(passFile));
    EXPECT_TRUE(ReadFileBytes(passFile).empty());
    list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    DeleteFileA(passFile.c_str());
}

PolicyRecord SamplePolicy(uint32_t id) {
    PolicyRecord record;
    std::memset(&record, 0, sizeof record);
    record.PolicyId = id;
    record.DriverFields[0] = 0x42;
    record.EntryCount = 1;
    std::memcpy(record.Entries[0].SignCode, "900150983CD24FB0D6963F7D28E17F72", 32);
    std::strcpy(record.TextList1, "winword.exe|excel.exe");
    record.ValueCount1 = 2;
    record.Values1[0] = 0x01020304;
    record.Values1[1] = 7;
    std::strcpy(record.TextList3, "C:\\Secret");
    return record;
}

void ExpectSamePolicy(const PolicyRecord& got, const PolicyRecord& want) {
    EXPECT_EQ(got.PolicyId, want.PolicyId);
    EXPECT_EQ(got.EntryCount, want.EntryCount);
    EXPECT_EQ(std::memcmp(got.Entries[0].SignCode, want.Entries[0].SignCode, 32), 0);
    EXPECT_STREQ(got.TextList1, want.TextList1);
    EXPECT_EQ(got.ValueCount1, want.ValueCount1);
    EXPECT_EQ(got.Values1[0], want.Values1[0]);
    EXPECT_EQ(got.Values1[1], want.Values1[1]);
    EXPECT_STREQ(got.TextList3, want.TextList3);
}

std::vector<uint32_t> PolicyIds() {
    PolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    std::vector<uint32_t> ids;
    for (PolicyRecord* r = list; r != nullptr; r = r->next) ids.push_back(r->PolicyId);
    if (list != nullptr) EXPECT_EQ(NuvexCtrl_FreePolicyList(list), 0u);
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST_F(MainDriverTest, PoliciesAsRecordsAndAsTexts) {
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
    uint32_t id = 0;
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 0u);
    ASSERT_NE(id, 0u);
    PolicyRecord record = SamplePolicy(id);
    EXPECT_EQ(NuvexCtrl_InsertNewPolicy(&record), 0u);
    EXPECT_EQ(record.Values1[0], 0x01020304u);  // the caller's values come back in host order

    PolicyRecord fetched;
    std::memset(&fetched, 0, sizeof fetched);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(id, &fetched), 0u);
    ExpectSamePolicy(fetched, record);
    EXPECT_EQ(PolicyIds(), std::vector<uint32_t>{id});

    // The text form recreates the same policy.
    char* text = nullptr;
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(id, &text), 0u);
    ASSERT_NE(text, nullptr);
    std::string saved = text;
    EXPECT_EQ(NuvexCtrl_FreeBuffer(text), 0u);
    UserStrNode* texts = nullptr;
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&texts), 0u);
    ASSERT_NE(texts, nullptr);
    EXPECT_EQ(texts->next, nullptr);
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(texts), 0u);

    uint32_t reply = 0;
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(id, &reply), 0u);
    EXPECT_TRUE(PolicyIds().empty());
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr(saved.c_str()), 0u);
    std::memset(&fetched, 0, sizeof fetched);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(id, &fetched), 0u);
    ExpectSamePolicy(fetched, record);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(&reply), 0u);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(id, &fetched), 545u);
}

// Keystream of the policy-file key at stream offsets 0..31 (tests/windows/seal_reference.py).
const uint8_t kPolicyStream[32] = {
    0x7a, 0x46, 0xa5, 0xa2, 0xa9, 0xfb, 0x69, 0xab, 0xf7, 0xd1, 0x7d, 0x7e, 0x4c, 0x55, 0xdf, 0x90,
    0xec, 0x98, 0x48, 0xa1, 0x15, 0x59, 0xd3, 0xfc, 0x6f, 0xa4, 0x33, 0x86, 0x5c, 0x79, 0x4a, 0x00};

TEST_F(MainDriverTest, PolicyFileRoundTrip) {
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 2; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 0u);
        PolicyRecord record = SamplePolicy(id);
        ASSERT_EQ(NuvexCtrl_InsertNewPolicy(&record), 0u);
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    std::string path = Scratch("table.pol");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    Bytes file = ReadFileBytes(path);
    ASSERT_GE(file.size(), 32u);
    // Enciphered from stream offset 0 under the policy-file key; the plaintext is the texts,
    // each ended by CR LF.
    std::string plain;
    for (size_t i = 0; i < 32; ++i) plain += static_cast<char>(file[i] ^ kPolicyStream[i]);
    char* text = nullptr;
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(ids[1], &text), 0u);
    EXPECT_EQ(plain, std::string(text).substr(0, 32));
    NuvexCtrl_FreeBuffer(text);

    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 0u);
    EXPECT_EQ(PolicyIds(), ids);

    // Saved again over the existing file (its permissions carried by handle), and devices
    // refused as targets and sources before anything is written, read or emptied.
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(path), file);
    for (const char* device : {"NUL", "CONIN$"}) {
        EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(device), 1074u) << device;
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(device), 1149u) << device;
    }
    EXPECT_EQ(PolicyIds(), ids);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
}

// Keystream bytes at 4113..4144 for the document key 01 02 03 04 05 and fifteen zero bytes, and
// for the default key (twenty 0x5C bytes) (tests/windows/seal_reference.py).
const uint8_t kShortKeyStream[32] = {
    0xe8, 0xda, 0x9c, 0x7c, 0x5e, 0xfc, 0xbe, 0xa7, 0x38, 0xe0, 0x44, 0x78, 0xea, 0xf3, 0x65, 0xc0,
    0x15, 0xe6, 0xad, 0xf3, 0xf7, 0xd7, 0xd3, 0xa2, 0x45, 0x8a, 0xc0, 0x08, 0x31, 0x1b, 0xe9, 0x85};
const uint8_t kDefaultKeyStream[32] = {
    0x1e, 0x4c, 0xcb, 0x9a, 0xdb, 0x7e, 0xe2, 0x3b, 0xe6, 0xb2, 0x55, 0xd1, 0x91, 0x42, 0x96, 0x70,
    0x44, 0x7e, 0xee, 0xc3, 0xbf, 0xa9, 0x6f, 0x69, 0xeb, 0x59, 0x11, 0x9f, 0x42, 0x69, 0xc2, 0xa2};

TEST_F(MainDriverTest, KeysTakenByTheDriverEncipherDocuments) {
    auto bodyStream = [this](const char* name) {
        Bytes plain = PatternBytes(64, 3);
        std::string path = Scratch(name);
        EXPECT_TRUE(WriteFileBytes(path, plain));
        EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        Bytes doc = ReadFileBytes(path);
        Bytes stream;
        for (size_t k = 0; k < 32 && 4096 + k < doc.size(); ++k) {
            stream.push_back(doc[4096 + k] ^ plain[k]);
        }
        return stream;
    };
    const uint8_t shortKey[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(NuvexCtrl_SetKey(0x11, shortKey, sizeof shortKey), 0u);
    EXPECT_EQ(bodyStream("short.doc"), Bytes(kShortKeyStream, kShortKeyStream + 32));
    const uint8_t systemKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(NuvexCtrl_SetSysKey(systemKey, sizeof systemKey), 0u);

    Bytes defaultKey(20, 0x5C);
    EXPECT_EQ(NuvexCtrl_SetKey(0, defaultKey.data(), 20), 0u);
    EXPECT_EQ(bodyStream("default.doc"), Bytes(kDefaultKeyStream, kDefaultKeyStream + 32));
}

TEST_F(MainDriverTest, HeaderRequestsFailBecauseWineCannotResolveTheCallersHandle) {
    std::string doc = Scratch("rights.doc");
    ASSERT_TRUE(WriteFileBytes(doc, PatternBytes(100, 4)));
    ASSERT_EQ(NuvexCtrl_EncryptFile(doc.c_str(), 0, nullptr, 0), 0u);
    Bytes before = ReadFileBytes(doc);

    // With the driver running, the new header goes only through the driver, which fails it.
    uint32_t status = 0;
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 2, 0, "pw", 2, &status), 1001u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    EXPECT_EQ(ReadFileBytes(doc), before);

    uint16_t print = 0;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc.c_str(), nullptr, nullptr, &print, nullptr), 1494u);
    EXPECT_EQ(print, 0xFFFF);
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(doc.c_str(), 3), 1390u);
    uint32_t type = 0;
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(1234, &type), 98u);
    EXPECT_EQ(type, 1u);
}

TEST_F(MainDriverTest, MonitoringListsAreEmptyWithoutServedHeaders) {
    SecRunProcEntry* procs = reinterpret_cast<SecRunProcEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&procs), 0u);
    EXPECT_EQ(procs, nullptr);
    UserStrNode* files = reinterpret_cast<UserStrNode*>(1);
    uint32_t count = 7;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &files, &count), 0u);
    EXPECT_EQ(files, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(MainDriverTest, EveryExportUsedTheHandshakeWhereItIsDue) {
    EXPECT_EQ(HandshakeViolations(MainStatus()), 0u);
}

TEST_F(MainDriverTest, UninstallWhileLoaded) {
    // The driver takes the request and stops serving; the key goes. Its image is mapped by
    // the loaded driver, so the file cannot be deleted yet (as on Windows).
    EXPECT_EQ(NuvexCtrl_UnInstall(), 357u);
    EXPECT_FALSE(ServiceKeyExists("Nuvex"));
    DriverStatus status;
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 74u);

    StopAndForgetService("Nuvex");
    SetFileAttributesA(DriverFile("Nuvex").c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(DriverFile("Nuvex").c_str());
    EXPECT_FALSE(FileExists(DriverFile("Nuvex")));
}

// ---- session 2: the access-control driver --------------------------------------------------

AccPolicyRecord AccPolicy(uint32_t id, const char* primary, const char* list3) {
    AccPolicyRecord record;
    std::memset(&record, 0, sizeof record);
    record.PolicyId = id;
    record.DriverFields[0] = static_cast<uint8_t>(id);
    std::strcpy(record.PrimaryText, primary);
    std::strcpy(record.TextList1, "read|write");
    std::strcpy(record.TextList3, list3);
    return record;
}

class AccessControlDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        installResult_ = NuvexAccCtrl_Install(1, KernelImage("NuvexACL").c_str());
        loaded_ = installResult_ == 0 && WaitForDevice("\\\\.\\NuvexACLcdo_3");
    }
    static void TearDownTestSuite() {
        StopAndForgetService("NuvexACL");
        NuvexAccCtrl_UnInstall();
    }
    void SetUp() override {
        ASSERT_TRUE(loaded_) << "install gave " << installResult_;
    }
    static uint32_t installResult_;
    static bool loaded_;
};
uint32_t AccessControlDriverTest::installResult_ = 0;
bool AccessControlDriverTest::loaded_ = false;

TEST_F(AccessControlDriverTest, StartStopAndStatus) {
    uint32_t status[2] = {7, 7};
    EXPECT_EQ(NuvexAccCtrl_Start(), 0u);
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 1u);
    EXPECT_EQ(NuvexAccCtrl_Stop(), 0u);
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 0u);
    EXPECT_EQ(NuvexAccCtrl_Start(), 0u);
}

TEST_F(AccessControlDriverTest, PolicyTableAndLog) {
    EXPECT_EQ(NuvexAccCtrl_DeleteAllPolicy(), 0u);
    AccPolicyRecord four = AccPolicy(4, "C:\\Finance", "x|y|");
    AccPolicyRecord seven = AccPolicy(7, "C:\\Payroll", "z|");
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(&four), 0u);
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(&seven), 0u);
    AccPolicyRecord empty = AccPolicy(9, "", "");
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(&empty), 245u);
    uint32_t status[2] = {};
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[1], 2u);

    // The list holds the driver's order reversed, trailing separators dropped.
    AccPolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->PolicyId, 7u);
    EXPECT_EQ(list->next->PolicyId, 4u);
    EXPECT_EQ(list->next->next, nullptr);
    EXPECT_STREQ(list->next->TextList3, "x|y");
    EXPECT_STREQ(list->next->PrimaryText, "C:\\Finance");
    EXPECT_EQ(NuvexAccCtrl_FreePolicyList(list), 0u);

    AccPolicyRecord one;
    std::memset(&one, 0, sizeof one);
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(4, &one), 0u);
    EXPECT_STREQ(one.TextList3, "x|y|");
    EXPECT_EQ(one.DriverFields[0], 4);

    EXPECT_EQ(NuvexAccCtrl_DeleteOnePolicy(4), 0u);
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(4, &one), 341u);

    // Every change left a record in the driver's log; either FreeLog name releases it.
    AccLogRecord* log = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetLog(&log), 0u);
    int records = 0;
    for (AccLogRecord* r = log; r != nullptr; r = r->next) ++records;
    EXPECT_GE(records, 3);
    EXPECT_EQ(NuvexCtrl_FreeLog(reinterpret_cast<LogEntry*>(log)), 0u);
    log = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetLog(&log), 0u);
    EXPECT_EQ(log, nullptr);  // drained
    EXPECT_EQ(NuvexAccCtrl_FreeLog(log), 0u);
    EXPECT_EQ(NuvexAccCtrl_DeleteAllPolicy(), 0u);
}

TEST_F(AccessControlDriverTest, UninstallWhileLoaded) {
    // The key goes; the image of the loaded driver cannot be deleted, so the export stops
    // there (145) without sending the stop request, and the driver keeps serving.
    EXPECT_EQ(NuvexAccCtrl_UnInstall(), 145u);
    EXPECT_FALSE(ServiceKeyExists("NuvexACL"));
    uint32_t status[2] = {};
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    // Unloaded through the service manager, the file can go and the device is gone.
    StopAndForgetService("NuvexACL");
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 181u);
    SetFileAttributesA(DriverFile("NuvexACL").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA(DriverFile("NuvexACL").c_str()));
}

// ---- session 2: the monitor driver ---------------------------------------------------------

DWORD ServiceState(const char* service) {
    DWORD state = 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return state;
    SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_QUERY_STATUS);
    if (handle != nullptr) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(handle, &status)) state = status.dwCurrentState;
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
    return state;
}

TEST(MonitorDriverTest, InstallsLoadsAndUninstalls) {
    // Wine loads it although its "tcpip" dependency is no service there.
    EXPECT_EQ(NuvexAntiSteal_Install(1, KernelImage("NuvexMon").c_str()), 0u);
    EXPECT_EQ(ServiceState("NuvexMon"), static_cast<DWORD>(SERVICE_RUNNING));
    // The monitor is not contacted; its loaded image keeps the file (384), the key goes.
    EXPECT_EQ(NuvexAntiSteal_UnInstall(), 384u);
    EXPECT_FALSE(ServiceKeyExists("NuvexMon"));
    StopAndForgetService("NuvexMon");
    SetFileAttributesA(DriverFile("NuvexMon").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA(DriverFile("NuvexMon").c_str()));
}

// ---- last, always: nothing of the drivers stays registered ----------------------------------

// A boot-start driver left registered would be loaded by every later Wine session of this
// prefix, and the driver-free tests would find its device.
TEST(DriverCleanup, NothingStaysRegistered) {
    for (const char* service : {"Nuvex", "NuvexACL", "NuvexMon"}) StopAndForgetService(service);
    NuvexCtrl_UnInstall();
    NuvexAccCtrl_UnInstall();
    NuvexAntiSteal_UnInstall();
    for (const char* service : {"Nuvex", "NuvexACL", "NuvexMon"}) {
        SetFileAttributesA(DriverFile(service).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(DriverFile(service).c_str());
        EXPECT_FALSE(ServiceKeyExists(service)) << service;
        EXPECT_FALSE(FileExists(DriverFile(service))) << service;
    }
}

}  // namespace
