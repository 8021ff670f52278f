// The document key and the system key: module-wide stores behind one lock, so that a key
// being installed is never read half-written, and the two exports that replace them after
// the main filter driver has accepted the new key.
#include "document/keys.h"

#include <cstring>
#include <mutex>

#include "driver/device.h"
#include "driver/request_codes.h"
#include "frame/heap.h"
#include "frame/wire.h"
#include "nuvexctrl.h"

namespace nuvex {
namespace {

constexpr uint32_t kDocumentKeyStoreBytes = 257;
constexpr uint32_t kSystemKeyBytes = 16;
constexpr uint32_t kMaxKeyBytes = 256;  // the key field of both requests
constexpr uint32_t kKeyRequestBytes = 4 + kMaxKeyBytes;
constexpr uint32_t kSysKeyRequestBytes = kMaxKeyBytes;

struct KeyStores {
    std::mutex lock;
    // The default document key is 20 bytes of 0x5C; the rest of the store is zero.
    uint8_t documentKey[kDocumentKeyStoreBytes] = {
        0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
        0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C};
    // The system key starts as the document signature bytes.
    uint8_t systemKey[kSystemKeyBytes] = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                          0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};
};

KeyStores& Stores() {
    static KeyStores stores;
    return stores;
}

}  // namespace

SealKey DocumentKeySnapshot() {
    KeyStores& stores = Stores();
    std::lock_guard<std::mutex> guard(stores.lock);
    SealKey key;
    std::memcpy(key.data(), stores.documentKey, key.size());
    return key;
}

std::array<uint8_t, 16> SystemKeySnapshot() {
    KeyStores& stores = Stores();
    std::lock_guard<std::mutex> guard(stores.lock);
    std::array<uint8_t, 16> key;
    std::memcpy(key.data(), stores.systemKey, key.size());
    return key;
}

}  // namespace nuvex

using namespace nuvex;

extern "C" NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetKey(uint32_t keyParam, const void* key,
                                                          uint32_t keyLength) {
    if (key == nullptr || keyLength == 0) return 1564;
    // The request has room for 256 key bytes; a longer key is refused before anything is sent.
    if (keyLength > kMaxKeyBytes) return NUVEX_E_SETKEY_TOO_LONG;

    ControlSession session;
    if (!session.opened()) return 1595;

    uint8_t request[kKeyRequestBytes] = {};
    StoreU32(request, keyParam);
    std::memcpy(request + 4, key, keyLength);
    const RequestResult sent =
        session.Request(main_driver::kSetKey, request, sizeof request, nullptr, 0);
    SecureWipe(request, sizeof request);
    if (!sent.ok) return 1588;

    KeyStores& stores = Stores();
    std::lock_guard<std::mutex> guard(stores.lock);
    std::memset(stores.documentKey, 0, sizeof stores.documentKey);
    std::memcpy(stores.documentKey, key, keyLength);
    return 0;
}

extern "C" NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetSysKey(const void* key,
                                                             uint32_t keyLength) {
    if (key == nullptr || keyLength == 0) return 1606;
    if (keyLength > kMaxKeyBytes) return NUVEX_E_SETSYSKEY_TOO_LONG;

    ControlSession session;
    if (!session.opened()) return 1635;

    uint8_t request[kSysKeyRequestBytes] = {};
    std::memcpy(request, key, keyLength);
    const RequestResult sent =
        session.Request(main_driver::kSetSysKey, request, sizeof request, nullptr, 0);
    SecureWipe(request, sizeof request);
    if (!sent.ok) return 1628;

    KeyStores& stores = Stores();
    std::lock_guard<std::mutex> guard(stores.lock);
    std::memset(stores.systemKey, 0, sizeof stores.systemKey);
    std::memcpy(stores.systemKey, key, keyLength < kSystemKeyBytes ? keyLength : kSystemKeyBytes);
    return 0;
}
