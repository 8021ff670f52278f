// The policy file: saving the driver's texts enciphered, loading them back, and what a failed
// save or load leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "crypto/seal.h"
#include "policy/policy_walk.h"
#include "policy_fixture.h"

namespace nuvex::test {
namespace {

const uint8_t kFileKey[20] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25,
                              0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25};

std::string Decipher(std::string bytes) {
    nuvex::SealDecrypt(bytes.data(), bytes.data(), static_cast<uint32_t>(bytes.size()), 0,
                       kFileKey);
    return bytes;
}

std::string Encipher(std::string bytes) {
    nuvex::SealCrypt(bytes.data(), bytes.data(), static_cast<uint32_t>(bytes.size()), 0,
                     kFileKey);
    return bytes;
}

class PolicyFileTest : public PolicyTest {
protected:
    // A driver whose text table starts as `texts` (keyed by the ID the text carries, sent
    // with a trailing "|"), keeps what is inserted and deleted, and records inserted texts;
    // the inserts numbered from `refuseInsert` up to `refuseThrough` fail.
    void StartTable(std::map<uint32_t, std::string> texts) {
        table_ = std::move(texts);
        StartDriver([this](const FakeRequest& request) {
            std::lock_guard<std::mutex> guard(tableLock_);
            switch (request.code) {
                case md::kPolicyStrNext: {
                    auto next = table_.upper_bound(U32At(request.input, 0));
                    if (next == table_.end()) return FakeReply::Fail();
                    return FakeReply::Ok(Bytes(next->second + "|"));
                }
                case md::kPolicyStrInsert: {
                    ++inserts_;
                    if (inserts_ >= refuseInsert_ && refuseInsert_ != 0 &&
                        inserts_ <= std::max(refuseInsert_, refuseThrough_))
                        return FakeReply::Fail();
                    std::string text(request.input.begin(), request.input.end());
                    table_[PolicyTextId(text.data(), text.size())] = text;
                    return FakeReply::Ok();
                }
                case md::kPolicyDeleteAll:
                    if (refuseDeleteAll_) return FakeReply::Fail();
                    table_.clear();
                    return FakeReply::U32(0);
                default:
                    return FakeReply::Ok();
            }
        });
    }
    std::map<uint32_t, std::string> Table() {
        std::lock_guard<std::mutex> guard(tableLock_);
        return table_;
    }

    std::vector<std::string> InsertedTexts() const {
        std::vector<std::string> texts;
        for (const auto& request : RequestsOf(md::kPolicyStrInsert))
            texts.emplace_back(request.input.begin(), request.input.end());
        return texts;
    }

    // Names in the scratch folder (the target and anything a save left beside it).
    std::vector<std::string> ScratchNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Scratch("")))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Texts of `count` policies of about 2000 characters: more than the first 128 KiB.
    static std::map<uint32_t, std::string> LargeTable(uint32_t count) {
        std::map<uint32_t, std::string> texts;
        for (uint32_t id = 1; id <= count; ++id)
            texts[id] = "abc" + std::to_string(id) + "|" + std::string(2000, 'p');
        return texts;
    }

    int refuseInsert_ = 0;
    int refuseThrough_ = 0;
    bool refuseDeleteAll_ = false;
    int inserts_ = 0;
    std::mutex tableLock_;
    std::map<uint32_t, std::string> table_;
};

TEST_F(PolicyFileTest, SavedFileIsTheEncipheredTextListHeadFirst) {
    StartTable({{1, "abc1|x"}, {2, "abc2|y"}});
    std::string path = Scratch("policies.dat");
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    std::string file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 16u);
    EXPECT_EQ(Decipher(file), "abc2|y\r\nabc1|x\r\n");
    EXPECT_NE(file, "abc2|y\r\nabc1|x\r\n");
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"policies.dat"}));

    // The same table saved again gives the same bytes, also over an existing file.
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(path), file);
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(nullptr), 1012u);
}

TEST_F(PolicyFileTest, SaveOverAnExistingFileKeepsItsAccessPermissions) {
    // The file is replaced by a new one; it must not become readable by more users than
    // the file it replaces.
    namespace fs = std::filesystem;
    StartTable({{1, "abc1|x"}});
    std::string path = Scratch("policies.dat");
    WriteFileBytes(path, "old contents");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_EQ(Decipher(ReadFileBytes(path)), "abc1|x\r\n");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"policies.dat"}));

    // A read-only file cannot be replaced: nothing is written and nothing is left beside it.
    fs::permissions(path, fs::perms::owner_read);
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 1074u);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Decipher(ReadFileBytes(path)), "abc1|x\r\n");
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"policies.dat"}));
}

// Another user who can write the folder plants links at the names of the temporary file, or
// swaps the temporary file for a link while the save runs: the file a link points to is never
// written, nor are its permissions changed.
TEST_F(PolicyFileTest, SaveNeverWritesThroughALinkAtItsTemporaryName) {
    namespace fs = std::filesystem;
    StartTable({{1, "abc1|x"}});
    std::string path = Scratch("policies.dat");
    std::string victim = Scratch("victim");
    WriteFileBytes(victim, "the victim's bytes");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    WriteFileBytes(path, "old contents");
    fs::permissions(path, fs::perms::all);

    // Links planted at the first names beforehand: the save takes the next free name.
    for (int n = 0; n < 2; ++n)
        fs::create_symlink(victim, path + "." + std::to_string(n) + ".nvtmp");
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_EQ(Decipher(ReadFileBytes(path)), "abc1|x\r\n");
    EXPECT_EQ(ReadFileBytes(victim), "the victim's bytes");
    EXPECT_TRUE(fs::is_symlink(path + ".0.nvtmp"));

    // Every name taken by a link: nothing is written anywhere.
    for (int n = 2; n < 16; ++n)
        fs::create_symlink(victim, path + "." + std::to_string(n) + ".nvtmp");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 1074u);
    EXPECT_EQ(ReadFileBytes(victim), "the victim's bytes");
    for (int n = 0; n < 16; ++n) fs::remove(path + "." + std::to_string(n) + ".nvtmp");

    // A swapper replaces each temporary file it sees by a link to the victim, in a loop.
    const char* text = std::getenv("NUVEX_LINK_SWAP_TRIALS");
    const int trials = text != nullptr && *text != '\0' ? std::atoi(text) : 40;
    std::atomic<bool> running{true};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        const std::string aside = Scratch("caught");
        while (running) {
            for (int n = 0; n < 2; ++n) {
                std::string name = path + "." + std::to_string(n) + ".nvtmp";
                struct stat st;
                if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    ::rename(name.c_str(), aside.c_str()) == 0) {
                    if (::symlink(victim.c_str(), name.c_str()) == 0) ++swaps;
                }
            }
        }
    });
    for (int trial = 0; trial < trials; ++trial) {
        NuvexCtrl_SaveCurrentPolicyToFile(path.c_str());
        for (int n = 0; n < 2; ++n) ::unlink((path + "." + std::to_string(n) + ".nvtmp").c_str());
    }
    running = false;
    swapper.join();
    RecordProperty("saves", trials);
    RecordProperty("swaps", swaps.load());
    EXPECT_EQ(ReadFileBytes(victim), "the victim's bytes") << swaps << " swaps";
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// Only a regular disk file is replaced or read. A device, a pipe, a link to one or a file the
// kernel makes up as it is read is refused before anything changes: the device stays a device,
// nothing is left beside it, no read waits for a writer, and the driver's table is untouched.
TEST_F(PolicyFileTest, SaveAndLoadRefuseWhatIsNotARegularFile) {
    namespace fs = std::filesystem;
    const std::map<uint32_t, std::string> before = {{3, "abc3|x"}};
    StartTable(before);
    std::string fifo = Scratch("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string link = Scratch("link"), device = Scratch("device");
    fs::create_symlink(fifo, link);
    // Saves go to the device through a link: a save that wrongly went through would replace
    // the link, never the machine's /dev/null.
    fs::create_symlink("/dev/null", device);
    struct Case {
        const char* what;
        std::string save;
        std::string load;
    };
    const Case cases[] = {
        {"device", device, "/dev/null"}, {"FIFO", fifo, fifo}, {"link to a FIFO", link, link},
        {"generated file", "/proc/self/status", "/proc/self/status"},
    };
    for (const Case& c : cases) {
        driver_->ClearRequests();
        EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(c.save.c_str()), 1074u) << c.what;
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(c.load.c_str()), 1149u) << c.what;
        for (uint32_t code : WorkCodes()) EXPECT_EQ(code, md::kPolicyStrNext) << c.what;
        EXPECT_EQ(Table(), before) << c.what;
    }
    EXPECT_TRUE(fs::is_symlink(device) && fs::is_character_file(device));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"device", "link", "pipe"}));

    // A link another user planted is not followed to a policy file of the caller's: its table
    // is not loaded on that user's word. One of the caller's own is.
    if (::geteuid() == 0) {
        std::string policies = Scratch("policies.dat");
        ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(policies.c_str()), 0u);
        std::string planted = Scratch("planted");
        fs::create_symlink(policies, planted);
        ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
        driver_->ClearRequests();
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(planted.c_str()), 1149u);
        EXPECT_TRUE(WorkCodes().empty());
        ASSERT_EQ(::lchown(planted.c_str(), 0, 0), 0);
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(planted.c_str()), 0u);
        EXPECT_EQ(Table(), before);
        fs::remove(planted);
        fs::remove(policies);
    }

    // A link to a regular file is followed to learn what it is; the save replaces the link.
    std::string file = Scratch("saved.dat");
    WriteFileBytes(file, "old");
    fs::remove(link);
    fs::create_symlink(file, link);
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(link.c_str()), 0u);
    EXPECT_EQ(Decipher(ReadFileBytes(link)), "abc3|x\r\n");
    EXPECT_EQ(ReadFileBytes(file), "old");
}

TEST_F(PolicyFileTest, SaveOfAnEmptyTableLeavesTheFileAlone) {
    StartTable({});
    std::string path = Scratch("policies.dat");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_FALSE(FileExists(path));
    WriteFileBytes(path, "old contents");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(path), "old contents");
}

TEST_F(PolicyFileTest, SaveWithoutDriverReportsTheUnreachableDevice) {
    std::string path = Scratch("policies.dat");
    WriteFileBytes(path, "old contents");
    EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 942u);
    EXPECT_EQ(ReadFileBytes(path), "old contents");
}

TEST_F(PolicyFileTest, FailedSaveLeavesTheOldFileByteForByte) {
    StartTable(LargeTable(3));
    std::string path = Scratch("policies.dat");
    const std::string old = "old contents\r\n";

    struct Fault {
        const char* what;
        std::function<void()> inject;
        uint32_t code;
    };
    const Fault faults[] = {
        {"write fails", [] { NuvexHost_FailFileOp(kNuvexFaultWrite, 1, 0); }, 1063},
        {"short write", [] { NuvexHost_ShortWrite(1, 100); }, 1063},
        {"flush fails", [] { NuvexHost_FailFileOp(kNuvexFaultFlush, 1, 0); }, 1063},
        {"replace fails", [] { NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0); }, 1074},
        {"old file cannot be opened", [] { NuvexHost_FailFileOp(kNuvexFaultOpen, 1, 0); }, 1074},
        {"temporary file cannot be created",
         [] { NuvexHost_FailFileOp(kNuvexFaultOpen, 2, 1); }, 1074},
    };
    for (const Fault& fault : faults) {
        WriteFileBytes(path, old);
        NuvexHost_ResetFaults();
        fault.inject();
        EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), fault.code) << fault.what;
        NuvexHost_ResetFaults();
        EXPECT_EQ(ReadFileBytes(path), old) << fault.what;
        EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"policies.dat"})) << fault.what;
    }
}

TEST_F(PolicyFileTest, SaveThatCannotGetItsBuffersWritesNothing) {
    // 70 texts of about 2 KiB overflow the first 128 KiB: the buffer must grow once.
    const uint32_t count = 70;
    StartTable(LargeTable(count));
    std::string path = Scratch("policies.dat");
    const std::string old = "old contents\r\n";

    // Allocations of a save: reply buffer, node and text per policy, temporary name, working
    // buffer, then the grown buffer.
    const uint32_t temporaryName = 2 + 2 * count;
    struct Fault {
        const char* what;
        uint32_t nth;
        uint32_t code;
    };
    const Fault faults[] = {
        {"reply buffer", 1, NUVEX_E_POLICY_SAVE_NO_MEMORY},
        {"text list node", 2, 926},
        {"temporary name", temporaryName, NUVEX_E_POLICY_SAVE_NO_MEMORY},
        {"working buffer", temporaryName + 1, 1069},
        {"grown buffer", temporaryName + 2, NUVEX_E_POLICY_SAVE_NO_MEMORY},
    };
    for (const Fault& fault : faults) {
        WriteFileBytes(path, old);
        NuvexTest_HeapFailAt(fault.nth, 0);
        EXPECT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), fault.code) << fault.what;
        NuvexTest_HeapFailAt(0, 0);
        EXPECT_EQ(ReadFileBytes(path), old) << fault.what;
        EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"policies.dat"})) << fault.what;
    }

    // Without faults the whole table is written: every line, head first.
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    std::string plain = Decipher(ReadFileBytes(path));
    auto table = LargeTable(count);
    std::string expected;
    for (auto it = table.rbegin(); it != table.rend(); ++it) expected += it->second + "\r\n";
    EXPECT_GT(expected.size(), 131072u);
    EXPECT_EQ(plain, expected);
}

TEST_F(PolicyFileTest, LoadEmptiesTheTableThenInsertsEveryLine) {
    StartTable({});
    std::string path = Scratch("policies.dat");
    WriteFileBytes(path, Encipher("A\r\nB\r\n"));
    ASSERT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 0u);
    // The table is read (to be put back should a line be refused) before it is emptied.
    EXPECT_EQ(WorkCodes(), (std::vector<uint32_t>{md::kPolicyStrNext, md::kPolicyDeleteAll,
                                                  md::kPolicyStrInsert, md::kPolicyStrInsert}));
    EXPECT_EQ(InsertedTexts(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(nullptr), 1087u);
}

TEST_F(PolicyFileTest, LoadSplitsLinesAtCarriageReturns) {
    StartTable({});
    std::string path = Scratch("policies.dat");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"A\r\nBC", {"A", "BC"}},                   // no final CR LF
        {"A\rxB\r\n", {"A", "B"}},                  // the byte after CR is lost
        {"A\r\n\r\nB\r\n", {"A", "", "B"}},         // an empty line is an empty text
        {"A\r\nB\r", {"A", "B\r"}},                 // CR at the last index stays
        {"", {}},                                   // empty file
    };
    for (const auto& [plain, lines] : cases) {
        driver_->ClearRequests();
        WriteFileBytes(path, Encipher(plain));
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 0u);
        EXPECT_EQ(RequestsOf(md::kPolicyDeleteAll).size(), 1u);
        EXPECT_EQ(InsertedTexts(), lines);
    }
}

// A load replaces the whole table or leaves it as it was: a line refused part-way (a bad line,
// or a file that is not a policy file) brings the previous policies back, and the caller
// learns when even that was not possible or could not be prepared.
TEST_F(PolicyFileTest, LoadIsAllOrNothing) {
    const std::map<uint32_t, std::string> before = {{3, "abc3|x"}, {8, "abc8|y"}};
    StartTable(before);
    refuseInsert_ = 2;
    std::string path = Scratch("policies.dat");
    WriteFileBytes(path, Encipher("abc5|a\r\nabc6|b\r\nabc7|c\r\n"));
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 991u);
    // Stops at the refused line, empties the table again and puts the previous texts back
    // in the order a save of them would hold.
    EXPECT_EQ(InsertedTexts(),
              (std::vector<std::string>{"abc5|a", "abc6|b", "abc8|y", "abc3|x"}));
    EXPECT_EQ(RequestsOf(md::kPolicyDeleteAll).size(), 2u);
    EXPECT_EQ(Table(), before);

    // The previous table cannot be put back whole.
    driver_->ClearRequests();
    inserts_ = 0;
    refuseThrough_ = 3;
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), NUVEX_E_POLICY_LOAD_NOT_RESTORED);
    refuseInsert_ = refuseThrough_ = 0;

    // No memory to read the table first (its reply buffer, then its first node): nothing
    // is touched.
    StartTable(before);
    for (uint32_t allocation : {2u, 3u}) {
        driver_->ClearRequests();
        NuvexTest_HeapFailAt(allocation, 0);
        EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), NUVEX_E_POLICY_LOAD_NO_MEMORY);
        NuvexTest_HeapFailAt(0, 0);
        EXPECT_TRUE(RequestsOf(md::kPolicyDeleteAll).empty());
        EXPECT_EQ(Table(), before);
    }

    // A complete load replaces the table.
    ASSERT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 0u);
    EXPECT_EQ(Table(), (std::map<uint32_t, std::string>{
                           {5, "abc5|a"}, {6, "abc6|b"}, {7, "abc7|c"}}));
}

TEST_F(PolicyFileTest, LoadThatCannotReadTheFileLeavesTheTable) {
    StartTable({});
    std::string path = Scratch("policies.dat");
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 1149u);

    WriteFileBytes(path, Encipher("A\r\n"));
    NuvexHost_FailFileOp(kNuvexFaultRead, 1, 0);
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 1139u);
    NuvexHost_ResetFaults();

    NuvexTest_HeapFailAt(1, 0);
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 1144u);
    NuvexTest_HeapFailAt(0, 0);

    EXPECT_TRUE(WorkCodes().empty()) << "the driver's table was touched";
}

TEST_F(PolicyFileTest, LoadWithoutDriverReportsTheDeleteAllFailure) {
    std::string path = Scratch("policies.dat");
    WriteFileBytes(path, Encipher("A\r\n"));
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 776u);

    // A refused delete-all ends the load before any line is inserted.
    StartTable({});
    refuseDeleteAll_ = true;
    EXPECT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 770u);
    EXPECT_TRUE(InsertedTexts().empty());
}

TEST_F(PolicyFileTest, SaveThenLoadInsertsInReverseOfDelivery) {
    StartTable({{3, "abc3|x"}, {8, "abc8|y"}, {21, "abc21|z"}});
    std::string path = Scratch("policies.dat");
    ASSERT_EQ(NuvexCtrl_SaveCurrentPolicyToFile(path.c_str()), 0u);
    driver_->ClearRequests();
    ASSERT_EQ(NuvexCtrl_LoadPolicyFromFile(path.c_str()), 0u);
    EXPECT_EQ(InsertedTexts(), (std::vector<std::string>{"abc21|z", "abc8|y", "abc3|x"}));
}

}  // namespace
}  // namespace nuvex::test
