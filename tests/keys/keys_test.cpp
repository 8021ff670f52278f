// The document key and the system key: what reaches the driver, when the library's copies
// change, and that reading them never races with a change.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "crypto/seal.h"
#include "crypto/seal_cache.h"
#include "document/keys.h"
#include "nuvex_wire.h"
#include "fake_driver.h"
#include "machine_root.h"
#include "nuvexctrl.h"
#include "platform/host/host_hooks.h"

namespace nuvex {
namespace {

using test::FakeDriver;
using test::FakeReply;
using test::FakeRequest;
using test::MachineRootTest;

constexpr char kDevice[] = "Nuvexcdo_3";
const std::array<uint8_t, 16> kSignature = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                            0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};

std::vector<uint8_t> KeyBytes(std::size_t n, uint8_t first) {
    std::vector<uint8_t> key(n);
    for (std::size_t k = 0; k < n; ++k) key[k] = static_cast<uint8_t>(first + 3 * k);
    return key;
}

SealKey Padded(const std::vector<uint8_t>& key) {
    SealKey padded{};
    std::memcpy(padded.data(), key.data(), key.size() < 20 ? key.size() : 20);
    return padded;
}

std::vector<uint8_t> DocumentBody(uint32_t length) {
    std::vector<uint8_t> body(length, 0x41);
    EncryptDocumentBytes(body.data(), body.data(), length, 4113, DocumentKeySnapshot());
    return body;
}

class Keys : public MachineRootTest {
protected:
    // Installs a key through a cooperative driver (test set-up, not under test).
    void Install(const std::vector<uint8_t>& key) {
        FakeDriver driver(Root(), kDevice);
        ASSERT_EQ(0u, NuvexCtrl_SetKey(0, key.data(), static_cast<uint32_t>(key.size())));
    }
};

// Runs first: the stores still hold their built-in values.
TEST_F(Keys, StartAtTheirDefaults) {
    SealKey defaultKey;
    defaultKey.fill(0x5C);
    EXPECT_EQ(DocumentKeySnapshot(), defaultKey);
    EXPECT_EQ(SystemKeySnapshot(), kSignature);
    std::vector<uint8_t> expected(100, 0x41);
    SealCrypt(expected.data(), expected.data(), 100, 4113, defaultKey.data());
    EXPECT_EQ(DocumentBody(100), expected);
}

TEST_F(Keys, SetKeySendsTheKeyInsideTheHandshake) {
    FakeDriver driver(Root(), kDevice);
    const uint32_t handles = NuvexHost_OpenHandleCount();
    const std::vector<uint8_t> key = KeyBytes(5, 0x10);
    ASSERT_EQ(0u, NuvexCtrl_SetKey(0xA1B2C3D4u, key.data(), 5));

    const std::vector<FakeRequest> requests = driver.Requests();
    ASSERT_EQ(driver.Codes(), (std::vector<uint32_t>{main_driver::kBeginControl,
                                                      main_driver::kSetKey,
                                                      main_driver::kEndControl}));
    const std::vector<uint8_t>& wire = requests[1].input;
    ASSERT_EQ(wire.size(), 260u);
    EXPECT_EQ(test::U32At(wire, 0), 0xA1B2C3D4u);
    EXPECT_TRUE(std::equal(key.begin(), key.end(), wire.begin() + 4));
    EXPECT_TRUE(std::all_of(wire.begin() + 9, wire.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(requests[1].outputLength, 0u);
    // The library's copy: the 5 bytes, then zeros to 20.
    EXPECT_EQ(DocumentKeySnapshot(), Padded(key));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), handles);
}

TEST_F(Keys, OnlyTheFirst20BytesEncipherDocuments) {
    const std::vector<uint8_t> first = KeyBytes(32, 0x20);
    std::vector<uint8_t> tailDiffers = first;
    tailDiffers[20] ^= 0xFF;
    tailDiffers[31] ^= 0xFF;
    std::vector<uint8_t> lastUsedDiffers = first;
    lastUsedDiffers[19] ^= 0x01;

    {
        FakeDriver driver(Root(), kDevice);
        ASSERT_EQ(0u, NuvexCtrl_SetKey(7, first.data(), 32));
        const std::vector<uint8_t> wire = driver.Requests().at(1).input;
        EXPECT_TRUE(std::equal(first.begin(), first.end(), wire.begin() + 4));
        EXPECT_TRUE(std::all_of(wire.begin() + 36, wire.end(), [](uint8_t b) { return b == 0; }));
    }
    const std::vector<uint8_t> underFirst = DocumentBody(600);
    Install(tailDiffers);
    EXPECT_EQ(DocumentBody(600), underFirst);
    Install(lastUsedDiffers);
    EXPECT_NE(DocumentBody(600), underFirst);
}

TEST_F(Keys, FailedRequestEndsTheHandshakeAndKeepsTheStores) {
    Install(KeyBytes(20, 0x30));
    const SealKey documentBefore = DocumentKeySnapshot();
    const std::array<uint8_t, 16> systemBefore = SystemKeySnapshot();
    FakeDriver driver(Root(), kDevice, [](const FakeRequest& request) {
        if (request.code == main_driver::kSetKey || request.code == main_driver::kSetSysKey)
            return FakeReply::Fail();
        return FakeReply::Ok();
    });
    const std::vector<uint8_t> key = KeyBytes(16, 0x90);
    EXPECT_EQ(1588u, NuvexCtrl_SetKey(1, key.data(), 16));
    EXPECT_EQ(1628u, NuvexCtrl_SetSysKey(key.data(), 16));
    EXPECT_EQ(driver.Codes(),
              (std::vector<uint32_t>{main_driver::kBeginControl, main_driver::kSetKey,
                                     main_driver::kEndControl, main_driver::kBeginControl,
                                     main_driver::kSetSysKey, main_driver::kEndControl}));
    EXPECT_EQ(DocumentKeySnapshot(), documentBefore);
    EXPECT_EQ(SystemKeySnapshot(), systemBefore);
}

TEST_F(Keys, WithoutDriverOrWithBadArgumentsNothingChanges) {
    Install(KeyBytes(20, 0x40));
    const SealKey documentBefore = DocumentKeySnapshot();
    const std::array<uint8_t, 16> systemBefore = SystemKeySnapshot();
    const std::vector<uint8_t> key = KeyBytes(300, 0x50);

    // No driver listening.
    EXPECT_EQ(1595u, NuvexCtrl_SetKey(0, key.data(), 20));
    EXPECT_EQ(1635u, NuvexCtrl_SetSysKey(key.data(), 16));

    FakeDriver driver(Root(), kDevice);
    EXPECT_EQ(1564u, NuvexCtrl_SetKey(0, nullptr, 20));
    EXPECT_EQ(1564u, NuvexCtrl_SetKey(0, key.data(), 0));
    EXPECT_EQ(1606u, NuvexCtrl_SetSysKey(nullptr, 16));
    EXPECT_EQ(1606u, NuvexCtrl_SetSysKey(key.data(), 0));
    // Longer than the request's key field: refused before anything is sent.
    EXPECT_EQ(NUVEX_E_SETKEY_TOO_LONG, NuvexCtrl_SetKey(0, key.data(), 257));
    EXPECT_EQ(NUVEX_E_SETSYSKEY_TOO_LONG, NuvexCtrl_SetSysKey(key.data(), 257));
    EXPECT_EQ(driver.ConnectionCount(), 0);
    EXPECT_EQ(DocumentKeySnapshot(), documentBefore);
    EXPECT_EQ(SystemKeySnapshot(), systemBefore);

    // 256 bytes is the longest key that fits.
    EXPECT_EQ(0u, NuvexCtrl_SetKey(0, key.data(), 256));
    const std::vector<uint8_t> wire = driver.Requests().at(1).input;
    EXPECT_TRUE(std::equal(key.begin(), key.begin() + 256, wire.begin() + 4));
}

TEST_F(Keys, SetSysKeyKeepsTheFirst16Bytes) {
    FakeDriver driver(Root(), kDevice);
    const std::vector<uint8_t> shortKey = KeyBytes(5, 0x60);
    ASSERT_EQ(0u, NuvexCtrl_SetSysKey(shortKey.data(), 5));
    const std::vector<FakeRequest> requests = driver.Requests();
    ASSERT_EQ(driver.Codes(), (std::vector<uint32_t>{main_driver::kBeginControl,
                                                      main_driver::kSetSysKey,
                                                      main_driver::kEndControl}));
    ASSERT_EQ(requests[1].input.size(), 256u);
    EXPECT_TRUE(std::equal(shortKey.begin(), shortKey.end(), requests[1].input.begin()));
    EXPECT_TRUE(std::all_of(requests[1].input.begin() + 5, requests[1].input.end(),
                            [](uint8_t b) { return b == 0; }));
    std::array<uint8_t, 16> expected{};
    std::copy(shortKey.begin(), shortKey.end(), expected.begin());
    EXPECT_EQ(SystemKeySnapshot(), expected);

    const std::vector<uint8_t> longKey = KeyBytes(40, 0x70);
    ASSERT_EQ(0u, NuvexCtrl_SetSysKey(longKey.data(), 40));
    std::copy(longKey.begin(), longKey.begin() + 16, expected.begin());
    EXPECT_EQ(SystemKeySnapshot(), expected);
    // The document key is a separate store.
    EXPECT_NE(DocumentKeySnapshot(), Padded(longKey));
}

TEST_F(Keys, SnapshotsNeverSeeAHalfInstalledKey) {
    FakeDriver driver(Root(), kDevice);
    const std::vector<uint8_t> keyA(20, 0x11), keyB(20, 0xEE);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    ASSERT_EQ(0u, NuvexCtrl_SetKey(0, keyA.data(), 20));
    std::thread reader([&] {
        while (!done.load()) {
            const SealKey key = DocumentKeySnapshot();
            if (key != Padded(keyA) && key != Padded(keyB)) torn.fetch_add(1);
        }
    });
    for (int round = 0; round < 30; ++round) {
        const std::vector<uint8_t>& key = round % 2 ? keyA : keyB;
        EXPECT_EQ(0u, NuvexCtrl_SetKey(0, key.data(), 20));
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// Two replacements at once: whichever key the driver accepted last is the one the library
// enciphers with. The driver answers key A later than key B, so that without one step for
// request and store the calls would overtake each other between the two.
TEST_F(Keys, ConcurrentReplacementsLeaveDriverAndLibraryOnOneKey) {
    const std::vector<uint8_t> keyA(20, 0x11), keyB(20, 0xEE);
    std::mutex driverLock;
    std::vector<uint8_t> driverKey;
    FakeDriver driver(Root(), kDevice, [&](const FakeRequest& request) {
        if (request.code == main_driver::kSetKey) {
            {
                std::lock_guard<std::mutex> guard(driverLock);
                driverKey.assign(request.input.begin() + 4, request.input.begin() + 24);
            }
            if (request.input[4] == 0x11) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return FakeReply::Ok();
    });
    int differing = 0;
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> ready{0};
        auto set = [&](const std::vector<uint8_t>& key) {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            EXPECT_EQ(0u, NuvexCtrl_SetKey(0, key.data(), 20));
        };
        std::thread first(set, std::cref(keyA));
        std::thread second(set, std::cref(keyB));
        first.join();
        second.join();
        std::lock_guard<std::mutex> guard(driverLock);
        if (DocumentKeySnapshot() != Padded(driverKey)) ++differing;
    }
    EXPECT_EQ(differing, 0);
}

// The cipher's cached tables of a replaced document key are wiped at the change and never
// cached again; the current document key and the policy-file key stay cached.
TEST_F(Keys, ReplacedKeysLeaveTheTableCacheAtOnce) {
    const std::vector<uint8_t> keyA = KeyBytes(20, 0x21), keyB = KeyBytes(20, 0x42);
    const uint8_t policyFileKey[20] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25,
                                       0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24, 0x25};
    std::vector<uint8_t> bytes(64, 0x41);
    auto encipherTwice = [&](const uint8_t* key) {
        const SealCacheStats before = SealCacheStatistics();
        SealCrypt(bytes.data(), bytes.data(), 64, 0, key);
        SealCrypt(bytes.data(), bytes.data(), 64, 0, key);
        const SealCacheStats after = SealCacheStatistics();
        return std::make_pair(after.hits - before.hits, after.misses - before.misses);
    };
    Install(keyA);
    EXPECT_GT(encipherTwice(keyA.data()).first, 0u);
    Install(keyB);
    // A's entry is gone, and A's tables are derived per call without being kept.
    const auto [hitsA, missesA] = encipherTwice(keyA.data());
    EXPECT_EQ(hitsA, 0u);
    EXPECT_GE(missesA, 2u);
    EXPECT_GT(encipherTwice(keyB.data()).first, 0u);
    EXPECT_GT(encipherTwice(policyFileKey).first, 0u);
}

}  // namespace
}  // namespace nuvex
