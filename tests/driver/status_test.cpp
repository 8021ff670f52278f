// The eight switches and queries of the main filter driver: result codes (as the result
// table names them), the handshake on the wire and the values passed through.
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <functional>

#include "driver_fixture.h"
#include "frame/result_codes.h"

namespace nuvex::test {
namespace {

struct SwitchCase {
    const char* name;
    std::function<uint32_t()> call;
    uint32_t code;
    bool bracketed;
    uint32_t notOpened;
    uint32_t failed;
};

std::vector<SwitchCase> SwitchCases() {
    static DriverStatus status;
    static uint32_t value;
    return {
        {"GetDriverStatus", [] { return NuvexCtrl_GetDriverStatus(&status); }, codes::kGetStatus,
         true, rc::NuvexCtrl_GetDriverStatus::kNoDevice,
         rc::NuvexCtrl_GetDriverStatus::kNoStatusBytes},
        {"SuspendDriver", [] { return NuvexCtrl_SuspendDriver(); }, codes::kSuspend, true,
         rc::NuvexCtrl_SuspendDriver::kNoDevice, rc::NuvexCtrl_SuspendDriver::kRefused},
        {"ResumeDriver", [] { return NuvexCtrl_ResumeDriver(); }, codes::kResume, true,
         rc::NuvexCtrl_ResumeDriver::kNoDevice, rc::NuvexCtrl_ResumeDriver::kRefused},
        {"IsAuthProc", [] { return NuvexCtrl_IsAuthProc(5, &value); }, codes::kIsAuthProc, false,
         rc::NuvexCtrl_IsAuthProc::kNoDevice, rc::NuvexCtrl_IsAuthProc::kRefused},
        {"StartLogging", [] { return NuvexCtrl_StartLogging(); }, codes::kStartLogging, false,
         rc::NuvexCtrl_StartLogging::kNoDevice, rc::NuvexCtrl_StartLogging::kRefused},
        {"StopLogging", [] { return NuvexCtrl_StopLogging(); }, codes::kStopLogging, false,
         rc::NuvexCtrl_StopLogging::kNoDevice, rc::NuvexCtrl_StopLogging::kRefused},
        {"IsLogging", [] { return NuvexCtrl_IsLogging(&value); }, codes::kIsLogging, false,
         rc::NuvexCtrl_IsLogging::kNoDevice, rc::NuvexCtrl_IsLogging::kRefused},
        {"ClearAllLog", [] { return NuvexCtrl_ClearAllLog(); }, codes::kClearLog, false,
         rc::NuvexCtrl_ClearAllLog::kNoDevice, rc::NuvexCtrl_ClearAllLog::kRefused},
    };
}

// Fills whatever output the request offers (at most four bytes) with 1.
FakeReply Answer(const FakeRequest& request) {
    return FakeReply::Ok(std::vector<uint8_t>(std::min<uint32_t>(request.outputLength, 4), 1));
}

using StatusTest = DriverTest;

TEST_F(StatusTest, DriverAbsentGivesEachExportsOwnNumber) {
    for (const auto& c : SwitchCases()) EXPECT_EQ(c.call(), c.notOpened) << c.name;
}

TEST_F(StatusTest, NullPointersAreRejectedBeforeTheDevice) {
    StartDriver();
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(nullptr), rc::NuvexCtrl_GetDriverStatus::kNullArgument);
    EXPECT_EQ(NuvexCtrl_IsAuthProc(0, nullptr), rc::NuvexCtrl_IsAuthProc::kNullArgument);
    EXPECT_EQ(NuvexCtrl_IsLogging(nullptr), rc::NuvexCtrl_IsLogging::kNullArgument);
    EXPECT_EQ(Driver().ConnectionCount(), 0);
}

TEST_F(StatusTest, SuccessAndFailedRequestPerExport) {
    for (const auto& c : SwitchCases()) {
        // Success: bytes back for the exports that read something.
        StartDriver(Answer);
        EXPECT_EQ(c.call(), 0u) << c.name;
        StartDriver([](const FakeRequest&) { return FakeReply::Fail(); });
        EXPECT_EQ(c.call(), c.failed) << c.name;
    }
}

TEST_F(StatusTest, HandshakeBracketsOnlyTheMarkedExports) {
    for (const auto& c : SwitchCases()) {
        StartDriver(Answer);
        c.call();
        if (c.bracketed) {
            ExpectBracketed({c.code});
        } else {
            std::vector<FakeRequest> requests = Driver().Requests();
            ASSERT_EQ(requests.size(), 1u) << c.name;
            EXPECT_EQ(requests[0].code, c.code) << c.name;
            EXPECT_TRUE(AllConnectionsClosed()) << c.name;
        }
    }
}

TEST_F(StatusTest, TokenIsHandedBackOnlyWhenBytesCameBack) {
    StartDriver(nullptr, /*tokenBytes=*/false);
    EXPECT_EQ(NuvexCtrl_SuspendDriver(), 0u);
    EXPECT_EQ(Driver().Codes(),
              (std::vector<uint32_t>{codes::kBeginControl, codes::kSuspend, codes::kEndControl}));
    EXPECT_TRUE(AllConnectionsClosed());
}

TEST_F(StatusTest, RequestBuffersOfTheSwitches) {
    StartDriver();
    uint32_t value = 0;
    DriverStatus status{};
    NuvexCtrl_GetDriverStatus(&status);
    NuvexCtrl_IsLogging(&value);
    NuvexCtrl_StartLogging();
    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 3u);
    EXPECT_TRUE(own[0].input.empty());
    EXPECT_EQ(own[0].outputLength, 12u);
    EXPECT_TRUE(own[1].input.empty());
    EXPECT_EQ(own[1].outputLength, 4u);
    EXPECT_TRUE(own[2].input.empty());
    EXPECT_EQ(own[2].outputLength, 0u);
}

TEST_F(StatusTest, DriverStatusIsTheDriversTwelveBytes) {
    std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    StartDriver([&](const FakeRequest&) { return FakeReply::Ok(bytes); });
    DriverStatus status{};
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 0u);
    EXPECT_EQ(std::vector<uint8_t>(status.bytes, status.bytes + 12), bytes);
}

TEST_F(StatusTest, DriverStatusJudgedByBytesReturnedOnly) {
    DriverStatus status;
    std::memset(status.bytes, 0xAB, sizeof status.bytes);
    // The request completes but returns nothing: a failure, and the block is not cleared.
    StartDriver([](const FakeRequest&) { return FakeReply::Ok(); });
    EXPECT_EQ(NuvexCtrl_GetDriverStatus(&status), 67u);
    EXPECT_EQ(status.bytes[0], 0xAB);
    EXPECT_EQ(status.bytes[11], 0xAB);
}

TEST_F(StatusTest, IsAuthProcSendsTheCallersIdForZero) {
    StartDriver([](const FakeRequest&) { return FakeReply::U32(0x01020304); });
    uint32_t answer = 77;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(0, &answer), 0u);
    EXPECT_EQ(answer, 0x01020304u);
    EXPECT_EQ(NuvexCtrl_IsAuthProc(4321, &answer), 0u);
    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].input, LE32(static_cast<uint32_t>(::getpid())));
    EXPECT_EQ(own[0].outputLength, 4u);
    EXPECT_EQ(own[1].input, LE32(4321));
}

TEST_F(StatusTest, AnswerAndStateReadZeroAfterFailures) {
    uint32_t answer = 0xFFFFFFFF;
    uint32_t state = 0xFFFFFFFF;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(1, &answer), 178u);
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 246u);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(state, 0u);

    StartDriver([](const FakeRequest&) { return FakeReply::Fail(); });
    answer = state = 0xFFFFFFFF;
    EXPECT_EQ(NuvexCtrl_IsAuthProc(1, &answer), 173u);
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 241u);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(state, 0u);
}

TEST_F(StatusTest, IsLoggingNeedsBytesBack) {
    StartDriver([](const FakeRequest&) { return FakeReply::Ok(); });
    uint32_t state = 0xFFFFFFFF;
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 241u);
    EXPECT_EQ(state, 0u);

    StartDriver([](const FakeRequest&) { return FakeReply::U32(0xCAFE0001); });
    EXPECT_EQ(NuvexCtrl_IsLogging(&state), 0u);
    EXPECT_EQ(state, 0xCAFE0001u);
}

TEST_F(StatusTest, DriverHangingUpFailsTheRequest) {
    StartDriver([](const FakeRequest&) {
        FakeReply reply;
        reply.hangUp = true;
        return reply;
    });
    EXPECT_EQ(NuvexCtrl_ResumeDriver(), 133u);
    EXPECT_EQ(NuvexCtrl_ClearAllLog(), 209u);
}

}  // namespace
}  // namespace nuvex::test
