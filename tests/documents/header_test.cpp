// The header layout: encode/decode, a freshly created header as it lands in a document, and
// the header request's fixed fields.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "document/document_header.h"
#include "document_fixture.h"

namespace nuvex::test {
namespace {

using namespace nuvex::document;

TEST(DocumentHeaderCodec, DecodeThenEncodeGivesBackEveryByte) {
    std::string random = RandomBytes(kHeaderSize, 7);
    HeaderImage image;
    std::memcpy(image.data(), random.data(), image.size());
    DocumentHeader header = DecodeHeader(image.data());
    HeaderImage again{};
    EncodeHeader(header, again.data());
    EXPECT_EQ(again, image);

    // Fields land at their offsets, little-endian.
    header.rightsState = 0x0201;
    header.printCount = 0x0403;
    header.rightsFlags = 0x08070605;
    header.creationTime = 0x1122334455667788ull;
    EncodeHeader(header, again.data());
    EXPECT_EQ(again[kRightsStateOffset], 0x01);
    EXPECT_EQ(again[kRightsStateOffset + 1], 0x02);
    EXPECT_EQ(again[kPrintCountOffset], 0x03);
    EXPECT_EQ(again[kRightsFlagsOffset + 3], 0x08);
    EXPECT_EQ(again[kCreationTimeOffset], 0x88);
    EXPECT_EQ(again[kCreationTimeOffset + 7], 0x11);
}

TEST(DocumentHeaderCodec, SignatureTestsCompare15And16Bytes) {
    Signature bytes = kSignature;
    EXPECT_TRUE(QuickSignatureMatches(bytes.data()));
    EXPECT_TRUE(FullSignatureMatches(bytes.data()));
    bytes[15] ^= 0xFF;
    EXPECT_TRUE(QuickSignatureMatches(bytes.data()));
    EXPECT_FALSE(FullSignatureMatches(bytes.data()));
    bytes = kSignature;
    bytes[0] ^= 1;
    EXPECT_FALSE(QuickSignatureMatches(bytes.data()));
}

TEST(DocumentHeaderCodec, HeaderRequestFixedFields) {
    std::vector<uint8_t> request(kHeaderRequestSize, 0);
    EncodeHeaderRequest(request.data(), 0x01020304, kDirectionRead);
    EXPECT_EQ(request[0], 0x04);
    EXPECT_EQ(request[3], 0x01);
    EXPECT_EQ(request[4], 1);
    EXPECT_EQ(request[8] | request[9] | request[10] | request[11], 0);
    EXPECT_EQ(request[12] | (request[13] << 8), 4096);
    EXPECT_EQ(RequestHeaderData(request.data()) - request.data(), 16);
    EncodeHeaderRequest(request.data(), 9, kDirectionWrite);
    EXPECT_EQ(request[4], 0);
}

class FreshHeader : public DocumentTest {};

uint64_t FileTimeNow() {
    using namespace std::chrono;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(since1970 / 100) + 116444736000000000ull;
}

TEST_F(FreshHeader, FieldsOfANewDocument) {
    const uint64_t before = FileTimeNow();
    std::string first = ReadFileBytes(Document("a.txt", "hello"));
    const uint64_t after = FileTimeNow();
    ASSERT_EQ(first.size(), 4096u + 5);

    const std::string banner = "Lumad vornask management, security";
    EXPECT_EQ(first.substr(0, 34), banner);
    EXPECT_EQ(first.substr(34, 30), std::string(30, '\0'));  // its zero, then zeros to 63
    EXPECT_EQ(std::memcmp(first.data() + 64, kSignature.data(), 16), 0);
    EXPECT_EQ(U16(first, 80), 3);
    EXPECT_EQ(U16(first, 82), 1);
    EXPECT_EQ(first.substr(84, 44), std::string(44, '\0'));
    EXPECT_EQ(first.substr(128, 3840), std::string(3840, '\x7C'));
    EXPECT_EQ(U16(first, 3968), 0);       // no rights record
    EXPECT_EQ(U16(first, 3970), 0);
    EXPECT_EQ(U16(first, 3972), 0xFFFF);  // RightsCount not set
    EXPECT_EQ(U16(first, 3974), 0xFFFF);  // uPrintCount not set
    EXPECT_EQ(first.substr(3976, 24), std::string(24, '\0'));  // value, flags, check, reserved
    const uint64_t stamp = U64(first, 4000);
    EXPECT_GE(stamp + 10'000'000, before);  // the platform's clock may round down
    EXPECT_LE(stamp, after + 10'000'000);
    EXPECT_NE(first.substr(4008, 16), std::string(16, '\0'));
    EXPECT_EQ(first.substr(4024, 72), std::string(72, '\0'));

    std::string second = ReadFileBytes(Document("b.txt", "hello"));
    EXPECT_NE(first.substr(4008, 16), second.substr(4008, 16));
    // Apart from the time and the GUID, two documents of the same file are equal.
    EXPECT_EQ(first.substr(0, 4000), second.substr(0, 4000));
    EXPECT_EQ(first.substr(4024), second.substr(4024));
}

}  // namespace
}  // namespace nuvex::test
