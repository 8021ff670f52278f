/*
 * policy_codec.h - the main filter driver's policy record in its three shapes: the stored
 * form (host byte order), the wire form (used value slots byte-reversed, text lists ending
 * in "|") and the text form.
 *
 * Text form: "NVP", the decimal PolicyId, "|", the record's content, "|". The content
 * stands for record bytes 8 to 2467 (everything after `next` and `PolicyId`, values in
 * host order), trailing zero bytes left out, written as:
 *   - a byte 0x20..0x7E other than "%", "|" and "~": itself;
 *   - "~" decimal-count ".": that many zero bytes;
 *   - "%" two hexadecimal digits: any other byte.
 * So the text holds no NUL, CR, LF or "|" of its own; at most NUVEX_POLICY_TEXT_MAX
 * characters with the final "|". A record whose text would be longer is refused.
 */
#ifndef NUVEX_POLICY_CODEC_H
#define NUVEX_POLICY_CODEC_H

#include <stddef.h>
#include <stdint.h>

#include "nuvex_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NUVEX_POLICY_TEXT_BUFFER NUVEX_POLICY_TEXT_REPLY_SIZE
#ifndef NUVEX_POLICY_TEXT_MAX
#define NUVEX_POLICY_TEXT_MAX (NUVEX_POLICY_TEXT_REPLY_SIZE - 1u)
#endif

/* Checks a wire record and turns it into the stored form in `record`. Refuses a zero
 * PolicyId, counts beyond 10 entries or 11 values, and text lists without a NUL. */
int NuvexPolicy_FromWire(const uint8_t* wire, uint8_t* record);
/* The wire form of a stored record. */
void NuvexPolicy_ToWire(const uint8_t* record, uint8_t* wire);
/* Writes the text form (no NUL) and returns its length, or 0 when it exceeds
 * NUVEX_POLICY_TEXT_MAX characters or `capacity`. */
uint32_t NuvexPolicy_EncodeText(const uint8_t* record, char* text, uint32_t capacity);
/* Parses a text form, with or without its final "|", into a stored record. */
int NuvexPolicy_DecodeText(const char* text, uint32_t length, uint8_t* record);

#ifdef __cplusplus
}

namespace nuvex::simcore {
constexpr uint32_t kPolicyRecordSize = NUVEX_POLICY_RECORD_SIZE;
constexpr uint32_t kPolicyTextBuffer = NUVEX_POLICY_TEXT_BUFFER;
constexpr uint32_t kPolicyIdOffset = NUVEX_POLICY_ID;
inline bool PolicyFromWire(const uint8_t* wire, uint8_t* record) {
    return NuvexPolicy_FromWire(wire, record) != 0;
}
inline void PolicyToWire(const uint8_t* record, uint8_t* wire) { NuvexPolicy_ToWire(record, wire); }
inline uint32_t EncodePolicyText(const uint8_t* record, char* text, uint32_t capacity) {
    return NuvexPolicy_EncodeText(record, text, capacity);
}
inline bool DecodePolicyText(const char* text, uint32_t length, uint8_t* record) {
    return NuvexPolicy_DecodeText(text, length, record) != 0;
}
}  // namespace nuvex::simcore
#endif

#endif
