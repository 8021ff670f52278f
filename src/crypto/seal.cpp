// The SEAL-family keystream cipher: table function, tables, keystream generation and stream
// addressing. The keystream must stay bit-for-bit what every build has always produced:
// stored documents and policy files depend on it.
#include "crypto/seal.h"

#include <cstring>

#include "crypto/seal_ahead.h"
#include "crypto/seal_cache.h"
#include "crypto/seal_core.h"
#include "frame/heap.h"
#include "platform/threads.h"

namespace nuvex {
namespace {

inline uint32_t Rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }
inline uint32_t Rotr(uint32_t x, int k) { return (x >> k) | (x << (32 - k)); }

// Word of T at a byte offset (a multiple of 4 below 2048, as the masks 0x7FC make it).
inline uint32_t TAt(const uint32_t* T, uint32_t byteOffset) {
    return *reinterpret_cast<const uint32_t*>(reinterpret_cast<const unsigned char*>(T) +
                                              byteOffset);
}

// Clears stack memory that held key-derived words. Plain memset may be dropped for a dead
// object; the empty asm that "reads" the memory keeps it.
inline void WipeLocal(void* data, std::size_t bytes) {
#if defined(__GNUC__)
    std::memset(data, 0, bytes);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    SecureWipe(data, bytes);
#endif
}

// L counter values generated side by side. Every step is written once per lane in a row so
// that the independent dependency chains of the lanes overlap in the processor. Kept scalar:
// the compiler's own vectorising of the lanes (table look-ups taken apart and put back into
// vectors) makes it about 1.7 times slower.
template <int L>
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize", "no-tree-slp-vectorize")))
#endif
void GenerateLanesOf(const uint32_t* T, const uint32_t* S, const uint32_t* R, uint32_t first,
                     uint32_t (*out)[kSealBlockWords]) {
    uint32_t a[L], b[L], c[L], d[L];
    uint32_t n1[L], n2[L], n3[L], n4[L];
    uint32_t p[L], q[L];

#define NUVEX_LANES for (int l = 0; l < L; ++l)
#define NUVEX_PASS                                                   \
    NUVEX_LANES {                                                    \
        b[l] += TAt(T, a[l] & 0x7FC);                                \
        a[l] = Rotr(a[l], 9);                                        \
    }                                                                \
    NUVEX_LANES {                                                    \
        c[l] += TAt(T, b[l] & 0x7FC);                                \
        b[l] = Rotr(b[l], 9);                                        \
    }                                                                \
    NUVEX_LANES {                                                    \
        d[l] += TAt(T, c[l] & 0x7FC);                                \
        c[l] = Rotr(c[l], 9);                                        \
    }                                                                \
    NUVEX_LANES {                                                    \
        a[l] += TAt(T, d[l] & 0x7FC);                                \
        d[l] = Rotr(d[l], 9);                                        \
    }

    NUVEX_LANES {
        const uint32_t n = first + static_cast<uint32_t>(l);
        a[l] = n ^ R[12];
        b[l] = Rotr(n, 8) ^ R[13];
        c[l] = Rotr(n, 16) ^ R[14];
        d[l] = Rotr(n, 24) ^ R[15];
    }
    // The second half goes on from the words the first half left.
    for (uint32_t half = 0; half < 2; ++half) {
        NUVEX_PASS
        NUVEX_LANES {
            n1[l] = d[l];
            n2[l] = b[l];
            n3[l] = a[l];
            n4[l] = c[l];
        }
        NUVEX_PASS
        const uint32_t base = 256 * half;
        for (uint32_t i = 0; i < 64; ++i) {
            NUVEX_LANES {
                p[l] = a[l] & 0x7FC;
                b[l] += TAt(T, p[l]);
                a[l] = Rotr(a[l], 9);
                b[l] ^= a[l];
            }
            NUVEX_LANES {
                q[l] = b[l] & 0x7FC;
                c[l] ^= TAt(T, q[l]);
                b[l] = Rotr(b[l], 9);
                c[l] += b[l];
            }
            NUVEX_LANES {
                p[l] = (p[l] + c[l]) & 0x7FC;
                d[l] += TAt(T, p[l]);
                c[l] = Rotr(c[l], 9);
                d[l] ^= c[l];
            }
            NUVEX_LANES {
                q[l] = (q[l] + d[l]) & 0x7FC;
                a[l] ^= TAt(T, q[l]);
                d[l] = Rotr(d[l], 9);
                a[l] += d[l];
            }
            NUVEX_LANES {
                p[l] = (p[l] + a[l]) & 0x7FC;
                b[l] ^= TAt(T, p[l]);
                a[l] = Rotr(a[l], 9);
            }
            NUVEX_LANES {
                q[l] = (q[l] + b[l]) & 0x7FC;
                c[l] += TAt(T, q[l]);
                b[l] = Rotr(b[l], 9);
            }
            NUVEX_LANES {
                p[l] = (p[l] + c[l]) & 0x7FC;
                d[l] ^= TAt(T, p[l]);
                c[l] = Rotr(c[l], 9);
            }
            NUVEX_LANES {
                q[l] = (q[l] + d[l]) & 0x7FC;
                a[l] += TAt(T, q[l]);
                d[l] = Rotr(d[l], 9);
            }
            const uint32_t* s = S + 4 * i;
            NUVEX_LANES {
                uint32_t* y = out[l] + base + 4 * i;
                y[0] = b[l] + s[0];
                y[1] = c[l] ^ s[1];
                y[2] = d[l] + s[2];
                y[3] = a[l] ^ s[3];
            }
            if ((i & 1) == 0) {
                NUVEX_LANES {
                    a[l] += n1[l];
                    c[l] += n2[l];
                }
            } else {
                NUVEX_LANES {
                    a[l] += n3[l];
                    c[l] += n4[l];
                }
            }
        }
    }
#undef NUVEX_PASS
#undef NUVEX_LANES
}

}  // namespace

void SealShaCompress(uint32_t state[5], const uint32_t block[16], bool rotateExpansion) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = block[t];
    for (int t = 16; t < 80; ++t) {
        const uint32_t x = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
        w[t] = rotateExpansion ? Rotl(x, 1) : x;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    WipeLocal(w, sizeof w);
}

void SealG(const uint8_t* key, uint32_t index, uint32_t out[5]) {
    for (int k = 0; k < 5; ++k) {
        const uint8_t* p = key + 4 * k;
        out[k] = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                 (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    }
    uint32_t block[16] = {index};
    SealShaCompress(out, block, false);
}

void SealMakeTables(const uint8_t* key, SealTables& tables) {
    // Word m of the sequence G(key, 0), G(key, 1), ... is word m mod 5 of G(key, m div 5).
    // T holds words 0..511, S words 4096..4351, R words 8192..8207; the G evaluations that
    // straddle a table's start deliver leading words that are not needed.
    for (uint32_t i = 0; i <= 102; ++i) SealG(key, i, &tables.T[5 * i]);
    uint32_t g[5];
    SealG(key, 819, g);
    for (int w = 1; w < 5; ++w) tables.S[w - 1] = g[w];
    for (uint32_t i = 820; i <= 870; ++i) SealG(key, i, &tables.S[5 * i - 4096]);
    SealG(key, 1638, g);
    for (int w = 2; w < 5; ++w) tables.R[w - 2] = g[w];
    for (uint32_t i = 1639; i <= 1641; ++i) SealG(key, i, &tables.R[5 * i - 8192]);
    WipeLocal(g, sizeof g);
}

void SealBind(SealContext& context, const SealTables& tables, SealWorkspace& workspace) {
    context.T = tables.T;
    context.S = tables.S;
    context.R = tables.R;
    context.Counter = 0;
    context.Keystream = workspace.keystream;
    context.Position = static_cast<int32_t>(kSealBlockWords);
    context.Lanes = workspace.lanes;
    context.Pad = workspace.pad;
    context.Key = nullptr;
    context.LanesUsed = false;
    context.PadUsed = 0;
}

void SealSetup(SealContext& context, SealWorkspace& workspace, const uint8_t* key) {
    SealMakeTables(key, workspace.tables);
    SealBind(context, workspace.tables, workspace);
}

void SealGenerateLanes(const SealContext& context, uint32_t first, uint32_t count,
                       uint32_t (*out)[kSealBlockWords]) {
    static_assert(kSealLanes == 4, "GenerateLanesOf instances below cover 1..4 lanes");
    switch (count) {
    case 1: GenerateLanesOf<1>(context.T, context.S, context.R, first, out); break;
    case 2: GenerateLanesOf<2>(context.T, context.S, context.R, first, out); break;
    case 3: GenerateLanesOf<3>(context.T, context.S, context.R, first, out); break;
    case 4: GenerateLanesOf<4>(context.T, context.S, context.R, first, out); break;
    default: break;
    }
}

void SealGenerate(const SealContext& context, uint32_t counter, uint32_t* keystream) {
    GenerateLanesOf<1>(context.T, context.S, context.R, counter,
                       reinterpret_cast<uint32_t(*)[kSealBlockWords]>(keystream));
}

void SealRefill(SealContext& context) {
    SealGenerate(context, context.Counter, context.Keystream);
    context.Counter += 1;
    context.Position = 0;
}

void SealXorBlocksPortable(const SealContext& context, uint32_t first, uint32_t count,
                           uint8_t* data, uint32_t* words) {
    SealGenerateLanes(context, first, count, context.Lanes);
    for (uint32_t lane = 0; lane < count; ++lane)
        SealFoldXor(data + kSealBlockBytes * lane, context.Lanes[lane], kSealBlockWords);
    if (words != nullptr)
        std::memcpy(words, context.Lanes[count - 1], kSealBlockWords * sizeof(uint32_t));
}

namespace {

// Runs a keystream routine, noting which of the context's memory it writes.
void RunRoutine(SealContext& context, const SealKeystreamRoutine& routine, uint32_t first,
                uint32_t count, uint8_t* data, uint32_t* words) {
    if (routine.xorBlocks == SealXorBlocksPortable) context.LanesUsed = true;
    if (data == context.Pad) {
        const uint32_t bytes = routine.lanes * kSealBlockBytes;
        if (bytes > context.PadUsed) context.PadUsed = bytes;
    }
    routine.xorBlocks(context, first, count, data, words);
}

}  // namespace

void SealXorAt(SealContext& context, uint8_t* data, uint32_t length, uint32_t offset) {
    uint32_t counter = offset >> 9;
    uint32_t word = offset & 0x1FF;
    uint64_t remaining = length;

    // The first block may already be at hand (the caller's previous stretch ended in it).
    const bool haveFirst = context.Position < static_cast<int32_t>(kSealBlockWords) &&
                           context.Counter == counter + 1;
    if (haveFirst) {
        const uint32_t take = static_cast<uint32_t>(
            remaining < kSealBlockWords - word ? remaining : kSealBlockWords - word);
        SealFoldXor(data, context.Keystream + word, take);
        data += take;
        remaining -= take;
        word += take;
        context.Position = static_cast<int32_t>(word);
        if (remaining == 0) return;
        counter += 1;
        word = 0;
    }

    // Keystream an earlier call read ahead for this place; finding it, or the block above,
    // shows that the stream goes on chunk after chunk.
    bool continuing = haveFirst;
    if (context.Key != nullptr) {
        const uint32_t taken = SealAheadTake(context.Key, counter, word, data, remaining);
        if (taken > 0) {
            continuing = true;
            data += taken;
            remaining -= taken;
            const uint32_t at = word + taken;  // below 2^32: the entry holds a few blocks
            counter += at / kSealBlockBytes;
            word = at % kSealBlockBytes;
            // The words of the block taken last are not at hand (only its folded bytes are
            // kept, and stay kept for the next call).
            context.Counter = counter;
            context.Position = static_cast<int32_t>(kSealBlockWords);
            if (remaining == 0) return;
        }
    }

    const SealKeystreamRoutine& routine = SealKeystreamChosen();
    const uint32_t batchBytes = routine.lanes * kSealBlockBytes;
    while (remaining > 0) {
        if (word == 0 && remaining >= batchBytes) {
            // A whole batch of blocks, enciphered where the data lies.
            RunRoutine(context, routine, counter, routine.lanes, data, nullptr);
            data += batchBytes;
            remaining -= batchBytes;
            counter += routine.lanes;
            context.Counter = counter;
            context.Position = static_cast<int32_t>(kSealBlockWords);
            continue;
        }
        // A stretch that starts inside a block or ends before the batch does: enciphered in
        // the pad at its place in the batch, by the narrowest routine that still covers it
        // (a wide routine generates all its lanes whatever the stretch needs). The words of
        // a block left partly unused are kept in Keystream for the next stretch.
        const uint64_t wanted = (word + remaining + kSealBlockBytes - 1) / kSealBlockBytes;
        const SealKeystreamRoutine* narrow = &routine;
        while (narrow->narrower != nullptr &&
               (narrow->lanes > kSealPadLanes || wanted <= narrow->lanes / 2))
            narrow = narrow->narrower;
        const uint32_t padBytes = narrow->lanes * kSealBlockBytes;
        const uint32_t take = static_cast<uint32_t>(
            remaining < padBytes - word ? remaining : padBytes - word);
        const uint32_t end = word + take;
        const uint32_t count = (end + kSealBlockBytes - 1) / kSealBlockBytes;
        const bool partial = end % kSealBlockBytes != 0;

        // A stream that goes on in small chunks: a wider routine makes at least as many
        // blocks again as this stretch needs in the same time; the blocks from the one this
        // stretch ends in on are kept for the calls that follow.
        const SealKeystreamRoutine* ahead = &routine;
        while (ahead->narrower != nullptr && ahead->lanes > kSealPadLanes) ahead = ahead->narrower;
        if (continuing && context.Key != nullptr && remaining == take &&
            ahead->lanes >= 2 * count) {
            std::memset(context.Pad, 0, ahead->lanes * kSealBlockBytes);
            RunRoutine(context, *ahead, counter, ahead->lanes, context.Pad, nullptr);
            SealXorBytes(data, context.Pad + word, take);
            const uint32_t kept = end / kSealBlockBytes;  // first block not used up
            SealAheadKeep(context.Key, counter + kept, context.Pad + kept * kSealBlockBytes,
                          ahead->lanes - kept);
            context.Counter = counter + count;
            context.Position = static_cast<int32_t>(kSealBlockWords);
            return;
        }
        if (word == 0 && take == padBytes) {
            RunRoutine(context, *narrow, counter, count, data, nullptr);  // a whole batch after all
        } else {
            std::memcpy(context.Pad + word, data, take);
            RunRoutine(context, *narrow, counter, count, context.Pad,
                       partial ? context.Keystream : nullptr);
            std::memcpy(data, context.Pad + word, take);
        }
        data += take;
        remaining -= take;
        counter += count;
        context.Counter = counter;
        context.Position = static_cast<int32_t>(end - kSealBlockBytes * (count - 1));
        word = 0;
    }
}

int SealCryptWith(SealWorkspace& workspace, const void* source, void* destination,
                  uint32_t length, uint32_t offset, const uint8_t* key) {
    if (length == 0) return 1;  // nothing to copy or encipher

    // All working memory is in `workspace` and on this frame: nothing can fail between the
    // copy and the enciphering, so the destination never keeps plain bytes.
    SealContext context;
    // The key may lie in memory that the copy below overwrites; keep it as it was.
    SealKey ownKey;
    std::memcpy(ownKey.data(), key, ownKey.size());
    const uint32_t firstCounter = offset >> 9;
    const bool haveFirst =
        SealCacheLoad(ownKey.data(), firstCounter, workspace.tables, workspace.keystream);
    SealBind(context, workspace.tables, workspace);
    context.Key = ownKey.data();
    if (haveFirst) {
        context.Counter = firstCounter + 1;
        context.Position = 0;
    }

    // memmove copies forward whenever the destination starts below the source, and is also
    // sound for every other overlap.
    std::memmove(destination, source, length);
    SealXorAt(context, static_cast<uint8_t*>(destination), length, offset);

    // A block left partly unused is where the next chunk of the same stream starts.
    if (context.Position < static_cast<int32_t>(kSealBlockWords))
        SealCacheKeepBlock(ownKey.data(), context.Counter - 1, context.Keystream);

    WipeLocal(ownKey.data(), ownKey.size());
    WipeLocal(&workspace.tables, sizeof workspace.tables);
    WipeLocal(workspace.keystream, sizeof workspace.keystream);
    if (context.LanesUsed) WipeLocal(workspace.lanes, sizeof workspace.lanes);
    if (context.PadUsed > 0) WipeLocal(workspace.pad, context.PadUsed);
    return 1;
}

namespace {

// Workspaces for SealCrypt in static storage: a workspace is too large for the caller's
// stack (a host thread may have little of it left) and the cipher takes nothing from the
// heap. A call that finds them all taken works in the small room of SealCryptBlockwise.
constexpr uint32_t kSealSharedRooms = 2;
struct SharedRooms {
    platform::Lock lock;
    bool taken[kSealSharedRooms] = {};  // under lock
    SealWorkspace room[kSealSharedRooms] = {};
};
constinit SharedRooms g_rooms;

SealWorkspace* TakeRoom() {
    platform::LockHolder held(g_rooms.lock);
    for (uint32_t i = 0; i < kSealSharedRooms; ++i) {
        if (g_rooms.taken[i]) continue;
        g_rooms.taken[i] = true;
        return &g_rooms.room[i];
    }
    return nullptr;
}

void GiveBackRoom(SealWorkspace* room) {
    platform::LockHolder held(g_rooms.lock);
    g_rooms.taken[room - g_rooms.room] = false;
}

}  // namespace

// Kept out of SealCrypt's frame: only a call that finds no shared workspace pays for it.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void SealCryptBlockwise(const void* source, void* destination, uint32_t length, uint32_t offset,
                        const uint8_t* key) {
    if (length == 0) return;
    SealTables tables;
    uint32_t keystream[kSealBlockWords];
    SealKey ownKey;
    std::memcpy(ownKey.data(), key, ownKey.size());
    uint32_t counter = offset >> 9;
    uint32_t word = offset & 0x1FF;
    const bool haveFirst = SealCacheLoad(ownKey.data(), counter, tables, keystream);
    SealContext context{};
    context.T = tables.T;
    context.S = tables.S;
    context.R = tables.R;

    std::memmove(destination, source, length);
    auto* data = static_cast<uint8_t*>(destination);
    uint64_t remaining = length;
    bool first = true;
    uint32_t used = 0;  // words of the last block used
    while (remaining > 0) {
        if (!(first && haveFirst)) SealGenerate(context, counter, keystream);
        first = false;
        const uint32_t take = static_cast<uint32_t>(
            remaining < kSealBlockWords - word ? remaining : kSealBlockWords - word);
        SealFoldXor(data, keystream + word, take);
        data += take;
        remaining -= take;
        used = word + take;
        counter += 1;
        word = 0;
    }
    if (used < kSealBlockWords) SealCacheKeepBlock(ownKey.data(), counter - 1, keystream);

    WipeLocal(ownKey.data(), ownKey.size());
    WipeLocal(&tables, sizeof tables);
    WipeLocal(keystream, sizeof keystream);
}

int SealCrypt(const void* source, void* destination, uint32_t length, uint32_t offset,
              const uint8_t* key) {
    if (length == 0) return 1;
    SealWorkspace* room = TakeRoom();
    if (room == nullptr) {
        SealCryptBlockwise(source, destination, length, offset, key);
        return 1;
    }
    SealCryptWith(*room, source, destination, length, offset, key);
    GiveBackRoom(room);
    return 1;
}

int SealDecrypt(const void* source, void* destination, uint32_t length, uint32_t offset,
                const uint8_t* key) {
    return SealCrypt(source, destination, length, offset, key);
}

int EncryptDocumentBytes(const void* source, void* destination, uint32_t length, uint32_t offset,
                         const SealKey& key) {
    return SealCrypt(source, destination, length, offset, key.data());
}

int DecryptDocumentBytes(const void* source, void* destination, uint32_t length, uint32_t offset,
                         const SealKey& key) {
    return SealDecrypt(source, destination, length, offset, key.data());
}

int CryptDocumentBytesWith(SealWorkspace& workspace, void* data, uint32_t length,
                           uint32_t offset, const SealKey& key) {
    return SealCryptWith(workspace, data, data, length, offset, key.data());
}

}  // namespace nuvex
