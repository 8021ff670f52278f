// The DLL's calling convention, seen from a client: every export is found under its
// stdcall-decorated name, is the routine that the header's declaration links to through the
// import library, removes its own arguments from the stack (callee cleanup) and keeps the
// registers a caller relies on, whatever the stack's alignment at the call (4 bytes is all
// the convention promises). Each export is called with arguments that make it fail fast, and
// its result code shows that the arguments arrived in their declared order. The DLL also
// names its version in a version resource, as Windows tools read it.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nuvexctrl.h"
#include "nuvexctrl_ex.h"
#include "win_support.h"

namespace {

using nuvex_win::kStackOffsets;
using nuvex_win::NuvexCallMeasured;

uint32_t Arg(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

const char kAbsentFile[] = "C:\\nuvex-absent-dir\\absent.sys";

struct ExportCase {
    const char* decorated;   // name in the export table
    void* declared;          // the routine the header's declaration links to
    uint32_t args[8];        // arguments that make it fail fast
    uint32_t expected;       // its result for them
};

#define NUVEX_FN(name) reinterpret_cast<void*>(&name)

// The address a header declaration stands for in a client is the import library's stub,
// "jmp *[__imp__Name@N]"; the routine it reaches is the import address table's entry.
void* ImportedRoutine(void* stub) {
    const auto* code = static_cast<const uint8_t*>(stub);
    if (code[0] != 0xFF || code[1] != 0x25) return stub;
    void* const* slot;
    std::memcpy(&slot, code + 2, sizeof slot);
    return *slot;
}

std::string DecoratedArgBytes(const char* decorated) {
    const char* at = std::strrchr(decorated, '@');
    return at ? std::string(at + 1) : std::string();
}

class StdcallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module_ = LoadLibraryA("Nuvexctrl.dll"); }
    static void TearDownTestSuite() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    static HMODULE module_;
};
HMODULE StdcallTest::module_ = nullptr;

uint32_t g_fileType = 0;

const ExportCase kCases[] = {
    // main filter driver: status and switches (no driver: the device does not open)
    {"_NuvexCtrl_GetDriverStatus@4", NUVEX_FN(NuvexCtrl_GetDriverStatus), {0}, 50},
    {"_NuvexCtrl_SuspendDriver@0", NUVEX_FN(NuvexCtrl_SuspendDriver), {}, 107},
    {"_NuvexCtrl_ResumeDriver@0", NUVEX_FN(NuvexCtrl_ResumeDriver), {}, 140},
    {"_NuvexCtrl_IsAuthProc@8", NUVEX_FN(NuvexCtrl_IsAuthProc), {1234, 0}, 150},
    {"_NuvexCtrl_StartLogging@0", NUVEX_FN(NuvexCtrl_StartLogging), {}, 32},
    {"_NuvexCtrl_StopLogging@0", NUVEX_FN(NuvexCtrl_StopLogging), {}, 57},
    {"_NuvexCtrl_IsLogging@4", NUVEX_FN(NuvexCtrl_IsLogging), {0}, 224},
    {"_NuvexCtrl_ClearAllLog@0", NUVEX_FN(NuvexCtrl_ClearAllLog), {}, 214},
    // log and lists
    {"_NuvexCtrl_GetLog@8", NUVEX_FN(NuvexCtrl_GetLog), {0, 0}, 0},
    {"_NuvexCtrl_FreeLog@4", NUVEX_FN(NuvexCtrl_FreeLog), {0}, 0},
    {"_NuvexCtrl_GetSecRunProcList@4", NUVEX_FN(NuvexCtrl_GetSecRunProcList), {0}, 25},
    {"_NuvexCtrl_FreeSecRunProcList@4", NUVEX_FN(NuvexCtrl_FreeSecRunProcList), {0}, 119},
    {"_NuvexCtrl_GetEnFileList@12", NUVEX_FN(NuvexCtrl_GetEnFileList), {1, 0, 0}, 159},
    {"_NuvexCtrl_FreeUserStrList@4", NUVEX_FN(NuvexCtrl_FreeUserStrList), {0}, 274},
    // pass paths
    {"_NuvexCtrl_GetPassPath@8", NUVEX_FN(NuvexCtrl_GetPassPath), {0, 0}, 132},
    {"_NuvexCtrl_AddStructPassPath@8", NUVEX_FN(NuvexCtrl_AddStructPassPath), {0, 0}, 314},
    {"_NuvexCtrl_AddStringPassPath@8", NUVEX_FN(NuvexCtrl_AddStringPassPath), {0, 1}, 286},
    {"_NuvexCtrl_DeleteAllPassPath@4", NUVEX_FN(NuvexCtrl_DeleteAllPassPath), {0}, 350},
    // policies
    {"_NuvexCtrl_GetPolicyList@4", NUVEX_FN(NuvexCtrl_GetPolicyList), {0}, 314},
    {"_NuvexCtrl_GetOnePolicyByID@8", NUVEX_FN(NuvexCtrl_GetOnePolicyByID), {0, 0}, 448},
    {"_NuvexCtrl_InsertNewPolicy@4", NUVEX_FN(NuvexCtrl_InsertNewPolicy), {0}, 583},
    {"_NuvexCtrl_DeleteOnePolicy@8", NUVEX_FN(NuvexCtrl_DeleteOnePolicy), {0, 0}, 676},
    {"_NuvexCtrl_GetNewValidPolicyID@4", NUVEX_FN(NuvexCtrl_GetNewValidPolicyID), {0}, 713},
    {"_NuvexCtrl_DeleteAllPolicy@4", NUVEX_FN(NuvexCtrl_DeleteAllPolicy), {0}, 776},
    {"_NuvexCtrl_FreePolicyList@4", NUVEX_FN(NuvexCtrl_FreePolicyList), {0}, 562},
    {"_NuvexCtrl_GetOnePolicyStr@8", NUVEX_FN(NuvexCtrl_GetOnePolicyStr), {0, 0}, 793},
    {"_NuvexCtrl_GetPolicyStrList@4", NUVEX_FN(NuvexCtrl_GetPolicyStrList), {0}, 870},
    {"_NuvexCtrl_InsertPolicyStr@4", NUVEX_FN(NuvexCtrl_InsertPolicyStr), {0}, 960},
    {"_NuvexCtrl_FreeBuffer@4", NUVEX_FN(NuvexCtrl_FreeBuffer), {0}, 855},
    {"_NuvexCtrl_SaveCurrentPolicyToFile@4", NUVEX_FN(NuvexCtrl_SaveCurrentPolicyToFile), {0},
     1012},
    {"_NuvexCtrl_LoadPolicyFromFile@4", NUVEX_FN(NuvexCtrl_LoadPolicyFromFile), {0}, 1087},
    // documents: each case picks the argument whose check tells the position apart
    {"_NuvexCtrl_IsEncryptFile@12", NUVEX_FN(NuvexCtrl_IsEncryptFile), {0, 0, 0}, 353},
    {"_NuvexCtrl_EncryptFile@16", NUVEX_FN(NuvexCtrl_EncryptFile), {0, 1, 0, 1}, 636},
    {"_NuvexCtrl_DecryptFile@24", NUVEX_FN(NuvexCtrl_DecryptFile),
     {Arg(kAbsentFile), 1, 0, 0, 0, 0}, 517},
    {"_NuvexCtrl_SetEnFileRights@32", NUVEX_FN(NuvexCtrl_SetEnFileRights),
     {Arg(kAbsentFile), 0, 0xFFFF, 0xFFFF, 0, Arg("pw"), 0, 0}, 840},
    {"_NuvexCtrl_GetEnFileRights@28", NUVEX_FN(NuvexCtrl_GetEnFileRights),
     {Arg(kAbsentFile), 0, 0, 0, 0, 0, 0}, 1036},
    {"_NuvexCtrl_ClearEnFileRights@16", NUVEX_FN(NuvexCtrl_ClearEnFileRights),
     {Arg(kAbsentFile), Arg("pw"), 0, 0}, 1167},
    {"_NuvexCtrl_SetFileRightsByDrv@8", NUVEX_FN(NuvexCtrl_SetFileRightsByDrv),
     {Arg(kAbsentFile), 5}, 1406},
    {"_NuvexCtrl_GetFileRightsByDrv@20", NUVEX_FN(NuvexCtrl_GetFileRightsByDrv),
     {Arg(kAbsentFile), 0, 0, 0, 0}, 1510},
    {"_NuvexCtrl_QueryDrvFileType@8", NUVEX_FN(NuvexCtrl_QueryDrvFileType),
     {7, Arg(&g_fileType)}, 103},
    {"_NuvexCtrl_GetFileGUID@8", NUVEX_FN(NuvexCtrl_GetFileGUID), {Arg(kAbsentFile), 0}, 1522},
    // keys and signature codes
    {"_NuvexCtrl_SetKey@12", NUVEX_FN(NuvexCtrl_SetKey), {1, Arg("key"), 0}, 1564},
    {"_NuvexCtrl_SetSysKey@8", NUVEX_FN(NuvexCtrl_SetSysKey), {Arg("key"), 0}, 1606},
    {"_NuvexCtrl_GetProcSignCode@8", NUVEX_FN(NuvexCtrl_GetProcSignCode),
     {Arg(kAbsentFile), 0}, 1164},
    // installation: a source that does not exist fails before anything is changed
    {"_NuvexCtrl_Install@8", NUVEX_FN(NuvexCtrl_Install), {0, Arg(kAbsentFile)}, 149},
    {"_NuvexCtrl_UnInstall@0", NUVEX_FN(NuvexCtrl_UnInstall), {}, 360},
    // access-control driver
    {"_NuvexAccCtrl_Install@8", NUVEX_FN(NuvexAccCtrl_Install), {0, Arg(kAbsentFile)}, 119},
    {"_NuvexAccCtrl_UnInstall@0", NUVEX_FN(NuvexAccCtrl_UnInstall), {}, 148},
    {"_NuvexAccCtrl_Start@0", NUVEX_FN(NuvexAccCtrl_Start), {}, 206},
    {"_NuvexAccCtrl_Stop@0", NUVEX_FN(NuvexAccCtrl_Stop), {}, 230},
    {"_NuvexAccCtrl_GetDriverStatus@4", NUVEX_FN(NuvexAccCtrl_GetDriverStatus), {0}, 159},
    {"_NuvexAccCtrl_AddNewPolicy@4", NUVEX_FN(NuvexAccCtrl_AddNewPolicy), {0}, 240},
    {"_NuvexAccCtrl_DeleteAllPolicy@0", NUVEX_FN(NuvexAccCtrl_DeleteAllPolicy), {}, 289},
    {"_NuvexAccCtrl_DeleteOnePolicy@4", NUVEX_FN(NuvexAccCtrl_DeleteOnePolicy), {9}, 313},
    {"_NuvexAccCtrl_GetOnePolicy@8", NUVEX_FN(NuvexAccCtrl_GetOnePolicy), {1, 0}, 322},
    {"_NuvexAccCtrl_GetPolicyList@4", NUVEX_FN(NuvexAccCtrl_GetPolicyList), {0}, 356},
    {"_NuvexAccCtrl_FreePolicyList@4", NUVEX_FN(NuvexAccCtrl_FreePolicyList), {0}, 438},
    {"_NuvexAccCtrl_GetLog@4", NUVEX_FN(NuvexAccCtrl_GetLog), {0}, 456},
    {"_NuvexAccCtrl_FreeLog@4", NUVEX_FN(NuvexAccCtrl_FreeLog), {0}, 0},
    // monitor driver
    {"_NuvexAntiSteal_Install@8", NUVEX_FN(NuvexAntiSteal_Install), {0, Arg(kAbsentFile)}, 308},
    {"_NuvexAntiSteal_UnInstall@0", NUVEX_FN(NuvexAntiSteal_UnInstall), {}, 387},
    // extension interface
    {"_NuvexCtrlEx_GetVersion@12", NUVEX_FN(NuvexCtrlEx_GetVersion), {0, 0, 0}, 0},
    {"_NuvexCtrlEx_DescribeResult@16", NUVEX_FN(NuvexCtrlEx_DescribeResult),
     {Arg("NuvexCtrl_DecryptFile"), 531, 0, 0}, NUVEX_E_TEXT_CUT},
    {"_NuvexCtrlEx_EncryptFile@20", NUVEX_FN(NuvexCtrlEx_EncryptFile), {Arg(kAbsentFile), 0, 20, 0, 0},
     NUVEX_E_KEY_INVALID},
    {"_NuvexCtrlEx_DecryptFile@24", NUVEX_FN(NuvexCtrlEx_DecryptFile),
     {Arg(kAbsentFile), 0, Arg(kAbsentFile), 20, 0, 0}, NUVEX_E_DOC_OPEN_FAILED},
    // A name with a separator is no name in a folder: refused before the folder is used.
    {"_NuvexCtrlEx_EncryptFileIn@24", NUVEX_FN(NuvexCtrlEx_EncryptFileIn),
     {0, Arg("a\\b"), 0, 0, 0, 0}, 797},
    {"_NuvexCtrlEx_DecryptFileIn@28", NUVEX_FN(NuvexCtrlEx_DecryptFileIn),
     {0, Arg("a\\b"), 0, 0, 0, 0, 0}, NUVEX_E_DOC_OPEN_FAILED},
};

TEST_F(StdcallTest, EveryExportIsFoundByItsDecoratedNameOnly) {
    ASSERT_NE(module_, nullptr) << "Nuvexctrl.dll does not load: " << GetLastError();
    EXPECT_EQ(std::size(kCases), 67u);  // the 61 and the extension's 6
    for (const ExportCase& c : kCases) {
        SCOPED_TRACE(c.decorated);
        FARPROC byName = GetProcAddress(module_, c.decorated);
        ASSERT_NE(byName, nullptr);
        // The import library binds the header's declaration to this very export.
        EXPECT_EQ(reinterpret_cast<void*>(byName), ImportedRoutine(c.declared));
        // The plain name is not an export: callers that look names up use the decorated form.
        std::string plain(c.decorated + 1);
        plain.resize(plain.find('@'));
        EXPECT_EQ(GetProcAddress(module_, plain.c_str()), nullptr);
    }
}

TEST_F(StdcallTest, BothFreeLogNamesAreOneRoutine) {
    ASSERT_NE(module_, nullptr);
    EXPECT_EQ(GetProcAddress(module_, "_NuvexCtrl_FreeLog@4"),
              GetProcAddress(module_, "_NuvexAccCtrl_FreeLog@4"));
}

TEST_F(StdcallTest, VersionResourceCarriesTheProjectVersion) {
    ASSERT_NE(module_, nullptr);
    char path[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(module_, path, sizeof path), 0u);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_NE(size, 0u) << "no version resource";
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    const DWORD high = MAKELONG(NUVEX_VERSION_MINOR, NUVEX_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, NUVEX_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    for (const char* name : {"FileVersion", "ProductVersion"}) {
        SCOPED_TRACE(name);
        char* text = nullptr;
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(
            VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&text), &length));
        EXPECT_STREQ(text, NUVEX_VERSION);
    }
}

TEST_F(StdcallTest, EveryExportRemovesItsArgumentsAndKeepsCalleeSavedRegisters) {
    ASSERT_NE(module_, nullptr);
    for (uint32_t below16 : kStackOffsets) {
        for (const ExportCase& c : kCases) {
            SCOPED_TRACE(std::string(c.decorated) + " with ESP 16n-" + std::to_string(below16));
            auto* fn = reinterpret_cast<void*>(GetProcAddress(module_, c.decorated));
            ASSERT_NE(fn, nullptr);
            uint32_t count =
                static_cast<uint32_t>(std::stoul(DecoratedArgBytes(c.decorated))) / 4;
            uint32_t result = 0xDEADBEEF, kept = 0;
            g_fileType = 0;
            int32_t imbalance = NuvexCallMeasured(fn, c.args, count, below16, &result, &kept);
            EXPECT_EQ(imbalance, 0) << "stack moved by " << imbalance << " bytes";
            EXPECT_EQ(kept, 1u) << "EBX, ESI, EDI or EBP changed";
            EXPECT_EQ(result, c.expected);
            // The out-argument of the file-type query sits in second place: it was set to 1.
            if (c.declared == NUVEX_FN(NuvexCtrl_QueryDrvFileType)) EXPECT_EQ(g_fileType, 1u);
        }
    }
}

TEST_F(StdcallTest, MeasuringCallerDetectsACallerCleanupRoutine) {
    // A cdecl routine leaves its two arguments on the stack: the measure must see 8 bytes.
    auto cdeclRoutine = [](uint32_t a, uint32_t b) -> uint32_t { return a + b; };
    uint32_t (*fn)(uint32_t, uint32_t) = cdeclRoutine;
    const uint32_t args[2] = {40, 2};
    for (uint32_t below16 : kStackOffsets) {
        uint32_t result = 0, kept = 0;
        int32_t imbalance =
            NuvexCallMeasured(reinterpret_cast<void*>(fn), args, 2, below16, &result, &kept);
        EXPECT_EQ(result, 42u);
        EXPECT_EQ(imbalance, -8);
        EXPECT_EQ(kept, 1u);
    }
}

// The offset reaches the callee: a routine that reports its own ESP sees each one.
extern "C" uint32_t NuvexStackAtEntry();
asm(R"(
    .text
    .globl _NuvexStackAtEntry
_NuvexStackAtEntry:
    leal  4(%esp), %eax
    ret
)");

TEST_F(StdcallTest, MeasuringCallerPresentsEachStackOffset) {
    for (uint32_t below16 : kStackOffsets) {
        uint32_t result = 0, kept = 0;
        NuvexCallMeasured(reinterpret_cast<void*>(&NuvexStackAtEntry), nullptr, 0, below16,
                          &result, &kept);
        EXPECT_EQ((16 - result % 16) % 16, below16);
    }
}


// ---- little stack left ---------------------------------------------------------------------
// Hosts call the DLL on threads of 64 KiB of stack and deep in their own call chains. Every
// export, and the deep paths of the document exports on a real document, run with only
// `left` bytes of stack above the bottom of the thread's reservation (its guard pages
// included) without overflowing it.

struct LowStackJob {
    void (*body)(void*);
    void* argument;
    size_t left;
    bool ran;
};

__attribute__((noinline)) void RunBelow(LowStackJob* job) {
    job->body(job->argument);
    job->ran = true;
}

DWORD WINAPI LowStackEntry(void* argument) {
    auto* job = static_cast<LowStackJob*>(argument);
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(&region, &region, sizeof region) != sizeof region) return 1;
    const auto bottom = reinterpret_cast<uintptr_t>(region.AllocationBase);
    const auto here = reinterpret_cast<uintptr_t>(&region);
    if (here - bottom < job->left + 4096) return 2;
    // Uses up the rest, page by page (the allocation probes each page as the system wants).
    volatile char* used = static_cast<char*>(__builtin_alloca(here - bottom - job->left));
    used[0] = 1;
    RunBelow(job);
    return used[0] == 1 ? 0 : 3;
}

// Runs body(argument) with `left` bytes of stack left; false when it could not be arranged.
bool WithStackLeft(size_t left, void (*body)(void*), void* argument) {
    LowStackJob job{body, argument, left, false};
    HANDLE thread = CreateThread(nullptr, 1024 * 1024, &LowStackEntry, &job,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 0 && job.ran;
}

void CallEveryExport(void* module) {
    for (const ExportCase& c : kCases) {
        SCOPED_TRACE(c.decorated);
        auto* fn = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), c.decorated));
        ASSERT_NE(fn, nullptr);
        const uint32_t count = static_cast<uint32_t>(std::stoul(DecoratedArgBytes(c.decorated))) / 4;
        uint32_t result = 0xDEADBEEF, kept = 0;
        NuvexCallMeasured(fn, c.args, count, 0, &result, &kept);
        EXPECT_EQ(result, c.expected);
    }
}

// A document made and read and its rights set, read and cleared, its plain file signed, then
// decrypted to another file and in place: the paths with the largest frames and the cipher.
struct DocumentWork {
    std::string plainPath;
    std::string outPath;
    std::vector<uint8_t> plain;
};

void WorkOnADocument(void* argument) {
    auto* work = static_cast<DocumentWork*>(argument);
    const char* path = work->plainPath.c_str();
    char code[64] = {};
    EXPECT_EQ(NuvexCtrl_GetProcSignCode(path, code), 0u);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path, 0, nullptr, 0), 0u);
    uint32_t isDocument = 0, status = 0;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(path, 0, &isDocument), 0u);
    EXPECT_EQ(isDocument, 1u);
    const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(path, value, 3, 5, 0x21, "secret", 6, &status), 0u);
    uint32_t printCount = 0, flags = 0;
    uint8_t valueOut[8] = {};
    uint16_t countOut = 0, print16 = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(path, &printCount, valueOut, &countOut, &print16, &flags,
                                        &status),
              0u);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(path, "secret", 6, &status), 0u);
    uint8_t guid[16] = {};
    EXPECT_EQ(NuvexCtrl_GetFileGUID(path, guid), 0u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(path, 1, work->outPath.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(path, 0, nullptr, 0, nullptr, 0), 0u);
}

class LowStackTest : public nuvex_win::ScratchTest {};

TEST_F(LowStackTest, EveryExportRunsWithLittleStackLeft) {
    HMODULE module = GetModuleHandleA("Nuvexctrl.dll");
    ASSERT_NE(module, nullptr);
    DocumentWork work{Scratch("low-stack.bin"), Scratch("low-stack.out"),
                      nuvex_win::PatternBytes(3 * 1024 * 1024 + 777, 5)};
    for (size_t left : {size_t{64} * 1024, size_t{32} * 1024}) {
        SCOPED_TRACE(std::to_string(left / 1024) + " KiB left");
        ASSERT_TRUE(WithStackLeft(left, &CallEveryExport, module));
        ASSERT_TRUE(nuvex_win::WriteFileBytes(work.plainPath, work.plain));
        ASSERT_TRUE(WithStackLeft(left, &WorkOnADocument, &work));
        EXPECT_TRUE(nuvex_win::ReadFileBytes(work.plainPath) == work.plain);
        EXPECT_TRUE(nuvex_win::ReadFileBytes(work.outPath) == work.plain);
    }
}

}  // namespace
