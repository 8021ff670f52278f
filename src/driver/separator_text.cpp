#include "driver/separator_text.h"

#include <cstring>

#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/wire.h"

namespace nuvex {

uint32_t DropTrailingSeparator(const char* text, uint32_t length) {
    if (length > 0 && text[length - 1] == kTextSeparator) return length - 1;
    return length;
}

uint32_t CountTextItems(const char* text, uint32_t length, uint32_t limit) {
    uint32_t items = 1;
    const char* end = text + length;
    for (const char* p = text; items <= limit; ++p) {
        p = static_cast<const char*>(
            std::memchr(p, kTextSeparator, static_cast<std::size_t>(end - p)));
        if (p == nullptr) break;
        ++items;
    }
    return items;
}

uint32_t SplitSeparatorText(const char* text, uint32_t length, bool atTail, UserStrNode** list,
                            uint32_t* count) {
    // Appending at the tail goes through the last node's link, so a long text is not walked
    // from the head for every item.
    UserStrNode** tail = list;
    while (atTail && *tail != nullptr) tail = &(*tail)->next;

    uint32_t position = 0;
    while (position < length) {
        const char* start = text + position;
        const uint32_t remaining = length - position;
        const void* separator = std::memchr(start, kTextSeparator, remaining);
        const uint32_t itemLength =
            separator != nullptr
                ? static_cast<uint32_t>(static_cast<const char*>(separator) - start)
                : remaining;
        // A zero byte inside an item ends its string.
        const void* zero = std::memchr(start, 0, itemLength);
        const uint32_t stringLength =
            zero != nullptr ? static_cast<uint32_t>(static_cast<const char*>(zero) - start)
                            : itemLength;

        if (count != nullptr) ++*count;
        if (atTail) {
            if (UserStrList_Add(tail, start, stringLength, 1) != 0) return 1;
            tail = &(*tail)->next;
        } else if (UserStrList_Add(list, start, stringLength, 0) != 0) {
            return 1;
        }
        position += itemLength + (separator != nullptr ? 1 : 0);
    }
    return 0;
}

uint32_t ReadSeparatorTextList(const ControlSession& session, uint32_t sizeCode, uint32_t textCode,
                               const void* input, uint32_t inputLength, bool atTail,
                               const SeparatorTextCodes& codes, UserStrNode** list,
                               uint32_t* count) {
    uint8_t sizeBytes[4] = {0, 0, 0, 0};
    RequestResult sizeReply = session.Request(sizeCode, input, inputLength, sizeBytes, 4);
    const uint32_t announced = LoadU32(sizeBytes);
    if (!sizeReply.ok || announced == 0) return 0;

    // Four zero bytes behind the announced size; the whole buffer is offered to the driver.
    if (announced > kMaxAnnouncedTextSize) return codes.bufferNotAllocated;
    const uint32_t bufferLength = announced + 4;
    HeapBlock<char> text;
    if (!text.allocateZero(bufferLength)) return codes.bufferNotAllocated;

    RequestResult textReply =
        session.Request(textCode, input, inputLength, text.get(), bufferLength);
    if (!textReply.ok || textReply.returned == 0) return codes.textRequestFailed;

    // Only the bytes the driver returned are read, whatever terminators they hold.
    const uint32_t length = DropTrailingSeparator(text.get(), textReply.returned);
    if (length == 0) return codes.emptyText;
    if (CountTextItems(text.get(), length, kMaxTextItems) > kMaxTextItems)
        return NUVEX_E_TEXT_TOO_MANY_ITEMS;

    if (SplitSeparatorText(text.get(), length, atTail, list, count) != 0) {
        NuvexCtrl_FreeUserStrList(*list);
        *list = nullptr;
        return codes.nodeNotBuilt;
    }
    return 0;
}

}  // namespace nuvex
