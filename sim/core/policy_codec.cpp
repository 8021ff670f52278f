// The policy record's wire and text forms (see policy_codec.h).
#include "policy_codec.h"

#include "core_util.h"

using namespace nuvex::simcore;

namespace {

constexpr uint32_t kContentStart = NUVEX_POLICY_DRIVER_FIELDS;  // after `next` and `PolicyId`
constexpr uint32_t kEntryCountOffset = NUVEX_POLICY_ENTRY_COUNT;
constexpr uint32_t kValueCount1Offset = NUVEX_POLICY_VALUE_COUNT1;
constexpr uint32_t kValues1Offset = NUVEX_POLICY_VALUES1;
constexpr uint32_t kValueCount2Offset = NUVEX_POLICY_VALUE_COUNT2;
constexpr uint32_t kValues2Offset = NUVEX_POLICY_VALUES2;
constexpr uint32_t kTextListOffsets[5] = {NUVEX_POLICY_TEXT_LIST1, NUVEX_POLICY_TEXT_LIST2,
                                          NUVEX_POLICY_TEXT_LIST3, NUVEX_POLICY_TEXT_LIST4,
                                          NUVEX_POLICY_TEXT_LIST5};
constexpr uint32_t kTextListSize = NUVEX_POLICY_TEXT_LIST_SIZE;
constexpr uint32_t kMaxEntries = NUVEX_POLICY_MAX_ENTRIES;
constexpr uint32_t kMaxValues = NUVEX_POLICY_MAX_VALUES;
constexpr char kLead[3] = {'N', 'V', 'P'};

// Checks the counts and the text lists of a host-order record and puts it in its stored
// form: `next` zero and nothing behind the NUL of a text list.
bool Canonicalise(uint8_t* record) {
    if (Load32(record + kPolicyIdOffset) == 0) return false;
    if (Load32(record + kEntryCountOffset) > kMaxEntries) return false;
    if (Load32(record + kValueCount1Offset) > kMaxValues) return false;
    if (Load32(record + kValueCount2Offset) > kMaxValues) return false;
    for (uint32_t offset : kTextListOffsets) {
        size_t length = BoundedLength(record + offset, kTextListSize);
        if (length == kTextListSize) return false;
        memset(record + offset + length, 0, kTextListSize - length);
    }
    Store32(record, 0);
    return true;
}

// Reverses the bytes of the used value slots; the counts must have been checked.
void SwapUsedValues(uint8_t* record) {
    uint32_t counts[2] = {Load32(record + kValueCount1Offset), Load32(record + kValueCount2Offset)};
    uint32_t offsets[2] = {kValues1Offset, kValues2Offset};
    for (int list = 0; list < 2; ++list)
        for (uint32_t i = 0; i < counts[list] && i < kMaxValues; ++i) {
            uint8_t* slot = record + offsets[list] + 4 * i;
            Store32(slot, Swap32(Load32(slot)));
        }
}

bool IsLiteral(uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E && byte != '%' && byte != '|' && byte != '~';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Appends to a bounded text; false when it does not fit.
struct TextOut {
    char* text;
    uint32_t capacity;
    uint32_t length;
    bool Put(char c) {
        if (length >= capacity) return false;
        text[length++] = c;
        return true;
    }
    bool Number(uint32_t v) {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        while (n)
            if (!Put(digits[--n])) return false;
        return true;
    }
};

}  // namespace

extern "C" {

int NuvexPolicy_FromWire(const uint8_t* wire, uint8_t* record) {
    memcpy(record, wire, kPolicyRecordSize);
    if (!Canonicalise(record)) return 0;
    SwapUsedValues(record);
    return 1;
}

void NuvexPolicy_ToWire(const uint8_t* record, uint8_t* wire) {
    memcpy(wire, record, kPolicyRecordSize);
    Store32(wire, 0);
    // A trailing "|" on each non-empty list, where it fits, so that a list that itself
    // ends in "|" survives the reader's removal of one separator.
    for (uint32_t offset : kTextListOffsets) {
        size_t length = BoundedLength(wire + offset, kTextListSize);
        if (length > 0 && length + 2 <= kTextListSize) {
            wire[offset + length] = '|';
            wire[offset + length + 1] = 0;
        }
    }
    SwapUsedValues(wire);
}

uint32_t NuvexPolicy_EncodeText(const uint8_t* record, char* text, uint32_t capacity) {
    static const char kHex[] = "0123456789ABCDEF";
    if (capacity > NUVEX_POLICY_TEXT_MAX) capacity = NUVEX_POLICY_TEXT_MAX;
    TextOut out{text, capacity, 0};
    bool ok = out.Put(kLead[0]) && out.Put(kLead[1]) && out.Put(kLead[2]) &&
              out.Number(Load32(record + kPolicyIdOffset)) && out.Put('|');
    uint32_t end = kPolicyRecordSize;
    while (end > kContentStart && record[end - 1] == 0) --end;
    for (uint32_t i = kContentStart; ok && i < end;) {
        uint8_t byte = record[i];
        if (byte == 0) {
            uint32_t run = 0;
            while (i + run < end && record[i + run] == 0) ++run;
            ok = out.Put('~') && out.Number(run) && out.Put('.');
            i += run;
        } else if (IsLiteral(byte)) {
            ok = out.Put(static_cast<char>(byte));
            ++i;
        } else {
            ok = out.Put('%') && out.Put(kHex[byte >> 4]) && out.Put(kHex[byte & 0xF]);
            ++i;
        }
    }
    ok = ok && out.Put('|');
    return ok ? out.length : 0;
}

int NuvexPolicy_DecodeText(const char* text, uint32_t length, uint8_t* record) {
    if (!text || length < 5 || memcmp(text, kLead, sizeof kLead) != 0) return 0;

    uint32_t at = 3;
    uint64_t id = 0;
    while (at < length && text[at] >= '0' && text[at] <= '9' && at < 3 + 10) {
        id = id * 10 + static_cast<uint32_t>(text[at] - '0');
        ++at;
    }
    if (at == 3 || id == 0 || id > 0xFFFFFFFFull) return 0;
    if (at == length || text[at] != '|') return 0;
    ++at;
    // The content holds no "|" of its own, so one after it is the optional final separator.
    if (at < length && text[length - 1] == '|') --length;

    memset(record, 0, kPolicyRecordSize);
    Store32(record + kPolicyIdOffset, static_cast<uint32_t>(id));
    uint32_t position = kContentStart;
    while (at < length) {
        char c = text[at];
        if (c == '~') {
            uint32_t run = 0;
            uint32_t digits = 0;
            ++at;
            while (at < length && text[at] >= '0' && text[at] <= '9' && digits < 5) {
                run = run * 10 + static_cast<uint32_t>(text[at] - '0');
                ++at;
                ++digits;
            }
            if (digits == 0 || run == 0 || at >= length || text[at] != '.') return 0;
            ++at;
            if (run > kPolicyRecordSize - position) return 0;
            position += run;  // already zero
        } else if (c == '%') {
            if (length - at < 3) return 0;
            int high = HexDigit(text[at + 1]);
            int low = HexDigit(text[at + 2]);
            if (high < 0 || low < 0 || position >= kPolicyRecordSize) return 0;
            record[position++] = static_cast<uint8_t>(high * 16 + low);
            at += 3;
        } else {
            if (!IsLiteral(static_cast<uint8_t>(c)) || position >= kPolicyRecordSize) return 0;
            record[position++] = static_cast<uint8_t>(c);
            ++at;
        }
    }
    return Canonicalise(record) ? 1 : 0;
}

}  // extern "C"
