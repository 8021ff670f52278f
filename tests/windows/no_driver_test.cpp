// Every export that talks to a driver, on a Windows machine where neither driver is loaded:
// the real CreateFileA of "\\.\Nuvexcdo_3" and "\\.\NuvexACLcdo_3" fails, and each export
// reports its own number for it with its out-arguments in their documented empty state.
#include <windows.h>

#include <cstring>

#include "nuvexctrl.h"
#include "win_support.h"

namespace {

using nuvex_win::FileExists;
using nuvex_win::ReadFileBytes;
using nuvex_win::WriteFileBytes;

const uint32_t kJunk = 0xA5A5A5A5u;

TEST(NoDriverTest, NeitherControlDeviceExists) {
    for (const char* device : {"\\\\.\\Nuvexcdo_3", "\\\\.\\NuvexACLcdo_3"}) {
        HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << device;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
}

TEST(NoDriverTest, StatusAndSwitchesOfTheMainDriver) {
    DriverStatus status;
    std::memset(&status, 0x5A, sizeof status);
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 74u);
    for (uint8_t b : status.bytes) EXPECT_EQ(b, 0x5A);  // not cleared beforehand

    EXPECT_EQ(NuvexCtrl_SuspendDriver(), 107u);
    EXPECT_EQ(NuvexCtrl_ResumeDriver(), 140u);
    EXPECT_EQ(NuvexCtrl_StartLogging(), 32u);
    EXPECT_EQ(NuvexCtrl_StopLogging(), 57u);
    EXPECT_EQ(NuvexCtrl_ClearAllLog(), 214u);

    uint32_t answer = kJunk;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(0, &answer), 178u);
    EXPECT_EQ(answer, 0u);
    answer = kJunk;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(4242, &answer), 178u);
    EXPECT_EQ(answer, 0u);

    uint32_t state = kJunk;
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 246u);
    EXPECT_EQ(state, 0u);
}

TEST(NoDriverTest, LogAndMonitoringListsComeBackEmpty) {
    LogEntry* log = reinterpret_cast<LogEntry*>(1);
    uint32_t count = kJunk;
    EXPECT_EQ(NuvexCtrl_GetLog(&log, &count), 169u);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(count, 0u);

    SecRunProcEntry* procs = reinterpret_cast<SecRunProcEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&procs), 109u);
    EXPECT_EQ(procs, nullptr);

    UserStrNode* files = reinterpret_cast<UserStrNode*>(1);
    count = kJunk;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(2, &files, &count), 256u);
    EXPECT_EQ(files, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST(NoDriverTest, PassPathsLeaveThePassPathFileAlone) {
    char system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    std::string passFile = std::string(system) + "\\NUVEXpath.nvdat";
    DeleteFileA(passFile.c_str());

    UserStrNode* paths = reinterpret_cast<UserStrNode*>(1);
    uint32_t count = kJunk;
    EXPECT_EQ(NuvexCtrl_GetPassPath(&paths, &count), 229u);
    EXPECT_EQ(paths, nullptr);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(NuvexCtrl_AddStringPassPath("C:\\Program Files\\Tool", 1), 314u);
    char p1[] = "C:\\a", p2[] = "C:\\b";
    PassPathNode second = {nullptr, p2};
    PassPathNode first = {&second, p1};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&first, 1), 314u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 350u);
    // Nothing reaches the file when the driver did not take the request.
    EXPECT_FALSE(FileExists(passFile));
}

TEST(NoDriverTest, PolicyRecordsAndTexts) {
    PolicyRecord* list = reinterpret_cast<PolicyRecord*>(1);
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 438u);
    EXPECT_EQ(list, nullptr);

    PolicyRecord record;
    std::memset(&record, 0, sizeof record);
    record.PolicyId = 5;
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(5, &record), 552u);
    EXPECT_EQ(NuvexCtrl_InsertNewPolicy(&record), 662u);
    EXPECT_EQ(record.PolicyId, 5u);

    uint32_t reply = kJunk;
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(5, &reply), 703u);
    uint32_t newId = kJunk;
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&newId), 741u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(&reply), 776u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 776u);

    char* text = reinterpret_cast<char*>(1);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(5, &text), 842u);
    UserStrNode* texts = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&texts), 942u);
    EXPECT_EQ(texts, nullptr);
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr("abc|x"), 997u);
}

class NoDriverPolicyFileTest : public nuvex_win::ScratchTest {};

TEST_F(NoDriverPolicyFileTest, NoFileIsTouchedWhenTheTableCannotBeReached) {
    // Saving cannot read the table: the failure of the text list is reported and no file is
    // created...
    std::string fresh = Scratch("fresh.pol");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(fresh.c_str()), 942u);
    EXPECT_FALSE(FileExists(fresh));
    // ...and an existing one stays byte for byte.
    std::string existing = Scratch("existing.pol");
    nuvex_win::Bytes old = {1, 2, 3, 4, 5};
    ASSERT_TRUE(WriteFileBytes(existing, old));
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(existing.c_str()), 942u);
    EXPECT_EQ(ReadFileBytes(existing), old);

    // Loading reads the whole file first, then empties the table, which fails here.
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(existing.c_str()), 776u);
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(Scratch("missing.pol").c_str()), 1149u);
    EXPECT_EQ(ReadFileBytes(existing), old);
}

TEST(NoDriverTest, KeysStayAsTheyWere) {
    const uint8_t key[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(NuvexCtrl_SetKey(7, key, sizeof key), 1595u);
    EXPECT_EQ(NuvexCtrl_SetSysKey(key, sizeof key), 1635u);
}

TEST(NoDriverTest, DriverSideFileQueries) {
    uint32_t fileType = kJunk;
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(3, &fileType), 103u);
    EXPECT_EQ(fileType, 1u);
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(3, nullptr), 103u);
}

TEST(NoDriverTest, AccessControlFamily) {
    uint32_t status[2] = {kJunk, kJunk};
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 181u);
    EXPECT_EQ(status[0], 0u);
    EXPECT_EQ(status[1], 0u);

    EXPECT_EQ(NuvexAccCtrl_Start(), 206u);
    EXPECT_EQ(NuvexAccCtrl_Stop(), 230u);

    AccPolicyRecord record;
    std::memset(&record, 0, sizeof record);
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(&record), 245u);  // empty text: checked first
    std::strcpy(record.PrimaryText, "C:\\secret");
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(&record), 265u);
    EXPECT_EQ(NuvexAccCtrl_DeleteAllPolicy(), 289u);
    EXPECT_EQ(NuvexAccCtrl_DeleteOnePolicy(4), 313u);
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(0, &record), 346u);
    EXPECT_STREQ(record.PrimaryText, "C:\\secret");  // not cleared beforehand

    AccPolicyRecord* policies = reinterpret_cast<AccPolicyRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&policies), 428u);
    EXPECT_EQ(policies, nullptr);
    AccLogRecord* log = reinterpret_cast<AccLogRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetLog(&log), 494u);
    EXPECT_EQ(log, nullptr);
}

}  // namespace
