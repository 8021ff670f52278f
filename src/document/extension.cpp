// The extension interface's document exports: encryption and decryption under a key the
// caller passes, with progress reported to (and cancellation by) a callback of the caller.
#include <cstring>

#include "document/documents.h"
#include "document/keys.h"
#include "frame/heap.h"
#include "nuvexctrl_ex.h"
#include "nuvex_wire.h"

namespace nuvex::document {
namespace {

// Keys are taken as NuvexCtrl_SetKey takes them: 1 to 256 bytes, of which the cipher uses the
// first kSealKeyBytes (zero-filled when shorter), so a document made here under a key is the
// same as one made after NuvexCtrl_SetKey with that key.
constexpr uint32_t kLongestKey = NUVEX_KEY_FIELD_SIZE;
static_assert(kSealKeyBytes == NUVEXCTRLEX_KEY_BYTES_USED);

// No key at all (null and a length of 0) asks for the built-in key, said outright rather than
// by a copy of its bytes in the caller.
bool TakeKey(const void* bytes, uint32_t length, SealKey& key) {
    key.fill(0);
    if (bytes == nullptr && length == 0) {
        std::memcpy(key.data(), kBuiltInDocumentKey, key.size());
        return true;
    }
    if (bytes == nullptr || length == 0 || length > kLongestKey) return false;
    std::memcpy(key.data(), bytes, length < key.size() ? length : key.size());
    return true;
}

struct CallerProgress {
    NuvexCtrlExProgress callback;
    void* context;
};

bool Report(void* context, uint64_t done, uint64_t total) {
    const auto* caller = static_cast<const CallerProgress*>(context);
    NuvexCtrlExProgressInfo info{done, total};
    return caller->callback(caller->context, &info) == 0;
}

// Runs `work` under the caller's key (copied, wiped afterwards) with the caller's progress
// callback, if any; a key that is not one gives NUVEX_E_KEY_INVALID.
template <typename Work>
uint32_t WithCallerKey(const void* key, uint32_t keyLength, NuvexCtrlExProgress progress,
                       void* context, Work work) {
    SealKey sealKey{};
    if (!TakeKey(key, keyLength, sealKey)) return NUVEX_E_KEY_INVALID;
    CallerProgress caller{progress, context};
    CopyProgress reporting{&Report, &caller};
    const uint32_t result = work(sealKey, progress != nullptr ? &reporting : nullptr);
    SecureWipe(sealKey.data(), sealKey.size());
    return result;
}

}  // namespace
}  // namespace nuvex::document

using namespace nuvex;
using namespace nuvex::document;

extern "C" {

uint32_t NUVEXAPI NuvexCtrlEx_EncryptFile(const char* fileName, const void* key, uint32_t keyLength,
                                          NuvexCtrlExProgress progress, void* context) {
    return WithCallerKey(key, keyLength, progress, context, [&](const SealKey& sealKey, const CopyProgress* reporting) {
        return EncryptDocumentFile(fileName, sealKey, reporting);
    });
}

uint32_t NUVEXAPI NuvexCtrlEx_DecryptFile(const char* fileName, const char* outFileName,
                                          const void* key, uint32_t keyLength,
                                          NuvexCtrlExProgress progress, void* context) {
    return WithCallerKey(key, keyLength, progress, context, [&](const SealKey& sealKey, const CopyProgress* reporting) {
        return DecryptDocumentFile(fileName, outFileName != nullptr ? 1 : 0, outFileName, sealKey, reporting);
    });
}

uint32_t NUVEXAPI NuvexCtrlEx_EncryptFileIn(NuvexCtrlExFolder folder, const char* name,
                                            const void* key, uint32_t keyLength,
                                            NuvexCtrlExProgress progress, void* context) {
    return WithCallerKey(key, keyLength, progress, context, [&](const SealKey& sealKey, const CopyProgress* reporting) {
        return EncryptDocumentIn(folder, name, sealKey, reporting);
    });
}

uint32_t NUVEXAPI NuvexCtrlEx_DecryptFileIn(NuvexCtrlExFolder folder, const char* name,
                                            const char* outName, const void* key,
                                            uint32_t keyLength, NuvexCtrlExProgress progress,
                                            void* context) {
    return WithCallerKey(key, keyLength, progress, context, [&](const SealKey& sealKey, const CopyProgress* reporting) {
        return DecryptDocumentIn(folder, name, outName, sealKey, reporting);
    });
}

}  // extern "C"
