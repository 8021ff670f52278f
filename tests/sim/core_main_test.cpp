// The main filter driver's core, without sockets.
#include <chrono>
#include <iterator>
#include <memory>
#include <random>
#include <set>

#include "core_fixture.h"
#include "main_driver_core.h"
#include "policy_codec.h"

namespace nuvex::simtest {
namespace {

constexpr uint32_t kPid = 4242;
constexpr uint32_t kOtherPid = 777;

using namespace nuvex::main_driver;

// Record offsets.
constexpr size_t kEntryCount = NUVEX_POLICY_ENTRY_COUNT, kTextList1 = NUVEX_POLICY_TEXT_LIST1,
                 kValueCount1 = NUVEX_POLICY_VALUE_COUNT1, kValues1 = NUVEX_POLICY_VALUES1,
                 kTextList2 = NUVEX_POLICY_TEXT_LIST2, kValueCount2 = NUVEX_POLICY_VALUE_COUNT2,
                 kValues2 = NUVEX_POLICY_VALUES2, kTextList5 = NUVEX_POLICY_TEXT_LIST5;

class MainCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        core_ = NuvexMainCore_Create(&system_.env);
        ASSERT_NE(core_, nullptr);
        session_ = Open(kPid);
    }
    void TearDown() override {
        for (NuvexMainSession* s : sessions_) NuvexMainCore_CloseSession(core_, s);
        NuvexMainCore_Destroy(core_);
        EXPECT_EQ(system_.live, 0) << "blocks left allocated";
    }

    NuvexMainSession* Open(uint32_t pid) {
        NuvexMainSession* s = NuvexMainCore_OpenSession(core_, pid);
        if (s) sessions_.push_back(s);
        return s;
    }

    CoreReply Call(NuvexMainSession* s, uint32_t code, const std::vector<uint8_t>& in = {},
                   uint32_t capacity = 0) {
        std::vector<uint8_t> out(capacity + 16, 0xEE);
        uint32_t returned = 0xDEAD;
        CoreReply reply;
        reply.ok = NuvexMainCore_Request(core_, s, code, in.empty() ? nullptr : in.data(),
                                         static_cast<uint32_t>(in.size()),
                                         capacity ? out.data() : nullptr, capacity,
                                         &returned) != 0;
        EXPECT_LE(returned, capacity);
        if (!reply.ok) EXPECT_EQ(returned, 0u);
        reply.bytes.assign(out.begin(), out.begin() + std::min(returned, capacity));
        return reply;
    }
    CoreReply Call(uint32_t code, const std::vector<uint8_t>& in = {}, uint32_t capacity = 0) {
        return Call(session_, code, in, capacity);
    }

    void Handshake(NuvexMainSession* s) {
        CoreReply token = Call(s, kBeginControl, {}, 4);
        ASSERT_TRUE(token.ok);
        ASSERT_EQ(token.bytes.size(), 4u);
        ASSERT_TRUE(Call(s, kConfirmControl, token.bytes).ok);
    }

    std::vector<uint8_t> Status() {
        CoreReply status = Call(kGetStatus, {}, 12);
        EXPECT_TRUE(status.ok);
        return status.bytes;
    }

    // A wire record with the given ID, some content and two used value slots.
    static std::vector<uint8_t> WireRecord(uint32_t id) {
        std::vector<uint8_t> record(2468, 0);
        PutU32(record, 4, id);
        record[8] = 0x11;
        record[47] = 0xFE;
        PutU32(record, kEntryCount, 1);
        std::memcpy(record.data() + 52 + 68, "0123456789ABCDEF0123456789ABCDEF", 32);
        std::strcpy(reinterpret_cast<char*>(record.data() + kTextList1), "C:\\doc|D:\\x");
        PutU32(record, kValueCount1, 2);
        PutU32(record, kValues1, 0x78563412);      // 0x12345678 in host order
        PutU32(record, kValues1 + 4, 0xFF000000);  // 0x000000FF
        PutU32(record, kValues1 + 8, 0xAABBCCDD);  // unused slot
        std::strcpy(reinterpret_cast<char*>(record.data() + kTextList5), "last|");
        return record;
    }

    std::vector<std::vector<uint8_t>> DrainLog() {
        std::vector<std::vector<uint8_t>> records;
        for (int batch = 0; batch < 100; ++batch) {
            CoreReply reply = Call(kGetLog, {}, 4096);
            EXPECT_TRUE(reply.ok);
            uint32_t used = U32(reply.bytes, 0);
            EXPECT_LE(used, 4088u);
            EXPECT_EQ(reply.bytes.size(), 8u + used);
            for (uint32_t at = 0; at < used;) {
                const uint8_t* record = reply.bytes.data() + 8 + at;
                size_t textLength = std::strlen(reinterpret_cast<const char*>(record + 33));
                records.emplace_back(record, record + 34 + textLength);
                at += static_cast<uint32_t>(34 + textLength);
            }
            if (U32(reply.bytes, 4) == 0) break;
        }
        return records;
    }

    static std::string LogText(const std::vector<uint8_t>& record) {
        return reinterpret_cast<const char*>(record.data() + 33);
    }

    std::vector<uint8_t> HeaderRead(NuvexMainSession* s, uint32_t handle) {
        std::vector<uint8_t> in(20, 0);
        PutU32(in, 0, handle);
        PutU32(in, 4, 1);
        PutU32(in, 12, 4096);
        CoreReply reply = Call(s, kHeaderRequest, in, 4096);
        return reply.ok ? reply.bytes : std::vector<uint8_t>{};
    }

    bool HeaderWrite(NuvexMainSession* s, uint32_t handle, const std::string& header) {
        std::vector<uint8_t> in(4116, 0);
        PutU32(in, 0, handle);
        PutU32(in, 12, 4096);
        std::memcpy(in.data() + 16, header.data(), 4096);
        return Call(s, kHeaderRequest, in, 0).ok;
    }

    void AddFile(uint32_t pid, uint32_t handle, const std::string& path, std::string bytes) {
        system_.files[{pid, handle}] = FakeSystem::File{std::move(bytes), path, false};
    }

    FakeSystem system_;
    NuvexMainCore* core_ = nullptr;
    NuvexMainSession* session_ = nullptr;
    std::vector<NuvexMainSession*> sessions_;
};

// ---- handshake ------------------------------------------------------------------------------

TEST_F(MainCoreTest, HandshakeHandsOutTokensAndCountsRequestsOutsideIt) {
    NuvexMainSession* other = Open(kPid);
    CoreReply a = Call(session_, kBeginControl, {}, 4);
    CoreReply b = Call(other, kBeginControl, {}, 4);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_NE(U32(a.bytes, 0), 0u);
    EXPECT_NE(U32(a.bytes, 0), U32(b.bytes, 0));

    // A wrong token is refused and the handshake is not complete.
    EXPECT_FALSE(Call(session_, kConfirmControl, Le(U32(a.bytes, 0) ^ 1)).ok);
    EXPECT_TRUE(Call(session_, kSuspend).ok);  // served all the same
    EXPECT_EQ(NuvexMainCore_HandshakeViolations(core_), 1u);

    Handshake(session_);
    EXPECT_TRUE(Call(session_, kResume).ok);
    EXPECT_TRUE(Call(session_, kPolicyNewId, {}, 4).ok);
    EXPECT_EQ(NuvexMainCore_HandshakeViolations(core_), 1u);

    // Requests that stand outside the handshake are never violations.
    EXPECT_TRUE(Call(other, kIsLogging, {}, 4).ok);
    EXPECT_TRUE(Call(other, kGetLog, {}, 4096).ok);
    EXPECT_TRUE(Call(other, kIsAuthProc, Le(1), 4).ok);
    EXPECT_EQ(NuvexMainCore_HandshakeViolations(core_), 1u);

    EXPECT_TRUE(Call(session_, kEndControl).ok);
    Call(session_, kGetStatus, {}, 12);
    std::vector<uint8_t> status = Status();
    EXPECT_EQ(U32(status, 8), 3u);  // after the end, and the status request itself
}

TEST_F(MainCoreTest, ViolationsAreLoggedWhileLogging) {
    ASSERT_TRUE(Call(kStartLogging).ok);
    Call(kPolicyNewId, {}, 4);
    auto records = DrainLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(U32(records[1], 0), kPolicyNewId);
    EXPECT_EQ(records[1][32], 0);
    EXPECT_NE(LogText(records[1]).find("outside the control handshake"), std::string::npos);
}

// ---- request shapes -------------------------------------------------------------------------

TEST_F(MainCoreTest, MalformedLengthsAndUnknownCodesFail) {
    struct Shape {
        uint32_t code;
        uint32_t input;   // expected input length
        uint32_t output;  // smallest output capacity
    };
    std::vector<Shape> shapes;
#define NUVEX_SHAPE(name, code, input, minOutput, handshake) \
    if (input != NUVEX_WIRE_ANY_LENGTH) shapes.push_back({code, input, minOutput});
    NUVEX_MAIN_REQUESTS(NUVEX_SHAPE)
#undef NUVEX_SHAPE
    Handshake(session_);
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.code);
        EXPECT_FALSE(Call(shape.code, std::vector<uint8_t>(shape.input + 1, 0), shape.output).ok);
        if (shape.input > 0)
            EXPECT_FALSE(Call(shape.code, std::vector<uint8_t>(shape.input - 1, 0), shape.output).ok);
        if (shape.output > 0)
            EXPECT_FALSE(Call(shape.code, std::vector<uint8_t>(shape.input, 0), shape.output - 1).ok);
    }
    EXPECT_FALSE(Call(ControlCode(kDeviceType, 0x906), {}, 64).ok);
    EXPECT_FALSE(Call(acl_driver::kGetStatus, {}, 8).ok);
    EXPECT_FALSE(Call(0, {}, 0).ok);
    // Null buffers with non-zero lengths are refused rather than read.
    uint32_t returned = 7;
    EXPECT_EQ(NuvexMainCore_Request(core_, session_, kPassPathAdd, nullptr, 5, nullptr, 0, &returned),
              0);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(U32(Status(), 8), 0u);
}

// ---- status and switches --------------------------------------------------------------------

TEST_F(MainCoreTest, StatusReportsSwitchesAndCounts) {
    Handshake(session_);
    std::vector<uint8_t> status = Status();
    ASSERT_EQ(status.size(), 12u);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);

    ASSERT_TRUE(Call(kSuspend).ok);
    ASSERT_TRUE(Call(kStartLogging).ok);
    ASSERT_TRUE(Call(kPassPathAdd, Text("a|b|")).ok);
    ASSERT_TRUE(Call(kPolicyInsert, WireRecord(3)).ok);
    status = Status();
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[1], 1);
    EXPECT_EQ(status[2] | (status[3] << 8), 2);
    EXPECT_EQ(U32(status, 4), 1u);
    EXPECT_EQ(U32(Call(kIsLogging, {}, 4).bytes, 0), 1u);

    ASSERT_TRUE(Call(kResume).ok);
    ASSERT_TRUE(Call(kStopLogging).ok);
    status = Status();
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    EXPECT_EQ(U32(Call(kIsLogging, {}, 4).bytes, 0), 0u);
}

// ---- log --------------------------------------------------------------------------------------

TEST_F(MainCoreTest, LogRecordsHaveTheRecordLayoutAndDrainInBatches) {
    Handshake(session_);
    Call(kSuspend);  // logging is off: no record
    ASSERT_TRUE(Call(kStartLogging).ok);
    system_.clock = 0x01DA0102030405ull;
    for (uint32_t i = 1; i <= 120; ++i) ASSERT_TRUE(Call(kPolicyInsert, WireRecord(i)).ok);

    // The first batch is full and says more is waiting.
    CoreReply first = Call(kGetLog, {}, 4096);
    ASSERT_TRUE(first.ok);
    EXPECT_GT(U32(first.bytes, 0), 3000u);
    EXPECT_EQ(U32(first.bytes, 4), 1u);
    const uint8_t* record = first.bytes.data() + 8;
    EXPECT_EQ(U32(first.bytes, 8), kStartLogging);
    EXPECT_EQ(U32(first.bytes, 8 + 12), kPid);
    EXPECT_EQ(record[32], 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(record + 33), "logging started");

    auto rest = DrainLog();
    size_t total = rest.size();
    for (uint32_t at = 0; at < U32(first.bytes, 0);) {
        at += 34 + static_cast<uint32_t>(std::strlen(
                       reinterpret_cast<const char*>(first.bytes.data() + 8 + at + 33)));
        ++total;
    }
    EXPECT_EQ(total, 121u);
    const auto& last = rest.back();
    EXPECT_EQ(U32(last, 0), kPolicyInsert);
    EXPECT_EQ(U32(last, 4), 0x02030405u);
    EXPECT_EQ(U32(last, 8), 0x01DA01u);
    EXPECT_EQ(U32(last, 16), 120u);
    EXPECT_EQ(LogText(last), "policy 120 stored");

    // Drained: an empty batch.
    CoreReply empty = Call(kGetLog, {}, 4096);
    EXPECT_EQ(U32(empty.bytes, 0), 0u);
    EXPECT_EQ(U32(empty.bytes, 4), 0u);
    EXPECT_EQ(empty.bytes.size(), 8u);
}

TEST_F(MainCoreTest, ClearAndStopLoggingAndTheBound) {
    Handshake(session_);
    ASSERT_TRUE(Call(kStartLogging).ok);
    Call(kSuspend);
    ASSERT_TRUE(Call(kClearLog).ok);
    EXPECT_TRUE(DrainLog().empty());
    ASSERT_TRUE(Call(kStopLogging).ok);  // the stop itself is still recorded
    Call(kResume);
    auto records = DrainLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(LogText(records[0]), "logging stopped");

    ASSERT_TRUE(Call(kStartLogging).ok);
    for (uint32_t i = 0; i < NUVEX_MAIN_MAX_LOG_RECORDS + 10; ++i) Call(kSuspend);
    EXPECT_EQ(DrainLog().size(), NUVEX_MAIN_MAX_LOG_RECORDS);
}

// ---- policies: records -------------------------------------------------------------------------

TEST_F(MainCoreTest, PolicyRecordsTravelInWireByteOrder) {
    Handshake(session_);
    ASSERT_TRUE(Call(kPolicyInsert, WireRecord(9)).ok);
    CoreReply got = Call(kPolicyById, Le(9), 2468);
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.bytes.size(), 2468u);
    EXPECT_EQ(U32(got.bytes, 0), 0u);
    EXPECT_EQ(U32(got.bytes, 4), 9u);
    EXPECT_EQ(got.bytes[8], 0x11);
    EXPECT_EQ(got.bytes[47], 0xFE);
    EXPECT_EQ(U32(got.bytes, kValues1), 0x78563412u);
    EXPECT_EQ(U32(got.bytes, kValues1 + 4), 0xFF000000u);
    EXPECT_EQ(U32(got.bytes, kValues1 + 8), 0xAABBCCDDu);
    EXPECT_EQ(std::memcmp(got.bytes.data() + 120, "0123456789ABCDEF0123456789ABCDEF", 32), 0);
    // Each non-empty list gets one trailing separator, which the reader removes again.
    EXPECT_STREQ(reinterpret_cast<const char*>(got.bytes.data() + kTextList1), "C:\\doc|D:\\x|");
    EXPECT_STREQ(reinterpret_cast<const char*>(got.bytes.data() + kTextList5), "last||");
    EXPECT_STREQ(reinterpret_cast<const char*>(got.bytes.data() + kTextList2), "");

    // The same record inserted again (separators removed) is stored unchanged.
    std::vector<uint8_t> again = got.bytes;
    std::strcpy(reinterpret_cast<char*>(again.data() + kTextList1), "C:\\doc|D:\\x");
    std::strcpy(reinterpret_cast<char*>(again.data() + kTextList5), "last|");
    ASSERT_TRUE(Call(kPolicyInsert, again).ok);
    EXPECT_EQ(Call(kPolicyById, Le(9), 2468).bytes, got.bytes);
    EXPECT_EQ(U32(Status(), 4), 1u);
}

TEST_F(MainCoreTest, PolicyTableWalksDeletesAndHandsOutFreshIds) {
    Handshake(session_);
    for (uint32_t id : {12u, 5u, 9u}) ASSERT_TRUE(Call(kPolicyInsert, WireRecord(id)).ok);
    std::vector<uint32_t> walk;
    for (uint32_t cursor = 0;;) {
        CoreReply next = Call(kPolicyNext, Le(cursor), 2468);
        if (!next.ok) break;
        cursor = U32(next.bytes, 4);
        walk.push_back(cursor);
    }
    EXPECT_EQ(walk, (std::vector<uint32_t>{5, 9, 12}));
    EXPECT_FALSE(Call(kPolicyNext, Le(0xFFFFFFFF), 2468).ok);
    EXPECT_FALSE(Call(kPolicyById, Le(6), 2468).ok);

    std::set<uint32_t> fresh;
    for (int i = 0; i < 5; ++i) {
        uint32_t id = U32(Call(kPolicyNewId, {}, 4).bytes, 0);
        EXPECT_NE(id, 0u);
        EXPECT_FALSE(Call(kPolicyById, Le(id), 2468).ok) << id << " is in use";
        fresh.insert(id);
    }
    EXPECT_EQ(fresh.size(), 5u);  // never the same twice, even before an insert

    CoreReply deleted = Call(kPolicyDeleteOne, Le(9), 4);
    ASSERT_TRUE(deleted.ok);
    EXPECT_EQ(U32(deleted.bytes, 0), 1u);
    EXPECT_FALSE(Call(kPolicyDeleteOne, Le(9), 4).ok);
    CoreReply all = Call(kPolicyDeleteAll, {}, 4);
    ASSERT_TRUE(all.ok);
    EXPECT_EQ(U32(all.bytes, 0), 2u);
    EXPECT_FALSE(Call(kPolicyNext, Le(0), 2468).ok);
    EXPECT_EQ(U32(Call(kPolicyDeleteAll, {}, 4).bytes, 0), 0u);
}

TEST_F(MainCoreTest, MalformedPolicyRecordsAreRefused) {
    Handshake(session_);
    auto bad = [&](auto change) {
        std::vector<uint8_t> record = WireRecord(4);
        change(record);
        return !Call(kPolicyInsert, record).ok;
    };
    EXPECT_TRUE(bad([](auto& r) { PutU32(r, 4, 0); }));
    EXPECT_TRUE(bad([](auto& r) { PutU32(r, kEntryCount, 11); }));
    EXPECT_TRUE(bad([](auto& r) { PutU32(r, kValueCount1, 12); }));
    EXPECT_TRUE(bad([](auto& r) { PutU32(r, kValueCount2, 0xFFFFFFFF); }));
    EXPECT_TRUE(bad([](auto& r) { std::memset(r.data() + kTextList2, 'x', 256); }));
    // Content whose text form would not fit in 2047 characters.
    EXPECT_TRUE(bad([](auto& r) {
        for (size_t i = 52; i < 1092; ++i) r[i] = static_cast<uint8_t>(0x80 | i);
    }));
    EXPECT_FALSE(bad([](auto& r) { PutU32(r, kEntryCount, 10); }));
    EXPECT_EQ(U32(Status(), 4), 1u);
}

// ---- policies: texts ------------------------------------------------------------------------------

TEST_F(MainCoreTest, PolicyTextsRecreateTheSamePolicy) {
    Handshake(session_);
    ASSERT_TRUE(Call(kPolicyInsert, WireRecord(42)).ok);
    std::vector<uint8_t> record = Call(kPolicyById, Le(42), 2468).bytes;
    CoreReply text = Call(kPolicyStrById, Le(42), 2048);
    ASSERT_TRUE(text.ok);
    std::string s(text.bytes.begin(), text.bytes.end());
    EXPECT_EQ(s.rfind("NVP42|", 0), 0u) << s;
    EXPECT_EQ(s.back(), '|');
    EXPECT_EQ(s.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    EXPECT_EQ(Call(kPolicyStrNext, Le(0), 2048).bytes, text.bytes);
    EXPECT_FALSE(Call(kPolicyStrNext, Le(42), 2048).ok);
    EXPECT_FALSE(Call(kPolicyStrById, Le(42), static_cast<uint32_t>(s.size() - 1)).ok);

    // What a reader hands back (the trailing "|" removed) recreates the policy.
    ASSERT_TRUE(Call(kPolicyDeleteAll, {}, 4).ok);
    ASSERT_TRUE(Call(kPolicyStrInsert, Text(s.substr(0, s.size() - 1))).ok);
    EXPECT_EQ(Call(kPolicyById, Le(42), 2468).bytes, record);
    // So does the text with its separator.
    ASSERT_TRUE(Call(kPolicyStrInsert, Text(s)).ok);
    EXPECT_EQ(Call(kPolicyById, Le(42), 2468).bytes, record);
    EXPECT_EQ(U32(Status(), 4), 1u);

    EXPECT_FALSE(Call(kPolicyStrInsert, {}).ok);
    EXPECT_FALSE(Call(kPolicyStrInsert, Text("NVP0|")).ok);
    EXPECT_FALSE(Call(kPolicyStrInsert, Text("abc42|x")).ok);
}

// ---- pass paths ------------------------------------------------------------------------------

TEST_F(MainCoreTest, PassPathsAreKeptOnceInOrder) {
    Handshake(session_);
    EXPECT_EQ(U32(Call(kPassPathSize, {}, 4).bytes, 0), 0u);
    ASSERT_TRUE(Call(kPassPathAdd, Text("C:\\a|D:\\b|")).ok);
    ASSERT_TRUE(Call(kPassPathAdd, Text("D:\\b|E:\\c||C:\\a")).ok);
    ASSERT_TRUE(Call(kPassPathAdd, {}).ok);
    uint32_t size = U32(Call(kPassPathSize, {}, 4).bytes, 0);
    EXPECT_EQ(size, 15u);
    CoreReply text = Call(kPassPathText, {}, size + 4);
    ASSERT_TRUE(text.ok);
    EXPECT_EQ(std::string(text.bytes.begin(), text.bytes.end()), "C:\\a|D:\\b|E:\\c|");

    // A buffer too small for everything gets whole paths only, four bytes kept free.
    CoreReply cut = Call(kPassPathText, {}, 14);
    EXPECT_EQ(std::string(cut.bytes.begin(), cut.bytes.end()), "C:\\a|D:\\b|");

    EXPECT_FALSE(Call(kPassPathAdd, Text(std::string("x\0y", 3))).ok);
    EXPECT_FALSE(Call(kPassPathAdd, Text("ok|" + std::string(260, 'p'))).ok);
    EXPECT_EQ(U32(Call(kPassPathSize, {}, 4).bytes, 0), 15u);  // refused whole

    ASSERT_TRUE(Call(kPassPathDeleteAll).ok);
    EXPECT_EQ(U32(Call(kPassPathSize, {}, 4).bytes, 0), 0u);
    EXPECT_TRUE(Call(kPassPathText, {}, 4).bytes.empty());
}

// The table's room is counted in distinct new paths, repeats inside one text included; a text
// that overflows it is refused whole, and the table (and its duplicate check) is as before.
// A text of tens of thousands of paths is answered at once, not after a quadratic scan.
TEST_F(MainCoreTest, PassPathRoomCountsDistinctPathsAndRefusesOverflowWhole) {
    Handshake(session_);
    auto paths = [](uint32_t first, uint32_t count, uint32_t repeat) {
        std::string text;
        for (uint32_t r = 0; r < repeat; ++r)
            for (uint32_t i = first; i < first + count; ++i) text += "p" + std::to_string(i) + "|";
        return text;
    };
    ASSERT_TRUE(Call(kPassPathAdd, Text(paths(0, 1000, 3))).ok);
    const uint32_t size = U32(Call(kPassPathSize, {}, 4).bytes, 0);

    struct Case { const char* what; uint32_t first, count, repeat; bool ok; };
    const Case cases[] = {
        {"known paths only", 0, 1000, 2, true},
        {"one path past the room", 990, 35, 1, false},
        {"32000 paths", 5000, 32000, 1, false},
        {"exactly the room, each twice", 980, 44, 2, true},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Call(kPassPathAdd, Text(paths(c.first, c.count, c.repeat))).ok, c.ok) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.what;
        if (!c.ok) EXPECT_EQ(U32(Call(kPassPathSize, {}, 4).bytes, 0), size) << c.what;
    }
    EXPECT_EQ(U32(Call(kPassPathSize, {}, 4).bytes, 0), size + 24 * 6u);
    // After a refused text the repeats are still found: nothing more fits.
    EXPECT_TRUE(Call(kPassPathAdd, Text("p7|p1023")).ok);
    EXPECT_FALSE(Call(kPassPathAdd, Text("p7|new")).ok);
}

// ---- header request, documents, secure-run processes -----------------------------------------------

TEST_F(MainCoreTest, HeaderRequestsReadAndWriteDocumentsOnly) {
    std::string header = DocumentHeader();
    AddFile(kPid, 5, "/docs/report.doc", header + "body");
    AddFile(kPid, 6, "/docs/plain.txt", std::string(5000, 'p'));
    std::string almost = header;
    almost[79] ^= 1;  // 15 signature bytes are not enough
    AddFile(kPid, 7, "/docs/almost.doc", almost);
    AddFile(kPid, 8, "/docs/short.doc", header.substr(0, 4095));

    std::vector<uint8_t> got = HeaderRead(session_, 5);
    ASSERT_EQ(got.size(), 4096u);
    EXPECT_EQ(std::string(got.begin(), got.end()), header);
    EXPECT_TRUE(HeaderRead(session_, 6).empty());
    EXPECT_TRUE(HeaderRead(session_, 7).empty());
    EXPECT_TRUE(HeaderRead(session_, 8).empty());
    EXPECT_TRUE(HeaderRead(session_, 99).empty());
    // Another process's handle 5 is not this process's handle 5.
    EXPECT_TRUE(HeaderRead(Open(kOtherPid), 5).empty());

    std::string changed = header;
    changed[3974] = 7;
    changed[3975] = 0;
    ASSERT_TRUE(HeaderWrite(session_, 5, changed));
    EXPECT_EQ(system_.files[std::make_pair(kPid, 5u)].bytes, changed + "body");
    // A header without the signature is never written, nor is a plain file overwritten.
    EXPECT_FALSE(HeaderWrite(session_, 5, std::string(4096, 'x')));
    EXPECT_FALSE(HeaderWrite(session_, 6, header));
    EXPECT_EQ(system_.files[std::make_pair(kPid, 6u)].bytes, std::string(5000, 'p'));
    system_.files[std::make_pair(kPid, 5u)].readOnly = true;
    EXPECT_FALSE(HeaderWrite(session_, 5, header));
}

TEST_F(MainCoreTest, MalformedHeaderRequestsAreRefused) {
    AddFile(kPid, 5, "/docs/report.doc", DocumentHeader());
    auto request = [](uint32_t direction, uint32_t offset, uint32_t length, size_t size) {
        std::vector<uint8_t> in(size, 0);
        if (size >= 16) {
            PutU32(in, 0, 5);
            PutU32(in, 4, direction);
            PutU32(in, 8, offset);
            PutU32(in, 12, length);
        }
        if (size >= 4116) std::memcpy(in.data() + 16, DocumentHeader().data(), 4096);
        return in;
    };
    EXPECT_TRUE(Call(kHeaderRequest, request(1, 0, 4096, 20), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 0, 4096, 20), 4095).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 0, 4096, 19), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 0, 4096, 100), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 4, 4096, 20), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 0, 4095, 20), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(1, 0, 0xFFFFFFFF, 20), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(2, 0, 4096, 4116), 4096).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(0, 0, 4096, 20), 0).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(0, 0, 4096, 4115), 0).ok);
    EXPECT_FALSE(Call(kHeaderRequest, request(0, 1, 4096, 4116), 0).ok);
    EXPECT_TRUE(Call(kHeaderRequest, request(0, 0, 4096, 4116), 0).ok);
}

TEST_F(MainCoreTest, HeaderRequestsFeedTheDocumentAndSecureRunLists) {
    ASSERT_TRUE(Call(kStartLogging).ok);
    AddFile(kPid, 5, "/docs/a.doc", DocumentHeader());
    AddFile(kPid, 6, "/docs/b.doc", DocumentHeader());
    AddFile(kOtherPid, 5, "/docs/b.doc", DocumentHeader());
    NuvexMainSession* other = Open(kOtherPid);
    ASSERT_FALSE(HeaderRead(session_, 5).empty());
    ASSERT_TRUE(HeaderWrite(session_, 6, DocumentHeader()));
    ASSERT_FALSE(HeaderRead(session_, 5).empty());
    ASSERT_FALSE(HeaderRead(other, 5).empty());

    Handshake(session_);
    uint32_t size = U32(Call(kEnFileTextSize, Le(0), 4).bytes, 0);
    CoreReply all = Call(kEnFileText, Le(0), size + 4);
    EXPECT_EQ(std::string(all.bytes.begin(), all.bytes.end()), "/docs/a.doc|/docs/b.doc|");
    CoreReply mine = Call(kEnFileText, Le(kOtherPid), 64);
    EXPECT_EQ(std::string(mine.bytes.begin(), mine.bytes.end()), "/docs/b.doc|");
    EXPECT_EQ(U32(Call(kEnFileTextSize, Le(1), 4).bytes, 0), 0u);

    // Secure-run entries: one per process, with its documents as sub-entries.
    CoreReply first = Call(kSecRunNextEntry, Le(0), 272);
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(first.bytes.size(), 272u);
    uint32_t firstId = U32(first.bytes, 4);
    EXPECT_EQ(U32(first.bytes, 8), kPid);
    EXPECT_EQ(U32(first.bytes, 12), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(first.bytes.data() + 16), "process 4242");
    std::vector<uint8_t> subInput = Le(firstId);
    PutU32(subInput, 4, 0);
    CoreReply sub = Call(kSecRunNextSubEntry, subInput, 272);
    ASSERT_TRUE(sub.ok);
    EXPECT_EQ(U32(sub.bytes, 8), 2u);  // two reads
    EXPECT_STREQ(reinterpret_cast<const char*>(sub.bytes.data() + 16), "/docs/a.doc");
    PutU32(subInput, 4, U32(sub.bytes, 4));
    sub = Call(kSecRunNextSubEntry, subInput, 272);
    ASSERT_TRUE(sub.ok);
    EXPECT_EQ(U32(sub.bytes, 12), 1u);  // one write
    PutU32(subInput, 4, U32(sub.bytes, 4));
    EXPECT_FALSE(Call(kSecRunNextSubEntry, subInput, 272).ok);
    CoreReply second = Call(kSecRunNextEntry, Le(firstId), 272);
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(U32(second.bytes, 8), kOtherPid);
    EXPECT_FALSE(Call(kSecRunNextEntry, Le(U32(second.bytes, 4)), 272).ok);

    // Authorised processes: controllers (handshake completed) and secure-run processes.
    EXPECT_EQ(U32(Call(kIsAuthProc, Le(kPid), 4).bytes, 0),
              (NUVEX_AUTH_CONTROLLER | NUVEX_AUTH_SECURE_RUN));
    EXPECT_EQ(U32(Call(kIsAuthProc, Le(kOtherPid), 4).bytes, 0), NUVEX_AUTH_SECURE_RUN);
    EXPECT_EQ(U32(Call(kIsAuthProc, Le(1), 4).bytes, 0), 0u);

    auto records = DrainLog();
    int headerRecords = 0;
    for (const auto& record : records)
        if (U32(record, 0) == kHeaderRequest) ++headerRecords;
    EXPECT_EQ(headerRecords, 4);
}

TEST_F(MainCoreTest, FileTypeTellsDocumentsFromPlainFiles) {
    AddFile(kPid, 5, "/docs/a.doc", DocumentHeader());
    AddFile(kPid, 6, "/docs/p.txt", "plain");
    EXPECT_EQ(U32(Call(kQueryFileType, Le(5), 4).bytes, 0), 2u);
    EXPECT_EQ(U32(Call(kQueryFileType, Le(6), 4).bytes, 0), 1u);
    EXPECT_FALSE(Call(kQueryFileType, Le(7), 4).ok);
}

// A kernel driver hands the same buffer in and out (METHOD_BUFFERED).
TEST_F(MainCoreTest, OneBufferServesAsInputAndOutput) {
    Handshake(session_);
    AddFile(kPid, 5, "/docs/a.doc", DocumentHeader());
    ASSERT_TRUE(Call(kPolicyInsert, WireRecord(7)).ok);
    auto shared = [&](uint32_t code, std::vector<uint8_t> buffer, uint32_t inLength) {
        uint32_t returned = 0;
        int ok = NuvexMainCore_Request(core_, session_, code, buffer.data(), inLength,
                                       buffer.data(), static_cast<uint32_t>(buffer.size()),
                                       &returned);
        buffer.resize(ok ? returned : 0);
        return buffer;
    };
    std::vector<uint8_t> record = Call(kPolicyById, Le(7), 2468).bytes;
    std::vector<uint8_t> buffer = Le(7);
    buffer.resize(2468);
    EXPECT_EQ(shared(kPolicyById, buffer, 4), record);
    buffer.assign(2468, 0);
    EXPECT_EQ(shared(kPolicyNext, buffer, 4), record);

    std::vector<uint8_t> header(4116, 0);
    PutU32(header, 0, 5);
    PutU32(header, 4, 1);
    PutU32(header, 12, 4096);
    std::vector<uint8_t> got = shared(kHeaderRequest, header, 20);
    EXPECT_EQ(std::string(got.begin(), got.end()), DocumentHeader());
    std::vector<uint8_t> type = shared(kQueryFileType, Le(5), 4);
    EXPECT_EQ(U32(type, 0), 2u);
}

// ---- keys, uninstall --------------------------------------------------------------------------

TEST_F(MainCoreTest, KeysAndUninstall) {
    Handshake(session_);
    ASSERT_TRUE(Call(kStartLogging).ok);
    EXPECT_TRUE(Call(kSetKey, std::vector<uint8_t>(260, 1)).ok);
    EXPECT_TRUE(Call(kSetSysKey, std::vector<uint8_t>(256, 2)).ok);
    EXPECT_FALSE(NuvexMainCore_UnloadRequested(core_));
    EXPECT_TRUE(Call(kUninstall).ok);
    EXPECT_TRUE(NuvexMainCore_UnloadRequested(core_));
    EXPECT_FALSE(Call(kIsLogging, {}, 4).ok);  // nothing is served any more
}

// ---- random requests ---------------------------------------------------------------------------

TEST_F(MainCoreTest, RandomRequestsNeverReachOutsideTheirBuffers) {
    const uint32_t codes[] = {kGetStatus, kBeginControl, kConfirmControl, kEndControl, kSuspend, kResume,
                              kSecRunNextEntry, kSecRunNextSubEntry, kIsAuthProc, kEnFileTextSize, kEnFileText,
                              kPolicyNext, kPolicyStrNext, kPolicyById, kPolicyStrById,
                              kPolicyInsert, kPolicyStrInsert, kPolicyDeleteOne,
                              kPolicyDeleteAll, kPolicyNewId, kPassPathSize, kPassPathText, kPassPathAdd,
                              kPassPathDeleteAll, kQueryFileType, kHeaderRequest, kGetLog, kStartLogging, kStopLogging,
                              kClearLog, kIsLogging, kSetKey, kSetSysKey};
    const uint32_t lengths[] = {0, 1, 3, 4, 5, 8, 12, 19, 20, 255, 256, 260, 272, 2047, 2048,
                                2467, 2468, 2469, 4095, 4096, 4115, 4116, 4117};
    AddFile(kPid, 5, "/docs/a.doc", DocumentHeader());
    std::mt19937 random(12345);
    for (int round = 0; round < 8000; ++round) {
        uint32_t code = codes[random() % std::size(codes)];
        std::vector<uint8_t> in(lengths[random() % std::size(lengths)]);
        for (auto& byte : in) byte = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 8);
        if (in.size() >= 16 && random() % 2) {  // well-shaped enough to get past the first checks
            PutU32(in, 0, random() % 2 ? 5 : static_cast<uint32_t>(random()));
            PutU32(in, 12, 4096);
        }
        uint32_t capacity = lengths[random() % std::size(lengths)];
        // Exact-size heap blocks, so that the sanitizer builds see any overrun.
        std::unique_ptr<uint8_t[]> input(new uint8_t[in.size() + 1]);
        if (!in.empty()) std::memcpy(input.get(), in.data(), in.size());
        std::unique_ptr<uint8_t[]> output(new uint8_t[capacity + 1]);
        uint32_t returned = 0;
        NuvexMainCore_Request(core_, session_, code, in.empty() ? nullptr : input.get(),
                              static_cast<uint32_t>(in.size()), capacity ? output.get() : nullptr,
                              capacity, &returned);
        ASSERT_LE(returned, capacity);
    }
    // The tables are still whole: every policy reads back in both forms.
    Handshake(session_);
    for (uint32_t cursor = 0;;) {
        CoreReply next = Call(kPolicyNext, Le(cursor), 2468);
        if (!next.ok) break;
        cursor = U32(next.bytes, 4);
        ASSERT_TRUE(Call(kPolicyStrById, Le(cursor), 2048).ok);
    }
}

// ---- memory shortage ------------------------------------------------------------------------------

TEST_F(MainCoreTest, MemoryShortageFailsRequestsWithoutLeaks) {
    AddFile(kPid, 5, "/docs/a.doc", DocumentHeader());
    auto script = [&](NuvexMainSession* s) {
        Handshake(s);
        Call(s, kStartLogging);
        for (uint32_t id = 1; id < 20; ++id) Call(s, kPolicyInsert, WireRecord(id));
        Call(s, kPassPathAdd, Text("a|b|c|d|e|f|g|h|i|j"));
        HeaderRead(s, 5);
        Call(s, kPolicyDeleteOne, Le(3), 4);
        Call(s, kGetLog, {}, 4096);
    };
    for (uint64_t failFrom = 1; failFrom < 80; failFrom += 3) {
        FakeSystem system;
        system.failFrom = failFrom;
        NuvexMainCore* core = NuvexMainCore_Create(&system.env);
        if (core) {
            NuvexMainSession* s = NuvexMainCore_OpenSession(core, kPid);
            if (s) {
                std::swap(core_, core);
                std::swap(system_.files, system.files);
                script(s);
                std::swap(system_.files, system.files);
                std::swap(core_, core);
                NuvexMainCore_CloseSession(core, s);
            }
            NuvexMainCore_Destroy(core);
        }
        EXPECT_EQ(system.live, 0) << "fail from " << failFrom;
    }
}

}  // namespace
}  // namespace nuvex::simtest
