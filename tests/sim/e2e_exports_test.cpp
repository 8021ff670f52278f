// The library's exports against the driver images (no fake driver): what a management
// program sees when it drives the simulated drivers.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "machine_root.h"
#include "main_driver_core.h"
#include "nuvexctrl.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

class ExportsAgainstImages : public nuvex::test::MachineRootTest {
protected:
    void StartMain() { ASSERT_TRUE(main_.Start("Nuvex.sys", Root())); }
    void StartAcl() { ASSERT_TRUE(acl_.Start("NuvexACL.sys", Root())); }
    void TearDown() override {
        main_.Stop();
        acl_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }

    DriverStatus Status() {
        DriverStatus status{};
        EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
        return status;
    }
    static uint32_t Violations(const DriverStatus& status) { return U32(Bytes(status.bytes, status.bytes + 12), 8); }

    static std::vector<std::string> Strings(const UserStrNode* list) {
        std::vector<std::string> strings;
        for (; list; list = list->next) strings.emplace_back(list->data);
        return strings;
    }

    DriverProcess main_;
    DriverProcess acl_;
};

TEST_F(ExportsAgainstImages, SwitchesStatusAndTheHandshake) {
    StartMain();
    DriverStatus status = Status();
    EXPECT_EQ(status.bytes[0], 0);
    ASSERT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    EXPECT_EQ(Status().bytes[0], 1);
    ASSERT_EQ(NuvexCtrl_ResumeDriver(), 0u);
    EXPECT_EQ(Status().bytes[0], 0);

    uint32_t answer = 0;
    ASSERT_EQ(NuvexCtrl_IsAuthProc(0, &answer), 0u);
    EXPECT_EQ(answer & NUVEX_AUTH_CONTROLLER, NUVEX_AUTH_CONTROLLER)
        << "this process has completed handshakes";
    ASSERT_EQ(NuvexCtrl_IsAuthProc(1, &answer), 0u);
    EXPECT_EQ(answer, 0u);

    // The library never sends a request that needs the handshake without one.
    EXPECT_EQ(Violations(Status()), 0u);
}

TEST_F(ExportsAgainstImages, LoggingAndTheLog) {
    StartMain();
    uint32_t logging = 7;
    ASSERT_EQ(NuvexCtrl_IsLogging(&logging), 0u);
    EXPECT_EQ(logging, 0u);
    ASSERT_EQ(NuvexCtrl_StartLogging(), 0u);
    ASSERT_EQ(NuvexCtrl_IsLogging(&logging), 0u);
    EXPECT_EQ(logging, 1u);
    ASSERT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    ASSERT_EQ(NuvexCtrl_ResumeDriver(), 0u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(NuvexCtrl_AddStringPassPath(("/p" + std::to_string(i)).c_str(), 0), 0u);

    LogEntry* log = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    std::vector<std::string> texts;
    for (LogEntry* entry = log; entry; entry = entry->next) texts.emplace_back(entry->text);
    ASSERT_EQ(count, 103u);  // several batches
    ASSERT_EQ(texts.size(), 103u);
    EXPECT_EQ(texts[0], "logging started");
    EXPECT_EQ(texts[1], "driver suspended");
    EXPECT_EQ(texts[2], "driver resumed");
    EXPECT_EQ(texts[102], "pass paths added: 1");
    EXPECT_GE(log->time.wYear, 2024);
    EXPECT_EQ(log->value1, main_driver::kStartLogging);
    EXPECT_EQ(log->value2, static_cast<uint32_t>(::getpid()));
    NuvexCtrl_FreeLog(log);

    ASSERT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    ASSERT_EQ(NuvexCtrl_ClearAllLog(), 0u);
    ASSERT_EQ(NuvexCtrl_StopLogging(), 0u);
    ASSERT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    EXPECT_EQ(count, 1u);  // only the stop itself
    NuvexCtrl_FreeLog(log);
    EXPECT_EQ(Violations(Status()), 0u);
}

TEST_F(ExportsAgainstImages, PassPathsWithThePersistFlag) {
    StartMain();
    ASSERT_EQ(NuvexCtrl_AddStringPassPath("C:\\a|D:\\b", 1), 0u);
    UserStrNode first{nullptr, const_cast<char*>("E:\\c")};
    ASSERT_EQ(NuvexCtrl_AddStructPassPath(&first, 1), 0u);
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"C:\\a", "D:\\b", "E:\\c"}));
    EXPECT_EQ(count, 3u);
    NuvexCtrl_FreeUserStrList(list);
    std::string file = Root() + "/Windows/System32/NUVEXpath.nvdat";
    EXPECT_EQ(nuvex::test::ReadFileBytes(file), "C:\\a|D:\\b|E:\\c|");

    ASSERT_EQ(NuvexCtrl_DeleteAllPassPath(1), 0u);
    ASSERT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(nuvex::test::ReadFileBytes(file), "");
    EXPECT_EQ(Violations(Status()), 0u);
}

TEST_F(ExportsAgainstImages, MonitoringListsFromHeaderRequests) {
    StartMain();
    std::string path = Scratch("seen.doc");
    std::ofstream(path, std::ios::binary) << DocumentHeader();
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        Client client(Root() + "/Device/Nuvexcdo_3");
        Bytes in(20, 0);
        PutU32(in, 0, static_cast<uint32_t>(fd));
        PutU32(in, 4, 1);
        PutU32(in, 12, 4096);
        ASSERT_TRUE(client.Call(main_driver::kHeaderRequest, in, 4096).ok);
    }
    ::close(fd);

    UserStrNode* documents = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(NuvexCtrl_GetEnFileList(0, &documents, &count), 0u);
    EXPECT_EQ(Strings(documents), std::vector<std::string>{path});
    NuvexCtrl_FreeUserStrList(documents);
    ASSERT_EQ(NuvexCtrl_GetEnFileList(static_cast<uint32_t>(::getpid()), &documents, &count), 0u);
    EXPECT_EQ(count, 1u);
    NuvexCtrl_FreeUserStrList(documents);

    SecRunProcEntry* processes = nullptr;
    ASSERT_EQ(NuvexCtrl_GetSecRunProcList(&processes), 0u);
    ASSERT_NE(processes, nullptr);
    EXPECT_EQ(processes->next, nullptr);
    EXPECT_EQ(processes->driverData, static_cast<uint32_t>(::getpid()));
    ASSERT_NE(processes->subEntries, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(processes->subEntries->data + 8), path.c_str());
    NuvexCtrl_FreeSecRunProcList(processes);
    EXPECT_EQ(Violations(Status()), 0u);
}

TEST_F(ExportsAgainstImages, KeysAreHandedToTheDriver) {
    StartMain();
    ASSERT_EQ(NuvexCtrl_StartLogging(), 0u);
    const uint8_t key[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(NuvexCtrl_SetKey(0x55, key, sizeof key), 0u);
    ASSERT_EQ(NuvexCtrl_SetSysKey(key, sizeof key), 0u);
    LogEntry* log = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(log->next->text, "document key set");
    EXPECT_EQ(U32(Bytes(log->next->data, log->next->data + 16), 0), 0x55u);  // keyParam
    EXPECT_STREQ(log->next->next->text, "system key set");
    NuvexCtrl_FreeLog(log);
    EXPECT_EQ(Violations(Status()), 0u);
    main_.Stop();
    EXPECT_NE(NuvexCtrl_SetKey(0, key, sizeof key), 0u);  // no driver, no new key
}

TEST_F(ExportsAgainstImages, AccessControlPoliciesStatusAndLog) {
    StartAcl();
    uint32_t status[2] = {9, 9};
    ASSERT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 0u);
    ASSERT_EQ(NuvexAccCtrl_Start(), 0u);
    for (uint32_t id : {7u, 4u}) {
        AccPolicyRecord record{};
        record.PolicyId = id;
        std::strcpy(record.PrimaryText, ("app" + std::to_string(id) + ".exe").c_str());
        std::strcpy(record.TextList3, "x|y|");
        ASSERT_EQ(NuvexAccCtrl_AddNewPolicy(&record), 0u);
    }
    AccPolicyRecord* list = nullptr;
    ASSERT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->PolicyId, 7u);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->PolicyId, 4u);
    EXPECT_STREQ(list->next->TextList3, "x|y");
    EXPECT_EQ(list->next->next, nullptr);
    NuvexAccCtrl_FreePolicyList(list);

    AccPolicyRecord one{};
    ASSERT_EQ(NuvexAccCtrl_GetOnePolicy(4, &one), 0u);
    EXPECT_STREQ(one.PrimaryText, "app4.exe");
    EXPECT_STREQ(one.TextList3, "x|y|");
    ASSERT_EQ(NuvexAccCtrl_DeleteOnePolicy(4), 0u);
    EXPECT_NE(NuvexAccCtrl_GetOnePolicy(4, &one), 0u);
    ASSERT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 1u);
    EXPECT_EQ(status[1], 1u);
    ASSERT_EQ(NuvexAccCtrl_DeleteAllPolicy(), 0u);
    ASSERT_EQ(NuvexAccCtrl_Stop(), 0u);

    AccLogRecord* log = nullptr;
    ASSERT_EQ(NuvexAccCtrl_GetLog(&log), 0u);
    std::vector<std::string> texts;
    for (AccLogRecord* r = log; r; r = r->next) texts.emplace_back(reinterpret_cast<char*>(r->data + 24));
    EXPECT_EQ(texts, (std::vector<std::string>{"access control stopped", "all policies deleted: 1",
                                                "policy deleted: 4", "policy stored: 4",
                                                "policy stored: 7", "access control started"}));
    NuvexAccCtrl_FreeLog(log);
}

}  // namespace
}  // namespace nuvex::simtest
