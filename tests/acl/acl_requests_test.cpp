// The access-control driver's exports against a scripted driver on the per-test machine root.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "acl/acl_wire.h"
#include "nuvex_wire.h"
#include "fake_driver.h"
#include "frame/result_codes.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

constexpr char kAclDevice[] = "NuvexACLcdo_3";
constexpr uint32_t kPolicyWire = 1196;
constexpr uint32_t kLogWire = 296;

void PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const std::string& text) {
    std::memcpy(bytes.data() + at, text.data(), text.size());
}

// A policy as the driver sends it: 32-bit layout, 1196 bytes.
std::vector<uint8_t> PolicyImage(uint32_t id, const std::string& primary,
                                 const std::string& list3 = "") {
    std::vector<uint8_t> bytes(kPolicyWire, 0);
    PutU32(bytes, 0, 0xDEADBEEF);  // whatever the driver keeps there
    PutU32(bytes, 4, id);
    for (int i = 0; i < 36; ++i) bytes[8 + i] = static_cast<uint8_t>(0xA0 + i);
    PutText(bytes, 44, primary);
    PutText(bytes, 172, "a|b|");
    PutText(bytes, 428, "c");
    PutText(bytes, 684, list3);
    PutText(bytes, 940, "|");
    return bytes;
}

// A driver holding a policy table keyed by ID and a queue of log records.
class AclTableDriver {
public:
    explicit AclTableDriver(const std::string& root)
        : driver_(root, kAclDevice, [this](const FakeRequest& r) { return Answer(r); }) {}

    std::map<uint32_t, std::vector<uint8_t>> policies;
    std::vector<std::vector<uint8_t>> log;  // delivered front first
    FakeDriver& fake() { return driver_; }

    // Inputs (id, selector) of the policy reads, in order.
    std::vector<std::pair<uint32_t, uint32_t>> PolicyQueries() const {
        std::vector<std::pair<uint32_t, uint32_t>> queries;
        for (const auto& request : driver_.Requests())
            if (request.code == acl_driver::kGetPolicy)
                queries.emplace_back(U32At(request.input, 0), U32At(request.input, 4));
        return queries;
    }

private:
    FakeReply Answer(const FakeRequest& request) {
        if (request.code == acl_driver::kGetPolicy) {
            uint32_t id = U32At(request.input, 0);
            uint32_t selector = U32At(request.input, 4);
            auto found = selector == acl_driver::kSelectById ? policies.find(id)
                                                             : policies.upper_bound(id);
            if (found == policies.end()) return FakeReply::Fail();
            return FakeReply::Ok(found->second);
        }
        if (request.code == acl_driver::kGetLog) {
            if (log.empty()) return FakeReply::Ok();  // success with no bytes: dry
            std::vector<uint8_t> record = log.front();
            log.erase(log.begin());
            return FakeReply::Ok(record);
        }
        return FakeReply::Ok();
    }

    FakeDriver driver_;
};

std::vector<uint32_t> Ids(const AccPolicyRecord* list) {
    std::vector<uint32_t> ids;
    for (; list != nullptr; list = list->next) ids.push_back(list->PolicyId);
    return ids;
}

class AclRequests : public MachineRootTest {};

// ---- simple requests -----------------------------------------------------------------

struct SimpleCase {
    const char* name;
    uint32_t (*call)();
    uint32_t code;
    uint32_t openFailed;
    uint32_t requestFailed;
};

uint32_t DeleteSeven() { return NuvexAccCtrl_DeleteOnePolicy(7); }

const SimpleCase kSimpleCases[] = {
    {"Start", NuvexAccCtrl_Start, acl_driver::kStart, rc::NuvexAccCtrl_Start::kNoDevice,
     rc::NuvexAccCtrl_Start::kRefused},
    {"Stop", NuvexAccCtrl_Stop, acl_driver::kStop, rc::NuvexAccCtrl_Stop::kNoDevice,
     rc::NuvexAccCtrl_Stop::kRefused},
    {"DeleteAllPolicy", NuvexAccCtrl_DeleteAllPolicy, acl_driver::kDeleteAllPolicies,
     rc::NuvexAccCtrl_DeleteAllPolicy::kNoDevice, rc::NuvexAccCtrl_DeleteAllPolicy::kRefused},
    {"DeleteOnePolicy", DeleteSeven, acl_driver::kDeleteOnePolicy,
     rc::NuvexAccCtrl_DeleteOnePolicy::kNoDevice, rc::NuvexAccCtrl_DeleteOnePolicy::kRefused},
};

TEST_F(AclRequests, SimpleRequestsReportTheirOwnCodes) {
    for (const SimpleCase& c : kSimpleCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.openFailed);

        FakeDriver driver(Root(), kAclDevice);
        EXPECT_EQ(c.call(), 0u);
        driver.SetHandler([](const FakeRequest&) { return FakeReply::Fail(); });
        EXPECT_EQ(c.call(), c.requestFailed);

        auto requests = driver.Requests();
        ASSERT_EQ(requests.size(), 2u);  // no handshake around them
        for (const auto& request : requests) {
            EXPECT_EQ(request.code, c.code);
            EXPECT_EQ(request.outputLength, 0u);
        }
        driver.Stop();
        EXPECT_EQ(driver.ClosedConnectionCount(), 2);
    }
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(AclRequests, DeleteOnePolicySendsTheIdUnchecked) {
    FakeDriver driver(Root(), kAclDevice);
    EXPECT_EQ(NuvexAccCtrl_DeleteOnePolicy(0), 0u);
    EXPECT_EQ(NuvexAccCtrl_DeleteOnePolicy(0x01020304), 0u);
    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].input, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(requests[1].input, (std::vector<uint8_t>{4, 3, 2, 1}));
}

TEST_F(AclRequests, DriverStatus) {
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(nullptr), 159u);

    uint32_t status[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 181u);
    EXPECT_EQ(status[0], 0u);
    EXPECT_EQ(status[1], 0u);

    FakeDriver driver(Root(), kAclDevice, [](const FakeRequest&) {
        return FakeReply::Ok({1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12});
    });
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 1u);
    EXPECT_EQ(status[1], 0x12345678u);
    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, acl_driver::kGetStatus);
    EXPECT_EQ(requests[0].outputLength, 8u);

    // A short answer leaves the words it did not fill at zero.
    driver.SetHandler([](const FakeRequest&) { return FakeReply::Ok({9, 0, 0, 0}); });
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 0u);
    EXPECT_EQ(status[0], 9u);
    EXPECT_EQ(status[1], 0u);

    driver.SetHandler([](const FakeRequest&) { return FakeReply::Fail(); });
    status[0] = status[1] = 5;
    EXPECT_EQ(NuvexAccCtrl_GetDriverStatus(status), 176u);
    EXPECT_EQ(status[0], 0u);
    EXPECT_EQ(status[1], 0u);
}

// ---- inserting and reading single policies ---------------------------------------------

TEST_F(AclRequests, AddNewPolicySendsTheRecordInItsDriverLayout) {
    auto record = std::make_unique<AccPolicyRecord>();
    std::memset(record.get(), 0, sizeof *record);
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(nullptr), 240u);
    {
        FakeDriver driver(Root(), kAclDevice);
        // An empty primary text is refused before the device is opened.
        EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(record.get()), 245u);
        EXPECT_EQ(driver.ConnectionCount(), 0);
    }
    record->PolicyId = 0x11223344;
    for (int i = 0; i < 36; ++i) record->DriverFields[i] = static_cast<uint8_t>(i + 1);
    std::strcpy(record->PrimaryText, "C:\\secret");
    std::strcpy(record->TextList1, "one|");
    std::strcpy(record->TextList4, "four");
    record->TextList4[255] = 'z';  // the last byte of the record travels too
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(record.get()), 265u);

    FakeDriver driver(Root(), kAclDevice);
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(record.get()), 0u);
    driver.SetHandler([](const FakeRequest&) { return FakeReply::Fail(); });
    EXPECT_EQ(NuvexAccCtrl_AddNewPolicy(record.get()), 260u);

    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& wire = requests[0].input;
    EXPECT_EQ(requests[0].code, acl_driver::kAddPolicy);
    EXPECT_EQ(requests[0].outputLength, 0u);
    ASSERT_EQ(wire.size(), kPolicyWire);
    EXPECT_EQ(U32At(wire, 4), 0x11223344u);
    EXPECT_EQ(wire[8], 1);
    EXPECT_EQ(wire[43], 36);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&wire[44])), "C:\\secret");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&wire[172])), "one|");  // unaltered
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&wire[940]), 4), "four");
    EXPECT_EQ(wire[1195], 'z');
}

TEST_F(AclRequests, GetOnePolicyLeavesTheTextsAsDelivered) {
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(1, nullptr), 322u);
    auto record = std::make_unique<AccPolicyRecord>();
    std::memset(record.get(), 0x5A, sizeof *record);
    AccPolicyRecord* callerNext = record.get();  // a link of the caller's own
    record->next = callerNext;
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(4, record.get()), 346u);

    AclTableDriver driver(Root());
    driver.policies[4] = PolicyImage(4, "four", "x|y|");
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(4, record.get()), 0u);
    EXPECT_EQ(record->PolicyId, 4u);
    EXPECT_STREQ(record->PrimaryText, "four");
    EXPECT_STREQ(record->TextList1, "a|b|");
    EXPECT_STREQ(record->TextList3, "x|y|");
    EXPECT_STREQ(record->TextList4, "|");
    EXPECT_EQ(record->DriverFields[35], 0xA0 + 35);
    EXPECT_EQ(record->next, callerNext);
    EXPECT_EQ(driver.PolicyQueries(), (std::vector<std::pair<uint32_t, uint32_t>>{{4, 3}}));

    // Any ID, 0 included, is asked for; a refusal leaves the record alone.
    std::memset(record.get(), 0x5A, sizeof *record);
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(0, record.get()), 341u);
    EXPECT_EQ(record->PolicyId, 0x5A5A5A5Au);
    EXPECT_EQ(record->TextList4[255], 0x5A);
}

TEST_F(AclRequests, GetOnePolicyKeepsWhatAShortReplyDoesNotCover) {
    auto record = std::make_unique<AccPolicyRecord>();
    std::memset(record.get(), 0x5A, sizeof *record);
    FakeDriver driver(Root(), kAclDevice, [](const FakeRequest&) {
        std::vector<uint8_t> image = PolicyImage(9, "nine");
        image.resize(50);  // up to the first characters of the primary text
        return FakeReply::Ok(image);
    });
    EXPECT_EQ(NuvexAccCtrl_GetOnePolicy(9, record.get()), 0u);
    EXPECT_EQ(record->PolicyId, 9u);
    EXPECT_EQ(std::string(record->PrimaryText, 6), std::string("nine\0\0", 6));
    EXPECT_EQ(record->PrimaryText[6], 0x5A);
    EXPECT_EQ(static_cast<uint8_t>(record->TextList1[0]), 0x5A);
}

// A driver that fills every text field to the last byte: each field handed out ends inside
// its array (its last byte becomes the terminator), through both reading exports.
TEST_F(AclRequests, TextsHandedOutAlwaysEndInsideTheirFields) {
    std::vector<uint8_t> full = PolicyImage(5, "");
    std::memset(full.data() + 44, 'P', 128);
    std::memset(full.data() + 172, 'L', kPolicyWire - 172);
    AclTableDriver driver(Root());
    driver.policies[5] = full;
    auto check = [](const AccPolicyRecord& record) {
        const std::pair<const char*, std::size_t> fields[] = {
            {record.PrimaryText, sizeof record.PrimaryText},
            {record.TextList1, sizeof record.TextList1},
            {record.TextList2, sizeof record.TextList2},
            {record.TextList3, sizeof record.TextList3},
            {record.TextList4, sizeof record.TextList4}};
        for (const auto& [text, size] : fields) EXPECT_EQ(strnlen(text, size), size - 1);
        EXPECT_EQ(record.PrimaryText[126], 'P');
    };
    auto record = std::make_unique<AccPolicyRecord>();
    ASSERT_EQ(NuvexAccCtrl_GetOnePolicy(5, record.get()), 0u);
    check(*record);
    AccPolicyRecord* list = nullptr;
    ASSERT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    ASSERT_NE(list, nullptr);
    check(*list);
    NuvexAccCtrl_FreePolicyList(list);
}

// ---- the policy list walk ------------------------------------------------------------

TEST_F(AclRequests, PolicyListWalksFromIdZeroAndReversesTheOrder) {
    AclTableDriver driver(Root());
    driver.policies[4] = PolicyImage(4, "four|", "x|y|");
    driver.policies[7] = PolicyImage(7, "seven");

    AccPolicyRecord* list = reinterpret_cast<AccPolicyRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(Ids(list), (std::vector<uint32_t>{7, 4}));
    EXPECT_EQ(driver.PolicyQueries(),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0, 2}, {4, 2}, {7, 2}}));
    for (const auto& request : driver.fake().Requests()) EXPECT_EQ(request.outputLength, 1196u);

    const AccPolicyRecord* four = list->next;
    // One trailing separator goes from each text list; the primary text is left alone.
    EXPECT_STREQ(four->PrimaryText, "four|");
    EXPECT_STREQ(four->TextList1, "a|b");
    EXPECT_STREQ(four->TextList2, "c");
    EXPECT_STREQ(four->TextList3, "x|y");
    EXPECT_STREQ(four->TextList4, "");
    EXPECT_EQ(four->DriverFields[0], 0xA0);
    EXPECT_EQ(four->next, nullptr);
    EXPECT_EQ(NuvexAccCtrl_FreePolicyList(list), 0u);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

TEST_F(AclRequests, PolicyListArgumentsAndEmptyTable) {
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(nullptr), 356u);
    AccPolicyRecord* list = reinterpret_cast<AccPolicyRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 428u);
    EXPECT_EQ(list, nullptr);

    AclTableDriver driver(Root());
    list = reinterpret_cast<AccPolicyRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(NuvexAccCtrl_FreePolicyList(nullptr), 438u);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(AclRequests, PolicyListStopsWhenTheDriverRepeatsTheId) {
    // A driver that answers every "next after" with the same policy.
    FakeDriver driver(Root(), kAclDevice,
                      [](const FakeRequest&) { return FakeReply::Ok(PolicyImage(5, "five")); });
    AccPolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(Ids(list), (std::vector<uint32_t>{5}));
    EXPECT_EQ(driver.Requests().size(), 2u);
    NuvexAccCtrl_FreePolicyList(list);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

TEST_F(AclRequests, PolicyListKeepsAPolicyWithIdZero) {
    AclTableDriver driver(Root());
    // Such a driver delivers policy 0 for "first" and again for "after 0".
    driver.fake().SetHandler([](const FakeRequest&) { return FakeReply::Ok(PolicyImage(0, "z")); });
    AccPolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(Ids(list), (std::vector<uint32_t>{0}));
    NuvexAccCtrl_FreePolicyList(list);
}

TEST_F(AclRequests, PolicyListEndsAfterABoundWhenTheDriverCycles) {
    uint32_t next = 0;
    FakeDriver driver(Root(), kAclDevice, [&next](const FakeRequest&) {
        next = next % 3 + 1;  // 1, 2, 3, 1, 2, 3, ...
        return FakeReply::Ok(PolicyImage(next, "p"));
    });
    AccPolicyRecord* list = nullptr;
    // The bound is a failure of its own: no truncated list is passed off as the whole one.
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(driver.Requests().size(), acl_wire::kMaxPolicyWalk);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

TEST_F(AclRequests, PolicyListReturnsWhatItHasWhenTheHeapRefuses) {
    AclTableDriver driver(Root());
    for (uint32_t id : {2u, 3u, 8u}) driver.policies[id] = PolicyImage(id, "p");
    NuvexTest_HeapFailAt(3, 0);
    AccPolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(Ids(list), (std::vector<uint32_t>{3, 2}));
    NuvexAccCtrl_FreePolicyList(list);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

// ---- the log walk --------------------------------------------------------------------

std::vector<uint8_t> LogImage(uint8_t mark, size_t size = kLogWire) {
    std::vector<uint8_t> bytes(size, mark);
    PutU32(bytes, 0, 0xCAFEF00D);
    return bytes;
}

TEST_F(AclRequests, LogWalkStopsAtTheFirstEmptyReply) {
    EXPECT_EQ(NuvexAccCtrl_GetLog(nullptr), 456u);
    AccLogRecord* list = reinterpret_cast<AccLogRecord*>(1);
    EXPECT_EQ(NuvexAccCtrl_GetLog(&list), 494u);
    EXPECT_EQ(list, nullptr);

    AclTableDriver driver(Root());
    driver.log = {LogImage(1), LogImage(2, 10), LogImage(3)};
    EXPECT_EQ(NuvexAccCtrl_GetLog(&list), 0u);
    std::vector<uint8_t> marks;
    for (const AccLogRecord* r = list; r != nullptr; r = r->next) marks.push_back(r->data[0]);
    EXPECT_EQ(marks, (std::vector<uint8_t>{3, 2, 1}));
    // The short record is zero behind what the driver sent.
    const AccLogRecord* second = list->next;
    EXPECT_EQ(second->data[5], 2);
    EXPECT_EQ(second->data[6], 0);
    EXPECT_EQ(second->data[291], 0);
    EXPECT_EQ(list->data[291], 3);

    auto requests = driver.fake().Requests();
    ASSERT_EQ(requests.size(), 4u);  // the fourth came back successful but empty
    for (const auto& request : requests) {
        EXPECT_EQ(request.code, acl_driver::kGetLog);
        EXPECT_TRUE(request.input.empty());
        EXPECT_EQ(request.outputLength, kLogWire);
    }
    EXPECT_EQ(NuvexAccCtrl_FreeLog(list), 0u);
    EXPECT_EQ(NuvexAccCtrl_FreeLog(nullptr), 0u);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

TEST_F(AclRequests, LogWalkStopsAtARefusal) {
    int served = 0;
    FakeDriver driver(Root(), kAclDevice, [&served](const FakeRequest&) {
        return ++served <= 2 ? FakeReply::Ok(LogImage(static_cast<uint8_t>(served)))
                             : FakeReply::Fail();
    });
    AccLogRecord* list = nullptr;
    EXPECT_EQ(NuvexAccCtrl_GetLog(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data[0], 2);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    // Either free routine takes either log list.
    EXPECT_EQ(NuvexCtrl_FreeLog(reinterpret_cast<LogEntry*>(list)), 0u);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

TEST_F(AclRequests, LogWalkEndsAfterABoundWhenTheLogNeverRunsDry) {
    FakeDriver driver(Root(), kAclDevice,
                      [](const FakeRequest&) { return FakeReply::Ok(LogImage(7)); });
    AccLogRecord* list = nullptr;
    // Reported, with the records fetched (the driver no longer holds them).
    EXPECT_EQ(NuvexAccCtrl_GetLog(&list), NUVEX_E_WALK_BOUND_REACHED);
    uint32_t count = 0;
    for (const AccLogRecord* r = list; r != nullptr; r = r->next) ++count;
    EXPECT_EQ(count, acl_wire::kMaxLogWalk);
    NuvexAccCtrl_FreeLog(list);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), 0u);
}

}  // namespace
}  // namespace nuvex::test
