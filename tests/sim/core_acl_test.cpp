// The access-control driver's core, without sockets.
#include <iterator>
#include <memory>
#include <random>

#include "acl_driver_core.h"
#include "core_fixture.h"

namespace nuvex::simtest {
namespace {

using namespace nuvex::acl_driver;

constexpr uint32_t kPid = 321;

class AclCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        core_ = NuvexAclCore_Create(&system_.env);
        ASSERT_NE(core_, nullptr);
    }
    void TearDown() override {
        NuvexAclCore_Destroy(core_);
        EXPECT_EQ(system_.live, 0);
    }
    CoreReply Call(uint32_t code, const std::vector<uint8_t>& in = {}, uint32_t capacity = 0) {
        std::vector<uint8_t> out(capacity + 1);
        uint32_t returned = 0;
        CoreReply reply;
        reply.ok = NuvexAclCore_Request(core_, kPid, code, in.empty() ? nullptr : in.data(),
                                        static_cast<uint32_t>(in.size()), out.data(), capacity,
                                        &returned) != 0;
        EXPECT_LE(returned, capacity);
        reply.bytes.assign(out.begin(), out.begin() + std::min(returned, capacity));
        return reply;
    }
    static std::vector<uint8_t> Record(uint32_t id, const char* primary, const char* list3) {
        std::vector<uint8_t> record(1196, 0);
        PutU32(record, 0, 0xABCDEF01);  // a caller's `next`, never kept
        PutU32(record, 4, id);
        record[8] = 0x5A;
        std::strcpy(reinterpret_cast<char*>(record.data() + 44), primary);
        std::strcpy(reinterpret_cast<char*>(record.data() + 684), list3);
        return record;
    }
    static std::vector<uint8_t> Select(uint32_t id, uint32_t selector) {
        std::vector<uint8_t> in = Le(id);
        PutU32(in, 4, selector);
        return in;
    }
    std::vector<std::vector<uint8_t>> DrainLog() {
        std::vector<std::vector<uint8_t>> records;
        for (;;) {
            CoreReply reply = Call(kGetLog, {}, 296);
            EXPECT_TRUE(reply.ok);
            if (reply.bytes.empty()) break;
            EXPECT_EQ(reply.bytes.size(), 296u);
            records.push_back(reply.bytes);
            if (records.size() > 5000) break;
        }
        return records;
    }

    FakeSystem system_;
    NuvexAclCore* core_ = nullptr;
};

TEST_F(AclCoreTest, StatusStartStopAndLog) {
    CoreReply status = Call(kGetStatus, {}, 8);
    ASSERT_TRUE(status.ok);
    EXPECT_EQ(U32(status.bytes, 0), 0u);
    ASSERT_TRUE(Call(kStart).ok);
    ASSERT_TRUE(Call(kAddPolicy, Record(4, "notepad.exe", "")).ok);
    status = Call(kGetStatus, {}, 8);
    EXPECT_EQ(U32(status.bytes, 0), 1u);
    EXPECT_EQ(U32(status.bytes, 4), 1u);
    ASSERT_TRUE(Call(kStop).ok);
    EXPECT_EQ(U32(Call(kGetStatus, {}, 8).bytes, 0), 0u);

    auto records = DrainLog();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(U32(records[0], 0), 0u);  // the reader's `next`
    EXPECT_EQ(U32(records[0], 4), kStart);
    EXPECT_EQ(U32(records[0], 8), 1u);  // sequence
    EXPECT_EQ(U32(records[1], 4), kAddPolicy);
    EXPECT_EQ(U32(records[1], 20), 4u);  // policy ID
    EXPECT_EQ(U32(records[1], 24), kPid);
    EXPECT_STREQ(reinterpret_cast<const char*>(records[1].data() + 28), "policy stored: 4");
    EXPECT_EQ(U32(records[2], 4), kStop);
    // Dry: success with no bytes, again and again.
    EXPECT_TRUE(Call(kGetLog, {}, 296).ok);
    EXPECT_TRUE(Call(kGetLog, {}, 296).bytes.empty());
}

TEST_F(AclCoreTest, PolicyTableBySelectors) {
    ASSERT_TRUE(Call(kAddPolicy, Record(7, "b.exe", "x|y|")).ok);
    ASSERT_TRUE(Call(kAddPolicy, Record(4, "a.exe", "")).ok);
    CoreReply one = Call(kGetPolicy, Select(7, 3), 1196);
    ASSERT_TRUE(one.ok);
    ASSERT_EQ(one.bytes.size(), 1196u);
    EXPECT_EQ(U32(one.bytes, 0), 0u);
    EXPECT_EQ(one.bytes[8], 0x5A);
    EXPECT_STREQ(reinterpret_cast<const char*>(one.bytes.data() + 684), "x|y|");  // as stored

    std::vector<uint32_t> walk;
    for (uint32_t cursor = 0;;) {
        CoreReply next = Call(kGetPolicy, Select(cursor, 2), 1196);
        if (!next.ok) break;
        cursor = U32(next.bytes, 4);
        walk.push_back(cursor);
    }
    EXPECT_EQ(walk, (std::vector<uint32_t>{4, 7}));
    EXPECT_FALSE(Call(kGetPolicy, Select(5, 3), 1196).ok);
    EXPECT_FALSE(Call(kGetPolicy, Select(4, 1), 1196).ok);

    // ID 0 leaves the choice to the driver; the same ID again replaces the policy.
    ASSERT_TRUE(Call(kAddPolicy, Record(0, "c.exe", "")).ok);
    EXPECT_TRUE(Call(kGetPolicy, Select(8, 3), 1196).ok);
    ASSERT_TRUE(Call(kAddPolicy, Record(7, "B.exe", "")).ok);
    EXPECT_STREQ(reinterpret_cast<const char*>(Call(kGetPolicy, Select(7, 3), 1196).bytes.data() + 44),
                 "B.exe");
    EXPECT_EQ(U32(Call(kGetStatus, {}, 8).bytes, 4), 3u);

    ASSERT_TRUE(Call(kDeleteOnePolicy, Le(7)).ok);
    EXPECT_FALSE(Call(kDeleteOnePolicy, Le(7)).ok);
    ASSERT_TRUE(Call(kDeleteAllPolicies).ok);
    EXPECT_EQ(U32(Call(kGetStatus, {}, 8).bytes, 4), 0u);
    EXPECT_FALSE(Call(kGetPolicy, Select(0, 2), 1196).ok);
    EXPECT_EQ(DrainLog().size(), 6u);
}

TEST_F(AclCoreTest, MalformedRequestsAreRefused) {
    EXPECT_FALSE(Call(kAddPolicy, Record(1, "", "")).ok);
    std::vector<uint8_t> unterminated = Record(1, "a", "");
    std::memset(unterminated.data() + 44, 'p', 128);
    EXPECT_FALSE(Call(kAddPolicy, unterminated).ok);
    std::vector<uint8_t> longList = Record(1, "a", "");
    std::memset(longList.data() + 940, 'q', 256);
    EXPECT_FALSE(Call(kAddPolicy, longList).ok);
    EXPECT_FALSE(Call(kAddPolicy, std::vector<uint8_t>(1195, 1)).ok);
    EXPECT_FALSE(Call(kGetPolicy, Le(1), 1196).ok);
    EXPECT_FALSE(Call(kGetPolicy, Select(1, 2), 1195).ok);
    EXPECT_FALSE(Call(kGetStatus, {}, 7).ok);
    EXPECT_FALSE(Call(kGetLog, {}, 295).ok);
    EXPECT_FALSE(Call(kStart, {1}).ok);
    EXPECT_FALSE(Call(kDeleteOnePolicy, {1, 2, 3}).ok);
    EXPECT_FALSE(Call(main_driver::kGetStatus, {}, NUVEX_STATUS_SIZE).ok);
    EXPECT_EQ(U32(Call(kGetStatus, {}, 8).bytes, 4), 0u);
    EXPECT_TRUE(DrainLog().empty());
}

TEST_F(AclCoreTest, RandomRequestsNeverReachOutsideTheirBuffers) {
    const uint32_t codes[] = {kAddPolicy, kDeleteAllPolicies, kDeleteOnePolicy, kGetPolicy, kStart, kStop, kGetStatus, kGetLog};
    const uint32_t lengths[] = {0, 1, 4, 7, 8, 9, 295, 296, 1195, 1196, 1197};
    std::mt19937 random(777);
    for (int round = 0; round < 8000; ++round) {
        uint32_t code = codes[random() % std::size(codes)];
        uint32_t inLength = lengths[random() % std::size(lengths)];
        std::unique_ptr<uint8_t[]> input(new uint8_t[inLength + 1]);
        for (uint32_t i = 0; i < inLength; ++i)
            input[i] = static_cast<uint8_t>(random() % 3 == 0 ? random() : 0);
        if (inLength >= 8) input[4] = static_cast<uint8_t>(random() % 3);  // small IDs, selectors
        if (inLength == 1196) input[44] = 'a';
        uint32_t capacity = lengths[random() % std::size(lengths)];
        std::unique_ptr<uint8_t[]> output(new uint8_t[capacity + 1]);
        uint32_t returned = 0;
        NuvexAclCore_Request(core_, kPid, code, inLength ? input.get() : nullptr, inLength,
                             capacity ? output.get() : nullptr, capacity, &returned);
        ASSERT_LE(returned, capacity);
    }
}

TEST_F(AclCoreTest, LogIsBounded) {
    for (uint32_t i = 0; i < NUVEX_ACL_MAX_LOG_RECORDS + 5; ++i) Call(kStart);
    auto records = DrainLog();
    ASSERT_EQ(records.size(), NUVEX_ACL_MAX_LOG_RECORDS);
    EXPECT_EQ(U32(records[0], 8), 6u);  // the five oldest gave way
}

}  // namespace
}  // namespace nuvex::simtest
