#include "document/document_header.h"

#include <cstring>

#include "crypto/md5.h"
#include "frame/heap.h"
#include "frame/wire.h"
#include "platform/platform.h"

namespace nuvex::document {

const Signature kSignature = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                              0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};

namespace {

template <std::size_t N>
void LoadBytes(std::array<uint8_t, N>& field, const uint8_t* image, uint32_t offset) {
    std::memcpy(field.data(), image + offset, N);
}

template <std::size_t N>
void StoreBytes(uint8_t* image, uint32_t offset, const std::array<uint8_t, N>& field) {
    std::memcpy(image + offset, field.data(), N);
}

}  // namespace

DocumentHeader DecodeHeader(const uint8_t* image) {
    DocumentHeader h;
    DecodeHeaderInto(image, h);
    return h;
}

void DecodeHeaderInto(const uint8_t* image, DocumentHeader& h) {
    LoadBytes(h.headerText, image, kHeaderTextOffset);
    LoadBytes(h.signature, image, kSignatureOffset);
    h.headerWord1 = LoadU16(image + kHeaderWord1Offset);
    h.headerWord2 = LoadU16(image + kHeaderWord2Offset);
    LoadBytes(h.reserved84, image, kReserved84Offset);
    LoadBytes(h.filler, image, kFillerOffset);
    h.rightsState = LoadU16(image + kRightsStateOffset);
    h.reserved3970 = LoadU16(image + kReserved3970Offset);
    h.rightsCount = LoadU16(image + kRightsCountOffset);
    h.printCount = LoadU16(image + kPrintCountOffset);
    LoadBytes(h.rightsValue, image, kRightsValueOffset);
    h.rightsFlags = LoadU32(image + kRightsFlagsOffset);
    LoadBytes(h.passwordCheck, image, kPasswordCheckOffset);
    LoadBytes(h.reserved3992, image, kReserved3992Offset);
    h.creationTime = LoadU64(image + kCreationTimeOffset);
    LoadBytes(h.documentGuid, image, kDocumentGuidOffset);
    LoadBytes(h.reserved4024, image, kReserved4024Offset);
}

void EncodeHeader(const DocumentHeader& h, uint8_t* image) {
    StoreBytes(image, kHeaderTextOffset, h.headerText);
    StoreBytes(image, kSignatureOffset, h.signature);
    StoreU16(image + kHeaderWord1Offset, h.headerWord1);
    StoreU16(image + kHeaderWord2Offset, h.headerWord2);
    StoreBytes(image, kReserved84Offset, h.reserved84);
    StoreBytes(image, kFillerOffset, h.filler);
    StoreU16(image + kRightsStateOffset, h.rightsState);
    StoreU16(image + kReserved3970Offset, h.reserved3970);
    StoreU16(image + kRightsCountOffset, h.rightsCount);
    StoreU16(image + kPrintCountOffset, h.printCount);
    StoreBytes(image, kRightsValueOffset, h.rightsValue);
    StoreU32(image + kRightsFlagsOffset, h.rightsFlags);
    StoreBytes(image, kPasswordCheckOffset, h.passwordCheck);
    StoreBytes(image, kReserved3992Offset, h.reserved3992);
    StoreU64(image + kCreationTimeOffset, h.creationTime);
    StoreBytes(image, kDocumentGuidOffset, h.documentGuid);
    StoreBytes(image, kReserved4024Offset, h.reserved4024);
}

void ClearRights(DocumentHeader& h) {
    h.rightsState = static_cast<uint16_t>(h.rightsState & ~kRightsPresent);
    h.rightsCount = kValueNotSet;
    h.printCount = kValueNotSet;
    h.rightsValue.fill(0);
    h.rightsFlags = 0;
    h.passwordCheck.fill(0);
}

DocumentHeader CreateHeader() {
    DocumentHeader h;  // every byte zero
    h.filler.fill(kFillerByte);
    static_assert(sizeof kBanner == 35 && sizeof kBanner <= kHeaderTextSize);
    std::memcpy(h.headerText.data(), kBanner, sizeof kBanner);
    h.signature = kSignature;
    h.headerWord1 = kHeaderWord1;
    h.headerWord2 = kHeaderWord2;
    ClearRights(h);

    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME stamp{};
    SystemTimeToFileTime(&now, &stamp);
    h.creationTime = (static_cast<uint64_t>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;

    // The GUID goes into the header as the 16 bytes of the structure in its documented order;
    // its creation result is not looked at (a failure leaves zero bytes).
    GUID guid{};
    CoCreateGuid(&guid);
    uint8_t* g = h.documentGuid.data();
    StoreU32(g, static_cast<uint32_t>(guid.Data1));
    StoreU16(g + 4, guid.Data2);
    StoreU16(g + 6, guid.Data3);
    std::memcpy(g + 8, guid.Data4, 8);
    return h;
}

bool QuickSignatureMatches(const uint8_t* bytes) {
    return std::memcmp(bytes, kSignature.data(), kQuickSignatureSize) == 0;
}

bool FullSignatureMatches(const uint8_t* bytes) {
    return std::memcmp(bytes, kSignature.data(), kSignatureSize) == 0;
}

std::array<uint8_t, kPasswordCheckSize> PasswordCheckOf(const void* password, uint32_t length) {
    uint8_t digest[16];
    Md5Digest(password, length, digest);
    std::array<uint8_t, kPasswordCheckSize> check{};
    std::memcpy(check.data(), digest, check.size());
    SecureWipe(digest, sizeof digest);
    return check;
}

void EncodeHeaderRequest(uint8_t* request, uint32_t fileHandle, uint32_t direction) {
    StoreU32(request + kRequestFileHandleOffset, fileHandle);
    StoreU32(request + kRequestDirectionOffset, direction);
    StoreU32(request + kRequestHeaderOffsetOffset, 0);
    StoreU32(request + kRequestHeaderLengthOffset, kHeaderSize);
}

}  // namespace nuvex::document
