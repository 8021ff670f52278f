// The rights record of a document header: set and clear (guarded by the rights password),
// and get. Reads come from the file; writes go through the main filter driver when it runs
// and straight into the file otherwise.
#include <cstring>

#include "document/document_header.h"
#include "document/document_io.h"
#include "document/documents.h"
#include "document/operation_files.h"
#include "driver/device.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex::document {

bool DriverRunning() { return OpenControlDevice().valid(); }

uint32_t RequestHandleValue(HANDLE file) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file));
}

namespace {

void SetStatus(uint32_t* status, uint32_t value) {
    if (status != nullptr) *status = value;
}

// The rights writers hold the document for reading and writing, sharing reading only, so
// that nobody writes it and no other operation (encrypt, decrypt, rights) works on it between
// the test and the write.
constexpr DWORD kRightsWriterShare = FILE_SHARE_READ;

// A header rewrite of a held document: the zero-filled request buffer whose header area holds
// the header as read, and the decoded header.
struct HeaderRewrite {
    HANDLE file = INVALID_HANDLE_VALUE;
    HeapBlock<uint8_t> request;
    DocumentHeader header;

    // 0, or the code of the step that failed; nothing has been changed in any case.
    uint32_t Load(HANDLE held) {
        file = held;
        if (!request.allocateZero(kHeaderRequestSize)) return NUVEX_E_DOC_NO_MEMORY;
        uint8_t* data = RequestHeaderData(request.get());
        if (!SeekTo(file, 0)) return NUVEX_E_DOC_READ_FAILED;
        ReadOutcome got = ReadUpTo(file, data, kHeaderSize);
        if (!got.ok) return NUVEX_E_DOC_READ_FAILED;
        if (got.bytes != kHeaderSize) return NUVEX_E_DOC_SHRUNK;
        DecodeHeaderInto(data, header);
        return 0;
    }

    struct WriteCodes {
        uint32_t deviceUnavailable;
        uint32_t requestFailed;
        uint32_t writeFailed;
    };

    // Writes the whole header back: through the driver's header request when it was found
    // running, else into the file at offset 0. Everything outside the rights record goes back
    // exactly as it was read.
    uint32_t Store(bool throughDriver, const WriteCodes& codes) {
        uint8_t* data = RequestHeaderData(request.get());
        EncodeHeader(header, data);
        if (throughDriver) {
            EncodeHeaderRequest(request.get(), RequestHandleValue(file), kDirectionWrite);
            UniqueHandle device = OpenControlDevice();
            if (!device) return codes.deviceUnavailable;
            RequestResult sent = DeviceRequest(device.get(), main_driver::kHeaderRequest,
                                               request.get(), kHeaderRequestSize, nullptr, 0);
            return sent.ok ? 0 : codes.requestFailed;
        }
        if (!SeekTo(file, 0) || !WriteAll(file, data, kHeaderSize)) return codes.writeFailed;
        return 0;
    }
};

// The rights record as the rights query reads it (RightsState to RightsFlags).
struct RightsRecord {
    uint16_t state = 0;
    uint16_t rightsCount = 0;
    uint16_t printCount = 0;
    uint8_t rightsValue[8] = {};
    uint32_t flags = 0;
};

// Reads the rights record of an open document that passes the full signature test. Returns
// 0 or the failure in NuvexCtrl_GetEnFileRights's codes (not a document, record unreadable).
uint32_t ReadRightsRecord(HANDLE file, RightsRecord& record) {
    uint8_t signature[kSignatureSize];
    if (FileSizeLow(file) < kHeaderSize || !SeekTo(file, kSignatureOffset))
        return rc::NuvexCtrl_GetEnFileRights::kNotDocument;
    ReadOutcome got = ReadUpTo(file, signature, sizeof signature);
    if (!got.ok || got.bytes != sizeof signature || !FullSignatureMatches(signature))
        return rc::NuvexCtrl_GetEnFileRights::kNotDocument;

    uint8_t raw[kRightsRecordReadSize];
    if (!SeekTo(file, kRightsRecordOffset)) return rc::NuvexCtrl_GetEnFileRights::kRightsReadFailed;
    got = ReadUpTo(file, raw, sizeof raw);
    if (!got.ok || got.bytes != sizeof raw) return rc::NuvexCtrl_GetEnFileRights::kRightsReadFailed;
    auto field = [&raw](uint32_t headerOffset) { return raw + (headerOffset - kRightsRecordOffset); };
    record.state = LoadU16(field(kRightsStateOffset));
    record.rightsCount = LoadU16(field(kRightsCountOffset));
    record.printCount = LoadU16(field(kPrintCountOffset));
    std::memcpy(record.rightsValue, field(kRightsValueOffset), sizeof record.rightsValue);
    record.flags = LoadU32(field(kRightsFlagsOffset));
    return 0;
}

// The same by name, as the rights query opens the file (reading, sharing reading, writing and,
// so as never to make a replace of the file fail, deleting): NuvexCtrl_GetEnFileRights's
// open-failure code when it cannot be opened or is not a disk file.
uint32_t ReadRightsRecord(const char* fileName, RightsRecord& record) {
    UniqueHandle file = OpenExisting(fileName, kReadData,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return rc::NuvexCtrl_GetEnFileRights::kOpenFailed;
    return ReadRightsRecord(file.get(), record);
}

}  // namespace
}  // namespace nuvex::document

using namespace nuvex;
using namespace nuvex::document;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_SetEnFileRights(const char* fileName, const void* rightsValue,
                                            uint32_t rightsCount, uint32_t printCount,
                                            uint32_t rightsFlags, const void* password,
                                            uint32_t passwordLength, uint32_t* status) {
    SetStatus(status, NUVEX_RIGHTS_PENDING);
    if (fileName == nullptr || password == nullptr || passwordLength == 0)
        return rc::NuvexCtrl_SetEnFileRights::kNullArgument;
    HeldFile document;
    const Hold hold = HoldFile(fileName, kReadWriteData, kRightsWriterShare, document);
    if (hold == Hold::Busy) return NUVEX_E_DOC_BUSY;
    if (hold == Hold::NoMemory) return NUVEX_E_DOC_NO_MEMORY;
    if (hold != Hold::Held) {
        // Nothing will be written; the document test by name only says why: 846 when even it
        // cannot open the file, 855 for a file that is no document, else 2401 (a read-only
        // document, or one held open by a writer).
        uint32_t isDocument = 0;
        if (NuvexCtrl_IsEncryptFile(fileName, 0, &isDocument) != 0)
            return rc::NuvexCtrl_SetEnFileRights::kOpenFailed;
        if (isDocument != 1) {
            SetStatus(status, NUVEX_RIGHTS_NOT_DOCUMENT);
            return rc::NuvexCtrl_SetEnFileRights::kNotDocument;
        }
        return NUVEX_E_DOC_OPEN_FAILED;
    }
    if (!PassesQuickTest(document.handle())) {
        SetStatus(status, NUVEX_RIGHTS_NOT_DOCUMENT);
        return rc::NuvexCtrl_SetEnFileRights::kNotDocument;
    }
    const bool throughDriver = DriverRunning();

    HeaderRewrite rewrite;
    if (uint32_t failed = rewrite.Load(document.handle()); failed != 0) return failed;
    DocumentHeader& h = rewrite.header;
    auto check = PasswordCheckOf(password, passwordLength);
    if (h.HasRights()) {
        if (check != h.passwordCheck) {
            SetStatus(status, NUVEX_RIGHTS_BAD_PASSWORD);
            return rc::NuvexCtrl_SetEnFileRights::kBadPassword;
        }
    } else {
        // The first rights write fixes the password.
        h.rightsState = static_cast<uint16_t>(h.rightsState | kRightsPresent);
        h.passwordCheck = check;
    }
    SetStatus(status, NUVEX_RIGHTS_ACCEPTED);

    // Bits 0x02, 0x04 and 0x08 say which values are set; the caller's other bits are kept.
    uint32_t flags = (rightsFlags | kFlagWritten) & ~(kFlagCount | kFlagPrint | kFlagValue);
    if (rightsValue != nullptr) {
        std::memcpy(h.rightsValue.data(), rightsValue, h.rightsValue.size());
        flags |= kFlagValue;
    } else {
        h.rightsValue.fill(0);
    }
    h.rightsCount = static_cast<uint16_t>(rightsCount);
    if (h.rightsCount != kValueNotSet) flags |= kFlagCount;
    h.printCount = static_cast<uint16_t>(printCount);
    if (h.printCount != kValueNotSet) flags |= kFlagPrint;
    h.rightsFlags = flags;

    namespace result = rc::NuvexCtrl_SetEnFileRights;
    return rewrite.Store(throughDriver,
                         {result::kNoDevice, result::kRefused, result::kHeaderWriteFailed});
}

uint32_t NUVEXAPI NuvexCtrl_GetEnFileRights(const char* fileName, uint32_t* printCountOut,
                                            void* rightsValueOut, uint16_t* rightsCountOut,
                                            uint16_t* printCount16Out, uint32_t* rightsFlagsOut,
                                            uint32_t* status) {
    // The status is never set to "accepted" here: a successful query leaves it pending.
    SetStatus(status, NUVEX_RIGHTS_PENDING);
    if (printCountOut == nullptr) return rc::NuvexCtrl_GetEnFileRights::kNullArgument;
    *printCountOut = 0;
    RightsRecord record;
    uint32_t read = ReadRightsRecord(fileName, record);
    if (read == 1078) SetStatus(status, NUVEX_RIGHTS_NOT_DOCUMENT);
    if (read != 0) return read;
    if ((record.state & kRightsPresent) == 0) return 0;  // other outputs untouched

    *printCountOut = record.printCount;
    if (rightsValueOut != nullptr)
        std::memcpy(rightsValueOut, record.rightsValue, sizeof record.rightsValue);
    if (rightsCountOut != nullptr) *rightsCountOut = record.rightsCount;
    if (printCount16Out != nullptr) *printCount16Out = record.printCount;
    if (rightsFlagsOut != nullptr) *rightsFlagsOut = record.flags;
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_ClearEnFileRights(const char* fileName, const void* password,
                                              uint32_t passwordLength, uint32_t* status) {
    SetStatus(status, NUVEX_RIGHTS_PENDING);
    if (fileName == nullptr || password == nullptr || passwordLength == 0)
        return rc::NuvexCtrl_ClearEnFileRights::kNullArgument;
    HeldFile document;
    const Hold hold = HoldFile(fileName, kReadWriteData, kRightsWriterShare, document);
    if (hold == Hold::Busy) return NUVEX_E_DOC_BUSY;
    if (hold == Hold::NoMemory) return NUVEX_E_DOC_NO_MEMORY;
    RightsRecord record;
    if (hold != Hold::Held) {
        // Nothing will be written; the rights query by name only says why: 2401 when the file
        // cannot be opened at all (that is not "not a document") or when it is a document
        // with rights that cannot be opened for writing (read-only, or held by a writer).
        const uint32_t read = ReadRightsRecord(fileName, record);
        if (read == 1068) return NUVEX_E_DOC_OPEN_FAILED;
        if (read != 0) {
            SetStatus(status, NUVEX_RIGHTS_NOT_DOCUMENT);
            return rc::NuvexCtrl_ClearEnFileRights::kNotDocument;
        }
        if ((record.state & kRightsPresent) == 0) {
            SetStatus(status, NUVEX_RIGHTS_NO_RECORD);
            return rc::NuvexCtrl_ClearEnFileRights::kNoRights;
        }
        return NUVEX_E_DOC_OPEN_FAILED;
    }
    // Whether there is anything to clear is decided by the rights-state bit alone: a record
    // whose print count is 0 is still a record.
    if (ReadRightsRecord(document.handle(), record) != 0) {
        SetStatus(status, NUVEX_RIGHTS_NOT_DOCUMENT);
        return rc::NuvexCtrl_ClearEnFileRights::kNotDocument;
    }
    if ((record.state & kRightsPresent) == 0) {
        SetStatus(status, NUVEX_RIGHTS_NO_RECORD);
        return rc::NuvexCtrl_ClearEnFileRights::kNoRights;
    }
    const bool throughDriver = DriverRunning();

    HeaderRewrite rewrite;
    if (uint32_t failed = rewrite.Load(document.handle()); failed != 0) return failed;
    DocumentHeader& h = rewrite.header;
    if (PasswordCheckOf(password, passwordLength) != h.passwordCheck) {
        SetStatus(status, NUVEX_RIGHTS_BAD_PASSWORD);
        return rc::NuvexCtrl_ClearEnFileRights::kBadPassword;
    }
    SetStatus(status, NUVEX_RIGHTS_ACCEPTED);
    ClearRights(h);
    namespace result = rc::NuvexCtrl_ClearEnFileRights;
    return rewrite.Store(throughDriver,
                         {result::kNoDevice, result::kRefused, result::kHeaderWriteFailed});
}

}  // extern "C"
