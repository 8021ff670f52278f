// The access-control driver's requests. Each export opens the driver's control device, sends
// its request or requests (no handshake, unlike the main filter driver) and closes it.
#include <cstring>

#include "acl/acl_wire.h"
#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvexctrl.h"

namespace nuvex {
namespace {

// Opens the device and sends one request without buffers. Returns 0, openFailed or
// requestFailed.
uint32_t SimpleRequest(uint32_t code, const void* in, uint32_t inLength, uint32_t openFailed,
                       uint32_t requestFailed) {
    UniqueHandle device = OpenAclDevice();
    if (!device) return openFailed;
    if (!DeviceRequest(device.get(), code, in, inLength, nullptr, 0).ok) return requestFailed;
    return 0;
}

// Input of the policy read request: an ID and the selector saying which policy to deliver.
void BuildPolicyQuery(uint8_t* query, uint32_t id, uint32_t selector) {
    StoreU32(query, id);
    StoreU32(query + 4, selector);
}

// Cuts one trailing "|" separator off a text list (bounded: a driver may fill the field).
void TrimTrailingSeparator(char* text, std::size_t capacity) {
    std::size_t length = strnlen(text, capacity);
    if (length > 0 && text[length - 1] == '|') text[length - 1] = '\0';
}

// Every text field handed to a caller ends inside its array: a driver that filled a field
// completely loses the field's last byte to the terminator, so that callers reading it as a
// C string stay inside the record.
void TerminateTexts(AccPolicyRecord& record) {
    record.PrimaryText[sizeof record.PrimaryText - 1] = '\0';
    record.TextList1[sizeof record.TextList1 - 1] = '\0';
    record.TextList2[sizeof record.TextList2 - 1] = '\0';
    record.TextList3[sizeof record.TextList3 - 1] = '\0';
    record.TextList4[sizeof record.TextList4 - 1] = '\0';
}

}  // namespace
}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexAccCtrl_GetDriverStatus(uint32_t* status) {
    if (status == nullptr) return rc::NuvexAccCtrl_GetDriverStatus::kNullArgument;
    status[0] = 0;
    status[1] = 0;
    UniqueHandle device = OpenAclDevice();
    if (!device) return rc::NuvexAccCtrl_GetDriverStatus::kNoDevice;
    uint8_t wire[acl_wire::kStatusBytes] = {};
    if (!DeviceRequest(device.get(), acl_driver::kGetStatus, nullptr, 0, wire, sizeof wire).ok)
        return rc::NuvexAccCtrl_GetDriverStatus::kRefused;
    status[0] = LoadU32(wire);
    status[1] = LoadU32(wire + 4);
    return 0;
}

uint32_t NUVEXAPI NuvexAccCtrl_Start(void) {
    return SimpleRequest(acl_driver::kStart, nullptr, 0, rc::NuvexAccCtrl_Start::kNoDevice,
                         rc::NuvexAccCtrl_Start::kRefused);
}

uint32_t NUVEXAPI NuvexAccCtrl_Stop(void) {
    return SimpleRequest(acl_driver::kStop, nullptr, 0, rc::NuvexAccCtrl_Stop::kNoDevice,
                         rc::NuvexAccCtrl_Stop::kRefused);
}

uint32_t NUVEXAPI NuvexAccCtrl_AddNewPolicy(const AccPolicyRecord* record) {
    if (record == nullptr) return rc::NuvexAccCtrl_AddNewPolicy::kNullArgument;
    if (record->PrimaryText[0] == '\0') return rc::NuvexAccCtrl_AddNewPolicy::kEmptyPrimaryText;
    uint8_t wire[acl_wire::kPolicyBytes];
    acl_wire::EncodePolicy(*record, wire);
    return SimpleRequest(acl_driver::kAddPolicy, wire, sizeof wire,
                         rc::NuvexAccCtrl_AddNewPolicy::kNoDevice,
                         rc::NuvexAccCtrl_AddNewPolicy::kRefused);
}

uint32_t NUVEXAPI NuvexAccCtrl_DeleteAllPolicy(void) {
    return SimpleRequest(acl_driver::kDeleteAllPolicies, nullptr, 0,
                         rc::NuvexAccCtrl_DeleteAllPolicy::kNoDevice,
                         rc::NuvexAccCtrl_DeleteAllPolicy::kRefused);
}

uint32_t NUVEXAPI NuvexAccCtrl_DeleteOnePolicy(uint32_t id) {
    uint8_t wire[4];
    StoreU32(wire, id);
    return SimpleRequest(acl_driver::kDeleteOnePolicy, wire, sizeof wire,
                         rc::NuvexAccCtrl_DeleteOnePolicy::kNoDevice,
                         rc::NuvexAccCtrl_DeleteOnePolicy::kRefused);
}

uint32_t NUVEXAPI NuvexAccCtrl_GetOnePolicy(uint32_t id, AccPolicyRecord* record) {
    if (record == nullptr) return rc::NuvexAccCtrl_GetOnePolicy::kNullArgument;
    UniqueHandle device = OpenAclDevice();
    if (!device) return rc::NuvexAccCtrl_GetOnePolicy::kNoDevice;
    uint8_t query[8];
    BuildPolicyQuery(query, id, acl_driver::kSelectById);
    // The reply lands on the caller's record as it is: bytes the driver does not send keep
    // the caller's values, so the image starts as the caller's record.
    uint8_t wire[acl_wire::kPolicyBytes];
    acl_wire::EncodePolicy(*record, wire);
    if (!DeviceRequest(device.get(), acl_driver::kGetPolicy, query, sizeof query, wire,
                       sizeof wire)
             .ok)
        return rc::NuvexAccCtrl_GetOnePolicy::kNoSuchPolicy;
    acl_wire::DecodePolicy(wire, *record);
    TerminateTexts(*record);
    return 0;
}

uint32_t NUVEXAPI NuvexAccCtrl_GetPolicyList(AccPolicyRecord** list) {
    if (list == nullptr) return rc::NuvexAccCtrl_GetPolicyList::kNullArgument;
    *list = nullptr;
    UniqueHandle device = OpenAclDevice();
    if (!device) return rc::NuvexAccCtrl_GetPolicyList::kNoDevice;

    uint8_t query[8];
    uint8_t wire[acl_wire::kPolicyBytes];
    bool ended = false;
    for (uint32_t gathered = 0; gathered < acl_wire::kMaxPolicyWalk; ++gathered) {
        ended = true;
        // The driver delivers the policy after the one at the head; ID 0 asks for the first.
        uint32_t cursor = *list != nullptr ? (*list)->PolicyId : 0;
        BuildPolicyQuery(query, cursor, acl_driver::kSelectNext);
        HeapBlock<AccPolicyRecord> record;
        if (!record.allocateZero(sizeof(AccPolicyRecord))) break;
        std::memset(wire, 0, sizeof wire);
        if (!DeviceRequest(device.get(), acl_driver::kGetPolicy, query, sizeof query, wire,
                           sizeof wire)
                 .ok)
            break;
        acl_wire::DecodePolicy(wire, *record.get());
        // A driver that answers with the policy it was asked to step past would be asked the
        // same question for ever: the walk ends there.
        if (*list != nullptr && record->PolicyId == cursor) break;
        TrimTrailingSeparator(record->TextList1, sizeof record->TextList1);
        TrimTrailingSeparator(record->TextList2, sizeof record->TextList2);
        TrimTrailingSeparator(record->TextList3, sizeof record->TextList3);
        TrimTrailingSeparator(record->TextList4, sizeof record->TextList4);
        TerminateTexts(*record.get());
        List_PushFront(list, record.release());
        ended = false;
    }
    // Still answering at the bound: the list would be truncated, so none is handed out.
    if (!ended) {
        NuvexAccCtrl_FreePolicyList(*list);
        *list = nullptr;
        return NUVEX_E_WALK_BOUND_REACHED;
    }
    return 0;
}

uint32_t NUVEXAPI NuvexAccCtrl_GetLog(AccLogRecord** list) {
    if (list == nullptr) return rc::NuvexAccCtrl_GetLog::kNullArgument;
    *list = nullptr;
    UniqueHandle device = OpenAclDevice();
    if (!device) return rc::NuvexAccCtrl_GetLog::kNoDevice;

    uint8_t wire[acl_wire::kLogBytes];
    // The driver advances through its log by itself; the walk asks until it has no more.
    bool ended = false;
    for (uint32_t gathered = 0; gathered < acl_wire::kMaxLogWalk; ++gathered) {
        ended = true;
        HeapBlock<AccLogRecord> record;
        if (!record.allocateZero(sizeof(AccLogRecord))) break;
        std::memset(wire, 0, sizeof wire);
        RequestResult reply =
            DeviceRequest(device.get(), acl_driver::kGetLog, nullptr, 0, wire, sizeof wire);
        if (!reply.ok || reply.returned == 0) break;
        acl_wire::DecodeLog(wire, *record.get());
        List_PushFront(list, record.release());
        ended = false;
    }
    // Still answering at the bound: the caller learns the log was not drained, and keeps the
    // records gathered, which the driver no longer holds.
    if (!ended) return NUVEX_E_WALK_BOUND_REACHED;
    return 0;
}

}  // extern "C"
