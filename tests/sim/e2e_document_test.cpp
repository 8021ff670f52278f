// Documents through the library's exports with the main driver image running: the key handed
// to the driver, encryption, rights written by the driver through the caller's handle, the
// driver-side print count, and decryption.
#include <fstream>
#include <iterator>
#include <string>

#include "core_fixture.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

class DocumentsWithImage : public nuvex::test::MachineRootTest {
protected:
    void SetUp() override {
        nuvex::test::MachineRootTest::SetUp();
        ASSERT_TRUE(driver_.Start("Nuvex.sys", Root()));
    }
    void TearDown() override {
        driver_.Stop();
        nuvex::test::MachineRootTest::TearDown();
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    DriverProcess driver_;
};

TEST_F(DocumentsWithImage, RightsAndPrintCountsGoThroughTheDriver) {
    const uint8_t key[7] = {'s', 'e', 'c', 'r', 'e', 't', '!'};
    ASSERT_EQ(NuvexCtrl_SetKey(1, key, sizeof key), 0u);
    ASSERT_EQ(NuvexCtrl_StartLogging(), 0u);
    std::string path = Scratch("letter.txt");
    std::string plain = "Dear reader,\n" + std::string(10000, 'x') + "\nregards";
    std::ofstream(path, std::ios::binary) << plain;

    ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    uint32_t isDocument = 0;
    ASSERT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &isDocument), 0u);
    EXPECT_EQ(isDocument, 1u);
    std::string body = Read(path).substr(4096);

    // Rights set with the driver running: the driver writes the header through the handle.
    uint32_t status = 0;
    const char password[] = "pw";
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(path.c_str(), nullptr, 0xFFFF, 3, 0, password, 2, &status),
              0u);
    EXPECT_EQ(status, 0u);
    uint32_t printCount = 0;
    ASSERT_EQ(NuvexCtrl_GetEnFileRights(path.c_str(), &printCount, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
              0u);
    EXPECT_EQ(printCount, 3u);
    EXPECT_EQ(Read(path).substr(4096), body) << "the body is left alone";

    // The driver-side print count.
    ASSERT_EQ(NuvexCtrl_SetFileRightsByDrv(path.c_str(), 9), 0u);
    uint16_t drvPrint = 0;
    uint32_t flags = 0;
    ASSERT_EQ(NuvexCtrl_GetFileRightsByDrv(path.c_str(), nullptr, nullptr, &drvPrint, &flags), 0u);
    EXPECT_EQ(drvPrint, 9u);
    EXPECT_NE(flags & NUVEX_RIGHTS_FLAG_PRINT, 0u);
    ASSERT_EQ(NuvexCtrl_GetEnFileRights(path.c_str(), &printCount, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
              0u);
    EXPECT_EQ(printCount, 9u);

    ASSERT_EQ(NuvexCtrl_ClearEnFileRights(path.c_str(), password, 2, &status), 0u);
    ASSERT_EQ(NuvexCtrl_GetEnFileRights(path.c_str(), &printCount, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
              0u);
    EXPECT_EQ(printCount, 0u);
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(path.c_str(), nullptr, nullptr, &drvPrint, nullptr),
              1494u);  // no rights record any more

    // The driver's log tells what it did; its lists name the document.
    LogEntry* log = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(NuvexCtrl_GetLog(&log, &count), 0u);
    int written = 0;
    for (LogEntry* entry = log; entry; entry = entry->next)
        if (std::string(entry->text) == "header written: " + path) ++written;
    EXPECT_EQ(written, 3);  // set, print count, clear
    NuvexCtrl_FreeLog(log);
    UserStrNode* documents = nullptr;
    ASSERT_EQ(NuvexCtrl_GetEnFileList(0, &documents, nullptr), 0u);
    ASSERT_NE(documents, nullptr);
    EXPECT_EQ(std::string(documents->data), path);
    NuvexCtrl_FreeUserStrList(documents);

    ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(Read(path), plain);
}

}  // namespace
}  // namespace nuvex::simtest
