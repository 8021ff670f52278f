// List routines shared by the exports, the Free exports and the heap's test hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/heap.h"
#include "frame/lists.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace {

using nuvex::List_PushFront;
using nuvex::UserStrList_Add;

class ListTest : public ::testing::Test {
protected:
    void SetUp() override {
        NuvexTest_HeapFailAt(0, 0);
        baseline_ = NuvexTest_HeapLiveBlocks();
    }
    void TearDown() override {
        NuvexTest_HeapFailAt(0, 0);
        EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_) << "heap blocks leaked";
    }
    uint32_t baseline_ = 0;
};

std::vector<std::string> Strings(const UserStrNode* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) out.emplace_back(list->data);
    return out;
}

TEST_F(ListTest, UserStrListAddCopiesFollowedByTwoZeroBytes) {
    UserStrNode* list = nullptr;
    const char source[] = {'a', 'b', 'c', 'X'};
    ASSERT_EQ(UserStrList_Add(&list, source, 3, 0), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(std::memcmp(list->data, "abc\0\0", 5), 0);

    UserStrNode* empty = nullptr;
    ASSERT_EQ(UserStrList_Add(&empty, nullptr, 0, 1), 0u);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->data[0], '\0');
    EXPECT_EQ(empty->data[1], '\0');
    NuvexCtrl_FreeUserStrList(list);
    NuvexCtrl_FreeUserStrList(empty);
}

TEST_F(ListTest, UserStrListAddAtHeadAndAtTail) {
    UserStrNode* list = nullptr;
    ASSERT_EQ(UserStrList_Add(&list, "b", 1, 1), 0u);  // tail of an empty list: the head
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"b"}));
    UserStrNode* oldHead = list;
    ASSERT_EQ(UserStrList_Add(&list, "a", 1, 0), 0u);
    EXPECT_EQ(list->next, oldHead);
    ASSERT_EQ(UserStrList_Add(&list, "c", 1, 1), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(list), 0u);
}

TEST_F(ListTest, UserStrListAddAllocationFailuresLeaveTheListAsItWas) {
    UserStrNode* list = nullptr;
    ASSERT_EQ(UserStrList_Add(&list, "a", 1, 0), 0u);
    NuvexTest_HeapFailAt(1, 0);  // the node
    EXPECT_EQ(UserStrList_Add(&list, "b", 1, 0), 28u);
    NuvexTest_HeapFailAt(2, 0);  // its data block: the node is released again
    EXPECT_EQ(UserStrList_Add(&list, "b", 1, 1), 22u);
    NuvexTest_HeapFailAt(0, 0);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"a"}));
    NuvexCtrl_FreeUserStrList(list);
}

TEST_F(ListTest, PushFrontLinksAtTheHead) {
    PolicyRecord first{};
    PolicyRecord second{};
    PolicyRecord* list = nullptr;
    List_PushFront(&list, &first);
    EXPECT_EQ(list, &first);
    EXPECT_EQ(first.next, nullptr);
    List_PushFront(&list, &second);
    EXPECT_EQ(list, &second);
    EXPECT_EQ(second.next, &first);
}

template <typename Record>
Record* BuildRecordList(int records) {
    Record* list = nullptr;
    for (int i = 0; i < records; ++i) {
        auto* record = static_cast<Record*>(nuvex::MemAllocZero(sizeof(Record)));
        List_PushFront(&list, record);
    }
    return list;
}

TEST_F(ListTest, FreeExportsNullResults) {
    EXPECT_EQ(NuvexCtrl_FreeLog(nullptr), 0u);
    EXPECT_EQ(NuvexAccCtrl_FreeLog(nullptr), 0u);
    EXPECT_EQ(NuvexCtrl_FreePolicyList(nullptr), 562u);
    EXPECT_EQ(NuvexAccCtrl_FreePolicyList(nullptr), 438u);
    EXPECT_EQ(NuvexCtrl_FreeSecRunProcList(nullptr), 119u);
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(nullptr), 274u);
    EXPECT_EQ(NuvexCtrl_FreeBuffer(nullptr), 855u);
}

TEST_F(ListTest, FreeExportsReleaseEveryBlock) {
    EXPECT_EQ(NuvexCtrl_FreeLog(BuildRecordList<LogEntry>(3)), 0u);
    EXPECT_EQ(NuvexCtrl_FreePolicyList(BuildRecordList<PolicyRecord>(3)), 0u);
    EXPECT_EQ(NuvexAccCtrl_FreePolicyList(BuildRecordList<AccPolicyRecord>(2)), 0u);
    EXPECT_EQ(NuvexCtrl_FreeBuffer(nuvex::MemAlloc(17)), 0u);

    // A two-level list: every sub-entry of every entry, then the entry.
    SecRunProcEntry* entries = BuildRecordList<SecRunProcEntry>(3);
    entries->next->subEntries = BuildRecordList<SecRunSubEntry>(2);
    entries->next->next->subEntries = BuildRecordList<SecRunSubEntry>(1);
    EXPECT_EQ(NuvexCtrl_FreeSecRunProcList(entries), 0u);

    // A string node whose data block is missing is still released.
    UserStrNode* strings = nullptr;
    UserStrList_Add(&strings, "x", 1, 0);
    UserStrList_Add(&strings, "y", 1, 0);
    nuvex::MemFree(strings->data);
    strings->data = nullptr;
    EXPECT_EQ(NuvexCtrl_FreeUserStrList(strings), 0u);
}

TEST_F(ListTest, BothLogFreeNamesAreOneRoutine) {
    EXPECT_EQ(reinterpret_cast<void*>(&NuvexCtrl_FreeLog),
              reinterpret_cast<void*>(&NuvexAccCtrl_FreeLog));
    EXPECT_EQ(NuvexAccCtrl_FreeLog(reinterpret_cast<AccLogRecord*>(BuildRecordList<LogEntry>(2))),
              0u);
    EXPECT_EQ(NuvexCtrl_FreeLog(reinterpret_cast<LogEntry*>(BuildRecordList<AccLogRecord>(2))), 0u);
}

TEST_F(ListTest, HeapFaultHookFailsTheNthAllocationOnceOrFromThenOn) {
    NuvexTest_HeapFailAt(2, 0);
    void* first = nuvex::MemAlloc(8);
    void* second = nuvex::MemAlloc(8);
    void* third = nuvex::MemAllocZero(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(NuvexTest_HeapAllocCount(), 3u);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_ + 2);
    nuvex::MemFree(first);
    nuvex::MemFree(third);

    NuvexTest_HeapFailAt(2, 1);
    first = nuvex::MemAlloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(nuvex::MemAlloc(8), nullptr);
    EXPECT_EQ(nuvex::MemAlloc(8), nullptr);
    nuvex::MemFree(first);
    nuvex::MemFree(nullptr);
}

TEST_F(ListTest, HeapBlockOwnerReleasesUnlessHandedOut) {
    {
        nuvex::HeapBlock<char> owned;
        ASSERT_TRUE(owned.allocateZero(32));
        EXPECT_EQ(owned.get()[31], '\0');
        EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_ + 1);
    }
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_);
    nuvex::HeapBlock<char> handed;
    ASSERT_TRUE(handed.allocateZero(4));
    char* block = handed.release();
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_ + 1);
    nuvex::MemFree(block);
}

}  // namespace
