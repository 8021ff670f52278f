// Texts that travel between the library and the main filter driver as "|"-separated items
// (encrypted-document entries, pass paths), read out with a size request followed by a text
// request and split into a UserStrList.
#pragma once

#include <cstdint>

#include "driver/device.h"
#include "nuvexctrl.h"

namespace nuvex {

constexpr char kTextSeparator = '|';

// Largest text size a driver may announce; beyond it the text buffer is refused as if the
// heap had refused it (a hostile or broken driver must not make the library zero gigabytes).
constexpr uint32_t kMaxAnnouncedTextSize = 64u * 1024u * 1024u;

// Most items one separator text may hold. A list node and its string block cost some 40
// bytes of heap each on top of the text, so a driver's 64 MiB text of separators alone would
// otherwise become 67 million nodes and gigabytes of memory; a real list is far shorter.
constexpr uint32_t kMaxTextItems = 1048576;

// Drops one trailing separator from the first `length` bytes of `text` and returns the new
// length.
uint32_t DropTrailingSeparator(const char* text, uint32_t length);

// Splits the first `length` bytes of `text` at every separator. Each item, measured up to its
// first zero byte inside the item, first adds 1 to `*count` (when given) and then becomes a
// node of `*list`: at the tail (driver order) or at the head (reverse order). Empty items
// become empty strings; the last item needs no separator after it. Nothing outside the first
// `length` bytes is read. Returns 0, or non-zero when a node cannot be built (the nodes built
// so far stay in the list for the caller to release).
uint32_t SplitSeparatorText(const char* text, uint32_t length, bool atTail, UserStrNode** list,
                            uint32_t* count);

// Result numbers of one export that reads a separator text.
struct SeparatorTextCodes {
    uint32_t bufferNotAllocated;  // the text buffer cannot be allocated
    uint32_t textRequestFailed;   // the text request fails or returns no bytes
    uint32_t emptyText;           // nothing is left after dropping the trailing separator
    uint32_t nodeNotBuilt;        // a list node cannot be built
};

// Number of items in the first `length` bytes of `text` (separators + 1), counted only up to
// `limit` + 1.
uint32_t CountTextItems(const char* text, uint32_t length, uint32_t limit);

// Reads a separator text over an open session: `sizeCode` announces the text's size,
// `textCode` delivers it into a zero-filled buffer of the announced size + 4; both carry
// `input`. A failed size request or a size of 0 is an empty list and result 0. On any failure
// after the size request the buffer and every node built are released and `*list` is null;
// `*count` keeps the number of items counted up to and including the one that failed. A text
// of more than kMaxTextItems items is refused with NUVEX_E_TEXT_TOO_MANY_ITEMS before any
// node is built (`*count` 0).
uint32_t ReadSeparatorTextList(const ControlSession& session, uint32_t sizeCode, uint32_t textCode,
                               const void* input, uint32_t inputLength, bool atTail,
                               const SeparatorTextCodes& codes, UserStrNode** list,
                               uint32_t* count);

}  // namespace nuvex
