// The document key and the system key: module-wide stores behind one lock, so that a key
// being installed is never read half-written, and the two exports that replace them after
// the main filter driver has accepted the new key. A second lock makes each replacement one
// step (request and store together), so that the driver and the library always end on the
// same key; when the document key changes, the cipher's cached tables of the old one go.
#include "document/keys.h"

#include <cstring>

#include "crypto/seal_cache.h"
#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/heap.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvexctrl.h"
#include "platform/threads.h"

namespace nuvex {
const uint8_t kBuiltInDocumentKey[kSealKeyBytes] = {0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
                                                    0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
                                                    0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C};

namespace {

constexpr uint32_t kDocumentKeyStoreBytes = 257;
constexpr uint32_t kSystemKeyBytes = 16;
constexpr uint32_t kMaxKeyBytes = NUVEX_KEY_FIELD_SIZE;  // the key field of both requests
constexpr uint32_t kKeyRequestBytes = NUVEX_SET_KEY_REQUEST_SIZE;
constexpr uint32_t kSysKeyRequestBytes = NUVEX_SET_SYSKEY_REQUEST_SIZE;

struct KeyStores {
    // Held from a key request until the store holds the accepted key; ordered before `lock`.
    platform::Lock installLock;
    platform::Lock lock;
    // Starts as the built-in key; the rest of the store is zero.
    uint8_t documentKey[kDocumentKeyStoreBytes] = {};
    KeyStores() { std::memcpy(documentKey, kBuiltInDocumentKey, sizeof kBuiltInDocumentKey); }
    // The system key starts as the document signature bytes.
    uint8_t systemKey[kSystemKeyBytes] = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                          0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};

    // The keys do not outlive the module.
    ~KeyStores() {
        platform::LockHolder guard(lock);
        SecureWipe(documentKey, sizeof documentKey);
        SecureWipe(systemKey, sizeof systemKey);
    }
};

KeyStores& Stores() {
    static KeyStores stores;
    return stores;
}

}  // namespace

const uint8_t kPolicyFileKey[kSealKeyBytes] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x21, 0x22,
                                               0x23, 0x24, 0x25, 0x21, 0x22, 0x23, 0x24,
                                               0x25, 0x21, 0x22, 0x23, 0x24, 0x25};

SealKey DocumentKeySnapshot() {
    KeyStores& stores = Stores();
    platform::LockHolder guard(stores.lock);
    SealKey key;
    std::memcpy(key.data(), stores.documentKey, key.size());
    return key;
}

std::array<uint8_t, 16> SystemKeySnapshot() {
    KeyStores& stores = Stores();
    platform::LockHolder guard(stores.lock);
    std::array<uint8_t, 16> key;
    std::memcpy(key.data(), stores.systemKey, key.size());
    return key;
}

namespace {

// Result numbers of one key export.
struct KeyExportCodes {
    uint32_t badArgument;  // no key, or a length of 0
    uint32_t tooLong;      // more bytes than the request's key field holds
    uint32_t notOpened;    // the control device cannot be opened
    uint32_t refused;      // the driver failed the request
};

// Restricts the cipher's table cache to the keys still in use, the document key and the
// policy-file key (the system key is only handed to the driver and never enciphers): the
// tables of a replaced document key are wiped at once. Called with the install lock held.
void KeepOnlyKeysInUse() {
    SealKey document = DocumentKeySnapshot();
    const uint8_t* inUse[] = {document.data(), kPolicyFileKey};
    SealCacheKeepOnly(inUse, 2);
    SecureWipe(document.data(), document.size());
}

// Hands a key to the main filter driver inside the control handshake and, once the driver
// has accepted it, replaces `store` (zero-filled, then as many key bytes as it holds). The
// request is `prefix` followed by the key bytes, zero-filled to `requestBytes`; a key that
// does not fit the request is refused before anything is sent. A refused or unsent key leaves
// the store as it was. Request and store happen under the install lock: of two calls at once,
// the one whose key the driver accepted last is also the one whose key the store keeps.
uint32_t InstallKey(uint32_t code, const uint8_t* prefix, uint32_t prefixBytes,
                    uint32_t requestBytes, const void* key, uint32_t keyLength, uint8_t* store,
                    std::size_t storeBytes, const KeyExportCodes& codes) {
    if (key == nullptr || keyLength == 0) return codes.badArgument;
    if (keyLength > requestBytes - prefixBytes) return codes.tooLong;

    ControlSession session;
    if (!session.opened()) return codes.notOpened;

    uint8_t request[kKeyRequestBytes] = {};
    if (prefixBytes > 0) std::memcpy(request, prefix, prefixBytes);
    std::memcpy(request + prefixBytes, key, keyLength);
    platform::LockHolder installing(Stores().installLock);
    const RequestResult sent = session.Request(code, request, requestBytes, nullptr, 0);
    SecureWipe(request, sizeof request);
    if (!sent.ok) return codes.refused;

    {
        platform::LockHolder guard(Stores().lock);
        std::memset(store, 0, storeBytes);
        std::memcpy(store, key, keyLength < storeBytes ? keyLength : storeBytes);
    }
    KeepOnlyKeysInUse();
    return 0;
}

}  // namespace
}  // namespace nuvex

using namespace nuvex;

extern "C" NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetKey(uint32_t keyParam, const void* key,
                                                          uint32_t keyLength) {
    // The request carries the caller's parameter word ahead of the key.
    uint8_t param[4];
    StoreU32(param, keyParam);
    uint8_t* store = Stores().documentKey;
    return InstallKey(
        main_driver::kSetKey, param, sizeof param, kKeyRequestBytes, key, keyLength, store,
        kDocumentKeyStoreBytes,
        KeyExportCodes{rc::NuvexCtrl_SetKey::kNullArgument, NUVEX_E_SETKEY_TOO_LONG,
                       rc::NuvexCtrl_SetKey::kNoDevice, rc::NuvexCtrl_SetKey::kRefused});
}

extern "C" NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetSysKey(const void* key,
                                                             uint32_t keyLength) {
    uint8_t* store = Stores().systemKey;
    return InstallKey(
        main_driver::kSetSysKey, nullptr, 0, kSysKeyRequestBytes, key, keyLength, store,
        kSystemKeyBytes,
        KeyExportCodes{rc::NuvexCtrl_SetSysKey::kNullArgument, NUVEX_E_SETSYSKEY_TOO_LONG,
                       rc::NuvexCtrl_SetSysKey::kNoDevice, rc::NuvexCtrl_SetSysKey::kRefused});
}
