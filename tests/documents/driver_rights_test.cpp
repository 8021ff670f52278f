// Documents seen through the main filter driver: header writes handed to the driver, the
// driver-side rights exports, the file-type query and the GUID query.
#include <gtest/gtest.h>

#include <cstring>

#include "document_fixture.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {
namespace {

class DriverRights : public DocumentTest {
protected:
    std::string doc_;
    void SetUp() override {
        DocumentTest::SetUp();
        doc_ = Document("doc", "body bytes");
    }
    std::string Header() { return ReadFileBytes(doc_).substr(0, 4096); }
    // A rights record holding only a print count, written in the file without a driver.
    void PrintCountOnly(uint32_t print) {
        ASSERT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 0xFFFF, print, 0, "pw", 2,
                                            nullptr),
                  0u);
    }
};

TEST_F(DriverRights, SetAndClearHandTheHeaderToTheDriver) {
    HeaderDriver driver(Root());
    NuvexHost_ResetFaults();  // zero the counters
    uint32_t status = 1;
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 4, 5, 0, "pw", 2, &status), 0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultWrite), 0u);  // the library wrote nothing itself

    auto requests = driver.HeaderRequests();
    ASSERT_EQ(requests.size(), 1u);
    const FakeRequest& write = requests[0];
    EXPECT_EQ(write.input.size(), 4116u);
    EXPECT_EQ(write.outputLength, 0u);
    EXPECT_EQ(U32At(write.input, 4), 0u);     // Direction: write
    EXPECT_EQ(U32At(write.input, 8), 0u);     // HeaderOffset
    EXPECT_EQ(U32At(write.input, 12), 4096u); // HeaderLength
    EXPECT_EQ(U32At(write.input, 4112), 0u);
    EXPECT_TRUE(driver.Problems().empty()) << driver.Problems().front();
    // The driver wrote it through the library's handle.
    std::string header = Header();
    EXPECT_EQ(std::string(write.input.begin() + 16, write.input.begin() + 16 + 4096), header);
    EXPECT_EQ(U16(header, 3968), 1);
    EXPECT_EQ(U16(header, 3972), 4);

    driver.fake().ClearRequests();
    NuvexHost_ResetFaults();
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc_.c_str(), "pw", 2, &status), 0u);
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultWrite), 0u);
    ASSERT_EQ(driver.HeaderRequests().size(), 1u);
    EXPECT_EQ(U32At(driver.HeaderRequests()[0].input, 4), 0u);
    EXPECT_EQ(U16(Header(), 3968), 0);
    EXPECT_TRUE(driver.Problems().empty());
}

TEST_F(DriverRights, RefusedDriverWritesAreReported) {
    HeaderDriver driver(Root());
    driver.RefuseWrites(true);
    std::string before = Header();
    uint32_t status = 1;
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 4, 5, 0, "pw", 2, &status), 1001u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    EXPECT_EQ(Header(), before);  // no fallback to the file
    driver.RefuseWrites(false);
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 4, 5, 0, "pw", 2, &status), 0u);
    driver.RefuseWrites(true);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc_.c_str(), "pw", 2, &status), 1295u);
    EXPECT_EQ(U16(Header(), 3968), 1);
}

TEST_F(DriverRights, DriverSideExportsNeedTheDriver) {
    PrintCountOnly(3);
    uint16_t print = 0;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), nullptr, nullptr, &print, nullptr), 1499u);
    EXPECT_EQ(print, 0xFFFF);
    std::string before = Header();
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(doc_.c_str(), 9), 1395u);
    EXPECT_EQ(Header(), before);
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(Scratch("missing").c_str(), nullptr, nullptr, &print,
                                           nullptr),
              1510u);
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(Scratch("missing").c_str(), 9), 1406u);
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(nullptr, nullptr, nullptr, nullptr, nullptr), 1510u);
}

TEST_F(DriverRights, GetReturnsOnlyTheFlaggedFields) {
    PrintCountOnly(3);
    HeaderDriver driver(Root());
    uint8_t value[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    uint16_t count = 77, print = 77;
    uint32_t flags = 77;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), value, &count, &print, &flags), 0u);
    EXPECT_EQ(print, 3);
    EXPECT_EQ(flags, 0x10u | 0x04);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(value[0], 7);

    auto requests = driver.HeaderRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].input.size(), 20u);
    EXPECT_EQ(U32At(requests[0].input, 4), 1u);  // Direction: read
    EXPECT_EQ(requests[0].outputLength, 4096u);
    EXPECT_TRUE(driver.Problems().empty());

    // No print count flagged: 0xFFFF stays in the output.
    const uint8_t given[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), given, 6, 0xFFFF, 0, "pw", 2, nullptr), 0u);
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), value, &count, &print, &flags), 0u);
    EXPECT_EQ(print, 0xFFFF);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(std::memcmp(value, given, 8), 0);
    EXPECT_EQ(flags, 0x10u | 0x08 | 0x02);
}

TEST_F(DriverRights, SetPutsANewPrintCountThroughTheDriver) {
    PrintCountOnly(3);
    std::string before = Header();
    HeaderDriver driver(Root());
    NuvexHost_ResetFaults();
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(doc_.c_str(), 0x5000FFFFu), 0u);
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultWrite), 0u);
    auto requests = driver.HeaderRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].connection, requests[1].connection);  // one device handle
    EXPECT_EQ(U32At(requests[1].input, 4), 0u);
    EXPECT_TRUE(driver.Problems().empty());

    std::string after = Header();
    EXPECT_EQ(U16(after, 3974), 0xFFFF);
    EXPECT_EQ(U32(after, 3984), 0x10u | 0x04);  // still flagged as set
    EXPECT_EQ(after.substr(0, 3974), before.substr(0, 3974));
    EXPECT_EQ(after.substr(3976), before.substr(3976));
    uint16_t print = 0;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), nullptr, nullptr, &print, nullptr), 0u);
    EXPECT_EQ(print, 0xFFFF);
}

TEST_F(DriverRights, DocumentsWithoutARecordOrSignatureAreRejected) {
    HeaderDriver driver(Root());
    std::string before = Header();
    uint32_t flags = 77;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), nullptr, nullptr, nullptr, &flags), 1494u);
    EXPECT_EQ(flags, 77u);
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(doc_.c_str(), 4), 1390u);
    EXPECT_EQ(Header(), before);

    std::string plain = PlainFile("plain", std::string(5000, 'x'));
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(plain.c_str(), nullptr, nullptr, nullptr, &flags),
              1494u);
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(plain.c_str(), 4), 1390u);
    EXPECT_EQ(ReadFileBytes(plain), std::string(5000, 'x'));

    // A short answer is no header.
    driver.fake().SetHandler([](const FakeRequest&) { return FakeReply::Ok({1, 2, 3}); });
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc_.c_str(), nullptr, nullptr, nullptr, &flags), 1494u);
}

TEST_F(DriverRights, QueryDrvFileType) {
    uint32_t type = 0;
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(5, &type), 103u);
    EXPECT_EQ(type, 1u);

    FakeDriver driver(Root(), "Nuvexcdo_3", [](const FakeRequest& request) {
        return request.code == main_driver::kQueryFileType ? FakeReply::U32(U32At(request.input, 0) + 100)
                                           : FakeReply::Fail();
    });
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(0xDEADBEEF, &type), 0u);
    EXPECT_EQ(type, 0xDEADBEEFu + 100);
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(7, nullptr), 0u);
    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].code, main_driver::kQueryFileType);
    EXPECT_EQ(U32At(requests[1].input, 0), 7u);
    EXPECT_EQ(requests[1].outputLength, 4u);

    driver.SetHandler([](const FakeRequest&) { return FakeReply::Fail(); });
    type = 0;
    EXPECT_EQ(NuvexCtrl_QueryDrvFileType(1, &type), 98u);
    EXPECT_EQ(type, 1u);
}

TEST_F(DriverRights, DocumentGuid) {
    uint8_t guid[16];
    std::memset(guid, 0xEE, sizeof guid);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc_.c_str(), guid), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(guid), 16), Header().substr(4008, 16));
    std::string other = Document("other", "body bytes");
    uint8_t otherGuid[16];
    EXPECT_EQ(NuvexCtrl_GetFileGUID(other.c_str(), otherGuid), 0u);
    EXPECT_NE(std::memcmp(guid, otherGuid, 16), 0);

    std::string plain = PlainFile("plain", std::string(5000, 'x'));
    EXPECT_EQ(NuvexCtrl_GetFileGUID(plain.c_str(), guid), 1530u);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(nullptr, guid), 1522u);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc_.c_str(), nullptr), 1522u);

    // A file that cannot be opened is reported as such, not as "not a document".
    std::memset(guid, 0xEE, sizeof guid);
    NuvexHost_FailFileOp(kNuvexFaultOpen, 1, 0);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc_.c_str(), guid), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(guid[0], 0xEE);
    NuvexHost_FailFileOp(kNuvexFaultRead, 2, 0);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc_.c_str(), guid), 1547u);
    EXPECT_EQ(guid[0], 0xEE);
}

}  // namespace
}  // namespace nuvex::test
