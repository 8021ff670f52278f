// Allocation and file-operation sweeps over the document exports: after every run the user's
// file is either exactly as before or exactly the complete result, and no temporary file is
// left beside it.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"
#include "sweep.h"

namespace nuvex::reliability {
namespace {

using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;

class DocumentSweeps : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        nuvex::test::MachineRootTest::SetUp();
        path_ = Scratch("report.txt");
        dir_ = path_.substr(0, path_.rfind('/'));
        plain_.resize(10000);
        for (size_t i = 0; i < plain_.size(); ++i) plain_[i] = static_cast<char>(i * 31 + 7);
        WriteFileBytes(path_, plain_);
        ASSERT_EQ(NuvexCtrl_EncryptFile(path_.c_str(), 0, nullptr, 0), 0u);
        document_ = ReadFileBytes(path_);
        entries_ = DirectoryEntries(dir_);
    }
    void TearDown() override {
        main_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }
    // The document at `path` decrypts to the plain bytes (checked on a copy).
    bool DecryptsToPlain(const std::string& bytes) {
        const std::string copy = Scratch("check.doc");
        const std::string out = Scratch("check.out");
        WriteFileBytes(copy, bytes);
        bool same = NuvexCtrl_DecryptFile(copy.c_str(), 1, out.c_str(), 0, nullptr, 0) == 0 &&
                    ReadFileBytes(out) == plain_;
        std::remove(copy.c_str());
        std::remove(out.c_str());
        return same;
    }
    void ExpectNoStrayFiles() { EXPECT_EQ(DirectoryEntries(dir_), entries_) << "stray files"; }

    std::string path_, dir_, plain_, document_;
    std::set<std::string> entries_;
    nuvex::simtest::DriverProcess main_;
};

TEST_F(DocumentSweeps, EncryptAndDecrypt) {
    const std::string kept = path_ + ".lumadtmp1";
    Scenario encrypt{"NuvexCtrl_EncryptFile", [&] { WriteFileBytes(path_, plain_); },
                     [&] { return NuvexCtrl_EncryptFile(path_.c_str(), 0, nullptr, 0); },
                     [&](uint32_t result) {
                         std::string now = ReadFileBytes(path_);
                         if (result != 0 && now == plain_) {
                             // unchanged
                         } else {
                             EXPECT_EQ(now.size(), document_.size());
                             EXPECT_TRUE(DecryptsToPlain(now)) << "result " << result;
                         }
                         // A failed replace keeps the complete document beside the plain file
                         // on purpose; every other failure removes its temporary file.
                         if (result == 776) {
                             EXPECT_TRUE(DecryptsToPlain(ReadFileBytes(kept))) << "kept document";
                             std::remove(kept.c_str());
                         }
                         ExpectNoStrayFiles();
                     }};
    SweepAll(encrypt, true);

    Scenario inPlace{"NuvexCtrl_DecryptFile in place", [&] { WriteFileBytes(path_, document_); },
                     [&] { return NuvexCtrl_DecryptFile(path_.c_str(), 0, nullptr, 0, nullptr, 0); },
                     [&](uint32_t result) {
                         std::string now = ReadFileBytes(path_);
                         if (result == 0) EXPECT_TRUE(now == plain_);
                         else EXPECT_TRUE(now == document_ || now == plain_) << "a torn file";
                         ExpectNoStrayFiles();
                     }};
    SweepAll(inPlace, true);

    const std::string out = Scratch("report.out");
    const std::string previous = "what was there before";
    Scenario toOther{"NuvexCtrl_DecryptFile to another file",
                     [&] {
                         WriteFileBytes(path_, document_);
                         WriteFileBytes(out, previous);
                     },
                     [&] { return NuvexCtrl_DecryptFile(path_.c_str(), 1, out.c_str(), 0, nullptr, 0); },
                     [&](uint32_t result) {
                         EXPECT_TRUE(ReadFileBytes(path_) == document_) << "the document changed";
                         std::string now = ReadFileBytes(out);
                         if (result == 0) EXPECT_TRUE(now == plain_);
                         else EXPECT_TRUE(now == previous || now == plain_) << "a torn target";
                         std::set<std::string> expected = entries_;
                         expected.insert("report.out");
                         EXPECT_EQ(DirectoryEntries(dir_), expected) << "stray files";
                     }};
    SweepAll(toOther, true);
}

TEST_F(DocumentSweeps, RightsAndQueries) {
    const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t status = 0;
    // The complete result of each rights call, made once on the document.
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(path_.c_str(), value, 3, 4, 0, "pw", 2, &status), 0u);
    const std::string withRights = ReadFileBytes(path_);
    ASSERT_EQ(NuvexCtrl_ClearEnFileRights(path_.c_str(), "pw", 2, &status), 0u);
    const std::string cleared = ReadFileBytes(path_);

    auto eitherOr = [&](const std::string& before, const std::string& after) {
        return [&, before, after](uint32_t result) {
            std::string now = ReadFileBytes(path_);
            if (result == 0) EXPECT_TRUE(now == after || now == before);
            else EXPECT_TRUE(now == before || now == after) << "a torn header";
            ExpectNoStrayFiles();
        };
    };
    Scenario set{"NuvexCtrl_SetEnFileRights", [&] { WriteFileBytes(path_, document_); },
                 [&] {
                     uint32_t s = 0;
                     return NuvexCtrl_SetEnFileRights(path_.c_str(), value, 3, 4, 0, "pw", 2, &s);
                 },
                 eitherOr(document_, withRights)};
    // A header that cannot be read is reported as 0 with nothing done.
    set.toleratesFaults = true;
    SweepAll(set, true);

    Scenario clear{"NuvexCtrl_ClearEnFileRights", [&] { WriteFileBytes(path_, withRights); },
                   [&] {
                       uint32_t s = 0;
                       return NuvexCtrl_ClearEnFileRights(path_.c_str(), "pw", 2, &s);
                   },
                   eitherOr(withRights, cleared)};
    clear.toleratesFaults = true;
    SweepAll(clear, true);

    const std::string digest = FileDigest(path_);
    auto unchanged = [&](uint32_t) {
        EXPECT_EQ(FileDigest(path_), digest);
        ExpectNoStrayFiles();
    };
    SweepAll(Scenario{"NuvexCtrl_GetEnFileRights", nullptr,
                      [&] {
                          uint32_t print = 0, flags = 0, s = 0;
                          uint8_t got[8] = {};
                          uint16_t count = 0, print16 = 0;
                          return NuvexCtrl_GetEnFileRights(path_.c_str(), &print, got, &count, &print16,
                                                           &flags, &s);
                      },
                      unchanged},
             true);
    SweepAll(Scenario{"NuvexCtrl_GetFileGUID", nullptr,
                      [&] {
                          uint8_t guid[16] = {};
                          return NuvexCtrl_GetFileGUID(path_.c_str(), guid);
                      },
                      unchanged},
             true);
    Scenario is{"NuvexCtrl_IsEncryptFile", nullptr,
                [&] {
                    uint32_t answer = 0;
                    return NuvexCtrl_IsEncryptFile(path_.c_str(), 0, &answer);
                },
                unchanged};
    is.toleratesFaults = true;
    SweepAll(is, true);
}

TEST_F(DocumentSweeps, DriverSideRights) {
    // The driver-side exports work on a document that has a rights record.
    const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t status = 0;
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(path_.c_str(), value, 3, 4, 0, "pw", 2, &status), 0u);
    ASSERT_TRUE(main_.Start("Nuvex.sys", Root()));
    const std::string digest = FileDigest(path_);
    auto tolerant = [](Scenario scenario) {
        scenario.toleratesFaults = true;
        SweepAll(scenario, false);
    };
    // The print count goes into the header through the driver; reading needs that record.
    tolerant(Scenario{"NuvexCtrl_SetFileRightsByDrv", nullptr,
                      [&] { return NuvexCtrl_SetFileRightsByDrv(path_.c_str(), 9); }});
    ASSERT_EQ(NuvexCtrl_SetFileRightsByDrv(path_.c_str(), 9), 0u);
    tolerant(Scenario{"NuvexCtrl_GetFileRightsByDrv", nullptr, [&] {
                          uint16_t print = 0;
                          uint32_t flags = 0;
                          uint32_t result = NuvexCtrl_GetFileRightsByDrv(path_.c_str(), nullptr, nullptr,
                                                                         &print, &flags);
                          if (result == 0) EXPECT_EQ(print, 9u);
                          return result;
                      }});
    (void)digest;
}

}  // namespace
}  // namespace nuvex::reliability
