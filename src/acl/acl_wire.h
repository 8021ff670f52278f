// Wire images of the access-control driver's records and the bounds of its walks.
//
// The driver sees records in their 32-bit layout (1196-byte policies, 296-byte log records).
// Callers' records carry a native `next` pointer, which widens on 64-bit targets, so every
// record is converted explicitly in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nuvexctrl.h"

namespace nuvex::acl_wire {

constexpr std::size_t kPolicyBytes = 1196;
constexpr std::size_t kPolicyIdAt = 4;
constexpr std::size_t kDriverFieldsAt = 8;
constexpr std::size_t kPrimaryTextAt = 44;
constexpr std::size_t kTextList1At = 172;
constexpr std::size_t kTextList2At = 428;
constexpr std::size_t kTextList3At = 684;
constexpr std::size_t kTextList4At = 940;

constexpr std::size_t kLogBytes = 296;
constexpr std::size_t kLogDataAt = 4;

constexpr std::size_t kStatusBytes = 8;

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
