// The secure-run process list (cursors, reversed two-level order, wire decoding, bounded
// walks) and the encrypted-document list (separator rules and failure numbers).
#include <cstring>

#include "driver/monitor_lists.h"
#include "driver/separator_text.h"
#include "driver_fixture.h"

namespace nuvex::test {
namespace {

// A 272-byte block: the driver's garbage in `next` and the inner-list word, the identifier,
// and a recognisable pattern in the driver data.
std::vector<uint8_t> Block(uint32_t id, uint8_t fill) {
    std::vector<uint8_t> block(272, fill);
    std::vector<uint8_t> word = LE32(0xFFFFFFFF);
    std::copy(word.begin(), word.end(), block.begin());
    std::copy(word.begin(), word.end(), block.begin() + 12);
    word = LE32(id);
    std::copy(word.begin(), word.end(), block.begin() + 4);
    return block;
}

// Entries 10 and 20, each with sub-entries id+1 and id+2.
FakeReply TwoByTwo(const FakeRequest& request) {
    if (request.code == codes::kSecRunNextEntry) {
        uint32_t cursor = U32At(request.input, 0);
        if (cursor == 0) return FakeReply::Ok(Block(10, 0xA0));
        if (cursor == 10) return FakeReply::Ok(Block(20, 0xB0));
        return FakeReply::Fail();
    }
    if (request.code == codes::kSecRunNextSubEntry) {
        uint32_t entry = U32At(request.input, 0);
        uint32_t cursor = U32At(request.input, 4);
        if (cursor == 0) return FakeReply::Ok(Block(entry + 1, 0xC1));
        if (cursor == entry + 1) return FakeReply::Ok(Block(entry + 2, 0xC2));
        return FakeReply::Fail();
    }
    return FakeReply::Fail();
}

std::vector<uint32_t> SubIds(const SecRunProcEntry* entry) {
    std::vector<uint32_t> ids;
    for (const SecRunSubEntry* sub = entry->subEntries; sub != nullptr; sub = sub->next)
        ids.push_back(sub->id);
    return ids;
}

size_t Blocks(const SecRunProcEntry* list) {
    size_t blocks = 0;
    for (; list != nullptr; list = list->next) blocks += 1 + SubIds(list).size();
    return blocks;
}

using SecRunTest = DriverTest;

TEST_F(SecRunTest, TwoLevelListIsReversedAndCursorsFollowTheLastBlock) {
    StartDriver(TwoByTwo);
    SecRunProcEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->id, 20u);
    EXPECT_EQ(SubIds(list), (std::vector<uint32_t>{22, 21}));
    EXPECT_EQ(list->next->id, 10u);
    EXPECT_EQ(SubIds(list->next), (std::vector<uint32_t>{12, 11}));
    EXPECT_EQ(list->next->next, nullptr);

    // Driver data passes through; the driver's link words do not.
    EXPECT_EQ(list->driverData, 0xB0B0B0B0u);
    EXPECT_EQ(list->data[0], 0xB0);
    EXPECT_EQ(list->data[255], 0xB0);
    EXPECT_EQ(list->subEntries->data[0], 0xC2);
    EXPECT_EQ(list->subEntries->data[263], 0xC2);
    EXPECT_EQ(list->subEntries->next->next, nullptr);

    std::vector<FakeRequest> own = OwnRequests();
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sent;
    for (const auto& request : own) {
        EXPECT_EQ(request.outputLength, 272u);
        sent.emplace_back(request.code, request.input);
    }
    auto pair = [](uint32_t a, uint32_t b) {
        std::vector<uint8_t> bytes = LE32(a);
        std::vector<uint8_t> second = LE32(b);
        bytes.insert(bytes.end(), second.begin(), second.end());
        return bytes;
    };
    const uint32_t entry = codes::kSecRunNextEntry;
    const uint32_t sub = codes::kSecRunNextSubEntry;
    EXPECT_EQ(sent, (std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{
                        {entry, LE32(0)},
                        {sub, pair(10, 0)},
                        {sub, pair(10, 11)},
                        {sub, pair(10, 12)},
                        {entry, LE32(10)},
                        {sub, pair(20, 0)},
                        {sub, pair(20, 21)},
                        {sub, pair(20, 22)},
                        {entry, LE32(20)},
                    }));
    std::vector<uint32_t> ownCodes;
    for (const auto& request : own) ownCodes.push_back(request.code);
    ExpectBracketed(ownCodes);
    EXPECT_EQ(NuvexCtrl_FreeSecRunProcList(list), 0u);
}

TEST_F(SecRunTest, ResultCodes) {
    SecRunProcEntry* list = reinterpret_cast<SecRunProcEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(nullptr), 25u);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 109u);
    EXPECT_EQ(list, nullptr);

    StartDriver([](const FakeRequest&) { return FakeReply::Fail(); });
    list = reinterpret_cast<SecRunProcEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(NuvexCtrl_FreeSecRunProcList(nullptr), 119u);
}

TEST_F(SecRunTest, BlockThatDoesNotAdvanceTheCursorEndsTheWalk) {
    // Entries always come back as 7; sub-entries always as 3.
    StartDriver([](const FakeRequest& request) {
        return FakeReply::Ok(Block(request.code == codes::kSecRunNextEntry ? 7 : 3, 0));
    });
    SecRunProcEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(SubIds(list), (std::vector<uint32_t>{3}));
    EXPECT_EQ(OwnRequests().size(), 4u);
    NuvexCtrl_FreeSecRunProcList(list);
}

TEST_F(SecRunTest, IdentifierZeroWouldRestartTheWalkAndEndsIt) {
    // After entry 10 the driver succeeds without bytes: a block of zeros, identifier 0.
    StartDriver([](const FakeRequest& request) {
        if (request.code == codes::kSecRunNextEntry && U32At(request.input, 0) == 0)
            return FakeReply::Ok(Block(10, 0));
        return FakeReply::Ok();
    });
    SecRunProcEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->id, 10u);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list->subEntries, nullptr);
    EXPECT_EQ(OwnRequests().size(), 3u);
    NuvexCtrl_FreeSecRunProcList(list);
}

TEST_F(SecRunTest, EndlessEnumerationIsBounded) {
    // Identifiers alternate 1, 2, 1, 2: each request advances, the walk never ends by itself.
    StartDriver([](const FakeRequest& request) {
        if (request.code != codes::kSecRunNextEntry) return FakeReply::Fail();
        return FakeReply::Ok(Block(U32At(request.input, 0) == 1 ? 2 : 1, 0));
    });
    SecRunProcEntry* list = nullptr;
    // The bound is a failure of its own: no truncated list is passed off as the whole one.
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(list, nullptr);
}

TEST_F(SecRunTest, RefusedAllocationEndsTheWalkWithWhatWasGathered) {
    StartDriver(TwoByTwo);
    // From the fourth block on the heap refuses everything.
    NuvexTest_HeapFailAt(4, 1);
    SecRunProcEntry* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    NuvexTest_HeapFailAt(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->id, 10u);
    EXPECT_EQ(SubIds(list), (std::vector<uint32_t>{12, 11}));
    EXPECT_EQ(list->next, nullptr);
    EXPECT_TRUE(AllConnectionsClosed());
    NuvexCtrl_FreeSecRunProcList(list);
}

TEST_F(SecRunTest, NoBlockIsRequestedWithoutRoomToKeepIt) {
    StartDriver(TwoByTwo);
    NuvexTest_HeapFailAt(1, 1);  // not even the first entry
    SecRunProcEntry* list = reinterpret_cast<SecRunProcEntry*>(1);
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(OwnRequests().empty());
    ExpectBracketed({});

    StartDriver(TwoByTwo);
    NuvexTest_HeapFailAt(2, 1);  // the first entry, but none of its sub-entries
    EXPECT_EQ(NuvexCtrl_GetSecRunProcList(&list), 0u);
    NuvexTest_HeapFailAt(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->id, 10u);
    EXPECT_EQ(list->subEntries, nullptr);
    ExpectBracketed({codes::kSecRunNextEntry});
    NuvexCtrl_FreeSecRunProcList(list);
}

// ---- encrypted-document list -----------------------------------------------------------

class EnFileTest : public DriverTest {
protected:
    // Announces `announced` bytes and replies with `text`.
    void Serve(const std::string& text, std::optional<uint32_t> announced = std::nullopt) {
        uint32_t size = announced.value_or(static_cast<uint32_t>(text.size()));
        StartDriver([text, size](const FakeRequest& request) {
            if (request.code == codes::kEnFileTextSize) return FakeReply::U32(size);
            if (request.code == codes::kEnFileText) return FakeReply::Ok(Bytes(text));
            return FakeReply::Fail();
        });
    }
};

TEST_F(EnFileTest, ItemsComeBackReversed) {
    Serve("a|b|c|");
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0x5E1EC7, &list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(count, 3u);
    NuvexCtrl_FreeUserStrList(list);

    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].input, LE32(0x5E1EC7));
    EXPECT_EQ(own[0].outputLength, 4u);
    EXPECT_EQ(own[1].input, LE32(0x5E1EC7));
    EXPECT_EQ(own[1].outputLength, 6u + 4u);
    ExpectBracketed({codes::kEnFileTextSize, codes::kEnFileText});
}

TEST_F(EnFileTest, EmptyItemsAndTheSingleTrailingSeparator) {
    Serve("a||b");
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"b", "", "a"}));
    EXPECT_EQ(count, 3u);
    NuvexCtrl_FreeUserStrList(list);

    Serve("|");
    list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 194u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(EnFileTest, NothingAnnouncedIsAnEmptyList) {
    Serve("", 0);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    uint32_t count = 4;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Driver().Codes().size(), 4u);  // handshake and the size request only

    StartDriver([](const FakeRequest&) { return FakeReply::Fail(); });
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 0u);
    EXPECT_EQ(list, nullptr);
}

TEST_F(EnFileTest, ResultCodes) {
    uint32_t count = 7;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, nullptr, &count), 159u);
    EXPECT_EQ(count, 0u);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, nullptr), 256u);
    EXPECT_EQ(list, nullptr);

    Serve("abc");
    NuvexTest_HeapFailAt(1, 0);
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, nullptr), 248u);
    NuvexTest_HeapFailAt(0, 0);

    StartDriver([](const FakeRequest& request) {
        return request.code == codes::kEnFileTextSize ? FakeReply::U32(3) : FakeReply::Fail();
    });
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, nullptr), 240u);
    Serve("", 3);  // the text request returns no bytes
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, nullptr), 240u);
    EXPECT_EQ(list, nullptr);
}

TEST_F(EnFileTest, RefusedNodeReleasesEverythingAndKeepsTheCount) {
    Serve("a|b|c");
    // Allocations: the text buffer, then node and data block per item; the third is refused.
    NuvexTest_HeapFailAt(6, 0);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 229u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 3u);
}

TEST_F(EnFileTest, HostileSizesAndReplies) {
    // A size that would wrap the buffer length is refused without a text request.
    Serve("x", 0xFFFFFFFE);
    UserStrNode* list = nullptr;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, nullptr), 248u);
    EXPECT_EQ(OwnRequests().size(), 1u);

    // A reply longer than announced fills the four spare bytes too: no terminator is left,
    // and nothing is read beyond the reply.
    Serve("ab|cdefg", 4);
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"cdefg", "ab"}));
    EXPECT_EQ(count, 2u);
    NuvexCtrl_FreeUserStrList(list);

    // A zero byte inside an item ends that item's string.
    Serve(std::string("ab\0cd|e", 7));
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"e", "ab"}));
    NuvexCtrl_FreeUserStrList(list);

    // A text of more items than the bound is refused before any node is built (every
    // allocation after the text buffer would fail); one at the bound is split as usual.
    Serve(std::string(kMaxTextItems, '|') + "x");
    NuvexTest_HeapFailAt(2, 1);
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), NUVEX_E_TEXT_TOO_MANY_ITEMS);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    Serve(std::string(kMaxTextItems - 1, '|') + "x");
    NuvexTest_HeapFailAt(2, 1);
    EXPECT_EQ(NuvexCtrl_GetEnFileList(0, &list, &count), 229u);
    NuvexTest_HeapFailAt(0, 0);
}

}  // namespace
}  // namespace nuvex::test
