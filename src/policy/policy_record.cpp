#include "policy/policy_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "policy/policy_walk.h"

namespace nuvex {

// ---- conversions -----------------------------------------------------------------------

uint32_t ReadHexPairs(const char* text, uint32_t* out) {
    if (text == nullptr || out == nullptr) return kHexPairsNullArgument;
    *out = 0;
    for (uint32_t k = 0; k < 8; ++k) {
        char c = text[k];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            return kHexPairsNotDigit;
        }
        // Even characters are the high nibble of their byte, odd ones the low nibble.
        uint32_t shift = (k % 2 == 0) ? 4 * k + 4 : 4 * k - 4;
        *out |= digit << shift;
    }
    return 0;
}

uint32_t ReverseValueBytes(uint32_t value) {
    // "%08X" writes the most significant digit first and ReadHexPairs puts the first pair
    // into the lowest byte, so the round trip reverses the byte order.
    char text[40] = {};
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    uint32_t reversed = 0;
    ReadHexPairs(text, &reversed);
    return reversed;
}

uint32_t UsedEntries(const PolicyRecord& record) {
    return std::min<uint32_t>(record.EntryCount, NUVEX_POLICY_ENTRIES);
}
uint32_t UsedValues1(const PolicyRecord& record) {
    return std::min<uint32_t>(record.ValueCount1, NUVEX_POLICY_VALUES);
}
uint32_t UsedValues2(const PolicyRecord& record) {
    return std::min<uint32_t>(record.ValueCount2, NUVEX_POLICY_VALUES);
}

void ConvertUsedValues(PolicyRecord& record) {
    for (uint32_t i = 0, n = UsedValues1(record); i < n; ++i)
        record.Values1[i] = ReverseValueBytes(record.Values1[i]);
    for (uint32_t i = 0, n = UsedValues2(record); i < n; ++i)
        record.Values2[i] = ReverseValueBytes(record.Values2[i]);
}

void ZeroEmptySignCodes(PolicyRecord& record) {
    for (uint32_t i = 0, n = UsedEntries(record); i < n; ++i) {
        char* code = record.Entries[i].SignCode;
        if (code[0] == '\0') std::memset(code, 0, sizeof record.Entries[i].SignCode);
    }
}

void TrimTextList(char* text, std::size_t capacity) {
    std::size_t length = static_cast<std::size_t>(std::find(text, text + capacity, '\0') - text);
    if (length > 0 && text[length - 1] == '|') {
        text[length - 1] = '\0';
    } else if (length == capacity) {
        // No terminator inside the field: end the text inside it.
        text[capacity - 1] = '\0';
    }
}

namespace {

using namespace policy_wire;

void StoreValues(uint8_t* wire, const uint32_t* values) {
    for (uint32_t i = 0; i < NUVEX_POLICY_VALUES; ++i) StoreU32(wire + 4 * i, values[i]);
}
void LoadValues(const uint8_t* wire, uint32_t* values) {
    for (uint32_t i = 0; i < NUVEX_POLICY_VALUES; ++i) values[i] = LoadU32(wire + 4 * i);
}

}  // namespace

void StoreRecordImage(const PolicyRecord& record, uint8_t* wire) {
    StoreU32(wire + kNext,
             static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.next) & 0xFFFFFFFFu));
    StoreU32(wire + kPolicyId, record.PolicyId);
    std::memcpy(wire + kDriverFields, record.DriverFields, sizeof record.DriverFields);
    StoreU32(wire + kEntryCount, record.EntryCount);
    static_assert(sizeof(PolicyEntry) == kEntryBytes);
    std::memcpy(wire + kEntries, record.Entries, sizeof record.Entries);
    std::memcpy(wire + kTextList1, record.TextList1, NUVEX_TEXTLIST_BYTES);
    StoreU32(wire + kValueCount1, record.ValueCount1);
    StoreValues(wire + kValues1, record.Values1);
    std::memcpy(wire + kTextList2, record.TextList2, NUVEX_TEXTLIST_BYTES);
    StoreU32(wire + kValueCount2, record.ValueCount2);
    StoreValues(wire + kValues2, record.Values2);
    std::memcpy(wire + kTextList3, record.TextList3, NUVEX_TEXTLIST_BYTES);
    std::memcpy(wire + kTextList4, record.TextList4, NUVEX_TEXTLIST_BYTES);
    std::memcpy(wire + kTextList5, record.TextList5, NUVEX_TEXTLIST_BYTES);
}

void LoadRecordImage(const uint8_t* wire, PolicyRecord& record) {
    record.PolicyId = LoadU32(wire + kPolicyId);
    std::memcpy(record.DriverFields, wire + kDriverFields, sizeof record.DriverFields);
    record.EntryCount = LoadU32(wire + kEntryCount);
    std::memcpy(record.Entries, wire + kEntries, sizeof record.Entries);
    std::memcpy(record.TextList1, wire + kTextList1, NUVEX_TEXTLIST_BYTES);
    record.ValueCount1 = LoadU32(wire + kValueCount1);
    LoadValues(wire + kValues1, record.Values1);
    std::memcpy(record.TextList2, wire + kTextList2, NUVEX_TEXTLIST_BYTES);
    record.ValueCount2 = LoadU32(wire + kValueCount2);
    LoadValues(wire + kValues2, record.Values2);
    std::memcpy(record.TextList3, wire + kTextList3, NUVEX_TEXTLIST_BYTES);
    std::memcpy(record.TextList4, wire + kTextList4, NUVEX_TEXTLIST_BYTES);
    std::memcpy(record.TextList5, wire + kTextList5, NUVEX_TEXTLIST_BYTES);
}

void EncodePolicyRecord(const PolicyRecord& record, uint8_t* wire) {
    PolicyRecord sent = record;
    ConvertUsedValues(sent);
    StoreRecordImage(sent, wire);
}

void PrepareDeliveredRecord(PolicyRecord& record) {
    ConvertUsedValues(record);
    TrimTextList(record.TextList1, NUVEX_TEXTLIST_BYTES);
    TrimTextList(record.TextList2, NUVEX_TEXTLIST_BYTES);
    TrimTextList(record.TextList3, NUVEX_TEXTLIST_BYTES);
    TrimTextList(record.TextList4, NUVEX_TEXTLIST_BYTES);
    TrimTextList(record.TextList5, NUVEX_TEXTLIST_BYTES);
}

namespace {

// Sends a request with a 4-byte answer that starts at 0; when the request succeeds the answer
// goes to *reply, if the caller gave one.
bool RequestWithReply(const ControlSession& session, uint32_t code, const void* input,
                      uint32_t inputLength, uint32_t* reply) {
    uint8_t answer[4] = {0, 0, 0, 0};
    if (!session.Request(code, input, inputLength, answer, sizeof answer).ok) return false;
    if (reply != nullptr) *reply = LoadU32(answer);
    return true;
}

}  // namespace

}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetPolicyList(PolicyRecord** list) {
    if (list == nullptr) return rc::NuvexCtrl_GetPolicyList::kNullArgument;
    *list = nullptr;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetPolicyList::kNoDevice;

    uint8_t wire[kPolicyWireBytes];
    uint32_t cursor = 0;
    bool ended = false;
    for (uint32_t delivered = 0; delivered < kPolicyWalkLimit; ++delivered) {
        ended = true;
        // A record that cannot be allocated ends the walk with what was gathered.
        HeapBlock<PolicyRecord> record;
        if (!record.allocateZero(sizeof(PolicyRecord))) break;
        uint8_t input[4];
        StoreU32(input, cursor);
        std::memset(wire, 0, sizeof wire);
        RequestResult reply =
            session.Request(main_driver::kPolicyNext, input, sizeof input, wire, sizeof wire);
        if (!reply.ok) break;  // no policy follows
        LoadRecordImage(wire, *record.get());
        PrepareDeliveredRecord(*record.get());
        uint32_t id = record->PolicyId;
        // A driver that answers with the policy it was asked to continue after would be asked
        // the same question for ever: that record is the head already listed.
        if (*list != nullptr && id == cursor) break;
        List_PushFront(list, record.release());
        // ID 0 would start the walk over.
        if (id == 0) break;
        cursor = id;
        ended = false;
    }
    // Still answering at the bound: the list would be truncated, so none is handed out.
    if (!ended) {
        NuvexCtrl_FreePolicyList(*list);
        *list = nullptr;
        return NUVEX_E_WALK_BOUND_REACHED;
    }
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyByID(uint32_t id, PolicyRecord* record) {
    if (id == 0 || record == nullptr) return rc::NuvexCtrl_GetOnePolicyByID::kNullArgument;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetOnePolicyByID::kNoDevice;

    // The reply lands on an image of the caller's record, so that bytes the driver does not
    // return keep what the caller had there.
    uint8_t wire[kPolicyWireBytes];
    StoreRecordImage(*record, wire);
    uint8_t input[4];
    StoreU32(input, id);
    RequestResult reply =
        session.Request(main_driver::kPolicyById, input, sizeof input, wire, sizeof wire);
    if (!reply.ok) return rc::NuvexCtrl_GetOnePolicyByID::kNoSuchPolicy;
    LoadRecordImage(wire, *record);
    PrepareDeliveredRecord(*record);
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_InsertNewPolicy(PolicyRecord* record) {
    if (record == nullptr) return rc::NuvexCtrl_InsertNewPolicy::kNullArgument;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_InsertNewPolicy::kNoDevice;

    // The zeroing stays in the caller's record; the byte reversal happens only in the image,
    // so the caller's values are never seen in wire order, whatever the request does.
    ZeroEmptySignCodes(*record);
    uint8_t wire[kPolicyWireBytes];
    EncodePolicyRecord(*record, wire);
    RequestResult reply =
        session.Request(main_driver::kPolicyInsert, wire, sizeof wire, nullptr, 0);
    return reply.ok ? 0 : rc::NuvexCtrl_InsertNewPolicy::kRefused;
}

uint32_t NUVEXAPI NuvexCtrl_DeleteOnePolicy(uint32_t id, uint32_t* reply) {
    if (id == 0) return rc::NuvexCtrl_DeleteOnePolicy::kZeroId;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_DeleteOnePolicy::kNoDevice;

    uint8_t input[4];
    StoreU32(input, id);
    return RequestWithReply(session, main_driver::kPolicyDeleteOne, input, sizeof input, reply)
               ? 0
               : rc::NuvexCtrl_DeleteOnePolicy::kRefused;
}

uint32_t NUVEXAPI NuvexCtrl_GetNewValidPolicyID(uint32_t* newId) {
    if (newId == nullptr) return rc::NuvexCtrl_GetNewValidPolicyID::kNullArgument;
    *newId = 0;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetNewValidPolicyID::kNoDevice;

    if (!RequestWithReply(session, main_driver::kPolicyNewId, nullptr, 0, newId))
        return rc::NuvexCtrl_GetNewValidPolicyID::kRefused;
    return *newId == 0 ? rc::NuvexCtrl_GetNewValidPolicyID::kNoFreeId : 0;
}

uint32_t NUVEXAPI NuvexCtrl_DeleteAllPolicy(uint32_t* reply) {
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_DeleteAllPolicy::kNoDevice;

    return RequestWithReply(session, main_driver::kPolicyDeleteAll, nullptr, 0, reply)
               ? 0
               : rc::NuvexCtrl_DeleteAllPolicy::kRefused;
}

}  // extern "C"
