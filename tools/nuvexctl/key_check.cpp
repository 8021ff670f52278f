#include "key_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "nuvexctrl_ex.h"
#include "output.h"
#include "secret.h"
#include "text.h"
#include "tool_files.h"

namespace nuvexctl {
namespace {

// ---- SHA-256 ------------------------------------------------------------------------------
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class Sha256 {
public:
    Sha256() = default;
    // The block may hold key bytes (an HMAC's padded key).
    ~Sha256() { Wipe(block_, sizeof block_); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const uint8_t* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            block_[used_++] = data[i];
            if (used_ == 64) Compress();
        }
        bits_ += static_cast<uint64_t>(length) * 8;
    }

    std::array<uint8_t, 32> Finish() {
        const uint64_t bits = bits_;
        const uint8_t one = 0x80, zero = 0;
        Add(&one, 1);
        while (used_ != 56) Add(&zero, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Add(length, 8);
        std::array<uint8_t, 32> digest{};
        for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
        return digest;
    }

private:
    void Compress() {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = static_cast<uint32_t>(block_[4 * i]) << 24 | static_cast<uint32_t>(block_[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4], f = state_[5],
                 g = state_[6], h = state_[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        const uint32_t add[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) state_[i] += add[i];
        used_ = 0;
    }

    uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block_[64] = {};
    std::size_t used_ = 0;
    uint64_t bits_ = 0;
};

constexpr char kFileName[] = "document-keys";
constexpr std::size_t kLongestFile = 64u << 20;
constexpr std::size_t kCheckBytes = 16;

// The check of a document's key: HMAC-SHA-256 of the GUID under the key as the cipher uses it
// (its first bytes, zero-filled), so that keys which make the same documents pass the same
// check; the built-in key, whose bytes the tool does not hold, under a label of its own.
std::string CheckOf(const uint8_t (&guid)[16], const std::vector<uint8_t>& key) {
    std::vector<uint8_t> used;
    used.reserve(64);
    WipeOnExit<std::vector<uint8_t>> wipeUsed(used);
    const std::string builtIn = "built-in document key";
    if (key.empty()) {
        used.assign(builtIn.begin(), builtIn.end());
    } else {
        used.assign(NUVEXCTRLEX_KEY_BYTES_USED, 0);
        std::memcpy(used.data(), key.data(), std::min<std::size_t>(key.size(), used.size()));
    }
    const std::vector<uint8_t> mac = HmacSha256(used, guid, sizeof guid);
    return Hex(mac.data(), kCheckBytes);
}

}  // namespace

std::vector<uint8_t> HmacSha256(const std::vector<uint8_t>& key, const uint8_t* message, std::size_t length) {
    std::array<uint8_t, 64> block{};
    if (key.size() > block.size()) {
        Sha256 hash;
        hash.Add(key.data(), key.size());
        const auto digest = hash.Finish();
        std::memcpy(block.data(), digest.data(), digest.size());
    } else {
        std::memcpy(block.data(), key.data(), key.size());
    }
    std::array<uint8_t, 64> inner{}, outer{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        inner[i] = block[i] ^ 0x36;
        outer[i] = block[i] ^ 0x5c;
    }
    Sha256 first;
    first.Add(inner.data(), inner.size());
    first.Add(message, length);
    const auto innerDigest = first.Finish();
    Sha256 second;
    second.Add(outer.data(), outer.size());
    second.Add(innerDigest.data(), innerDigest.size());
    const auto mac = second.Finish();
    Wipe(block.data(), block.size());
    Wipe(inner.data(), inner.size());
    Wipe(outer.data(), outer.size());
    return {mac.begin(), mac.end()};
}

bool DocumentKeyChecks::Load(std::string& why) {
    std::filesystem::path folder;
    if (!StateFolder(folder, why)) return false;
    path_ = folder / kFileName;
    std::string bytes;
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path_, ec))) return true;
    if (!ReadRegularFile(path_, kLongestFile, bytes, why)) {
        why = TextFromPath(path_) + " " + why;
        return false;
    }
    // Lines of "<GUID> <check>" in hexadecimal; anything else (a line cut by a crash) is passed over.
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        if (line.size() == 32 + 1 + 2 * kCheckBytes && line[32] == ' ') checks_[line.substr(0, 32)] = line.substr(33);
        start = end + 1;
    }
    return true;
}

DocumentKeyChecks::Verdict DocumentKeyChecks::Check(const uint8_t (&guid)[16], const std::vector<uint8_t>& key) const {
    auto kept = checks_.find(Hex(guid, sizeof guid));
    if (kept == checks_.end()) return Verdict::kUnknown;
    return kept->second == CheckOf(guid, key) ? Verdict::kSameKey : Verdict::kOtherKey;
}

bool DocumentKeyChecks::Record(const uint8_t (&guid)[16], const std::vector<uint8_t>& key, std::string& why) {
    if (path_.empty()) return false;
    const std::string line = Hex(guid, sizeof guid) + " " + CheckOf(guid, key) + "\n";
    std::lock_guard<std::mutex> hold(appending_);
    // Appended in one write to a file of the user's own, opened once for the run.
    if (!opened_ && !file_.Open(path_, why)) {
        why = TextFromPath(path_) + " " + why;
        return false;
    }
    opened_ = true;
    if (!file_.Append(line)) {
        why = "cannot write " + TextFromPath(path_);
        return false;
    }
    return true;
}

bool DocumentKeyChecks::Finish(std::string& why) {
    std::lock_guard<std::mutex> hold(appending_);
    if (!opened_ || file_.Sync()) return true;
    why = "cannot flush " + TextFromPath(path_) + " to the disk";
    return false;
}

}  // namespace nuvexctl
