#include "acl/acl_wire.h"

#include <cstring>

#include "frame/wire.h"

namespace nuvex::acl_wire {

static_assert(sizeof(AccPolicyRecord::DriverFields) == kPrimaryTextAt - kDriverFieldsAt);
static_assert(sizeof(AccPolicyRecord::PrimaryText) == kTextList1At - kPrimaryTextAt);
static_assert(sizeof(AccPolicyRecord::TextList4) == kPolicyBytes - kTextList4At);
static_assert(sizeof(AccLogRecord::data) == kLogBytes - kLogDataAt);

void EncodePolicy(const AccPolicyRecord& record, uint8_t* wire) {
    StoreU32(wire, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.next)));
    StoreU32(wire + kPolicyIdAt, record.PolicyId);
    std::memcpy(wire + kDriverFieldsAt, record.DriverFields, sizeof record.DriverFields);
    std::memcpy(wire + kPrimaryTextAt, record.PrimaryText, sizeof record.PrimaryText);
    std::memcpy(wire + kTextList1At, record.TextList1, sizeof record.TextList1);
    std::memcpy(wire + kTextList2At, record.TextList2, sizeof record.TextList2);
    std::memcpy(wire + kTextList3At, record.TextList3, sizeof record.TextList3);
    std::memcpy(wire + kTextList4At, record.TextList4, sizeof record.TextList4);
}

void DecodePolicy(const uint8_t* wire, AccPolicyRecord& record) {
    record.PolicyId = LoadU32(wire + kPolicyIdAt);
    std::memcpy(record.DriverFields, wire + kDriverFieldsAt, sizeof record.DriverFields);
    std::memcpy(record.PrimaryText, wire + kPrimaryTextAt, sizeof record.PrimaryText);
    std::memcpy(record.TextList1, wire + kTextList1At, sizeof record.TextList1);
    std::memcpy(record.TextList2, wire + kTextList2At, sizeof record.TextList2);
    std::memcpy(record.TextList3, wire + kTextList3At, sizeof record.TextList3);
    std::memcpy(record.TextList4, wire + kTextList4At, sizeof record.TextList4);
}

void DecodeLog(const uint8_t* wire, AccLogRecord& record) {
    std::memcpy(record.data, wire + kLogDataAt, sizeof record.data);
}

}  // namespace nuvex::acl_wire
