// Shared setup of the document tests: a fresh machine root, a debugger-output file, file
// helpers, a header-serving fake driver and a hook that runs at a chosen debugger message.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "machine_root.h"
#include "nuvex_wire.h"
#include "nuvexctrl.h"

namespace nuvex::test {

// Runs `action` once, when the library next writes exactly `message` to the debugger output
// (after the message has been written). Cleared by every test's setup.
void OnDebugMessage(const std::string& message, std::function<void()> action);

class DocumentTest : public MachineRootTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Lines the library wrote to the debugger output during this test ("debug: " removed).
    std::vector<std::string> DebugMessages() const;
    void ClearDebugMessages() const;

    // A plain file of `bytes` at a scratch path; returns the path.
    std::string PlainFile(const std::string& name, const std::string& bytes);
    // A document made by the library from `plain`; returns its path.
    std::string Document(const std::string& name, const std::string& plain);
    // Names in the scratch directory.
    std::vector<std::string> ScratchNames() const;

    // The rights test's password.
    static constexpr char kPassword[] = "secret";
    static constexpr uint32_t kPasswordLength = 6;
};

// Deterministic pseudo-random bytes.
std::string RandomBytes(std::size_t size, uint32_t seed);

// Header field readers on a file image.
uint16_t U16(const std::string& image, std::size_t offset);
uint32_t U32(const std::string& image, std::size_t offset);
uint64_t U64(const std::string& image, std::size_t offset);
void PutU16(std::string& image, std::size_t offset, uint16_t value);

// A main filter driver that serves the header request through /proc/<peer>/fd/<handle>, as
// the real driver reaches the caller's document: reads return the file's first 4096 bytes,
// writes store 4096 bytes at offset 0. Every other request succeeds with no bytes.
class HeaderDriver {
public:
    explicit HeaderDriver(const std::string& root);
    FakeDriver& fake() { return fake_; }
    std::vector<FakeRequest> HeaderRequests() const;
    // When set, writes through the driver are refused.
    void RefuseWrites(bool refuse) { refuseWrites_ = refuse; }
    // Errors met while reaching the caller's file (empty when every access worked).
    std::vector<std::string> Problems() const;

private:
    FakeReply Serve(const FakeRequest& request);
    std::atomic<bool> refuseWrites_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> problems_;
    FakeDriver fake_;  // last: its threads stop before the members they use go
};

}  // namespace nuvex::test
