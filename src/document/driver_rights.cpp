// A document seen through the main filter driver (its rights and file type), and the
// document's GUID read from the file. The driver exports never fall back to the file.
#include <cstring>

#include "document/document_header.h"
#include "document/document_io.h"
#include "document/documents.h"
#include "driver/device.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex::document {
namespace {

struct DriverHeaderCodes {
    uint32_t openFailed;
    uint32_t noMemory;
    uint32_t deviceUnavailable;
    uint32_t readRejected;
};

// A document's header as the driver returns it, with what it took to get there; the device
// stays open for a write over the same handle.
struct DriverHeader {
    UniqueHandle file;
    HeapBlock<uint8_t> request;
    UniqueHandle device;
    DocumentHeader header;

    uint32_t Read(const char* fileName, const DriverHeaderCodes& codes) {
        file = OpenExisting(fileName, kReadData, FILE_SHARE_READ | FILE_SHARE_WRITE);
        // A device or a pipe is no document: the driver is not asked about it.
        if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return codes.openFailed;
        if (!request.allocateZero(kHeaderRequestSize)) return codes.noMemory;
        EncodeHeaderRequest(request.get(), RequestHandleValue(file.get()), kDirectionRead);
        device = OpenControlDevice();
        if (!device) return codes.deviceUnavailable;
        uint8_t* data = RequestHeaderData(request.get());
        RequestResult read = DeviceRequest(device.get(), main_driver::kHeaderRequest,
                                           request.get(), kHeaderRequestReadInputSize, data,
                                           kHeaderSize);
        if (!read.ok || read.returned != kHeaderSize) return codes.readRejected;
        DecodeHeaderInto(data, header);
        // Only a document with a rights record has anything for these exports.
        if (!FullSignatureMatches(header.signature.data()) || !header.HasRights())
            return codes.readRejected;
        return 0;
    }
};

}  // namespace
}  // namespace nuvex::document

using namespace nuvex;
using namespace nuvex::document;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetFileRightsByDrv(const char* fileName, void* rightsValueOut,
                                               uint16_t* rightsCountOut, uint16_t* printCountOut,
                                               uint32_t* rightsFlagsOut) {
    if (printCountOut != nullptr) *printCountOut = kValueNotSet;
    DriverHeader through;
    namespace result = rc::NuvexCtrl_GetFileRightsByDrv;
    if (uint32_t failed = through.Read(fileName, {result::kOpenFailed, result::kNoMemory,
                                                  result::kNoDevice, result::kHeaderReadFailed});
        failed != 0)
        return failed;
    const DocumentHeader& h = through.header;
    if (rightsFlagsOut != nullptr) *rightsFlagsOut = h.rightsFlags;
    if (printCountOut != nullptr && (h.rightsFlags & kFlagPrint)) *printCountOut = h.printCount;
    if (rightsCountOut != nullptr && (h.rightsFlags & kFlagCount)) *rightsCountOut = h.rightsCount;
    if (rightsValueOut != nullptr && (h.rightsFlags & kFlagValue))
        std::memcpy(rightsValueOut, h.rightsValue.data(), h.rightsValue.size());
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_SetFileRightsByDrv(const char* fileName, uint32_t printCount) {
    DriverHeader through;
    namespace result = rc::NuvexCtrl_SetFileRightsByDrv;
    if (uint32_t failed = through.Read(fileName, {result::kOpenFailed, result::kNoMemory,
                                                  result::kNoDevice, result::kHeaderReadFailed});
        failed != 0)
        return failed;
    // A print count is always marked as set here, even 0xFFFF; no password is asked for.
    DocumentHeader& h = through.header;
    h.rightsFlags |= kFlagPrint;
    h.printCount = static_cast<uint16_t>(printCount);
    EncodeHeader(h, RequestHeaderData(through.request.get()));
    EncodeHeaderRequest(through.request.get(), RequestHandleValue(through.file.get()),
                        kDirectionWrite);
    RequestResult written = DeviceRequest(through.device.get(), main_driver::kHeaderRequest,
                                          through.request.get(), kHeaderRequestSize, nullptr, 0);
    return written.ok ? 0 : result::kRefused;
}

uint32_t NUVEXAPI NuvexCtrl_QueryDrvFileType(uint32_t fileRef, uint32_t* fileType) {
    if (fileType != nullptr) *fileType = 1;
    UniqueHandle device = OpenControlDevice();
    if (!device) return rc::NuvexCtrl_QueryDrvFileType::kNoDevice;
    uint8_t in[4];
    uint8_t out[4];
    StoreU32(in, fileRef);
    StoreU32(out, 1);  // the answer when the driver returns no bytes
    RequestResult answered =
        DeviceRequest(device.get(), main_driver::kQueryFileType, in, sizeof in, out, sizeof out);
    if (!answered.ok) return rc::NuvexCtrl_QueryDrvFileType::kRefused;
    if (fileType != nullptr) *fileType = LoadU32(out);
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_GetFileGUID(const char* fileName, void* guid) {
    if (fileName == nullptr || guid == nullptr) return rc::NuvexCtrl_GetFileGUID::kNullArgument;
    // The document test and the read are made on one handle: a file that cannot be opened
    // (or is not a disk file) is reported as such, never as "not a document". Like the
    // recognition it shares deleting, so as never to make a replace of the file fail.
    UniqueHandle file = OpenExisting(fileName, kReadData,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return NUVEX_E_DOC_OPEN_FAILED;
    if (!PassesQuickTest(file.get())) return rc::NuvexCtrl_GetFileGUID::kNotDocument;
    uint8_t tail[kHeaderTailSize];
    if (!SeekTo(file.get(), kHeaderTailOffset)) return rc::NuvexCtrl_GetFileGUID::kHeaderReadFailed;
    ReadOutcome got = ReadUpTo(file.get(), tail, sizeof tail);
    if (!got.ok || got.bytes != sizeof tail) return rc::NuvexCtrl_GetFileGUID::kHeaderReadFailed;
    std::memcpy(guid, tail + (kDocumentGuidOffset - kHeaderTailOffset), kDocumentGuidSize);
    return 0;
}

}  // extern "C"
