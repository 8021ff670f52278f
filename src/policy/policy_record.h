// The policy record as the main filter driver exchanges it: a 2468-byte little-endian image
// whose `next` field is 4 bytes wide and whose used value slots travel with their bytes
// reversed. The caller's PolicyRecord is converted to and from that image field by field,
// never cast onto it (on 64-bit targets `next` is 8 bytes and every later field moves).
#pragma once

#include <cstddef>
#include <cstdint>

#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex {

constexpr uint32_t kPolicyWireBytes = NUVEX_POLICY_RECORD_SIZE;

// Offsets of the fields in the wire image.
namespace policy_wire {
constexpr std::size_t kNext = NUVEX_POLICY_NEXT;
constexpr std::size_t kPolicyId = NUVEX_POLICY_ID;
constexpr std::size_t kDriverFields = NUVEX_POLICY_DRIVER_FIELDS;
constexpr std::size_t kEntryCount = NUVEX_POLICY_ENTRY_COUNT;
constexpr std::size_t kEntries = NUVEX_POLICY_ENTRY_TABLE;
constexpr std::size_t kEntryBytes = NUVEX_POLICY_ENTRY_SIZE;
constexpr std::size_t kSignCodeInEntry = NUVEX_POLICY_ENTRY_SIGN_CODE;
constexpr std::size_t kSignCodeBytes = NUVEX_POLICY_SIGN_CODE_SIZE;
constexpr std::size_t kTextList1 = NUVEX_POLICY_TEXT_LIST1;
constexpr std::size_t kValueCount1 = NUVEX_POLICY_VALUE_COUNT1;
constexpr std::size_t kValues1 = NUVEX_POLICY_VALUES1;
constexpr std::size_t kTextList2 = NUVEX_POLICY_TEXT_LIST2;
constexpr std::size_t kValueCount2 = NUVEX_POLICY_VALUE_COUNT2;
constexpr std::size_t kValues2 = NUVEX_POLICY_VALUES2;
constexpr std::size_t kTextList3 = NUVEX_POLICY_TEXT_LIST3;
constexpr std::size_t kTextList4 = NUVEX_POLICY_TEXT_LIST4;
constexpr std::size_t kTextList5 = NUVEX_POLICY_TEXT_LIST5;
static_assert(kTextList5 + NUVEX_TEXTLIST_BYTES == kPolicyWireBytes);
static_assert(kEntries + kEntryBytes * NUVEX_POLICY_ENTRIES == kTextList1);
}  // namespace policy_wire

// Reads eight hexadecimal digits, the first pair into the lowest byte of *out (characters 0
// and 1 form byte 0, the even character the high nibble). Returns kHexPairsNullArgument
// (nothing written), kHexPairsNotDigit at the first character that is not a digit (the digits
// read so far stay in *out), 0 after eight digits.
uint32_t ReadHexPairs(const char* text, uint32_t* out);
constexpr uint32_t kHexPairsNullArgument = 77;
constexpr uint32_t kHexPairsNotDigit = 101;

// Formats `value` with "%08X" and reads the text back with ReadHexPairs: the value with its
// four bytes reversed. The same step converts host order to wire order and back.
uint32_t ReverseValueBytes(uint32_t value);

// Number of entries or value slots that a count may address: counts beyond the record's
// room are clamped so that no access leaves the record.
uint32_t UsedEntries(const PolicyRecord& record);
uint32_t UsedValues1(const PolicyRecord& record);
uint32_t UsedValues2(const PolicyRecord& record);

// Reverses the bytes of the used slots of Values1 and Values2 (its own inverse).
void ConvertUsedValues(PolicyRecord& record);

// Clears the whole SignCode of every used entry whose SignCode begins with NUL, so that no
// stray bytes behind the terminator reach the driver.
void ZeroEmptySignCodes(PolicyRecord& record);

// Copies the record's fields into a 2468-byte image as they are (no byte reversal). The
// image's `next` carries the low 32 bits of the caller's pointer: on 32-bit targets exactly
// the bytes the caller left there; the driver does not interpret them.
void StoreRecordImage(const PolicyRecord& record, uint8_t* wire);

// Copies a 2468-byte image into the record's fields as they are. The record's `next` is left
// alone: four bytes from the driver are never handed to a caller as a pointer.
void LoadRecordImage(const uint8_t* wire, PolicyRecord& record);

// The image that an insert request carries: the record with its used value slots reversed.
void EncodePolicyRecord(const PolicyRecord& record, uint8_t* wire);

// Makes a record that came from the driver fit for the caller: used value slots back to host
// order, then one trailing "|" removed from each of the five text lists. A text list that
// fills its 256 bytes without a terminator is cut to 255 characters.
void PrepareDeliveredRecord(PolicyRecord& record);

// Removes one trailing "|" from a NUL-terminated text list of `capacity` bytes and makes sure
// the text ends inside its field.
void TrimTextList(char* text, std::size_t capacity);

}  // namespace nuvex
