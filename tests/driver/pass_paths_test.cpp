// The pass-path store: reading the driver's paths, adding and clearing them, and the byte
// rules and failure handling of the pass-path file.
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "driver/pass_paths.h"
#include "driver/separator_text.h"
#include "driver_fixture.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

class PassPathTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        std::filesystem::create_directories(SystemDirectory());
    }
    // A driver that accepts every change and holds `text` for reading.
    void ServeText(const std::string& text) {
        StartDriver([text](const FakeRequest& request) {
            if (request.code == codes::kPassPathSize)
                return FakeReply::U32(static_cast<uint32_t>(text.size()));
            if (request.code == codes::kPassPathText) return FakeReply::Ok(Bytes(text));
            return FakeReply::Ok();
        });
    }
    std::string File() const { return ReadFileBytes(PassPathFile()); }
    std::vector<uint8_t> AddedText() const {
        std::vector<FakeRequest> own = OwnRequests();
        return own.empty() ? std::vector<uint8_t>{} : own.back().input;
    }
};

// ---- reading ---------------------------------------------------------------------------

TEST_F(PassPathTest, PathsComeBackInTheDriversOrder) {
    ServeText("C:\\a|D:\\b|E:\\c|");
    UserStrNode* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{"C:\\a", "D:\\b", "E:\\c"}));
    EXPECT_EQ(count, 3u);
    NuvexCtrl_FreeUserStrList(list);
    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 2u);
    EXPECT_TRUE(own[0].input.empty());
    EXPECT_EQ(own[0].outputLength, 4u);
    EXPECT_TRUE(own[1].input.empty());
    EXPECT_EQ(own[1].outputLength, 15u + 4u);
    ExpectBracketed({codes::kPassPathSize, codes::kPassPathText});
}

TEST_F(PassPathTest, ReadingResultCodes) {
    uint32_t count = 3;
    EXPECT_EQ(NuvexCtrl_GetPassPath(nullptr, &count), 132u);
    EXPECT_EQ(count, 0u);
    UserStrNode* list = reinterpret_cast<UserStrNode*>(1);
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, nullptr), 229u);
    EXPECT_EQ(list, nullptr);

    ServeText("");  // announces 0
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 0u);
    EXPECT_EQ(list, nullptr);

    ServeText("p|q");
    NuvexTest_HeapFailAt(1, 0);
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, nullptr), 221u);
    NuvexTest_HeapFailAt(4, 0);  // the second path's node
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 202u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 2u);
    NuvexTest_HeapFailAt(0, 0);

    ServeText("|");
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), 167u);
    EXPECT_EQ(list, nullptr);

    // More items than the bound: refused before a single node is asked for.
    ServeText(std::string(kMaxTextItems + 1, '|') + "x");
    NuvexTest_HeapFailAt(2, 1);
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, &count), NUVEX_E_TEXT_TOO_MANY_ITEMS);
    NuvexTest_HeapFailAt(0, 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);

    StartDriver([](const FakeRequest& request) {
        return request.code == codes::kPassPathSize ? FakeReply::U32(5) : FakeReply::Fail();
    });
    EXPECT_EQ(NuvexCtrl_GetPassPath(&list, nullptr), 213u);
}

// ---- adding and clearing: the file's byte rules ----------------------------------------

TEST_F(PassPathTest, PersistedAdditionsAreJoinedByOneSeparator) {
    ServeText("");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("C:\\P", 1), 0u);
    EXPECT_EQ(AddedText(), Bytes("C:\\P"));
    EXPECT_EQ(File(), "C:\\P");
    ExpectBracketed({codes::kPassPathAdd});
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("D:\\Q", 1), 0u);
    EXPECT_EQ(File(), "C:\\P|D:\\Q");

    // Content that already ends with "|" gets no second one.
    WriteFileBytes(PassPathFile(), "X|");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("Y|Z", 1), 0u);
    EXPECT_EQ(File(), "X|Y|Z");
}

TEST_F(PassPathTest, EmptyFileCountsAsNoContent) {
    ServeText("");
    WriteFileBytes(PassPathFile(), "");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("P", 1), 0u);
    EXPECT_EQ(File(), "P");
}

TEST_F(PassPathTest, EmptyTextIsSentButNotRecorded) {
    ServeText("");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("", 1), 0u);
    ASSERT_EQ(OwnRequests().size(), 1u);
    EXPECT_TRUE(AddedText().empty());
    EXPECT_FALSE(FileExists(PassPathFile()));
}

TEST_F(PassPathTest, WithoutPersistFlagTheFileIsUntouched) {
    ServeText("");
    WriteFileBytes(PassPathFile(), "old");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("new", 0), 0u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(0), 0u);
    EXPECT_EQ(File(), "old");
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 0u);
    EXPECT_TRUE(FileExists(PassPathFile()));
    EXPECT_EQ(File(), "");
    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 3u);
    EXPECT_EQ(own[1].code, codes::kPassPathDeleteAll);
    EXPECT_TRUE(own[1].input.empty());
    EXPECT_EQ(own[1].outputLength, 0u);
}

TEST_F(PassPathTest, RefusedChangesLeaveTheFile) {
    WriteFileBytes(PassPathFile(), "old");
    EXPECT_EQ(NuvexCtrl_AddStringPassPath(nullptr, 1), 286u);
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("p", 1), 314u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 350u);
    StartDriver([](const FakeRequest&) { return FakeReply::Fail(); });
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("p", 1), 307u);
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), 343u);
    EXPECT_EQ(File(), "old");
    EXPECT_TRUE(AllConnectionsClosed());
}

TEST_F(PassPathTest, StructListIsJoinedWithATrailingSeparator) {
    ServeText("");
    PassPathNode second{nullptr, const_cast<char*>("P2")};
    PassPathNode first{&second, const_cast<char*>("P1")};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&first, 1), 0u);
    EXPECT_EQ(AddedText(), Bytes("P1|P2|"));
    EXPECT_EQ(File(), "P1|P2|");
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&first, 1), 0u);
    EXPECT_EQ(File(), "P1|P2|P1|P2|");

    // No nodes: an empty text goes to the driver and the file stays.
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(nullptr, 1), 0u);
    EXPECT_TRUE(AddedText().empty());
    EXPECT_EQ(File(), "P1|P2|P1|P2|");
}

TEST_F(PassPathTest, StructListFromGetPassPathCanBePassedBack) {
    ServeText("A|B|");
    UserStrNode* list = nullptr;
    ASSERT_EQ(NuvexCtrl_GetPassPath(&list, nullptr), 0u);
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(list, 0), 0u);
    EXPECT_EQ(AddedText(), Bytes("A|B|"));
    NuvexCtrl_FreeUserStrList(list);
}

TEST_F(PassPathTest, StructListResultCodes) {
    PassPathNode node{nullptr, const_cast<char*>("P")};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&node, 1), 314u);
    ServeText("");
    NuvexTest_HeapFailAt(1, 0);
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&node, 1), 270u);
    NuvexTest_HeapFailAt(0, 0);
    EXPECT_EQ(Driver().ConnectionCount(), 0);
}

TEST_F(PassPathTest, StructListBeyondTheTextBufferIsRefusedUnsent) {
    ServeText("");
    // 10238 path bytes and one "|" leave exactly the terminating zero: accepted.
    std::string fits(pass_paths::kStructTextBytes - 2, 'p');
    PassPathNode fitting{nullptr, fits.data()};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&fitting, 0), 0u);
    EXPECT_EQ(AddedText().size(), pass_paths::kStructTextBytes - 1);

    std::string tooLong(pass_paths::kStructTextBytes - 1, 'p');
    PassPathNode single{nullptr, tooLong.data()};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&single, 1), NUVEX_E_PASSPATH_TEXT_TOO_LONG);
    std::string half(6000, 'h');
    PassPathNode tail{nullptr, half.data()};
    PassPathNode head{&tail, half.data()};
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&head, 1), NUVEX_E_PASSPATH_TEXT_TOO_LONG);
    // A list that loops back on itself ends at the buffer's bound too.
    PassPathNode loop{nullptr, const_cast<char*>("loop")};
    loop.next = &loop;
    EXPECT_EQ(NuvexCtrl_AddStructPassPath(&loop, 1), NUVEX_E_PASSPATH_TEXT_TOO_LONG);
    EXPECT_EQ(OwnRequests().size(), 1u);
    EXPECT_FALSE(FileExists(PassPathFile()));
}

// ---- the file cannot be updated --------------------------------------------------------

HANDLE HoldFile(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(PassPathTest, UpdateWaitsForAnotherHolderOfTheFile) {
    ServeText("");
    WriteFileBytes(PassPathFile(), "A");
    HANDLE held = HoldFile(PassPathFile());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CloseHandle(held);
    });
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("B", 1), 0u);
    release.join();
    EXPECT_EQ(File(), "A|B");
}

TEST_F(PassPathTest, FileHeldTooLongIsReportedAndTheDriverKeepsTheChange) {
    ServeText("");
    WriteFileBytes(PassPathFile(), "A");
    HANDLE held = HoldFile(PassPathFile());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("B", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(pass_paths::kSharingRetryMilliseconds));
    EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    CloseHandle(held);
    EXPECT_EQ(File(), "A");
    std::vector<FakeRequest> own = OwnRequests();
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].code, codes::kPassPathAdd);
    EXPECT_EQ(own[1].code, codes::kPassPathDeleteAll);
}

TEST_F(PassPathTest, FailedWritesLeaveTheOldContent) {
    ServeText("");
    WriteFileBytes(PassPathFile(), "A");
    NuvexHost_FailFileOp(kNuvexFaultWrite, 1, 0);
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("BBBB", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    EXPECT_EQ(File(), "A");

    NuvexHost_ResetFaults();
    NuvexHost_ShortWrite(1, 2);
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("BBBB", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    EXPECT_EQ(File(), "A");

    NuvexHost_ResetFaults();
    NuvexHost_FailFileOp(kNuvexFaultRead, 1, 0);
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("BBBB", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    EXPECT_EQ(File(), "A");

    NuvexHost_ResetFaults();
    NuvexTest_HeapFailAt(1, 0);  // the buffer of the addition
    EXPECT_EQ(NuvexCtrl_AddStringPassPath("BBBB", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED);
    EXPECT_EQ(File(), "A");
    NuvexTest_HeapFailAt(0, 0);

    EXPECT_EQ(NuvexCtrl_AddStringPassPath("C", 1), 0u);
    EXPECT_EQ(File(), "A|C");
}

// Only a disk file at the file's name is written: a directory, a device (or a link to one) or
// a pipe is reported and left as it is, and no update waits for a pipe's reader.
TEST_F(PassPathTest, UnopenableOrNonDiskFileIsReported) {
    namespace fs = std::filesystem;
    ServeText("");
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        std::function<bool(const std::string&)> intact;
    };
    const Case cases[] = {
        {"directory", [](const std::string& p) { fs::create_directories(p); },
         [](const std::string& p) { return fs::is_directory(p); }},
        {"FIFO", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); },
         [](const std::string& p) { return fs::is_fifo(p); }},
        {"link to a device", [](const std::string& p) { fs::create_symlink("/dev/null", p); },
         [](const std::string& p) { return fs::is_symlink(p) && fs::is_character_file(p); }},
    };
    for (const Case& c : cases) {
        fs::remove_all(PassPathFile());
        c.make(PassPathFile());
        EXPECT_EQ(NuvexCtrl_AddStringPassPath("P", 1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED) << c.what;
        EXPECT_EQ(NuvexCtrl_DeleteAllPassPath(1), NUVEX_E_PASSPATH_FILE_NOT_UPDATED) << c.what;
        EXPECT_TRUE(c.intact(PassPathFile())) << c.what;
    }
}

}  // namespace
}  // namespace nuvex::test
