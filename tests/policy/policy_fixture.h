// Shared pieces of the policy tests: a fixture with a fake main filter driver and helpers to
// build its replies and read the requests it received.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nuvex_wire.h"
#include "fake_driver.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex::test {

namespace md = nuvex::main_driver;

constexpr uint32_t kWireBytes = 2468;

inline bool IsHandshake(uint32_t code) {
    return code == md::kBeginControl || code == md::kConfirmControl || code == md::kEndControl;
}

// A zero-filled wire image with the given ID.
inline std::vector<uint8_t> WireRecord(uint32_t id) {
    std::vector<uint8_t> wire(kWireBytes, 0);
    for (int i = 0; i < 4; ++i) wire[4 + i] = static_cast<uint8_t>(id >> (8 * i));
    return wire;
}

inline void PutU32At(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

class PolicyTest : public MachineRootTest {
protected:
    void SetUp() override {
        MachineRootTest::SetUp();
        liveBlocks_ = NuvexTest_HeapLiveBlocks();
        openHandles_ = NuvexHost_OpenHandleCount();
    }
    void TearDown() override {
        driver_.reset();
        EXPECT_EQ(NuvexTest_HeapLiveBlocks(), liveBlocks_) << "library heap blocks leaked";
        EXPECT_EQ(NuvexHost_OpenHandleCount(), openHandles_) << "handles left open";
        MachineRootTest::TearDown();
    }

    // Starts the main filter driver with a handler for everything but the handshake.
    FakeDriver& StartDriver(FakeDriver::Handler handler) {
        driver_.reset();  // the old driver's socket goes before the new one listens
        driver_ = std::make_unique<FakeDriver>(
            Root(), "Nuvexcdo_3", [handler](const FakeRequest& request) {
                if (request.code == md::kBeginControl) return FakeReply::U32(0x5A5A0001);
                if (IsHandshake(request.code)) return FakeReply::Ok();
                return handler(request);
            });
        return *driver_;
    }

    // Requests of one code, in the order received.
    std::vector<FakeRequest> RequestsOf(uint32_t code) const {
        std::vector<FakeRequest> found;
        if (!driver_) return found;
        for (const auto& request : driver_->Requests())
            if (request.code == code) found.push_back(request);
        return found;
    }
    std::vector<uint32_t> InputsOf(uint32_t code) const {
        std::vector<uint32_t> inputs;
        for (const auto& request : RequestsOf(code)) inputs.push_back(U32At(request.input, 0));
        return inputs;
    }
    // Codes received apart from the handshake.
    std::vector<uint32_t> WorkCodes() const {
        std::vector<uint32_t> codes;
        if (!driver_) return codes;
        for (uint32_t code : driver_->Codes())
            if (!IsHandshake(code)) codes.push_back(code);
        return codes;
    }

    std::unique_ptr<FakeDriver> driver_;

private:
    uint32_t liveBlocks_ = 0;
    uint32_t openHandles_ = 0;
};

// Texts of a string list, head first.
inline std::vector<std::string> Texts(const UserStrNode* list) {
    std::vector<std::string> texts;
    for (; list != nullptr; list = list->next) texts.emplace_back(list->data);
    return texts;
}

}  // namespace nuvex::test
