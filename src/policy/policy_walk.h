// What the policy exports share beyond the record: the bound of the table walks, the reading
// of a delivered policy text and the gathering of the text list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex {

// The most policies one walk of the driver's table asks for. Far above any real table; it
// only stops a driver that keeps answering without advancing through its IDs.
constexpr uint32_t kPolicyWalkLimit = 16384;

// A policy text reply holds at most this many bytes; a text handed out fits in it with its
// terminating NUL.
constexpr uint32_t kPolicyTextBytes = NUVEX_POLICY_TEXT_REPLY_SIZE;

// Makes a zero-filled 2048-byte reply that carried `returned` bytes into a NUL-terminated
// text: one trailing "|" at the end of the reply is removed, and a reply that fills the block
// without a NUL is cut to 2047 characters. Returns the text's length.
std::size_t FinishPolicyText(char* reply, uint32_t returned);

// The decimal policy ID of a policy text: the characters from index 3 up to the first "|"
// (or the end of the text), read with leading white space and one sign allowed, up to the
// first character that is not a digit, as strtoul reads into 32 bits. Reads only the
// `length` characters of `text`; a text shorter than its lead gives 0.
uint32_t PolicyTextId(const char* text, std::size_t length);

// Walks the driver's table as texts into *list (head: the text delivered last), as
// NuvexCtrl_GetPolicyStrList does, and returns its result code (a walk that reaches
// kPolicyWalkLimit gives NUVEX_E_WALK_BOUND_REACHED and no list). *noReplyBuffer (when given)
// tells whether the walk could not start because its reply buffer could not be allocated,
// which the export reports as an empty table.
uint32_t CollectPolicyTexts(UserStrNode** list, bool* noReplyBuffer);

}  // namespace nuvex
