// Policies as text: one policy text by ID, the whole table as a text list, and insertion of
// a policy given as text.
#include <algorithm>
#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "policy/policy_walk.h"

namespace nuvex {

std::size_t FinishPolicyText(char* reply, uint32_t returned) {
    if (returned > kPolicyTextBytes) returned = kPolicyTextBytes;
    if (returned > 0 && reply[returned - 1] == '|') reply[returned - 1] = '\0';
    char* end = std::find(reply, reply + kPolicyTextBytes, '\0');
    if (end == reply + kPolicyTextBytes) {
        // 2048 characters without a terminator: keep the 2047 that fit with one.
        reply[kPolicyTextBytes - 1] = '\0';
        return kPolicyTextBytes - 1;
    }
    return static_cast<std::size_t>(end - reply);
}

uint32_t PolicyTextId(const char* text, std::size_t length) {
    constexpr std::size_t kLead = 3;
    // The digits are read from a copy of at most 39 characters, as from a 40-byte field.
    constexpr std::size_t kIdChars = 39;
    if (length <= kLead) return 0;
    const char* from = text + kLead;
    const char* end = std::find(from, text + length, '|');
    if (static_cast<std::size_t>(end - from) > kIdChars) end = from + kIdChars;

    const char* p = from;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    uint32_t id = static_cast<uint32_t>(value);
    return negative ? 0u - id : id;
}

uint32_t CollectPolicyTexts(UserStrNode** list, bool* noReplyBuffer) {
    if (noReplyBuffer != nullptr) *noReplyBuffer = false;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetPolicyStrList::kNoDevice;

    HeapBlock<char> reply;
    if (!reply.allocateZero(kPolicyTextBytes)) {
        if (noReplyBuffer != nullptr) *noReplyBuffer = true;
        return 0;
    }
    uint32_t cursor = 0;
    bool ended = false;
    for (uint32_t delivered = 0; delivered < kPolicyWalkLimit; ++delivered) {
        ended = true;
        std::memset(reply.get(), 0, kPolicyTextBytes);
        uint8_t input[4];
        StoreU32(input, cursor);
        RequestResult result = session.Request(main_driver::kPolicyStrNext, input, sizeof input,
                                                reply.get(), kPolicyTextBytes);
        if (!result.ok) break;  // no policy follows
        std::size_t length = FinishPolicyText(reply.get(), result.returned);
        uint32_t id = PolicyTextId(reply.get(), length);
        // The text of the policy the walk asked to continue after is the head already listed;
        // asking again would never advance.
        if (*list != nullptr && id == cursor) break;
        if (UserStrList_Add(list, reply.get(), static_cast<uint32_t>(length), 0) != 0) {
            NuvexCtrl_FreeUserStrList(*list);
            *list = nullptr;
            return rc::NuvexCtrl_GetPolicyStrList::kNoMemory;
        }
        // A text whose ID reads as 0 would send the walk back to the first policy.
        if (id == 0) break;
        cursor = id;
        ended = false;
    }
    // Still answering at the bound: a truncated table is never passed off as the whole one.
    if (!ended) {
        NuvexCtrl_FreeUserStrList(*list);
        *list = nullptr;
        return NUVEX_E_WALK_BOUND_REACHED;
    }
    return 0;
}

}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyStr(uint32_t id, char** text) {
    if (id == 0 || text == nullptr) return rc::NuvexCtrl_GetOnePolicyStr::kNullArgument;
    *text = nullptr;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetOnePolicyStr::kNoDevice;

    // Without its block the call ends successfully with no text; callers look at *text.
    HeapBlock<char> block;
    if (!block.allocateZero(kPolicyTextBytes)) return 0;
    uint8_t input[4];
    StoreU32(input, id);
    RequestResult result = session.Request(main_driver::kPolicyStrById, input, sizeof input,
                                            block.get(), kPolicyTextBytes);
    if (!result.ok) return rc::NuvexCtrl_GetOnePolicyStr::kNoSuchPolicy;
    FinishPolicyText(block.get(), result.returned);
    *text = block.release();
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_GetPolicyStrList(UserStrNode** list) {
    if (list == nullptr) return rc::NuvexCtrl_GetPolicyStrList::kNullArgument;
    *list = nullptr;
    return CollectPolicyTexts(list, nullptr);
}

uint32_t NUVEXAPI NuvexCtrl_InsertPolicyStr(const char* text) {
    if (text == nullptr) return rc::NuvexCtrl_InsertPolicyStr::kNullArgument;
    std::size_t length = std::strlen(text);
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_InsertPolicyStr::kNoDevice;
    RequestResult result = session.Request(main_driver::kPolicyStrInsert, text,
                                            static_cast<uint32_t>(length), nullptr, 0);
    return result.ok ? 0 : rc::NuvexCtrl_InsertPolicyStr::kRefused;
}

}  // extern "C"
