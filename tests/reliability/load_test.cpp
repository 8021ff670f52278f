// Load: eight threads call a mix of exports against the simulated main filter driver for a
// while (NUVEX_LOAD_SECONDS, default 5, in two phases with a new document key between them):
// documents are encrypted and decrypted (in place and to other files), rights set and read,
// policies inserted and listed. Afterwards every document decrypts to its source, the policy
// table holds exactly what was inserted, and heap blocks and handles are back where they were.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"
#include "sim_client.h"

namespace nuvex::reliability {
namespace {

using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;

struct Figures {
    std::atomic<uint64_t> encrypted{0}, decrypted{0}, rights{0}, policies{0}, listed{0};
};

class LoadTest : public nuvex::test::MachineRootTest {
protected:
    void TearDown() override {
        main_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }
    nuvex::simtest::DriverProcess main_;
};

PolicyRecord Policy(uint32_t id) {
    PolicyRecord record{};
    record.PolicyId = id;
    record.EntryCount = 1;
    std::memcpy(record.Entries[0].SignCode, "0123456789abcdef0123456789abcdef", 32);
    std::snprintf(record.TextList1, sizeof record.TextList1, "C:\\load\\%u", id);
    return record;
}

// Thread i's document: small for even i, and for odd i long enough that its copy takes one of
// the few copy buffers the library keeps between calls, so that threads contend for them.
std::string SourceOf(int index) {
    std::mt19937 random(1000 + index);
    std::string source(index % 2 == 0 ? 20000 + index * 3001 : 300000 + index * 70001, '\0');
    for (char& c : source) c = static_cast<char>(random());
    return source;
}

// One worker: its own documents, its own band of policy IDs.
void Work(int index, int phase, Clock::time_point end, const std::string& dir, Figures& figures,
          std::vector<uint32_t>& inserted, std::atomic<int>& failures) {
    auto fail = [&](const std::string& what) {
        if (failures.fetch_add(1) < 20) ADD_FAILURE() << "thread " << index << ": " << what;
    };
    const std::string plainPath = dir + "/t" + std::to_string(index) + ".txt";
    const std::string otherPath = dir + "/t" + std::to_string(index) + ".out";
    const std::string source = SourceOf(index);
    uint32_t nextPolicy = 100000 * (index + 1) + 50000 * phase;
    for (uint32_t round = 0; Clock::now() < end; ++round) {
        WriteFileBytes(plainPath, source);
        if (NuvexCtrl_EncryptFile(plainPath.c_str(), 0, nullptr, 0) != 0) fail("encrypt");
        ++figures.encrypted;
        if (round % 2 == 0) {
            uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(index)};
            uint32_t status = 0;
            if (NuvexCtrl_SetEnFileRights(plainPath.c_str(), value, 3, 4, 0, "pw", 2, &status) != 0)
                fail("set rights");
            uint32_t print = 0, flags = 0;
            uint8_t readValue[8] = {};
            uint16_t count = 0, print16 = 0;
            if (NuvexCtrl_GetEnFileRights(plainPath.c_str(), &print, readValue, &count, &print16, &flags,
                                          &status) != 0 ||
                std::memcmp(readValue, value, 8) != 0 || count != 3)
                fail("get rights");
            ++figures.rights;
        }
        if (round % 3 == 0) {
            if (NuvexCtrl_DecryptFile(plainPath.c_str(), 1, otherPath.c_str(), 0, nullptr, 0) != 0 ||
                ReadFileBytes(otherPath) != source)
                fail("decrypt to another file");
        }
        if (NuvexCtrl_DecryptFile(plainPath.c_str(), 0, nullptr, 0, nullptr, 0) != 0 ||
            ReadFileBytes(plainPath) != source)
            fail("decrypt in place");
        ++figures.decrypted;

        PolicyRecord record = Policy(++nextPolicy);
        if (NuvexCtrl_InsertNewPolicy(&record) != 0) fail("insert policy");
        else inserted.push_back(record.PolicyId);
        ++figures.policies;
        // Each thread keeps at most eight policies of its own (the table holds 1024).
        if (inserted.size() > 8) {
            uint32_t reply = 0;
            if (NuvexCtrl_DeleteOnePolicy(inserted.front(), &reply) != 0) fail("delete policy");
            inserted.erase(inserted.begin());
        }
        if (round % 4 == 0) {
            PolicyRecord* list = nullptr;
            if (NuvexCtrl_GetPolicyList(&list) != 0) fail("policy list");
            NuvexCtrl_FreePolicyList(list);
            UserStrNode* texts = nullptr;
            if (NuvexCtrl_GetPolicyStrList(&texts) != 0) fail("policy texts");
            NuvexCtrl_FreeUserStrList(texts);
            ++figures.listed;
        }
    }
    // The thread ends with one document left encrypted under the phase's key.
    WriteFileBytes(plainPath, source);
    if (NuvexCtrl_EncryptFile(plainPath.c_str(), 0, nullptr, 0) != 0) fail("last encrypt");
}

TEST_F(LoadTest, MixedExportsFromEightThreads) {
    const char* text = std::getenv("NUVEX_LOAD_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 5.0;
    ASSERT_TRUE(main_.Start("Nuvex.sys", Root()));
    const std::string dir = Root() + "/load";
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);

    const uint32_t blocksBefore = NuvexTest_HeapLiveBlocks();
    const uint32_t handlesBefore = NuvexHost_OpenHandleCount();
    Figures figures;
    std::atomic<int> failures{0};
    std::vector<std::vector<uint32_t>> inserted(kThreads);
    const uint8_t keys[2][9] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {9, 8, 7, 6, 5, 4, 3, 2, 1}};
    for (int phase = 0; phase < 2; ++phase) {
        // A new key between the phases, with no document call in flight.
        ASSERT_EQ(NuvexCtrl_SetKey(phase, keys[phase], sizeof keys[phase]), 0u);
        const Clock::time_point end =
            Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 500));
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back(Work, i, phase, end, dir, std::ref(figures), std::ref(inserted[i]),
                                 std::ref(failures));
        for (auto& thread : threads) thread.join();
        // Every document left by the phase decrypts to its source under the phase's key.
        for (int i = 0; i < kThreads; ++i) {
            const std::string path = dir + "/t" + std::to_string(i) + ".txt";
            uint32_t isDocument = 0;
            ASSERT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &isDocument), 0u);
            EXPECT_NE(isDocument, 0u) << path;
            ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u) << path;
            EXPECT_TRUE(ReadFileBytes(path) == SourceOf(i)) << path;
        }
    }
    EXPECT_EQ(failures.load(), 0);

    // The driver's table holds exactly the policies inserted and not deleted, once each.
    std::set<uint32_t> expected;
    for (const auto& ids : inserted) expected.insert(ids.begin(), ids.end());
    PolicyRecord* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    std::multiset<uint32_t> found;
    for (PolicyRecord* r = list; r; r = r->next) found.insert(r->PolicyId);
    NuvexCtrl_FreePolicyList(list);
    EXPECT_EQ(found, std::multiset<uint32_t>(expected.begin(), expected.end()));

    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), blocksBefore);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), handlesBefore);
    EXPECT_LE(NuvexTest_KeptCopyBuffers(), 2u);
    EXPECT_EQ(NuvexTest_KeptCopyBuffersAreClean(), 1);
    std::printf("load figures: %d threads, %.1f s, encrypted %llu, decrypted %llu, rights %llu, "
                "policies inserted %llu, lists read %llu\n",
                kThreads, seconds, static_cast<unsigned long long>(figures.encrypted.load()),
                static_cast<unsigned long long>(figures.decrypted.load()),
                static_cast<unsigned long long>(figures.rights.load()),
                static_cast<unsigned long long>(figures.policies.load()),
                static_cast<unsigned long long>(figures.listed.load()));
}

}  // namespace
}  // namespace nuvex::reliability
