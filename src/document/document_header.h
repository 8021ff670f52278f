// The encrypted-document container: a 4096-byte plain header followed by the body, the
// plain file's bytes enciphered at stream offsets from 4113 on. The header layout lives here
// as named constants and one encode/decode pair; no other file knows an offset into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "nuvex_wire.h"

namespace nuvex::document {

// ---- file layout -----------------------------------------------------------------------
constexpr uint32_t kHeaderSize = 4096;
// The body byte at file offset f is enciphered at stream offset f + 17, so plain byte 0
// (file offset 4096) uses stream offset 4113.
constexpr uint32_t kBodyStreamOffset = 4113;
// A document stays below 4 GiB and its last body byte's stream offset below 2^32: plain files
// of this size or more cannot be made into documents.
constexpr uint64_t kPlainSizeLimit = (uint64_t{1} << 32) - kBodyStreamOffset;
// The largest document the format allows (header plus the largest body).
constexpr uint64_t kDocumentSizeMax = kHeaderSize + kPlainSizeLimit - 1;

// ---- header fields (offsets from the start of the file) --------------------------------
constexpr uint32_t kHeaderTextOffset = 0;
constexpr uint32_t kHeaderTextSize = 64;
constexpr uint32_t kSignatureOffset = 64;
constexpr uint32_t kSignatureSize = 16;
// The quick test compares only the first 15 signature bytes (byte 79 is not looked at).
constexpr uint32_t kQuickSignatureSize = 15;
constexpr uint32_t kHeaderWord1Offset = 80;
constexpr uint32_t kHeaderWord2Offset = 82;
constexpr uint32_t kReserved84Offset = 84;
constexpr uint32_t kReserved84Size = 44;
constexpr uint32_t kFillerOffset = 128;
constexpr uint32_t kFillerSize = 3840;  // offsets 128..3967
constexpr uint32_t kRightsStateOffset = 3968;
constexpr uint32_t kReserved3970Offset = 3970;
constexpr uint32_t kRightsCountOffset = 3972;
constexpr uint32_t kPrintCountOffset = 3974;
constexpr uint32_t kRightsValueOffset = 3976;
constexpr uint32_t kRightsFlagsOffset = 3984;
constexpr uint32_t kPasswordCheckOffset = 3988;
constexpr uint32_t kReserved3992Offset = 3992;
constexpr uint32_t kReserved3992Size = 8;
constexpr uint32_t kCreationTimeOffset = 4000;
constexpr uint32_t kDocumentGuidOffset = 4008;
constexpr uint32_t kDocumentGuidSize = 16;
constexpr uint32_t kReserved4024Offset = 4024;
constexpr uint32_t kReserved4024Size = 72;

// The rights record read by the rights query: RightsState up to and including RightsFlags.
constexpr uint32_t kRightsRecordOffset = kRightsStateOffset;
constexpr uint32_t kRightsRecordReadSize = kPasswordCheckOffset - kRightsStateOffset;  // 20
// The tail read by the GUID query: offsets 3968..4095.
constexpr uint32_t kHeaderTailOffset = 3968;
constexpr uint32_t kHeaderTailSize = kHeaderSize - kHeaderTailOffset;  // 128

// ---- values ----------------------------------------------------------------------------
constexpr char kBanner[] = "Lumad vornask management, security";  // written with its zero
constexpr uint8_t kFillerByte = 0x7C;
constexpr uint16_t kHeaderWord1 = 3;
constexpr uint16_t kHeaderWord2 = 1;
constexpr uint16_t kRightsPresent = 0x0001;  // bit 0 of RightsState
constexpr uint16_t kValueNotSet = 0xFFFF;    // RightsCount / uPrintCount not set
constexpr uint32_t kFlagCount = 0x02;
constexpr uint32_t kFlagPrint = 0x04;
constexpr uint32_t kFlagValue = 0x08;
constexpr uint32_t kFlagWritten = 0x10;
constexpr uint32_t kPasswordCheckSize = 4;

using Signature = std::array<uint8_t, kSignatureSize>;
extern const Signature kSignature;

using HeaderImage = std::array<uint8_t, kHeaderSize>;

// Every byte of a header, field by field; Encode(Decode(image)) == image for any image, so
// a rewrite changes nothing but the fields the caller changed.
struct DocumentHeader {
    std::array<uint8_t, kHeaderTextSize> headerText{};
    Signature signature{};
    uint16_t headerWord1 = 0;
    uint16_t headerWord2 = 0;
    std::array<uint8_t, kReserved84Size> reserved84{};
    std::array<uint8_t, kFillerSize> filler{};
    uint16_t rightsState = 0;
    uint16_t reserved3970 = 0;
    uint16_t rightsCount = 0;
    uint16_t printCount = 0;
    std::array<uint8_t, 8> rightsValue{};  // two 32-bit words exactly as the caller gave them
    uint32_t rightsFlags = 0;
    std::array<uint8_t, kPasswordCheckSize> passwordCheck{};
    std::array<uint8_t, kReserved3992Size> reserved3992{};
    uint64_t creationTime = 0;  // FILETIME, 100 ns since 1601-01-01 UTC
    std::array<uint8_t, kDocumentGuidSize> documentGuid{};
    std::array<uint8_t, kReserved4024Size> reserved4024{};

    bool HasRights() const { return (rightsState & kRightsPresent) != 0; }
};

DocumentHeader DecodeHeader(const uint8_t* image);  // kHeaderSize bytes
// The same into an existing header (every field is overwritten): no second 4 KiB header on
// the caller's stack.
void DecodeHeaderInto(const uint8_t* image, DocumentHeader& header);
void EncodeHeader(const DocumentHeader& header, uint8_t* image);

// A new header: banner, signature, words 3 and 1, filler, no rights record, the current time
// and a new GUID.
DocumentHeader CreateHeader();

// Resets the rights record to "none" (fresh or cleared header); RightsState keeps its other
// bits.
void ClearRights(DocumentHeader& header);

// The two recognition rules. `bytes` are the signature bytes from offset 64 on: at least 15
// for the quick test, 16 for the full one.
bool QuickSignatureMatches(const uint8_t* bytes);
bool FullSignatureMatches(const uint8_t* bytes);

// The first four bytes of the MD5 digest of the rights password.
std::array<uint8_t, kPasswordCheckSize> PasswordCheckOf(const void* password, uint32_t length);

// ---- the header request of the main filter driver (layout in nuvex_wire.h) ----------------
constexpr uint32_t kHeaderRequestSize = NUVEX_HEADER_REQUEST_SIZE;
// FileHandle..HeaderLength + 4 zero bytes
constexpr uint32_t kHeaderRequestReadInputSize = NUVEX_HEADER_REQUEST_READ_SIZE;
constexpr uint32_t kRequestFileHandleOffset = NUVEX_HEADER_REQUEST_HANDLE;
constexpr uint32_t kRequestDirectionOffset = NUVEX_HEADER_REQUEST_DIRECTION;
constexpr uint32_t kRequestHeaderOffsetOffset = NUVEX_HEADER_REQUEST_OFFSET;
constexpr uint32_t kRequestHeaderLengthOffset = NUVEX_HEADER_REQUEST_LENGTH;
constexpr uint32_t kRequestHeaderDataOffset = NUVEX_HEADER_REQUEST_DATA;
constexpr uint32_t kDirectionWrite = NUVEX_HEADER_WRITE;
constexpr uint32_t kDirectionRead = NUVEX_HEADER_READ;
static_assert(kHeaderRequestSize == NUVEX_HEADER_REQUEST_RESERVED + 4);

// Fills the fixed fields of a zero-filled 4116-byte request for one direction. The handle is
// the document's handle in this process (on the host: its descriptor number).
void EncodeHeaderRequest(uint8_t* request, uint32_t fileHandle, uint32_t direction);
// The header area of a request (4096 bytes at offset 16).
inline uint8_t* RequestHeaderData(uint8_t* request) { return request + kRequestHeaderDataOffset; }

}  // namespace nuvex::document
