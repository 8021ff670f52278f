// Draining the driver's log: batches, record decoding, tail linking across fetches, the
// failure numbers and the bounds a misbehaving driver meets.
#include <atomic>
#include <cstring>

#include "driver/log.h"
#include "driver_fixture.h"

namespace nuvex::test {
namespace {

struct Record {
    uint32_t value1 = 0;
    uint64_t stamp = 0;
    uint32_t value2 = 0;
    uint8_t data[16] = {};
    uint8_t byte32 = 0;
    std::string text;
};

std::vector<uint8_t> Encode(const Record& record) {
    std::vector<uint8_t> out;
    PutU32(out, record.value1);
    PutU32(out, static_cast<uint32_t>(record.stamp));
    PutU32(out, static_cast<uint32_t>(record.stamp >> 32));
    PutU32(out, record.value2);
    out.insert(out.end(), record.data, record.data + 16);
    out.push_back(record.byte32);
    out.insert(out.end(), record.text.begin(), record.text.end());
    out.push_back(0);
    return out;
}

// A batch as the driver returns it: header and records, `used` counting the record bytes
// unless given.
std::vector<uint8_t> Batch(const std::vector<Record>& records, uint32_t more,
                           std::optional<uint32_t> used = std::nullopt) {
    std::vector<uint8_t> area;
    for (const auto& record : records) {
        std::vector<uint8_t> bytes = Encode(record);
        area.insert(area.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t> out;
    PutU32(out, used.value_or(static_cast<uint32_t>(area.size())));
    PutU32(out, more);
    out.insert(out.end(), area.begin(), area.end());
    return out;
}

Record Text(const std::string& text) {
    Record record;
    record.text = text;
    return record;
}

std::vector<std::string> Texts(const LogEntry* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) out.emplace_back(list->text);
    return out;
}

class LogTest : public DriverTest {
protected:
    // Serves the given batches in turn, then fails.
    void Serve(std::vector<std::vector<uint8_t>> batches) {
        auto next = std::make_shared<size_t>(0);
        StartDriver([batches, next](const FakeRequest& request) {
            if (request.code != codes::kGetLog || *next >= batches.size()) return FakeReply::Fail();
            return FakeReply::Ok(batches[(*next)++]);
        });
    }
};

TEST_F(LogTest, EmptyBatchGivesEmptyList) {
    Serve({Batch({}, 0)});
    LogEntry* list = reinterpret_cast<LogEntry*>(1);
    uint32_t count = 9;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(LogTest, BatchesAcrossMoreKeepTheDriversOrder) {
    Serve({Batch({Text("one"), Text("two")}, 1), Batch({Text("three")}, 0)});
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 0u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(count, 3u);
    NuvexCtrl_FreeLog(list);

    // No handshake: two log requests with a 4096-byte output on one connection, then closed.
    std::vector<FakeRequest> requests = Driver().Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.code, codes::kGetLog);
        EXPECT_TRUE(request.input.empty());
        EXPECT_EQ(request.outputLength, 4096u);
        EXPECT_EQ(request.connection, 1);
    }
    EXPECT_TRUE(AllConnectionsClosed());
}

TEST_F(LogTest, RecordFieldsAreDecoded) {
    Record record;
    record.value1 = 0xA1B2C3D4;
    record.value2 = 0x01020304;
    for (int i = 0; i < 16; ++i) record.data[i] = static_cast<uint8_t>(0xF0 + i);
    record.byte32 = 0x5A;  // not carried over
    record.text = "C:\\doc.txt";
    // 2000-02-29 12:34:56.789, a Tuesday.
    record.stamp = 125963012967890000ull;
    Record zero = Text("");
    Serve({Batch({record, zero}, 0)});

    LogEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->value1, 0xA1B2C3D4u);
    EXPECT_EQ(list->value2, 0x01020304u);
    EXPECT_EQ(std::memcmp(list->data, record.data, 16), 0);
    EXPECT_EQ(list->reserved, 0);
    EXPECT_STREQ(list->text, "C:\\doc.txt");
    EXPECT_EQ(list->time.wYear, 2000);
    EXPECT_EQ(list->time.wMonth, 2);
    EXPECT_EQ(list->time.wDay, 29);
    EXPECT_EQ(list->time.wDayOfWeek, 2);
    EXPECT_EQ(list->time.wHour, 12);
    EXPECT_EQ(list->time.wMinute, 34);
    EXPECT_EQ(list->time.wSecond, 56);
    EXPECT_EQ(list->time.wMilliseconds, 789);

    // FILETIME 0 is 1601-01-01 00:00:00.000, a Monday; an empty text is one zero byte.
    const LogEntry* second = list->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->time.wYear, 1601);
    EXPECT_EQ(second->time.wMonth, 1);
    EXPECT_EQ(second->time.wDay, 1);
    EXPECT_EQ(second->time.wDayOfWeek, 1);
    EXPECT_EQ(second->time.wHour + second->time.wMinute + second->time.wSecond +
                  second->time.wMilliseconds,
              0);
    EXPECT_EQ(second->text[0], '\0');
    EXPECT_EQ(second->next, nullptr);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, UnconvertibleStampLeavesTheTimeZero) {
    Record record = Text("late");
    record.stamp = 0x8000000000000000ull;
    Serve({Batch({record}, 0)});
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 1u);
    NuvexSystemTime zero{};
    EXPECT_EQ(std::memcmp(&list->time, &zero, sizeof zero), 0);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, NullListDoesNothing) {
    StartDriver();
    uint32_t count = 5;
    EXPECT_EQ(NuvexCtrl_GetLog(nullptr, &count), 0u);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Driver().ConnectionCount(), 0);
}

TEST_F(LogTest, DriverAbsent) {
    LogEntry* list = reinterpret_cast<LogEntry*>(1);
    uint32_t count = 5;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 169u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(LogTest, FailedOrEmptyFetch) {
    Serve({});
    LogEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), 160u);
    EXPECT_EQ(list, nullptr);

    StartDriver([](const FakeRequest&) { return FakeReply::Ok(); });  // no bytes
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), 160u);
    EXPECT_EQ(list, nullptr);
}

TEST_F(LogTest, FailureOfALaterFetchKeepsEarlierRecords) {
    Serve({Batch({Text("kept")}, 1)});  // the second fetch fails
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 160u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(count, 1u);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, FailedFetchThatStillSaysMoreIsFollowedByTheNextFetch) {
    // The first fetch fails but hands back a batch whose `more` is set: its record is not
    // taken, the next batch is fetched and taken, and the failure stays reported.
    auto next = std::make_shared<int>(0);
    StartDriver([next](const FakeRequest&) {
        if ((*next)++ == 0) return FakeReply{false, Batch({Text("dropped")}, 1)};
        return FakeReply::Ok(Batch({Text("taken")}, 0));
    });
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 160u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"taken"}));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Driver().Requests().size(), 2u);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, RecordRunningPastUsedIsNotTaken) {
    // `used` ends inside the second record's text: its zero byte lies beyond `used`.
    std::vector<uint8_t> batch = Batch({Text("first"), Text("second")}, 0);
    const uint32_t firstSize = 34 + 5;
    std::vector<uint8_t> header = LE32(firstSize + 36);
    std::copy(header.begin(), header.end(), batch.begin());
    Serve({batch});
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 160u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"first"}));
    EXPECT_EQ(count, 1u);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, UsedBeyondTheReturnedBytesIsNotTrusted) {
    // The driver claims 4000 bytes of records but returns one record; then a full buffer whose
    // `used` exceeds the record area and whose text never ends.
    std::vector<uint8_t> shortBatch = Batch({Text("only")}, 1, 4000);
    std::vector<uint8_t> fullBatch(4096, 'x');
    std::vector<uint8_t> header = Batch({}, 0, 0xFFFFFFF0);
    std::copy(header.begin(), header.end(), fullBatch.begin());
    Serve({shortBatch, fullBatch});
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 160u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"only"}));
    EXPECT_EQ(count, 1u);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, ShortHeaderIsABadFetch) {
    Serve({std::vector<uint8_t>{1, 0, 0}});
    LogEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), 160u);
    EXPECT_EQ(list, nullptr);
}

TEST_F(LogTest, EntryAllocationFailureRestartsTheList) {
    // Allocation 1 is the batch buffer; 3 is the second record of the first batch.
    Serve({Batch({Text("a"), Text("b"), Text("c")}, 1), Batch({Text("d"), Text("e")}, 0)});
    NuvexTest_HeapFailAt(3, 0);
    LogEntry* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), 147u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"d", "e"}));
    EXPECT_EQ(count, 2u);
    NuvexCtrl_FreeLog(list);
}

TEST_F(LogTest, BatchBufferRefusedGivesAnEmptyList) {
    Serve({Batch({Text("a")}, 0)});
    NuvexTest_HeapFailAt(1, 0);
    LogEntry* list = reinterpret_cast<LogEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(Driver().Requests().empty());
    EXPECT_TRUE(AllConnectionsClosed());
}

// A log that never runs dry stops at a bound, and the caller is told: the list is not the
// whole log. The records fetched stay with the caller (the driver has handed them over).
TEST_F(LogTest, DriverThatNeverClearsMoreStopsAtABoundThatIsReported) {
    StartDriver([](const FakeRequest&) { return FakeReply::Ok(Batch({}, 1)); });
    LogEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, nullptr), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(Driver().Requests().size(), driver_log::kMaxEmptyFetchesInRow);

    Driver().ClearRequests();
    Driver().SetHandler([](const FakeRequest&) { return FakeReply::Ok(Batch({Text("again")}, 1)); });
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetLog(&list, &count), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(count, driver_log::kMaxFetches);
    EXPECT_EQ(Driver().Requests().size(), driver_log::kMaxFetches);
    NuvexCtrl_FreeLog(list);
}

}  // namespace
}  // namespace nuvex::test
