// Shared pieces of the main-driver tests: a fixture with a scripted driver on the main
// control device, handshake-aware handlers and readers of what went over the wire.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nuvex_wire.h"
#include "fake_driver.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {

namespace codes = nuvex::main_driver;

// The token the scripted driver hands out for the opening handshake request.
inline const std::vector<uint8_t> kToken = {0x44, 0x33, 0x22, 0x11};

inline bool IsHandshake(uint32_t code) {
    return code == codes::kBeginControl || code == codes::kConfirmControl ||
           code == codes::kEndControl;
}

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline std::vector<uint8_t> LE32(uint32_t value) {
    std::vector<uint8_t> out;
    PutU32(out, value);
    return out;
}

class DriverTest : public MachineRootTest {
protected:
    void SetUp() override {
        MachineRootTest::SetUp();
        baseline_ = NuvexTest_HeapLiveBlocks();
    }
    void TearDown() override {
        driver_.reset();
        NuvexTest_HeapFailAt(0, 0);
        EXPECT_EQ(NuvexTest_HeapLiveBlocks(), baseline_) << "heap blocks leaked";
        EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u) << "handles left open";
        MachineRootTest::TearDown();
    }

    // Starts the main driver; `handler` sees every request except the handshake's, which is
    // answered with kToken (or with no bytes when `tokenBytes` is false).
    FakeDriver& StartDriver(FakeDriver::Handler handler = nullptr, bool tokenBytes = true) {
        driver_.reset();  // the old driver removes its socket path when it stops
        driver_ = std::make_unique<FakeDriver>(Root(), "Nuvexcdo_3");
        driver_->SetHandler([handler, tokenBytes](const FakeRequest& request) {
            if (request.code == codes::kBeginControl)
                return tokenBytes ? FakeReply::Ok(kToken) : FakeReply::Ok();
            if (request.code == codes::kConfirmControl || request.code == codes::kEndControl)
                return FakeReply::Ok();
            return handler ? handler(request) : FakeReply::Ok();
        });
        return *driver_;
    }
    FakeDriver& Driver() { return *driver_; }

    // The requests of the export itself, without the handshake.
    std::vector<FakeRequest> OwnRequests() const {
        std::vector<FakeRequest> own;
        for (const auto& request : driver_->Requests())
            if (!IsHandshake(request.code)) own.push_back(request);
        return own;
    }

    // Waits until the driver has seen every connection closed by the library.
    bool AllConnectionsClosed() const {
        for (int i = 0; i < 200; ++i) {
            if (driver_->ClosedConnectionCount() == driver_->ConnectionCount()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Checks the bracket around the export's requests: opening request with a 4-byte output,
    // the token handed back, the export's requests, the closing request, then the close;
    // everything on one connection.
    void ExpectBracketed(const std::vector<uint32_t>& own) {
        std::vector<FakeRequest> requests = driver_->Requests();
        ASSERT_EQ(requests.size(), own.size() + 3);
        EXPECT_EQ(requests[0].code, codes::kBeginControl);
        EXPECT_TRUE(requests[0].input.empty());
        EXPECT_EQ(requests[0].outputLength, 4u);
        EXPECT_EQ(requests[1].code, codes::kConfirmControl);
        EXPECT_EQ(requests[1].input, kToken);
        EXPECT_EQ(requests[1].outputLength, 0u);
        for (size_t i = 0; i < own.size(); ++i) EXPECT_EQ(requests[2 + i].code, own[i]);
        EXPECT_EQ(requests.back().code, codes::kEndControl);
        EXPECT_TRUE(requests.back().input.empty());
        EXPECT_EQ(requests.back().outputLength, 0u);
        for (const auto& request : requests) EXPECT_EQ(request.connection, 1);
        EXPECT_EQ(driver_->ConnectionCount(), 1);
        EXPECT_TRUE(AllConnectionsClosed());
    }

    std::string SystemDirectory() const { return Root() + "/Windows/System32"; }
    std::string PassPathFile() const { return SystemDirectory() + "/NUVEXpath.nvdat"; }

private:
    std::unique_ptr<FakeDriver> driver_;
    uint32_t baseline_ = 0;
};

inline std::vector<std::string> Strings(const UserStrNode* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) out.emplace_back(list->data);
    return out;
}

}  // namespace nuvex::test
