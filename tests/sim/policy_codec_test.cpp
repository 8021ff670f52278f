// The policy text form: round trips and refusal of damaged texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policy_codec.h"

namespace {

std::vector<uint8_t> StoredRecord(uint32_t id) {
    std::vector<uint8_t> record(NUVEX_POLICY_RECORD_SIZE, 0);
    std::memcpy(record.data() + 4, &id, 4);
    record[8] = '%';
    record[9] = '|';
    record[10] = '~';
    record[11] = '\r';
    record[12] = '\n';
    record[13] = 0xFF;
    record[14] = ' ';
    record[48] = 3;  // EntryCount
    std::strcpy(reinterpret_cast<char*>(record.data() + 1092), "a|b|c");
    record[1348] = 11;  // ValueCount1
    for (int i = 0; i < 44; ++i) record[1352 + i] = static_cast<uint8_t>(i * 7);
    record[2467] = 0;  // trailing zeros are left out of the text
    return record;
}

std::string Encode(const std::vector<uint8_t>& record) {
    char text[NUVEX_POLICY_TEXT_BUFFER];
    uint32_t length = NuvexPolicy_EncodeText(record.data(), text, sizeof text);
    return std::string(text, length);
}

bool Decode(const std::string& text, std::vector<uint8_t>* record) {
    record->assign(NUVEX_POLICY_RECORD_SIZE, 0xCC);
    return NuvexPolicy_DecodeText(text.data(), static_cast<uint32_t>(text.size()),
                                  record->data()) != 0;
}

TEST(PolicyCodec, TextRoundTripsEveryByte) {
    std::vector<uint8_t> record = StoredRecord(4000000000u);
    std::string text = Encode(record);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.rfind("NVP4000000000|", 0), 0u);
    EXPECT_EQ(text.back(), '|');
    EXPECT_EQ(text.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    EXPECT_EQ(text.find('|', 14), text.size() - 1) << "no separator inside the content";
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(Decode(text, &decoded));
    EXPECT_EQ(decoded, record);
    ASSERT_TRUE(Decode(text.substr(0, text.size() - 1), &decoded));
    EXPECT_EQ(decoded, record);
}

TEST(PolicyCodec, DamagedTextsAreRefused) {
    std::vector<uint8_t> record;
    const char* bad[] = {
        "",          "NVP",        "NVP|",          "NVP0|",        "NVP12",
        "XYZ12|",    "NVP1x|",     "NVP99999999999|", "NVP4294967296|", "NVP1|%G0",
        "NVP1|%4",   "NVP1|~0.",   "NVP1|~.",       "NVP1|~12",     "NVP1|~99999.",
        "NVP1|a|b",  "NVP1|\r",    "NVP1|~2461.",   "NVP1|~40.%0B", "NVP1|~1340.%0C",
    };
    for (const char* text : bad) EXPECT_FALSE(Decode(text, &record)) << text;
    EXPECT_TRUE(Decode("NVP1|", &record));   // an empty record as a reader hands it back
    EXPECT_TRUE(Decode("NVP1||", &record));  // and as the driver sends it
    EXPECT_TRUE(Decode("NVP4294967295|~40.%0A", &record));  // EntryCount 10
    EXPECT_TRUE(Decode("NVP1|~2460.", &record));
}

// The worked examples of the reference's policy-text grammar read as it says.
TEST(PolicyCodec, TheReferenceExamplesReadAsDocumented) {
    struct Field { uint32_t offset; std::string bytes; };
    struct Example { const char* text; uint32_t id; std::vector<Field> fields; };
    const std::string one("\x01\0\0\0", 4), seven("\x07\0\0\0", 4);
    const Example examples[] = {
        {"NVP3|~1084.F:\\reports", 3, {{NUVEX_POLICY_TEXT_LIST1, std::string("F:\\reports\0", 11)}}},
        {"NVP1|~1084.C:\\docs%7CD:\\work~241.%01~3.%07~43.winword.exe%7Cexcel.exe", 1,
         {{NUVEX_POLICY_TEXT_LIST1, std::string("C:\\docs|D:\\work\0", 16)},
          {NUVEX_POLICY_VALUE_COUNT1, one},
          {NUVEX_POLICY_VALUES1, seven},
          {NUVEX_POLICY_TEXT_LIST2, std::string("winword.exe|excel.exe\0", 22)}}},
        {"NVP51|", 51, {}},
    };
    for (const Example& example : examples) {
        std::vector<uint8_t> record;
        ASSERT_TRUE(Decode(example.text, &record)) << example.text;
        std::vector<uint8_t> expected(NUVEX_POLICY_RECORD_SIZE, 0);
        std::memcpy(expected.data() + NUVEX_POLICY_ID, &example.id, 4);
        for (const Field& field : example.fields)
            std::memcpy(expected.data() + field.offset, field.bytes.data(), field.bytes.size());
        EXPECT_EQ(record, expected) << example.text;
    }
}

TEST(PolicyCodec, WireFormReversesUsedValuesAndChecksCounts) {
    std::vector<uint8_t> wire(NUVEX_POLICY_RECORD_SIZE, 0);
    wire[4] = 1;
    wire[1348] = 1;  // one used slot
    const uint8_t value[8] = {0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB, 0xCC, 0xDD};
    std::memcpy(wire.data() + 1352, value, 8);
    std::strcpy(reinterpret_cast<char*>(wire.data() + 1396), std::string(255, 'x').c_str());
    std::vector<uint8_t> stored(NUVEX_POLICY_RECORD_SIZE);
    ASSERT_TRUE(NuvexPolicy_FromWire(wire.data(), stored.data()));
    const uint8_t host[8] = {0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(std::memcmp(stored.data() + 1352, host, 8), 0);

    std::vector<uint8_t> back(NUVEX_POLICY_RECORD_SIZE);
    NuvexPolicy_ToWire(stored.data(), back.data());
    EXPECT_EQ(std::memcmp(back.data() + 1352, value, 8), 0);
    // A full 255-character list gets no separator: there is no room for it and its NUL.
    EXPECT_EQ(back[1396 + 254], 'x');
    EXPECT_EQ(back[1396 + 255], 0);

    wire[1348] = 12;
    EXPECT_FALSE(NuvexPolicy_FromWire(wire.data(), stored.data()));
}

}  // namespace
