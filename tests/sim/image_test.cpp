// The driver images as processes, spoken to over their device sockets.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "core_fixture.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = MakeTempRoot();
        ASSERT_FALSE(root_.empty());
    }
    void TearDown() override { RemoveTree(root_); }
    std::string Device(const char* name) const { return root_ + "/Device/" + name; }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

    // Runs a command through the shell and returns its exit status and output.
    static int Run(const std::string& command, std::string* output) {
        FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
        if (!pipe) return -1;
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output->append(buffer, n);
        int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string root_;
};

std::vector<uint8_t> HeaderRequest(int fd, uint32_t direction, const std::string& header = {}) {
    std::vector<uint8_t> in(direction == 1 ? 20 : 4116, 0);
    PutU32(in, 0, static_cast<uint32_t>(fd));
    PutU32(in, 4, direction);
    PutU32(in, 12, 4096);
    if (direction == 0) std::memcpy(in.data() + 16, header.data(), 4096);
    return in;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(ImageTest, CommandLineHelpAndMissingRoot) {
    std::string program = BinaryDirectory() + "/Nuvex.sys";
    std::string output;
    EXPECT_EQ(Run("env -u NUVEX_HOST_ROOT " + program + " Nuvex", &output), 2);
    EXPECT_NE(output.find("NUVEX_HOST_ROOT"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(Run(program + " --help", &output), 0);
    EXPECT_NE(output.find("usage"), std::string::npos);
    EXPECT_NE(output.find("Nuvexcdo_3"), std::string::npos);
    output.clear();
    EXPECT_EQ(Run("env -u NUVEX_HOST_ROOT " + BinaryDirectory() + "/NuvexMon.sys", &output), 2);
}

TEST_F(ImageTest, MainDriverReachesDocumentsThroughTheCallersHandle) {
    DriverProcess driver;
    ASSERT_TRUE(driver.Start("Nuvex.sys", root_));
    ASSERT_TRUE(Exists(Device("Nuvexcdo_3")));

    std::string docPath = root_ + "/report.doc";
    std::string plainPath = root_ + "/plain.txt";
    std::ofstream(docPath, std::ios::binary) << DocumentHeader() << "body bytes";
    std::ofstream(plainPath, std::ios::binary) << std::string(5000, 'p');
    int doc = ::open(docPath.c_str(), O_RDONLY);
    int plain = ::open(plainPath.c_str(), O_RDONLY);
    ASSERT_GE(doc, 0);
    ASSERT_GE(plain, 0);

    Client client(Device("Nuvexcdo_3"));
    Reply read = client.Call(main_driver::kHeaderRequest, HeaderRequest(doc, 1), 4096);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(std::string(read.bytes.begin(), read.bytes.end()), DocumentHeader());
    EXPECT_FALSE(client.Call(main_driver::kHeaderRequest, HeaderRequest(plain, 1), 4096).ok);
    EXPECT_FALSE(client.Call(main_driver::kHeaderRequest, HeaderRequest(999, 1), 4096).ok);

    // Written through a read-only handle, as a kernel driver would; the body stays.
    std::string changed = DocumentHeader();
    changed[3974] = 9;
    ASSERT_TRUE(client.Call(main_driver::kHeaderRequest, HeaderRequest(doc, 0, changed), 0).ok);
    EXPECT_EQ(ReadWhole(docPath), changed + "body bytes");
    Bytes ref;
    Put32(ref, static_cast<uint32_t>(doc));
    EXPECT_EQ(Get32(client.Call(main_driver::kQueryFileType, ref, 4).bytes, 0), 2u);

    // A read-only document is left alone.
    ::chmod(docPath.c_str(), 0444);
    EXPECT_FALSE(client.Call(main_driver::kHeaderRequest, HeaderRequest(doc, 0, DocumentHeader()), 0).ok);
    EXPECT_EQ(ReadWhole(docPath), changed + "body bytes");

    // The document list names it.
    ASSERT_TRUE(client.BeginControl());
    Reply size = client.Call(main_driver::kEnFileTextSize, Bytes(4, 0), 4);
    Reply text = client.Call(main_driver::kEnFileText, Bytes(4, 0), Get32(size.bytes, 0) + 4);
    EXPECT_EQ(std::string(text.bytes.begin(), text.bytes.end()), docPath + "|");
    client.EndControl();
    ::close(doc);
    ::close(plain);
}

TEST_F(ImageTest, UninstallRequestUnloadsTheDriver) {
    DriverProcess driver;
    ASSERT_TRUE(driver.Start("Nuvex.sys", root_));
    Client watcher(Device("Nuvexcdo_3"));
    Client client(Device("Nuvexcdo_3"));
    ASSERT_TRUE(client.BeginControl());
    EXPECT_TRUE(client.Call(main_driver::kUninstall).ok);
    EXPECT_EQ(driver.WaitExit(3000), 0);
    EXPECT_FALSE(Exists(Device("Nuvexcdo_3")));
    EXPECT_TRUE(watcher.Call(main_driver::kIsLogging, {}, 4).broken);
    EXPECT_FALSE(Client().Connect(Device("Nuvexcdo_3")));
}

TEST_F(ImageTest, EndsOnSigtermAndRemovesItsSocket) {
    DriverProcess main, acl, monitor;
    ASSERT_TRUE(main.Start("Nuvex.sys", root_));
    ASSERT_TRUE(acl.Start("NuvexACL.sys", root_));
    ASSERT_TRUE(monitor.Start("NuvexMon.sys", root_));
    EXPECT_TRUE(Exists(Device("NuvexACLcdo_3")));
    Client idle(Device("Nuvexcdo_3"));  // an open connection does not hold the exit up
    EXPECT_EQ(main.Stop(), 0);
    EXPECT_EQ(acl.Stop(), 0);
    EXPECT_EQ(monitor.Stop(), 0);
    EXPECT_FALSE(Exists(Device("Nuvexcdo_3")));
    EXPECT_FALSE(Exists(Device("NuvexACLcdo_3")));
}

TEST_F(ImageTest, ASecondImageLeavesALiveDeviceAlone) {
    DriverProcess first, second;
    ASSERT_TRUE(first.Start("Nuvex.sys", root_));
    EXPECT_FALSE(second.Start("Nuvex.sys", root_));
    EXPECT_TRUE(Client(Device("Nuvexcdo_3")).Call(main_driver::kIsLogging, {}, 4).ok);
    // A socket left behind by a dead image is replaced.
    ::kill(first.Pid(), SIGKILL);
    first.WaitExit(2000);
    ASSERT_TRUE(Exists(Device("Nuvexcdo_3")));
    ASSERT_TRUE(second.Start("Nuvex.sys", root_));
    EXPECT_TRUE(Client(Device("Nuvexcdo_3")).Call(main_driver::kIsLogging, {}, 4).ok);
}

TEST_F(ImageTest, ManyConnectionsAndHostileFrames) {
    DriverProcess driver;
    ASSERT_TRUE(driver.Start("Nuvex.sys", root_));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 24; ++i) {
        clients.push_back(std::make_unique<Client>(Device("Nuvexcdo_3")));
        ASSERT_TRUE(clients.back()->BeginControl());
    }
    for (auto& client : clients) {
        Reply id = client->Call(main_driver::kPolicyNewId, {}, 4);
        ASSERT_TRUE(id.ok);
        EXPECT_NE(Get32(id.bytes, 0), 0u);
    }
    Client& first = *clients[0];
    // An input far beyond any request is refused; the connection goes on.
    EXPECT_FALSE(first.Call(main_driver::kPassPathAdd, Bytes(3u << 20, 'a'), 0).ok);
    EXPECT_TRUE(first.Call(main_driver::kIsLogging, {}, 4).ok);
    // Unknown codes, and a huge output length that the driver does not take literally.
    EXPECT_FALSE(first.Call(0x12345678, Bytes(7, 1), 0xFFFFFFFFu).ok);
    Reply status = first.Call(main_driver::kGetStatus, {}, 0xFFFFFFFFu);
    ASSERT_TRUE(status.ok);
    EXPECT_EQ(status.bytes.size(), 12u);
    EXPECT_EQ(Get32(status.bytes, 8), 0u);  // no handshake violations
    // A peer that hangs up halfway through a frame does not disturb the driver.
    {
        Client half(Device("Nuvexcdo_3"));
        Bytes frame;
        Put32(frame, main_driver::kPassPathAdd);
        Put32(frame, 100);
        Put32(frame, 0);
        frame.resize(frame.size() + 10, 'x');
        ASSERT_TRUE(half.SendRaw(frame));
    }
    EXPECT_TRUE(Client(Device("Nuvexcdo_3")).Call(main_driver::kIsLogging, {}, 4).ok);
}

TEST_F(ImageTest, AccessControlImageKeepsPoliciesAndLog) {
    DriverProcess driver;
    ASSERT_TRUE(driver.Start("NuvexACL.sys", root_));
    Client client(Device("NuvexACLcdo_3"));
    ASSERT_TRUE(client.Call(acl_driver::kStart).ok);
    Bytes record(1196, 0);
    record[4] = 3;
    std::strcpy(reinterpret_cast<char*>(record.data() + 44), "winword.exe");
    ASSERT_TRUE(client.Call(acl_driver::kAddPolicy, record).ok);
    Reply status = client.Call(acl_driver::kGetStatus, {}, 8);
    EXPECT_EQ(Get32(status.bytes, 0), 1u);
    EXPECT_EQ(Get32(status.bytes, 4), 1u);
    Bytes select;
    Put32(select, 3);
    Put32(select, 3);
    Reply got = Client(Device("NuvexACLcdo_3")).Call(acl_driver::kGetPolicy, select, 1196);
    ASSERT_TRUE(got.ok);
    EXPECT_STREQ(reinterpret_cast<const char*>(got.bytes.data() + 44), "winword.exe");
    int records = 0;
    for (Reply log; (log = client.Call(acl_driver::kGetLog, {}, 296)).ok && !log.bytes.empty();) ++records;
    EXPECT_EQ(records, 2);
}

}  // namespace
}  // namespace nuvex::simtest
