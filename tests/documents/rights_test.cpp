// The rights record written, read and cleared in the file (no driver running).
#include <gtest/gtest.h>

#include <cstring>

#include "document_fixture.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

class Rights : public DocumentTest {
protected:
    std::string doc_;
    void SetUp() override {
        DocumentTest::SetUp();
        doc_ = Document("doc", "the body of the document");
    }
    uint32_t Set(const void* value, uint32_t count, uint32_t print, uint32_t flags,
                 const char* password, uint32_t* status = nullptr) {
        return NuvexCtrl_SetEnFileRights(doc_.c_str(), value, count, print, flags, password,
                                         static_cast<uint32_t>(std::strlen(password)), status);
    }
    uint32_t Clear(const char* password, uint32_t* status = nullptr) {
        return NuvexCtrl_ClearEnFileRights(doc_.c_str(), password,
                                           static_cast<uint32_t>(std::strlen(password)), status);
    }
    std::string Header() { return ReadFileBytes(doc_).substr(0, 4096); }
};

TEST_F(Rights, FirstSetFixesThePassword) {
    const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t status = 1;
    std::string before = Header();
    EXPECT_EQ(Set(value, 5, 9, 0x100, "first", &status), 0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    std::string after = Header();
    EXPECT_EQ(U16(after, 3968), 1);
    EXPECT_EQ(U16(after, 3972), 5);
    EXPECT_EQ(U16(after, 3974), 9);
    EXPECT_EQ(after.substr(3976, 8), std::string("\1\2\3\4\5\6\7\10", 8));
    EXPECT_EQ(U32(after, 3984), 0x100u | 0x10 | 0x08 | 0x04 | 0x02);
    EXPECT_NE(U32(after, 3988), 0u);  // the password check
    // Nothing outside the rights record changed; the body neither.
    EXPECT_EQ(after.substr(0, 3968), before.substr(0, 3968));
    EXPECT_EQ(after.substr(3992), before.substr(3992));
    EXPECT_EQ(ReadFileBytes(doc_).substr(4096).size(), 24u);

    // Another password is refused and changes nothing.
    EXPECT_EQ(Set(nullptr, 1, 1, 0, "second", &status), 907u);
    EXPECT_EQ(status, NUVEX_RIGHTS_BAD_PASSWORD);
    EXPECT_EQ(Header(), after);
    // The same password rewrites the rights.
    EXPECT_EQ(Set(nullptr, 0xFFFF, 3, 0, "first", &status), 0u);
    EXPECT_EQ(U16(Header(), 3974), 3);
}

TEST_F(Rights, FlagBitsFollowTheValuesGiven) {
    // 0x02, 0x04 and 0x08 are the library's; 0x10 is always set; the rest is the caller's.
    EXPECT_EQ(Set(nullptr, 0xFFFF, 0xFFFF, 0xFFFFFFFFu, kPassword), 0u);
    std::string header = Header();
    EXPECT_EQ(U32(header, 3984), 0xFFFFFFF1u);
    EXPECT_EQ(U16(header, 3968), 1);
    EXPECT_EQ(header.substr(3976, 8), std::string(8, '\0'));

    // Only the low 16 bits of the counts count: 0x1234FFFF is "not set".
    EXPECT_EQ(Set(nullptr, 0x1234FFFFu, 0xABCD0007u, 0x01, kPassword), 0u);
    header = Header();
    EXPECT_EQ(U16(header, 3972), 0xFFFF);
    EXPECT_EQ(U16(header, 3974), 7);
    EXPECT_EQ(U32(header, 3984), 0x01u | 0x10 | 0x04);
}

TEST_F(Rights, GetReturnsTheRecordAndNeverAcceptsTheStatus) {
    uint32_t print = 77, flags = 77, status = 0;
    uint16_t count = 77, print16 = 77;
    uint8_t value[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    // Without a rights record only the print count (0) is stored.
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc_.c_str(), &print, value, &count, &print16, &flags,
                                        &status),
              0u);
    EXPECT_EQ(print, 0u);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(print16, 77);
    EXPECT_EQ(flags, 77u);
    EXPECT_EQ(value[0], 9);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);

    const uint8_t given[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    ASSERT_EQ(Set(given, 0xFFFF, 12, 0x40, kPassword), 0u);
    // Values come back whatever the flag bits say.
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc_.c_str(), &print, value, &count, &print16, &flags,
                                        &status),
              0u);
    EXPECT_EQ(print, 12u);
    EXPECT_EQ(print16, 12);
    EXPECT_EQ(count, 0xFFFF);
    EXPECT_EQ(std::memcmp(value, given, 8), 0);
    EXPECT_EQ(flags, 0x40u | 0x10 | 0x08 | 0x04);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);

    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc_.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                        &status),
              1036u);
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(nullptr, &print, nullptr, nullptr, nullptr, nullptr,
                                        &status),
              1068u);
    std::string plain = PlainFile("plain", std::string(5000, 'p'));
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(plain.c_str(), &print, nullptr, nullptr, nullptr, nullptr,
                                        &status),
              1078u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NOT_DOCUMENT);
}

TEST_F(Rights, ClearThenSetWithAnotherPassword) {
    ASSERT_EQ(Set(nullptr, 1, 2, 0x20, "old"), 0u);
    uint32_t status = 1;
    EXPECT_EQ(Clear("wrong", &status), 1240u);
    EXPECT_EQ(status, NUVEX_RIGHTS_BAD_PASSWORD);
    EXPECT_EQ(U16(Header(), 3968), 1);

    std::string before = Header();
    EXPECT_EQ(Clear("old", &status), 0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    std::string cleared = Header();
    EXPECT_EQ(U16(cleared, 3968), 0);
    EXPECT_EQ(U16(cleared, 3972), 0xFFFF);
    EXPECT_EQ(U16(cleared, 3974), 0xFFFF);
    EXPECT_EQ(cleared.substr(3976, 16), std::string(16, '\0'));
    EXPECT_EQ(cleared.substr(0, 3968), before.substr(0, 3968));
    EXPECT_EQ(cleared.substr(3992), before.substr(3992));

    uint32_t print = 5;
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc_.c_str(), &print, nullptr, nullptr, nullptr, nullptr,
                                        nullptr),
              0u);
    EXPECT_EQ(print, 0u);
    EXPECT_EQ(Clear("old", &status), 1187u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NO_RECORD);
    EXPECT_EQ(Set(nullptr, 1, 1, 0, "new"), 0u);
    EXPECT_EQ(Set(nullptr, 1, 1, 0, "old"), 907u);
}

TEST_F(Rights, RightsStateKeepsItsOtherBits) {
    std::string image = ReadFileBytes(doc_);
    PutU16(image, 3968, 0x8040);
    WriteFileBytes(doc_, image);
    ASSERT_EQ(Set(nullptr, 1, 1, 0, kPassword), 0u);
    EXPECT_EQ(U16(Header(), 3968), 0x8041);
    ASSERT_EQ(Clear(kPassword), 0u);
    EXPECT_EQ(U16(Header(), 3968), 0x8040);
}

TEST_F(Rights, ArgumentAndDocumentChecks) {
    uint32_t status = 1;
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(nullptr, nullptr, 1, 1, 0, "p", 1, &status), 840u);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 1, 1, 0, nullptr, 1, &status), 840u);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc_.c_str(), nullptr, 1, 1, 0, "p", 0, &status), 840u);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(Scratch("missing").c_str(), nullptr, 1, 1, 0, "p", 1,
                                        &status),
              846u);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    std::string plain = PlainFile("plain", "plain");
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(plain.c_str(), nullptr, 1, 1, 0, "p", 1, &status), 855u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NOT_DOCUMENT);

    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc_.c_str(), "p", 0, &status), 1167u);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(nullptr, "p", 1, &status), 1167u);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(plain.c_str(), "p", 1, &status), 1178u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NOT_DOCUMENT);
    // Nothing to clear on a fresh document.
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc_.c_str(), "p", 1, &status), 1187u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NO_RECORD);
}

// ---- mended faults ---------------------------------------------------------------------

TEST_F(Rights, ClearRemovesARecordWhosePrintCountIsZero) {
    ASSERT_EQ(Set(nullptr, 0xFFFF, 0, 0, kPassword), 0u);
    uint32_t status = 1;
    EXPECT_EQ(Clear(kPassword, &status), 0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    EXPECT_EQ(U16(Header(), 3968), 0);
}

TEST_F(Rights, ReadOnlyDocumentIsReportedNotSilentlySkipped) {
    ASSERT_EQ(Set(nullptr, 1, 1, 0, kPassword), 0u);
    std::string before = ReadFileBytes(doc_);
    ASSERT_TRUE(SetFileAttributesA(doc_.c_str(), FILE_ATTRIBUTE_READONLY));
    uint32_t status = 1;
    EXPECT_EQ(Set(nullptr, 2, 2, 0, kPassword, &status), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(Clear(kPassword, &status), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(ReadFileBytes(doc_), before);
}

TEST_F(Rights, NoMemoryIsReported) {
    ASSERT_EQ(Set(nullptr, 1, 1, 0, kPassword), 0u);
    std::string before = ReadFileBytes(doc_);
    uint32_t status = 1;
    NuvexTest_HeapFailAt(1, 1);
    EXPECT_EQ(Set(nullptr, 2, 2, 0, kPassword, &status), NUVEX_E_DOC_NO_MEMORY);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(Clear(kPassword, &status), NUVEX_E_DOC_NO_MEMORY);
    NuvexTest_HeapFailAt(0, 0);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(ReadFileBytes(doc_), before);
}

TEST_F(Rights, UnreadableHeaderIsReported) {
    ASSERT_EQ(Set(nullptr, 1, 1, 0, kPassword), 0u);
    std::string before = ReadFileBytes(doc_);
    uint32_t status = 1;
    // The set reads once for the document test, then the header.
    NuvexHost_FailFileOp(kNuvexFaultRead, 2, 0);
    EXPECT_EQ(Set(nullptr, 2, 2, 0, kPassword, &status), NUVEX_E_DOC_READ_FAILED);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    // The clear reads the signature and the record first, then the header.
    NuvexHost_FailFileOp(kNuvexFaultRead, 3, 0);
    EXPECT_EQ(Clear(kPassword, &status), NUVEX_E_DOC_READ_FAILED);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    NuvexHost_ResetFaults();
    EXPECT_EQ(ReadFileBytes(doc_), before);
}

TEST_F(Rights, FailedOrShortHeaderWrite) {
    uint32_t status = 1;
    NuvexHost_FailFileOp(kNuvexFaultWrite, 1, 0);
    EXPECT_EQ(Set(nullptr, 1, 1, 0, kPassword, &status), 972u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    ASSERT_EQ(Set(nullptr, 1, 1, 0, kPassword), 0u);
    NuvexHost_ShortWrite(1, 100);
    EXPECT_EQ(Clear(kPassword, &status), 1266u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
}

}  // namespace
}  // namespace nuvex::test
