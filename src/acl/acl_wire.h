// Wire images of the access-control driver's records and the bounds of its walks.
//
// The driver sees records in their 32-bit layout (1196-byte policies, 296-byte log records).
// Callers' records carry a native `next` pointer, which widens on 64-bit targets, so every
// record is converted explicitly in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex::acl_wire {

constexpr std::size_t kPolicyBytes = NUVEX_ACL_POLICY_SIZE;
constexpr std::size_t kPolicyIdAt = NUVEX_ACL_POLICY_ID;
constexpr std::size_t kDriverFieldsAt = NUVEX_ACL_POLICY_DRIVER_FIELDS;
constexpr std::size_t kPrimaryTextAt = NUVEX_ACL_POLICY_PRIMARY_TEXT;
constexpr std::size_t kTextList1At = NUVEX_ACL_POLICY_TEXT_LIST1;
constexpr std::size_t kTextList2At = NUVEX_ACL_POLICY_TEXT_LIST2;
constexpr std::size_t kTextList3At = NUVEX_ACL_POLICY_TEXT_LIST3;
constexpr std::size_t kTextList4At = NUVEX_ACL_POLICY_TEXT_LIST4;

constexpr std::size_t kLogBytes = NUVEX_ACL_LOG_SIZE;
constexpr std::size_t kLogDataAt = NUVEX_ACL_LOG_DATA;

constexpr std::size_t kStatusBytes = NUVEX_ACL_STATUS_SIZE;

// Most records a single policy-list walk or log walk gathers. A driver that keeps answering
// (a policy chain that loops through several IDs, a log that never runs dry) would otherwise
// hold the caller forever and exhaust the heap; a walk that reaches its bound fails with
// NUVEX_E_WALK_BOUND_REACHED. Records the log walk leaves behind stay in the driver for the
// next call.
constexpr uint32_t kMaxPolicyWalk = 16384;
constexpr uint32_t kMaxLogWalk = 16384;

// Caller's record -> wire image. `next` travels as its low 32 bits, which on 32-bit targets is
// the record exactly as the caller holds it.
void EncodePolicy(const AccPolicyRecord& record, uint8_t* wire);
// Wire image -> record; the record's `next` is left as it is (it belongs to the caller's list).
void DecodePolicy(const uint8_t* wire, AccPolicyRecord& record);
void DecodeLog(const uint8_t* wire, AccLogRecord& record);

}  // namespace nuvex::acl_wire
