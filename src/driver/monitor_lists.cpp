// The main filter driver's monitoring lists: the two-level secure-run process list and the
// encrypted-document list.
#include "driver/monitor_lists.h"

#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "driver/separator_text.h"
#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvexctrl.h"

namespace rc = nuvex::rc;

namespace nuvex {
namespace {

using namespace secure_run;

// Decoders from the driver's 272-byte images into the caller's records, whose pointers
// widen on 64-bit targets. The driver's `next` and inner-list words are never taken over.
void DecodeEntry(const uint8_t* wire, SecRunProcEntry* entry) {
    entry->next = nullptr;
    entry->id = LoadU32(wire + kIdOffset);
    entry->driverData = LoadU32(wire + kEntryDriverDataOffset);
    entry->subEntries = nullptr;
    std::memcpy(entry->data, wire + kEntryDataOffset, sizeof entry->data);
}

void DecodeSubEntry(const uint8_t* wire, SecRunSubEntry* sub) {
    sub->next = nullptr;
    sub->id = LoadU32(wire + kIdOffset);
    std::memcpy(sub->data, wire + kSubEntryDataOffset, sizeof sub->data);
}

// Asks for the block that follows `cursor` (the identifiers in `input`). False when the
// driver fails the request, or when the block would not advance the enumeration: an
// identifier equal to the cursor sent repeats the block fetched last, and an identifier 0
// (also what a reply without bytes leaves) would start it over. The walk ends there.
bool FetchBlock(const ControlSession& session, uint32_t code, const uint8_t* input,
                uint32_t inputLength, uint32_t cursor, uint8_t* wire) {
    std::memset(wire, 0, kBlockSize);
    if (!session.Request(code, input, inputLength, wire, kBlockSize).ok) return false;
    const uint32_t id = LoadU32(wire + kIdOffset);
    return id != cursor && id != 0;
}

// Fetches the sub-entries of `entry` into its inner list, newest at the head. False when the
// whole enumeration must end (block bound reached, then *bounded is set, or the heap refused
// a block).
bool FetchSubEntries(const ControlSession& session, SecRunProcEntry* entry, uint32_t& blocks,
                     uint8_t* wire, bool* bounded) {
    for (;;) {
        if (blocks >= kMaxBlocks) {
            *bounded = true;
            return false;
        }
        const uint32_t cursor = entry->subEntries != nullptr ? entry->subEntries->id : 0;
        uint8_t input[8];
        StoreU32(input, entry->id);
        StoreU32(input + 4, cursor);
        auto* sub = static_cast<SecRunSubEntry*>(MemAllocZero(sizeof(SecRunSubEntry)));
        if (sub == nullptr) return false;
        if (!FetchBlock(session, main_driver::kSecRunNextSubEntry, input, sizeof input, cursor,
                        wire)) {
            MemFree(sub);
            return true;
        }
        DecodeSubEntry(wire, sub);
        ++blocks;
        List_PushFront(&entry->subEntries, sub);
    }
}

}  // namespace
}  // namespace nuvex

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetSecRunProcList(SecRunProcEntry** list) {
    using namespace nuvex;
    using namespace nuvex::secure_run;
    if (list == nullptr) return rc::NuvexCtrl_GetSecRunProcList::kNullArgument;
    *list = nullptr;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetSecRunProcList::kNoDevice;

    // The enumeration ends when the driver fails a request. Each block is allocated before its
    // request, so a refused allocation ends the enumeration with what has been gathered and
    // no reply is asked for that could not be kept. Replies land in one wire image and are
    // decoded into the caller's records.
    uint8_t wire[kBlockSize];
    uint32_t blocks = 0;
    bool bounded = false;
    for (;;) {
        if (blocks >= kMaxBlocks) {
            bounded = true;
            break;
        }
        const uint32_t cursor = *list != nullptr ? (*list)->id : 0;
        uint8_t input[4];
        StoreU32(input, cursor);
        auto* entry = static_cast<SecRunProcEntry*>(MemAllocZero(sizeof(SecRunProcEntry)));
        if (entry == nullptr) break;
        if (!FetchBlock(session, main_driver::kSecRunNextEntry, input, sizeof input, cursor,
                        wire)) {
            MemFree(entry);
            break;
        }
        DecodeEntry(wire, entry);
        ++blocks;
        List_PushFront(list, entry);
        if (!FetchSubEntries(session, entry, blocks, wire, &bounded)) break;
    }
    // A driver that kept answering past the bound: a truncated list is not handed out.
    if (bounded) {
        NuvexCtrl_FreeSecRunProcList(*list);
        *list = nullptr;
        return NUVEX_E_WALK_BOUND_REACHED;
    }
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_GetEnFileList(uint32_t selector, UserStrNode** list,
                                          uint32_t* count) {
    using namespace nuvex;
    namespace result = rc::NuvexCtrl_GetEnFileList;
    constexpr SeparatorTextCodes kGetEnFileListCodes{result::kNoTextMemory, result::kRefused,
                                                     result::kEmptyText, result::kNoNodeMemory};
    if (count != nullptr) *count = 0;
    if (list == nullptr) return rc::NuvexCtrl_GetEnFileList::kNullArgument;
    *list = nullptr;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetEnFileList::kNoDevice;
    uint8_t input[4];
    StoreU32(input, selector);
    // Items come back in the reverse of the driver's order.
    return ReadSeparatorTextList(session, main_driver::kEnFileTextSize, main_driver::kEnFileText,
                                 input, sizeof input, false, kGetEnFileListCodes, list, count);
}

}  // extern "C"
