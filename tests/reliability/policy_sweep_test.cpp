// Allocation and file-operation sweeps over the policy exports against the simulated main
// filter driver: record and text forms, and the policy file (saved through a temporary file,
// loaded whole or not at all).
#include <cstdio>
#include <cstring>
#include <string>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"
#include "sweep.h"

namespace nuvex::reliability {
namespace {

using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;

PolicyRecord Sample(uint32_t id) {
    PolicyRecord record{};
    record.PolicyId = id;
    record.DriverFields[0] = static_cast<uint8_t>(id);
    record.EntryCount = 2;
    std::memcpy(record.Entries[0].SignCode, "0123456789abcdef0123456789abcdef", 32);
    std::snprintf(record.TextList1, sizeof record.TextList1, "C:\\work\\%u|D:\\x", id);
    std::strcpy(record.TextList2, "ends|");
    record.ValueCount1 = 2;
    record.Values1[0] = 0x12345678;
    record.Values1[1] = id;
    return record;
}

class PolicySweeps : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        nuvex::test::MachineRootTest::SetUp();
        ASSERT_TRUE(main_.Start("Nuvex.sys", Root()));
    }
    void TearDown() override {
        main_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }
    static void Fill() {
        ASSERT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);
        for (uint32_t id : {3u, 5u, 8u}) {
            PolicyRecord record = Sample(id);
            ASSERT_EQ(NuvexCtrl_InsertNewPolicy(&record), 0u);
        }
    }
    static uint32_t TableSize() {
        PolicyRecord* list = nullptr;
        EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
        uint32_t n = 0;
        for (PolicyRecord* r = list; r; r = r->next) ++n;
        NuvexCtrl_FreePolicyList(list);
        return n;
    }
    nuvex::simtest::DriverProcess main_;
};

TEST_F(PolicySweeps, RecordsAndTexts) {
    Fill();
    // The walks end at a failed allocation with what they gathered, and a text buffer that
    // cannot be had is reported as 0 with an empty list or a null text.
    auto tolerant = [](Scenario scenario) {
        scenario.toleratesFaults = true;
        SweepAll(scenario, false);
    };
    tolerant(Scenario{"NuvexCtrl_GetPolicyList", nullptr, [] {
                          PolicyRecord* list = nullptr;
                          uint32_t result = NuvexCtrl_GetPolicyList(&list);
                          uint32_t n = 0;
                          for (PolicyRecord* r = list; r; r = r->next) ++n;
                          if (result == 0) EXPECT_LE(n, 3u);
                          else EXPECT_EQ(list, nullptr);
                          NuvexCtrl_FreePolicyList(list);
                          return result;
                      }});
    SweepAll(Scenario{"NuvexCtrl_GetOnePolicyByID", nullptr, [] {
                          PolicyRecord one{};
                          uint32_t result = NuvexCtrl_GetOnePolicyByID(5, &one);
                          if (result == 0) EXPECT_EQ(one.Values1[1], 5u);
                          return result;
                      }},
             false);
    tolerant(Scenario{"NuvexCtrl_GetPolicyStrList", nullptr, [] {
                          UserStrNode* list = nullptr;
                          uint32_t result = NuvexCtrl_GetPolicyStrList(&list);
                          uint32_t n = 0;
                          for (UserStrNode* s = list; s; s = s->next) ++n;
                          if (result == 0) EXPECT_TRUE(n == 0 || n == 3u) << n;
                          else EXPECT_EQ(list, nullptr);
                          NuvexCtrl_FreeUserStrList(list);
                          return result;
                      }});
    char* text = nullptr;
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(8, &text), 0u);
    const std::string eight = text;
    NuvexCtrl_FreeBuffer(text);
    tolerant(Scenario{"NuvexCtrl_GetOnePolicyStr", nullptr, [&] {
                          char* one = nullptr;
                          uint32_t result = NuvexCtrl_GetOnePolicyStr(8, &one);
                          if (result == 0 && one != nullptr) EXPECT_EQ(std::string(one), eight);
                          if (result != 0) EXPECT_EQ(one, nullptr);
                          if (one) NuvexCtrl_FreeBuffer(one);
                          return result;
                      }});
    uint32_t reply = 0;
    SweepAll(Scenario{"NuvexCtrl_InsertPolicyStr", [&] { NuvexCtrl_DeleteOnePolicy(8, &reply); },
                      [&] { return NuvexCtrl_InsertPolicyStr(eight.c_str()); }},
             false);
    PolicyRecord nine = Sample(9);
    SweepAll(Scenario{"NuvexCtrl_InsertNewPolicy", [&] { NuvexCtrl_DeleteOnePolicy(9, &reply); },
                      [&] { return NuvexCtrl_InsertNewPolicy(&nine); }},
             false);
    SweepAll(Scenario{"NuvexCtrl_DeleteOnePolicy", [&] { NuvexCtrl_InsertNewPolicy(&nine); },
                      [&] { return NuvexCtrl_DeleteOnePolicy(9, &reply); }},
             false);
    SweepAll(Scenario{"NuvexCtrl_GetNewValidPolicyID", nullptr, [] {
                          uint32_t id = 0;
                          return NuvexCtrl_GetNewValidPolicyID(&id);
                      }},
             false);
    SweepAll(Scenario{"NuvexCtrl_DeleteAllPolicy", [] { Fill(); },
                      [&] { return NuvexCtrl_DeleteAllPolicy(&reply); }},
             false);
}

TEST_F(PolicySweeps, PolicyFile) {
    Fill();
    const std::string file = Scratch("policies.dat");
    const std::string dir = file.substr(0, file.rfind('/'));
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(file.c_str()), 0u);
    const std::string complete = ReadFileBytes(file);
    const std::string before = "an older policy file";
    const auto entries = DirectoryEntries(dir);

    Scenario save{"NuvexCtrl_SaveCurrentPolicyToFile", [&] { WriteFileBytes(file, before); },
                  [&] { return NuvexCtrl_SaveCurrentPolicyToFile(file.c_str()); },
                  [&](uint32_t result) {
                      std::string now = ReadFileBytes(file);
                      if (result == 0) EXPECT_TRUE(now == complete);
                      else EXPECT_TRUE(now == before || now == complete) << "a torn policy file";
                      EXPECT_EQ(DirectoryEntries(dir), entries) << "stray files";
                  }};
    SweepAll(save, true);

    WriteFileBytes(file, complete);
    const std::string digest = FileDigest(file);
    // The table holds one policy that the file does not: a load replaces it whole or not at
    // all.
    PolicyRecord other = Sample(11);
    Scenario load{"NuvexCtrl_LoadPolicyFromFile",
                  [&] {
                      NuvexCtrl_DeleteAllPolicy(nullptr);
                      NuvexCtrl_InsertNewPolicy(&other);
                  },
                  [&] { return NuvexCtrl_LoadPolicyFromFile(file.c_str()); },
                  [&](uint32_t result) {
                      EXPECT_EQ(TableSize(), result == 0 ? 3u : 1u) << "a half-loaded table";
                      EXPECT_EQ(FileDigest(file), digest) << "loading changed the file";
                      EXPECT_EQ(DirectoryEntries(dir), entries) << "stray files";
                  }};
    SweepAll(load, true);
}

}  // namespace
}  // namespace nuvex::reliability
