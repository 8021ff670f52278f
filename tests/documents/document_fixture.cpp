#include "document_fixture.h"

#include "platform/host/host_hooks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace nuvex::test {
namespace {

std::string g_hookMessage;
std::function<void()> g_hookAction;

std::string EventsPath() {
    static const std::string path =
        "/tmp/nuvex-document-events-" + std::to_string(::getpid()) + ".txt";
    return path;
}

}  // namespace

void OnDebugMessage(const std::string& message, std::function<void()> action) {
    g_hookMessage = message;
    g_hookAction = std::move(action);
}

}  // namespace nuvex::test

// The test program is linked with the library's debugger-output call wrapped, so that a test
// can act between two steps of an export (for example shrink a document after its test).
extern "C" void __real__Z18OutputDebugStringAPKc(const char* text);
extern "C" void __wrap__Z18OutputDebugStringAPKc(const char* text) {
    __real__Z18OutputDebugStringAPKc(text);
    using nuvex::test::g_hookAction;
    using nuvex::test::g_hookMessage;
    if (g_hookAction && text != nullptr && g_hookMessage == text) {
        auto action = std::move(g_hookAction);
        g_hookAction = nullptr;
        action();
    }
}

namespace nuvex::test {

void DocumentTest::SetUp() {
    MachineRootTest::SetUp();
    ::setenv("NUVEX_HOST_EVENTS", EventsPath().c_str(), 1);
    std::ofstream truncate(EventsPath(), std::ios::trunc);
    OnDebugMessage("", nullptr);
}

void DocumentTest::TearDown() {
    // Copy buffers the library keeps between calls hold no plain byte once a call has
    // returned, whatever the call met (every fault, cancel and size of the document tests).
    EXPECT_EQ(NuvexTest_KeptCopyBuffersAreClean(), 1) << "a kept copy buffer holds bytes";
    EXPECT_LE(NuvexTest_KeptCopyBuffers(), 2u);
    OnDebugMessage("", nullptr);
    std::error_code ignored;
    std::filesystem::remove(EventsPath(), ignored);
    MachineRootTest::TearDown();
}

std::vector<std::string> DocumentTest::DebugMessages() const {
    std::vector<std::string> messages;
    std::ifstream in(EventsPath());
    std::string line;
    const std::string prefix = "debug: ";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) messages.push_back(line.substr(prefix.size()));
    return messages;
}

void DocumentTest::ClearDebugMessages() const {
    std::ofstream truncate(EventsPath(), std::ios::trunc);
}

std::string DocumentTest::PlainFile(const std::string& name, const std::string& bytes) {
    std::string path = Scratch(name);
    WriteFileBytes(path, bytes);
    return path;
}

std::string DocumentTest::Document(const std::string& name, const std::string& plain) {
    std::string path = PlainFile(name, plain);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    return path;
}

std::vector<std::string> DocumentTest::ScratchNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Scratch("")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string RandomBytes(std::size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

uint16_t U16(const std::string& image, std::size_t offset) {
    return static_cast<uint16_t>(static_cast<uint8_t>(image.at(offset)) |
                                 (static_cast<uint8_t>(image.at(offset + 1)) << 8));
}

uint32_t U32(const std::string& image, std::size_t offset) {
    return U16(image, offset) | (static_cast<uint32_t>(U16(image, offset + 2)) << 16);
}

uint64_t U64(const std::string& image, std::size_t offset) {
    return U32(image, offset) | (static_cast<uint64_t>(U32(image, offset + 4)) << 32);
}

void PutU16(std::string& image, std::size_t offset, uint16_t value) {
    image.at(offset) = static_cast<char>(value & 0xFF);
    image.at(offset + 1) = static_cast<char>(value >> 8);
}

// ---- the header-serving driver ---------------------------------------------------------

HeaderDriver::HeaderDriver(const std::string& root)
    : fake_(root, "Nuvexcdo_3", [this](const FakeRequest& request) { return Serve(request); }) {}

std::vector<FakeRequest> HeaderDriver::HeaderRequests() const {
    std::vector<FakeRequest> headers;
    for (const auto& request : fake_.Requests())
        if (request.code == main_driver::kHeaderRequest) headers.push_back(request);
    return headers;
}

std::vector<std::string> HeaderDriver::Problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

FakeReply HeaderDriver::Serve(const FakeRequest& request) {
    if (request.code != main_driver::kHeaderRequest) return FakeReply::Ok();
    auto problem = [this](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        problems_.push_back(text);
        return FakeReply::Fail();
    };
    const uint32_t handle = U32At(request.input, 0);
    const uint32_t direction = U32At(request.input, 4);
    // The driver reaches the caller's document by the caller's own handle.
    const std::string path =
        "/proc/" + std::to_string(request.peerPid) + "/fd/" + std::to_string(handle);
    if (direction == 1) {
        if (request.input.size() != 20 || request.outputLength != 4096)
            return problem("read request of the wrong shape");
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return problem("cannot open " + path + " for reading");
        std::vector<uint8_t> header(4096);
        ssize_t got = ::pread(fd, header.data(), header.size(), 0);
        ::close(fd);
        if (got != 4096) return problem("short header read");
        return FakeReply::Ok(std::move(header));
    }
    if (direction == 0) {
        if (request.input.size() != 4116 || request.outputLength != 0)
            return problem("write request of the wrong shape");
        if (refuseWrites_) return FakeReply::Fail();
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return problem("cannot open " + path + " for writing");
        ssize_t put = ::pwrite(fd, request.input.data() + 16, 4096, 0);
        ::close(fd);
        if (put != 4096) return problem("short header write");
        return FakeReply::Ok();
    }
    return problem("unknown direction");
}

}  // namespace nuvex::test
