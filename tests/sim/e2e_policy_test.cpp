// The policy table through the library's exports against the main driver image: both forms,
// and a save and load round trip through the policy file.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

class PoliciesAgainstImage : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        nuvex::test::MachineRootTest::SetUp();
        ASSERT_TRUE(driver_.Start("Nuvex.sys", Root()));
    }
    void TearDown() override {
        DriverStatus status{};
        EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
        EXPECT_EQ(U32(Bytes(status.bytes, status.bytes + 12), 8), 0u) << "handshake violations";
        driver_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }

    // A policy with something in every kind of field.
    static PolicyRecord Sample(uint32_t id, int variant) {
        PolicyRecord record{};
        record.PolicyId = id;
        record.DriverFields[0] = static_cast<uint8_t>(variant);
        record.DriverFields[39] = 0xC3;
        record.EntryCount = 2;
        std::memcpy(record.Entries[0].SignCode, "0123456789abcdef0123456789abcdef", 32);
        record.Entries[1].driverFields1[0] = 7;
        std::snprintf(record.TextList1, sizeof record.TextList1, "C:\\work\\%d|D:\\x", variant);
        std::strcpy(record.TextList2, "ends|");
        record.ValueCount1 = 2;
        record.Values1[0] = 0x12345678;
        record.Values1[1] = 0x000000FF;
        record.Values1[2] = 0xAABBCCDD;  // beyond the count
        record.ValueCount2 = 1;
        record.Values2[0] = static_cast<uint32_t>(variant);
        std::strcpy(record.TextList5, "notepad.exe");
        return record;
    }

    static bool SameContent(const PolicyRecord& a, const PolicyRecord& b) {
        return std::memcmp(&a.PolicyId, &b.PolicyId,
                           sizeof(PolicyRecord) - offsetof(PolicyRecord, PolicyId)) == 0;
    }

    std::vector<PolicyRecord> Table() {
        PolicyRecord* list = nullptr;
        EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
        std::vector<PolicyRecord> table;
        for (PolicyRecord* r = list; r; r = r->next) table.push_back(*r);
        if (list) NuvexCtrl_FreePolicyList(list);
        return table;
    }

    DriverProcess driver_;
};

TEST_F(PoliciesAgainstImage, RecordsAndTextsDescribeTheSameTable) {
    std::vector<PolicyRecord> inserted;
    for (int variant = 0; variant < 3; ++variant) {
        uint32_t id = 0;
        ASSERT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 0u);
        PolicyRecord record = Sample(id, variant);
        ASSERT_EQ(NuvexCtrl_InsertNewPolicy(&record), 0u);
        inserted.push_back(record);
    }
    std::vector<PolicyRecord> table = Table();
    ASSERT_EQ(table.size(), 3u);
    for (size_t i = 0; i < 3; ++i)  // the list reads from the highest ID down
        EXPECT_TRUE(SameContent(table[i], inserted[2 - i])) << i;

    PolicyRecord one{};
    ASSERT_EQ(NuvexCtrl_GetOnePolicyByID(inserted[1].PolicyId, &one), 0u);
    EXPECT_TRUE(SameContent(one, inserted[1]));
    EXPECT_EQ(one.Values1[0], 0x12345678u);
    EXPECT_STREQ(one.TextList2, "ends|");

    // Text form: one policy out, the table emptied, the text in: the same policy again.
    char* text = nullptr;
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(inserted[1].PolicyId, &text), 0u);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).rfind("NVP" + std::to_string(inserted[1].PolicyId) + "|", 0), 0u);
    UserStrNode* texts = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&texts), 0u);
    int count = 0;
    for (UserStrNode* node = texts; node; node = node->next) ++count;
    EXPECT_EQ(count, 3);
    NuvexCtrl_FreeUserStrList(texts);
    uint32_t deleted = 0;
    ASSERT_EQ(NuvexCtrl_DeleteAllPolicy(&deleted), 0u);
    EXPECT_EQ(deleted, 3u);
    EXPECT_TRUE(Table().empty());
    ASSERT_EQ(NuvexCtrl_InsertPolicyStr(text), 0u);
    NuvexCtrl_FreeBuffer(text);
    ASSERT_EQ(NuvexCtrl_GetOnePolicyByID(inserted[1].PolicyId, &one), 0u);
    EXPECT_TRUE(SameContent(one, inserted[1]));

    ASSERT_EQ(NuvexCtrl_DeleteOnePolicy(inserted[1].PolicyId, &deleted), 0u);
    EXPECT_EQ(deleted, 1u);
    EXPECT_NE(NuvexCtrl_DeleteOnePolicy(inserted[1].PolicyId, &deleted), 0u);
}

TEST_F(PoliciesAgainstImage, SaveAndLoadGiveTheSameTable) {
    for (int variant = 0; variant < 5; ++variant) {
        uint32_t id = 0;
        ASSERT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 0u);
        PolicyRecord record = Sample(id, variant);
        ASSERT_EQ(NuvexCtrl_InsertNewPolicy(&record), 0u);
    }
    std::vector<PolicyRecord> before = Table();
    std::string file = Scratch("policies.dat");
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(file.c_str()), 0u);
    ASSERT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
    ASSERT_EQ(NuvexCtrl_LoadPolicyFromFile(file.c_str()), 0u);
    std::vector<PolicyRecord> after = Table();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(SameContent(after[i], before[i])) << i;
}

// Eight threads and two processes through the library at once: every call completes, the two
// forms of the table agree, and no request ever arrived outside the handshake.
int LibraryWork(int worker, std::chrono::steady_clock::time_point until) {
    int failures = 0;
    for (int round = 0; std::chrono::steady_clock::now() < until; ++round) {
        uint32_t id = 0;
        if (NuvexCtrl_GetNewValidPolicyID(&id) != 0 || id == 0) {
            ++failures;
            continue;
        }
        PolicyRecord record{};
        record.PolicyId = id;
        std::snprintf(record.TextList1, sizeof record.TextList1, "worker %d|round %d", worker, round);
        record.ValueCount1 = 1;
        record.Values1[0] = id;
        if (NuvexCtrl_InsertNewPolicy(&record) != 0) ++failures;
        PolicyRecord back{};
        if (NuvexCtrl_GetOnePolicyByID(id, &back) != 0 || back.Values1[0] != id ||
            std::strcmp(back.TextList1, record.TextList1) != 0)
            ++failures;
        char* text = nullptr;
        if (NuvexCtrl_GetOnePolicyStr(id, &text) != 0 || !text ||
            NuvexCtrl_InsertPolicyStr(text) != 0)
            ++failures;
        if (text) NuvexCtrl_FreeBuffer(text);
        if (round % 8 != 0 && NuvexCtrl_DeleteOnePolicy(id, nullptr) != 0) ++failures;
        std::string path = "/w" + std::to_string(worker) + "/" + std::to_string(round % 20);
        if (NuvexCtrl_AddStringPassPath(path.c_str(), 0) != 0) ++failures;
        DriverStatus status{};
        if (NuvexCtrl_GetDriverStatus(&status) != 0) ++failures;
        LogEntry* log = nullptr;
        if (NuvexCtrl_GetLog(&log, nullptr) != 0) ++failures;
        NuvexCtrl_FreeLog(log);
    }
    return failures;
}

TEST_F(PoliciesAgainstImage, ThreadsAndProcessesThroughTheLibrary) {
    ASSERT_EQ(NuvexCtrl_StartLogging(), 0u);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(LibraryWork(100 + i, until) == 0 ? 0 : 1);
        children.push_back(pid);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { failures += LibraryWork(i, until); });
    for (auto& thread : threads) thread.join();
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failures.load(), 0);

    std::vector<PolicyRecord> table = Table();
    UserStrNode* texts = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&texts), 0u);
    std::vector<uint32_t> fromTexts;
    for (UserStrNode* node = texts; node; node = node->next)
        fromTexts.push_back(static_cast<uint32_t>(std::stoul(std::string(node->data).substr(3))));
    NuvexCtrl_FreeUserStrList(texts);
    ASSERT_EQ(fromTexts.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(fromTexts[i], table[i].PolicyId);
    DriverStatus status{};
    ASSERT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
    EXPECT_EQ(U32(Bytes(status.bytes, status.bytes + 12), 4), table.size());
    // TearDown checks the handshake violations.
}

}  // namespace
}  // namespace nuvex::simtest
