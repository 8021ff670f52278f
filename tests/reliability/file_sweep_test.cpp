// Allocation and file-operation sweeps over the exports that read or write files: after every
// run the user's file is either as it was or the complete result, and no stray file is left.
#include <cstring>
#include <string>

#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"
#include "sim_client.h"
#include "sweep.h"

namespace nuvex::reliability {
namespace {

using nuvex::test::FileExists;
using nuvex::test::ReadFileBytes;
using nuvex::test::WriteFileBytes;

class FileSweeps : public nuvex::test::MachineRootTest {
protected:
    void TearDown() override {
        main_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }
    std::string System32() const { return Root() + "/Windows/System32"; }
    nuvex::simtest::DriverProcess main_;
};

TEST_F(FileSweeps, PassPathFileUpdates) {
    ASSERT_TRUE(main_.Start("Nuvex.sys", Root()));
    const std::string file = System32() + "/NUVEXpath.nvdat";
    const std::string before = "C:\\old|";
    auto restore = [&] { WriteFileBytes(file, before); };
    restore();
    const auto entries = DirectoryEntries(System32());
    auto onlyOldOr = [&](const std::string& complete) {
        return [&, complete](uint32_t result) {
            std::string now = ReadFileBytes(file);
            if (result == 0) EXPECT_EQ(now, complete);
            else EXPECT_TRUE(now == before || now == complete) << "pass-path file now: " << now;
            EXPECT_EQ(DirectoryEntries(System32()), entries) << "stray files";
        };
    };
    SweepAll(Scenario{"NuvexCtrl_AddStringPassPath persisted", restore,
                      [] { return NuvexCtrl_AddStringPassPath("C:\\new", 1); },
                      onlyOldOr(before + "C:\\new"), {307, 314, NUVEX_E_PASSPATH_FILE_NOT_UPDATED}},
             true);
    UserStrNode second{nullptr, const_cast<char*>("E:\\two")};
    UserStrNode first{&second, const_cast<char*>("D:\\one")};
    SweepAll(Scenario{"NuvexCtrl_AddStructPassPath persisted", restore,
                      [&] { return NuvexCtrl_AddStructPassPath(&first, 1); },
                      onlyOldOr(before + "D:\\one|E:\\two|")},
             true);
    SweepAll(Scenario{"NuvexCtrl_DeleteAllPassPath persisted", restore,
                      [] { return NuvexCtrl_DeleteAllPassPath(1); }, onlyOldOr(""),
                      {343, 350, NUVEX_E_PASSPATH_FILE_NOT_UPDATED}},
             true);
}

TEST_F(FileSweeps, ProcessSignCode) {
    const std::string program = Scratch("program.exe");
    std::string bytes(9000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    WriteFileBytes(program, bytes);
    char expected[33] = {};
    ASSERT_EQ(NuvexCtrl_GetProcSignCode(program.c_str(), expected), 0u);
    const std::string digest = FileDigest(program);
    SweepAll(Scenario{"NuvexCtrl_GetProcSignCode", nullptr,
                      [&] {
                          char code[33] = {};
                          uint32_t result = NuvexCtrl_GetProcSignCode(program.c_str(), code);
                          if (result == 0) EXPECT_STREQ(code, expected);
                          return result;
                      },
                      [&](uint32_t) { EXPECT_EQ(FileDigest(program), digest); },
                      {1196, 1202, 1192}},
             true);
}

// Installation and removal of the three drivers: the driver file in the drivers folder is
// either absent or a complete copy; a failed install leaves no driver running behind it.
TEST_F(FileSweeps, Installation) {
    const std::string drivers = System32() + "/drivers";
    const std::string image = nuvex::simtest::BinaryDirectory() + "/Nuvex.sys";
    const std::string imageDigest = FileDigest(image);
    struct Family {
        const char* name;
        uint32_t (*install)(uint32_t, const char*);
        uint32_t (*uninstall)();
        const char* file;
    };
    const Family families[] = {
        {"NuvexCtrl_Install", NuvexCtrl_Install, NuvexCtrl_UnInstall, "Nuvex.sys"},
        {"NuvexAccCtrl_Install", NuvexAccCtrl_Install, NuvexAccCtrl_UnInstall, "NuvexACL.sys"},
        {"NuvexAntiSteal_Install", NuvexAntiSteal_Install, NuvexAntiSteal_UnInstall, "NuvexMon.sys"},
    };
    for (const Family& family : families) {
        const std::string installed = drivers + "/" + family.file;
        const std::string source = nuvex::simtest::BinaryDirectory() + "/" + family.file;
        const std::string sourceDigest = FileDigest(source);
        Scenario scenario{family.name,
                          [&] {
                              family.uninstall();
                              NuvexHost_StopDrivers();
                          },
                          [&] { return family.install(1, source.c_str()); },
                          [&](uint32_t result) {
                              std::string now = FileDigest(installed);
                              if (result == 0) EXPECT_EQ(now, sourceDigest);
                              else EXPECT_TRUE(now == "<absent>" || now == sourceDigest) << now;
                          }};
        // Registry and service failures are reported as install failures; a driver whose
        // load failed after its file was copied keeps the copy (a later install reuses it).
        scenario.toleratesFaults = true;
        SweepAll(scenario, true);
        family.uninstall();
        NuvexHost_StopDrivers();
    }
    (void)imageDigest;
}

}  // namespace
}  // namespace nuvex::reliability
