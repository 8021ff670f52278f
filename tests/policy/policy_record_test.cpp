// Policy records: conversion to and from the driver's image, and the record exports.
#include <cstddef>
#include <functional>
#include <map>
#include <memory>

#include "policy/policy_record.h"
#include "policy/policy_walk.h"
#include "policy_fixture.h"

namespace nuvex::test {
namespace {

namespace pw = nuvex::policy_wire;

std::unique_ptr<PolicyRecord> NewRecord() {
    auto record = std::make_unique<PolicyRecord>();
    std::memset(record.get(), 0, sizeof(PolicyRecord));
    return record;
}

TEST(ReadHexPairsTest, FirstPairIsLowestByteAndStopsAtNonDigit) {
    uint32_t out = 0xFFFFFFFF;
    EXPECT_EQ(nuvex::ReadHexPairs("12345678", &out), 0u);
    EXPECT_EQ(out, 0x78563412u);
    EXPECT_EQ(nuvex::ReadHexPairs("a0B1c2D3", &out), 0u);
    EXPECT_EQ(out, 0xD3C2B1A0u);
    // A non-digit ends the routine; the digits before it stay.
    EXPECT_EQ(nuvex::ReadHexPairs("12G45678", &out), 101u);
    EXPECT_EQ(out, 0x00000012u);
    EXPECT_EQ(nuvex::ReadHexPairs("", &out), 101u);
    EXPECT_EQ(out, 0u);
    out = 5;
    EXPECT_EQ(nuvex::ReadHexPairs(nullptr, &out), 77u);
    EXPECT_EQ(out, 5u);
    EXPECT_EQ(nuvex::ReadHexPairs("00000000", nullptr), 77u);
}

TEST(ReadHexPairsTest, FormatAndReadBackReversesBytes) {
    const uint32_t values[] = {0u, 1u, 0xFFu, 0x12345678u, 0x80000000u, 0xFFFFFFFFu,
                               0xDEADBEEFu, 0x00FF00FFu};
    for (uint32_t value : values) {
        uint32_t expected = ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) |
                            ((value >> 8) & 0xFF00) | (value >> 24);
        EXPECT_EQ(nuvex::ReverseValueBytes(value), expected) << std::hex << value;
        EXPECT_EQ(nuvex::ReverseValueBytes(nuvex::ReverseValueBytes(value)), value);
    }
}

TEST(PolicyImageTest, FieldsLandAtTheirWireOffsets) {
    auto record = NewRecord();
    record->next = reinterpret_cast<PolicyRecord*>(static_cast<uintptr_t>(0x11223344u));
    record->PolicyId = 0x01020304;
    record->DriverFields[0] = 0xA1;
    record->DriverFields[39] = 0xA2;
    record->EntryCount = 1;
    record->Entries[9].driverFields2[3] = 0xB9;
    std::strcpy(record->Entries[0].SignCode, "S");
    std::strcpy(record->TextList1, "one");
    record->ValueCount1 = 1;
    record->Values1[0] = 0x12345678;
    record->Values1[10] = 0xCAFEF00D;
    std::strcpy(record->TextList2, "two");
    record->ValueCount2 = 0;
    record->Values2[0] = 0x0A0B0C0D;
    std::strcpy(record->TextList5, "five");

    std::vector<uint8_t> wire(kWireBytes, 0xEE);
    nuvex::EncodePolicyRecord(*record, wire.data());
    EXPECT_EQ(U32At(wire, pw::kNext), 0x11223344u);
    EXPECT_EQ(U32At(wire, pw::kPolicyId), 0x01020304u);
    EXPECT_EQ(wire[8], 0xA1);
    EXPECT_EQ(wire[47], 0xA2);
    EXPECT_EQ(U32At(wire, pw::kEntryCount), 1u);
    EXPECT_EQ(wire[120], 'S');
    EXPECT_EQ(wire[52 + 104 * 9 + 103], 0xB9);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&wire[1092])), "one");
    EXPECT_EQ(U32At(wire, 1348), 1u);
    EXPECT_EQ(U32At(wire, 1352), 0x78563412u);  // used slot reversed
    EXPECT_EQ(U32At(wire, 1352 + 40), 0xCAFEF00Du);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&wire[1396])), "two");
    EXPECT_EQ(U32At(wire, 1656), 0x0A0B0C0Du);  // count 0: passed unchanged
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&wire[2212])), "five");
    // The caller's values were not touched by encoding.
    EXPECT_EQ(record->Values1[0], 0x12345678u);

    auto back = NewRecord();
    back->next = reinterpret_cast<PolicyRecord*>(static_cast<uintptr_t>(0x55u));
    PutU32At(wire, 0, 0xDEADBEEF);
    nuvex::LoadRecordImage(wire.data(), *back);
    nuvex::PrepareDeliveredRecord(*back);
    // Driver bytes never become the caller's pointer.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(back->next), 0x55u);
    back->next = record->next;
    EXPECT_EQ(std::memcmp(back.get(), record.get(), sizeof(PolicyRecord)), 0);
}

TEST(PolicyImageTest, CountsBeyondTheRecordAreClamped) {
    // Slots past the eleventh would be the text list behind the array; entries past the
    // tenth would be the first text list.
    auto record = NewRecord();
    record->ValueCount1 = 13;
    record->ValueCount2 = 0xFFFFFFFF;
    for (int i = 0; i < 11; ++i) record->Values1[i] = record->Values2[i] = 0x01020304;
    std::strcpy(record->TextList2, "ABCDEFGH");
    std::strcpy(record->TextList3, "IJKLMNOP");
    record->EntryCount = 0xFFFFFFFF;
    // Entry 10's SignCode would lie at TextList1 offset 68: a NUL there, bytes behind it.
    std::memset(record->TextList1 + 69, 'x', 31);

    std::vector<uint8_t> wire(kWireBytes, 0);
    nuvex::ZeroEmptySignCodes(*record);
    nuvex::EncodePolicyRecord(*record, wire.data());
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(U32At(wire, 1352 + 4 * i), 0x04030201u);
        EXPECT_EQ(U32At(wire, 1656 + 4 * i), 0x04030201u);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&wire[1396])), "ABCDEFGH");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&wire[1700])), "IJKLMNOP");
    EXPECT_EQ(wire[1092 + 69], 'x');
    EXPECT_EQ(record->TextList1[99], 'x');

    auto back = NewRecord();
    nuvex::LoadRecordImage(wire.data(), *back);
    nuvex::PrepareDeliveredRecord(*back);
    EXPECT_EQ(back->Values1[10], 0x01020304u);
    EXPECT_STREQ(back->TextList2, "ABCDEFGH");
    EXPECT_STREQ(back->TextList3, "IJKLMNOP");
}

TEST(PolicyImageTest, TrailingSeparatorRemovedOncePerTextList) {
    auto record = NewRecord();
    std::strcpy(record->TextList1, "a||");
    std::strcpy(record->TextList2, "a|b|");
    std::strcpy(record->TextList3, "|");
    std::strcpy(record->TextList4, "");
    std::memset(record->TextList5, 'q', 256);  // no terminator inside the field
    nuvex::PrepareDeliveredRecord(*record);
    EXPECT_STREQ(record->TextList1, "a|");
    EXPECT_STREQ(record->TextList2, "a|b");
    EXPECT_STREQ(record->TextList3, "");
    EXPECT_STREQ(record->TextList4, "");
    EXPECT_EQ(std::string(record->TextList5), std::string(255, 'q'));

    std::memset(record->TextList5, 'q', 255);
    record->TextList5[255] = '|';
    nuvex::PrepareDeliveredRecord(*record);
    EXPECT_EQ(std::string(record->TextList5), std::string(255, 'q'));
}

// A driver table delivered in ID order through the walk request.
FakeDriver::Handler RecordTable(std::map<uint32_t, std::vector<uint8_t>> table) {
    return [table](const FakeRequest& request) {
        if (request.code != md::kPolicyNext) return FakeReply::Ok();
        auto next = table.upper_bound(U32At(request.input, 0));
        if (next == table.end()) return FakeReply::Fail();
        return FakeReply::Ok(next->second);
    };
}

TEST_F(PolicyTest, WalkAsksAfterTheLastDeliveredAndListsInReverse) {
    auto twelve = WireRecord(12);
    PutText(twelve, 1396, "a|b|");
    PutU32At(twelve, 1348, 1);
    PutU32At(twelve, 1352, 0x78563412);
    StartDriver(RecordTable({{5, WireRecord(5)}, {9, WireRecord(9)}, {12, twelve}}));

    PolicyRecord* list = reinterpret_cast<PolicyRecord*>(1);
    ASSERT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyNext), (std::vector<uint32_t>{0, 5, 9, 12}));
    for (const auto& request : RequestsOf(md::kPolicyNext))
        EXPECT_EQ(request.outputLength, kWireBytes);
    std::vector<uint32_t> ids;
    for (PolicyRecord* r = list; r != nullptr; r = r->next) ids.push_back(r->PolicyId);
    EXPECT_EQ(ids, (std::vector<uint32_t>{12, 9, 5}));
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->TextList2, "a|b");
    EXPECT_EQ(list->Values1[0], 0x12345678u);
    EXPECT_EQ(NuvexCtrl_FreePolicyList(list), 0u);
    EXPECT_EQ(NuvexCtrl_FreePolicyList(nullptr), 562u);
}

TEST_F(PolicyTest, EmptyTableGivesEmptyListAfterOneRequest) {
    StartDriver(RecordTable({}));
    PolicyRecord* list = reinterpret_cast<PolicyRecord*>(1);
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyNext), (std::vector<uint32_t>{0}));
    EXPECT_EQ(NuvexCtrl_GetPolicyList(nullptr), 314u);
}

TEST_F(PolicyTest, WalkEndsWhenTheDriverDoesNotAdvance) {
    // The same policy whatever is asked: listed once, asked after once more.
    StartDriver([](const FakeRequest& request) {
        return request.code == md::kPolicyNext ? FakeReply::Ok(WireRecord(7)) : FakeReply::Ok();
    });
    PolicyRecord* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->PolicyId, 7u);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyNext), (std::vector<uint32_t>{0, 7}));
    NuvexCtrl_FreePolicyList(list);

    // A record with ID 0 would start the walk over.
    driver_->ClearRequests();
    driver_->SetHandler([](const FakeRequest& request) {
        if (request.code == md::kBeginControl) return FakeReply::U32(1);
        return request.code == md::kPolicyNext ? FakeReply::Ok(WireRecord(0)) : FakeReply::Ok();
    });
    ASSERT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyNext), (std::vector<uint32_t>{0}));
    NuvexCtrl_FreePolicyList(list);
}

TEST_F(PolicyTest, WalkOfACyclingDriverStopsAtTheBound) {
    // 1, 2, 1, 2, ...: every answer advances the cursor, none ever ends the walk.
    StartDriver([](const FakeRequest& request) {
        if (request.code != md::kPolicyNext) return FakeReply::Ok();
        return FakeReply::Ok(WireRecord(U32At(request.input, 0) == 1 ? 2 : 1));
    });
    PolicyRecord* list = nullptr;
    // The bound is a failure of its own: no truncated list is passed off as the whole one.
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyNext).size(), nuvex::kPolicyWalkLimit);
}

TEST_F(PolicyTest, RecordAllocationFailureEndsTheWalkWithWhatWasGathered) {
    StartDriver(RecordTable({{5, WireRecord(5)}, {9, WireRecord(9)}, {12, WireRecord(12)}}));
    NuvexTest_HeapFailAt(2, 1);
    PolicyRecord* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 0u);
    NuvexTest_HeapFailAt(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->PolicyId, 5u);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyNext), (std::vector<uint32_t>{0}));
    NuvexCtrl_FreePolicyList(list);
}

TEST_F(PolicyTest, InsertSendsWireOrderAndLeavesCallerValuesInHostOrder) {
    bool accept = true;
    StartDriver([&accept](const FakeRequest& request) {
        if (request.code == md::kPolicyInsert) return accept ? FakeReply::Ok() : FakeReply::Fail();
        return FakeReply::Ok();
    });
    auto record = NewRecord();
    record->PolicyId = 44;
    record->ValueCount1 = 2;
    record->Values1[0] = 0x12345678;
    record->Values1[1] = 0x000000FF;
    record->Values1[2] = 0x12345678;
    record->ValueCount2 = 1;
    record->Values2[0] = 0xA1B2C3D4;
    std::strcpy(record->TextList1, "x|");  // sent as written

    for (bool accepted : {true, false}) {
        accept = accepted;
        driver_->ClearRequests();
        EXPECT_EQ(NuvexCtrl_InsertNewPolicy(record.get()), accepted ? 0u : 632u);
        auto sent = RequestsOf(md::kPolicyInsert);
        ASSERT_EQ(sent.size(), 1u);
        ASSERT_EQ(sent[0].input.size(), kWireBytes);
        EXPECT_EQ(sent[0].outputLength, 0u);
        EXPECT_EQ(U32At(sent[0].input, 4), 44u);
        EXPECT_EQ(U32At(sent[0].input, 1352), 0x78563412u);
        EXPECT_EQ(U32At(sent[0].input, 1356), 0xFF000000u);
        EXPECT_EQ(U32At(sent[0].input, 1360), 0x12345678u);
        EXPECT_EQ(U32At(sent[0].input, 1656), 0xD4C3B2A1u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sent[0].input[1092])), "x|");
        EXPECT_EQ(record->Values1[0], 0x12345678u);
        EXPECT_EQ(record->Values1[1], 0x000000FFu);
        EXPECT_EQ(record->Values2[0], 0xA1B2C3D4u);
    }
    EXPECT_EQ(NuvexCtrl_InsertNewPolicy(nullptr), 583u);
}

TEST_F(PolicyTest, InsertZeroesSignCodesStartingWithNulOnlyWithinEntryCount) {
    StartDriver([](const FakeRequest&) { return FakeReply::Ok(); });
    auto record = NewRecord();
    record->EntryCount = 2;
    const std::string stray = std::string(1, '\0') + std::string(31, 'a');
    const std::string code = "0123456789ABCDEF0123456789ABCDEF";
    const std::string beyond = std::string(1, '\0') + std::string(31, 'z');
    std::memcpy(record->Entries[0].SignCode, stray.data(), 32);
    std::memcpy(record->Entries[1].SignCode, code.data(), 32);
    std::memcpy(record->Entries[2].SignCode, beyond.data(), 32);
    ASSERT_EQ(NuvexCtrl_InsertNewPolicy(record.get()), 0u);

    auto sent = RequestsOf(md::kPolicyInsert);
    ASSERT_EQ(sent.size(), 1u);
    const uint8_t* wire = sent[0].input.data();
    EXPECT_EQ(std::vector<uint8_t>(wire + 120, wire + 152), std::vector<uint8_t>(32, 0));
    EXPECT_EQ(std::memcmp(wire + 120 + 104, code.data(), 32), 0);
    EXPECT_EQ(std::memcmp(wire + 120 + 208, beyond.data(), 32), 0);
    // The zeroing stays in the caller's record; the entry beyond the count is untouched.
    EXPECT_EQ(std::memcmp(record->Entries[0].SignCode, std::string(32, '\0').data(), 32), 0);
    EXPECT_EQ(record->Entries[2].SignCode[1], 'z');
}

TEST_F(PolicyTest, GetOneByIdFillsTheCallersRecord) {
    auto reply = WireRecord(31);
    PutU32At(reply, 0, 0xDEADBEEF);
    PutText(reply, 2212, "z|");
    PutU32At(reply, 1652, 1);
    PutU32At(reply, 1656, 0xFF000000);
    bool fail = false;
    StartDriver([&](const FakeRequest& request) {
        if (request.code != md::kPolicyById) return FakeReply::Ok();
        return fail ? FakeReply::Fail() : FakeReply::Ok(reply);
    });
    auto record = NewRecord();
    PolicyRecord* callerNext = record.get();
    record->next = callerNext;
    ASSERT_EQ(NuvexCtrl_GetOnePolicyByID(31, record.get()), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyById), (std::vector<uint32_t>{31}));
    EXPECT_EQ(RequestsOf(md::kPolicyById)[0].outputLength, kWireBytes);
    EXPECT_EQ(record->PolicyId, 31u);
    EXPECT_STREQ(record->TextList5, "z");
    EXPECT_EQ(record->Values2[0], 0xFFu);
    EXPECT_EQ(record->next, callerNext);

    fail = true;
    record->PolicyId = 99;
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(31, record.get()), 545u);
    EXPECT_EQ(record->PolicyId, 99u);

    driver_->ClearRequests();
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(0, record.get()), 448u);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(31, nullptr), 448u);
    EXPECT_TRUE(driver_->Codes().empty());
}

TEST_F(PolicyTest, ShortReplyKeepsTheCallersRemainingBytes) {
    auto reply = WireRecord(31);
    reply.resize(8);
    StartDriver([&](const FakeRequest& request) {
        return request.code == md::kPolicyById ? FakeReply::Ok(reply) : FakeReply::Ok();
    });
    auto record = NewRecord();
    std::strcpy(record->TextList4, "kept");
    ASSERT_EQ(NuvexCtrl_GetOnePolicyByID(31, record.get()), 0u);
    EXPECT_EQ(record->PolicyId, 31u);
    EXPECT_STREQ(record->TextList4, "kept");
}

TEST_F(PolicyTest, DeleteAndNewIdRequests) {
    uint32_t newId = 0;
    bool fail = false;
    StartDriver([&](const FakeRequest& request) {
        if (fail) return FakeReply::Fail();
        switch (request.code) {
            case md::kPolicyDeleteOne: return FakeReply::U32(0x600D);
            case md::kPolicyDeleteAll: return FakeReply::U32(0xA11);
            case md::kPolicyNewId: return FakeReply::U32(newId);
            default: return FakeReply::Ok();
        }
    });
    uint32_t reply = 0;
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(17, &reply), 0u);
    EXPECT_EQ(reply, 0x600Du);
    EXPECT_EQ(InputsOf(md::kPolicyDeleteOne), (std::vector<uint32_t>{17}));
    EXPECT_EQ(RequestsOf(md::kPolicyDeleteOne)[0].outputLength, 4u);
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(17, nullptr), 0u);
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(0, &reply), 676u);

    reply = 0;
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(&reply), 0u);
    EXPECT_EQ(reply, 0xA11u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 0u);

    uint32_t id = 123;
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 731u);
    EXPECT_EQ(id, 0u);
    newId = 88;
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 0u);
    EXPECT_EQ(id, 88u);
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(nullptr), 713u);

    fail = true;
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(17, &reply), 697u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(&reply), 770u);
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&id), 735u);
    EXPECT_EQ(id, 0u);
}

TEST_F(PolicyTest, EveryDriverExportBracketsItsRequestsWithTheHandshake) {
    StartDriver([](const FakeRequest& request) {
        switch (request.code) {
            case md::kPolicyNext:
                if (U32At(request.input, 0) != 0) return FakeReply::Fail();
                return FakeReply::Ok(WireRecord(4));
            case md::kPolicyStrNext:
                if (U32At(request.input, 0) != 0) return FakeReply::Fail();
                return FakeReply::Ok(Bytes("abc4|"));
            case md::kPolicyStrById: return FakeReply::Ok(Bytes("abc4|"));
            case md::kPolicyById: return FakeReply::Ok(WireRecord(4));
            case md::kPolicyNewId:
            case md::kPolicyDeleteOne:
            case md::kPolicyDeleteAll: return FakeReply::U32(9);
            default: return FakeReply::Ok();
        }
    });
    auto record = NewRecord();
    char* text = nullptr;
    struct Call {
        const char* what;
        std::function<uint32_t()> call;
        std::vector<uint32_t> work;
        size_t inputBytes;    // of each work request
        uint32_t outputBytes;
    };
    const Call calls[] = {
        {"GetPolicyList",
         [] {
             PolicyRecord* list = nullptr;
             uint32_t code = NuvexCtrl_GetPolicyList(&list);
             NuvexCtrl_FreePolicyList(list);
             return code;
         },
         {md::kPolicyNext, md::kPolicyNext}, 4, kWireBytes},
        {"GetOnePolicyByID", [&] { return NuvexCtrl_GetOnePolicyByID(4, record.get()); },
         {md::kPolicyById}, 4, kWireBytes},
        {"InsertNewPolicy", [&] { return NuvexCtrl_InsertNewPolicy(record.get()); },
         {md::kPolicyInsert}, kWireBytes, 0},
        {"DeleteOnePolicy", [] { return NuvexCtrl_DeleteOnePolicy(4, nullptr); },
         {md::kPolicyDeleteOne}, 4, 4},
        {"GetNewValidPolicyID",
         [] {
             uint32_t id = 0;
             return NuvexCtrl_GetNewValidPolicyID(&id);
         },
         {md::kPolicyNewId}, 0, 4},
        {"DeleteAllPolicy", [] { return NuvexCtrl_DeleteAllPolicy(nullptr); },
         {md::kPolicyDeleteAll}, 0, 4},
        {"GetOnePolicyStr",
         [&] {
             uint32_t code = NuvexCtrl_GetOnePolicyStr(4, &text);
             NuvexCtrl_FreeBuffer(text);
             return code;
         },
         {md::kPolicyStrById}, 4, 2048},
        {"GetPolicyStrList",
         [] {
             UserStrNode* list = nullptr;
             uint32_t code = NuvexCtrl_GetPolicyStrList(&list);
             NuvexCtrl_FreeUserStrList(list);
             return code;
         },
         {md::kPolicyStrNext, md::kPolicyStrNext}, 4, 2048},
        {"InsertPolicyStr", [] { return NuvexCtrl_InsertPolicyStr("abc4|"); },
         {md::kPolicyStrInsert}, 5, 0},
    };
    for (const Call& call : calls) {
        driver_->ClearRequests();
        EXPECT_EQ(call.call(), 0u) << call.what;
        auto requests = driver_->Requests();
        ASSERT_EQ(requests.size(), call.work.size() + 3) << call.what;
        // Begin: no input, a 4-byte answer; the token goes back unchanged; End: no buffers.
        EXPECT_EQ(requests[0].code, md::kBeginControl) << call.what;
        EXPECT_TRUE(requests[0].input.empty()) << call.what;
        EXPECT_EQ(requests[0].outputLength, 4u) << call.what;
        EXPECT_EQ(requests[1].code, md::kConfirmControl) << call.what;
        EXPECT_EQ(requests[1].input, (std::vector<uint8_t>{0x01, 0x00, 0x5A, 0x5A})) << call.what;
        EXPECT_EQ(requests[1].outputLength, 0u) << call.what;
        for (size_t i = 0; i < call.work.size(); ++i) {
            EXPECT_EQ(requests[2 + i].code, call.work[i]) << call.what;
            EXPECT_EQ(requests[2 + i].input.size(), call.inputBytes) << call.what;
            EXPECT_EQ(requests[2 + i].outputLength, call.outputBytes) << call.what;
        }
        EXPECT_EQ(requests.back().code, md::kEndControl) << call.what;
        EXPECT_TRUE(requests.back().input.empty()) << call.what;
        EXPECT_EQ(requests.back().outputLength, 0u) << call.what;
        // One connection per call.
        for (const auto& request : requests)
            EXPECT_EQ(request.connection, requests[0].connection) << call.what;
    }
}

TEST_F(PolicyTest, UnreachableDriverCodes) {
    PolicyRecord* list = reinterpret_cast<PolicyRecord*>(1);
    auto record = NewRecord();
    uint32_t value = 5;
    EXPECT_EQ(NuvexCtrl_GetPolicyList(&list), 438u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyByID(1, record.get()), 552u);
    EXPECT_EQ(NuvexCtrl_InsertNewPolicy(record.get()), 662u);
    EXPECT_EQ(NuvexCtrl_DeleteOnePolicy(1, &value), 703u);
    EXPECT_EQ(NuvexCtrl_GetNewValidPolicyID(&value), 741u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPolicy(nullptr), 776u);
}

}  // namespace
}  // namespace nuvex::test
