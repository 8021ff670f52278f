// Policy texts: one text by ID, the text walk and its cursor, insertion of a text.
#include <map>

#include "policy/policy_walk.h"
#include "policy_fixture.h"

namespace nuvex::test {
namespace {

// A driver table of texts keyed by ID, delivered in ID order as the driver sends them.
FakeDriver::Handler TextTable(std::map<uint32_t, std::string> table) {
    return [table](const FakeRequest& request) {
        if (request.code != md::kPolicyStrNext) return FakeReply::Ok();
        auto next = table.upper_bound(U32At(request.input, 0));
        if (next == table.end()) return FakeReply::Fail();
        return FakeReply::Ok(Bytes(next->second));
    };
}

// A driver that answers every walk request with the same text.
FakeDriver::Handler SameText(std::string text) {
    return [text](const FakeRequest& request) {
        if (request.code != md::kPolicyStrNext) return FakeReply::Ok();
        return FakeReply::Ok(Bytes(text));
    };
}

TEST(PolicyTextIdTest, ReadsDecimalAfterTheLeadUpToTheSeparator) {
    auto id = [](const std::string& text) { return nuvex::PolicyTextId(text.data(), text.size()); };
    EXPECT_EQ(id("abc42|x"), 42u);
    EXPECT_EQ(id("abc 7|y"), 7u);
    EXPECT_EQ(id("abc\t+9|"), 9u);
    EXPECT_EQ(id("abc12x|3"), 12u);
    EXPECT_EQ(id("abc4294967295|"), 4294967295u);
    EXPECT_EQ(id("abc99999999999|"), 4294967295u);
    EXPECT_EQ(id("abc-1|"), 4294967295u);
    // Without a separator the ID runs to the end of the text.
    EXPECT_EQ(id("abc15"), 15u);
    EXPECT_EQ(id("abc|5"), 0u);
    EXPECT_EQ(id("ab"), 0u);
    EXPECT_EQ(id(""), 0u);
    // Only 39 characters are read: a longer field is cut before the digits.
    EXPECT_EQ(id("abc" + std::string(39, ' ') + "8|"), 0u);
    EXPECT_EQ(id("abc" + std::string(38, ' ') + "8|"), 8u);
    // Nothing beyond the given length is read.
    EXPECT_EQ(nuvex::PolicyTextId("abc12|", 4), 1u);
}

TEST_F(PolicyTest, TextWalkListsInReverseAndFollowsTheHeadsId) {
    StartDriver(TextTable({{3, "abc3|p|"}, {8, "abc 8|q|"}, {21, "abc21|r"}}));
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext), (std::vector<uint32_t>{0, 3, 8, 21}));
    for (const auto& request : RequestsOf(md::kPolicyStrNext))
        EXPECT_EQ(request.outputLength, 2048u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"abc21|r", "abc 8|q", "abc3|p"}));
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(list), 0u);
}

TEST_F(PolicyTest, EmptyTextTableGivesNullList) {
    StartDriver(TextTable({}));
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext), (std::vector<uint32_t>{0}));
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(nullptr), 870u);
}

TEST_F(PolicyTest, TextWalkEndsWhenTheCursorDoesNotAdvance) {
    // The same policy whatever is asked: listed once.
    StartDriver(SameText("abc 7|y|"));
    UserStrNode* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext), (std::vector<uint32_t>{0, 7}));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"abc 7|y"}));
    NuvexCtrl_FreeUserStrList(list);

    // A first text whose ID reads as 0 (here: shorter than its lead) would restart the walk.
    driver_->ClearRequests();
    driver_->SetHandler(SameText("ab"));
    list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext), (std::vector<uint32_t>{0}));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"ab"}));
    NuvexCtrl_FreeUserStrList(list);
}

TEST_F(PolicyTest, TextWalkStopsAfterATextWhoseIdReadsAsZero) {
    // A later text without digits after its lead would send the walk back to the start.
    StartDriver([](const FakeRequest& request) {
        if (request.code != md::kPolicyStrNext) return FakeReply::Ok();
        return FakeReply::Ok(Bytes(U32At(request.input, 0) == 5 ? "abcX|z|" : "abc5|y|"));
    });
    UserStrNode* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext), (std::vector<uint32_t>{0, 5}));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"abcX|z", "abc5|y"}));
    NuvexCtrl_FreeUserStrList(list);
}

TEST_F(PolicyTest, TextWalkOfACyclingDriverStopsAtTheBound) {
    StartDriver([](const FakeRequest& request) {
        if (request.code != md::kPolicyStrNext) return FakeReply::Ok();
        return FakeReply::Ok(Bytes(U32At(request.input, 0) == 1 ? "abc2|" : "abc1|"));
    });
    UserStrNode* list = nullptr;
    // The bound is a failure of its own, and the table it would truncate is neither saved
    // nor taken as the table to restore by a load.
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&list), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(InputsOf(md::kPolicyStrNext).size(), nuvex::kPolicyWalkLimit);
    const std::string path = Scratch("policies.dat");
    WriteFileBytes(path, "old file");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_EQ(ReadFileBytes(path), "old file");
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), NUVEX_E_WALK_BOUND_REACHED);
    EXPECT_TRUE(InputsOf(md::kPolicyDeleteAll).empty());
}

TEST_F(PolicyTest, FullReplyWithoutTerminatorStaysInsideItsBuffer) {
    // 2048 bytes, no NUL and no "|" anywhere: the lead is followed by letters, so the ID is 0.
    StartDriver(SameText(std::string(2048, 'a')));
    UserStrNode* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{std::string(2047, 'a')}));
    NuvexCtrl_FreeUserStrList(list);

    // 2047 characters and the trailing separator fill the reply exactly.
    driver_->SetHandler(SameText("abc5" + std::string(2043, 'b') + "|"));
    list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    ASSERT_EQ(Texts(list).size(), 1u);
    EXPECT_EQ(Texts(list)[0], "abc5" + std::string(2043, 'b'));
    NuvexCtrl_FreeUserStrList(list);

    // A head text whose ID field is far longer than 40 characters.
    driver_->SetHandler(SameText("abc" + std::string(2000, '1') + "|"));
    list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_FALSE(Texts(list).empty());
    NuvexCtrl_FreeUserStrList(list);
}

TEST_F(PolicyTest, TextWalkAllocationFailures) {
    StartDriver(TextTable({{3, "abc3|"}, {8, "abc8|"}}));
    // First allocation: the reply buffer. Without it the walk reports an empty table.
    NuvexTest_HeapFailAt(1, 0);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(RequestsOf(md::kPolicyStrNext).empty());

    // Reply buffer, node and text of the first policy, then the second node fails.
    for (uint32_t nth : {2u, 3u, 4u, 5u}) {
        NuvexTest_HeapFailAt(nth, 0);
        list = reinterpret_cast<UserStrNode*>(1);
        EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&list), 926u) << nth;
        EXPECT_EQ(list, nullptr);
    }
    NuvexTest_HeapFailAt(0, 0);
}

TEST_F(PolicyTest, OneTextByIdLosesOnlyItsTrailingSeparator) {
    std::string reply;
    bool fail = false;
    StartDriver([&](const FakeRequest& request) {
        if (request.code != md::kPolicyStrById) return FakeReply::Ok();
        return fail ? FakeReply::Fail() : FakeReply::Ok(Bytes(reply));
    });
    char* text = nullptr;
    reply = "abc9|0123456789a|";  // 17 bytes
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(9, &text), 0u);
    EXPECT_EQ(InputsOf(md::kPolicyStrById), (std::vector<uint32_t>{9}));
    EXPECT_EQ(RequestsOf(md::kPolicyStrById)[0].outputLength, 2048u);
    EXPECT_EQ(std::string(text), "abc9|0123456789a");
    EXPECT_EQ(NuvexCtrl_FreeBuffer(text), 0u);

    reply = "abc9|x";
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(9, &text), 0u);
    EXPECT_EQ(std::string(text), "abc9|x");
    NuvexCtrl_FreeBuffer(text);

    reply = std::string(2048, 'c');
    ASSERT_EQ(NuvexCtrl_GetOnePolicyStr(9, &text), 0u);
    EXPECT_EQ(std::string(text), std::string(2047, 'c'));
    NuvexCtrl_FreeBuffer(text);

    fail = true;
    text = reinterpret_cast<char*>(1);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(9, &text), 834u);
    EXPECT_EQ(text, nullptr);

    fail = false;
    NuvexTest_HeapFailAt(1, 0);
    text = reinterpret_cast<char*>(1);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(9, &text), 0u);
    EXPECT_EQ(text, nullptr);
    NuvexTest_HeapFailAt(0, 0);

    driver_->ClearRequests();
    text = reinterpret_cast<char*>(1);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(0, &text), 793u);
    EXPECT_EQ(text, reinterpret_cast<char*>(1));
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(9, nullptr), 793u);
    EXPECT_TRUE(driver_->Codes().empty());
    EXPECT_EQ(NuvexCtrl_FreeBuffer(nullptr), 855u);
}

TEST_F(PolicyTest, InsertTextSendsExactlyItsCharacters) {
    bool fail = false;
    StartDriver([&](const FakeRequest&) { return fail ? FakeReply::Fail() : FakeReply::Ok(); });
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr("abc1|x"), 0u);
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr(""), 0u);
    auto sent = RequestsOf(md::kPolicyStrInsert);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].input, Bytes("abc1|x"));
    EXPECT_EQ(sent[0].outputLength, 0u);
    EXPECT_TRUE(sent[1].input.empty());
    fail = true;
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr("abc1|x"), 991u);
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr(nullptr), 960u);
}

TEST_F(PolicyTest, UnreachableDriverTextCodes) {
    char* text = reinterpret_cast<char*>(1);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetOnePolicyStr(1, &text), 842u);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(NuvexCtrl_GetPolicyStrList(&list), 942u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(NuvexCtrl_InsertPolicyStr("abc1|"), 997u);
}

}  // namespace
}  // namespace nuvex::test
