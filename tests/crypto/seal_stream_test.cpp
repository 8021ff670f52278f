// The cipher as its callers use it: stream addressing, chunking, overlap, the table cache,
// and enciphering without any heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/seal.h"
#include "crypto/seal_ahead.h"
#include "crypto/seal_cache.h"
#include "crypto/seal_core.h"
#include "literal_seal.h"
#include "platform/host/host_hooks.h"

namespace nuvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
    Bytes bytes(n);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

SealKey RandomKey(std::mt19937& rng) {
    SealKey key;
    for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
    return key;
}

Bytes Crypt(const Bytes& plain, uint32_t offset, const SealKey& key) {
    Bytes out(plain.size());
    EXPECT_EQ(1, SealCrypt(plain.data(), out.data(), static_cast<uint32_t>(plain.size()), offset,
                           key.data()));
    return out;
}

Bytes Literal(const Bytes& plain, uint32_t offset, const SealKey& key) {
    Bytes out(plain.size());
    literal_seal::Crypt(plain.data(), out.data(), static_cast<uint32_t>(plain.size()), offset,
                        key.data());
    return out;
}

// The keystream byte of one stream offset, straight from the block's words.
uint8_t KeystreamByte(const SealKey& key, uint32_t offset) {
    SealWorkspace workspace;
    SealContext context;
    SealSetup(context, workspace, key.data());
    uint32_t block[512];
    SealGenerate(context, offset >> 9, block);
    const uint32_t w = block[offset & 0x1FF];
    return static_cast<uint8_t>(w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24));
}

// Every test runs once for each keystream routine of the build, forced in turn (a routine the
// processor cannot run is skipped). A routine hands batches smaller than its width to the
// narrower ones, so stretches of several of its batches are what reach it.
class SealStream : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        SealCacheClear();
        SealAheadClear();
        if (!SealKeystreamForce(GetParam().c_str())) GTEST_SKIP() << "processor lacks it";
        widest = SealKeystreamChosen().lanes * kSealBlockBytes;
    }
    void TearDown() override { SealKeystreamForce(nullptr); }
    std::mt19937 rng{42};
    uint32_t widest = 0;  // bytes of one batch of the forced routine
};

std::vector<std::string> RoutineNames() {
    std::size_t count = 0;
    const SealKeystreamRoutine* routines = SealKeystreamRoutines(&count);
    std::vector<std::string> names;
    for (std::size_t r = 0; r < count; ++r) names.push_back(routines[r].name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Routine, SealStream, ::testing::ValuesIn(RoutineNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST_P(SealStream, MatchesTheLiteralRoutine) {
    for (int round = 0; round < 60; ++round) {
        const SealKey key = RandomKey(rng);
        const Bytes plain = RandomBytes(rng, rng() % 5000);
        uint32_t offset = round % 3 == 0 ? rng() % 9000 : static_cast<uint32_t>(rng());
        if (round == 1) offset = 4113;
        ASSERT_EQ(Crypt(plain, offset, key), Literal(plain, offset, key))
            << "length " << plain.size() << " offset " << offset;
    }
    // Stretches of one to three whole batches of the routine, from block edges and from
    // inside blocks, so that whole batches, the pad and the narrower routines all take part.
    for (int round = 0; round < 8; ++round) {
        const SealKeystreamRoutine& routine = SealKeystreamChosen();
        const SealKey key = RandomKey(rng);
        const uint32_t length = (1 + round % 3) * widest + (round < 4 ? 0 : rng() % 9000);
        const Bytes plain = RandomBytes(rng, length);
        const uint32_t offset = round % 2 == 0 ? (rng() % 64) * 512 : rng() % 100000;
        ASSERT_EQ(Crypt(plain, offset, key), Literal(plain, offset, key))
            << routine.name << " length " << length << " offset " << offset;
    }
}

// Keystream of the default document key (twenty 0x5C bytes) at the first body bytes and
// across the edge of counter values 8 and 9, as a separately written implementation gives it.
TEST_P(SealStream, KnownAnswersOfTheDefaultDocumentKey) {
    SealKey key;
    key.fill(0x5C);
    const Bytes at4113 = {0x1e, 0x4c, 0xcb, 0x9a, 0xdb, 0x7e, 0xe2, 0x3b, 0xe6, 0xb2, 0x55,
                          0xd1, 0x91, 0x42, 0x96, 0x70, 0x44, 0x7e, 0xee, 0xc3, 0xbf, 0xa9,
                          0x6f, 0x69, 0xeb, 0x59, 0x11, 0x9f, 0x42, 0x69, 0xc2, 0xa2};
    const Bytes at4592 = {0x90, 0x5f, 0xa3, 0x84, 0xea, 0xa7, 0x4c, 0x77, 0x19, 0xcb, 0xe3,
                          0x07, 0xb0, 0x25, 0x6b, 0x37, 0x78, 0xa8, 0x67, 0x5e, 0x67, 0x9a,
                          0x15, 0x7a, 0x08, 0x34, 0x95, 0xed, 0x7a, 0x01, 0x34, 0xc8};
    const Bytes zeros(32, 0);
    EXPECT_EQ(Crypt(zeros, 4113, key), at4113);
    EXPECT_EQ(Crypt(zeros, 4592, key), at4592);
    EXPECT_EQ(Literal(zeros, 4113, key), at4113);
}

TEST_P(SealStream, IsItsOwnInverseUnderBothNames) {
    const SealKey key = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 3000);
    const Bytes sealed = Crypt(plain, 777, key);
    EXPECT_NE(sealed, plain);
    EXPECT_EQ(Crypt(sealed, 777, key), plain);
    Bytes viaDecrypt(plain.size());
    EXPECT_EQ(1, SealDecrypt(plain.data(), viaDecrypt.data(), 3000, 777, key.data()));
    EXPECT_EQ(viaDecrypt, sealed);
}

TEST_P(SealStream, AnySplitGivesTheSameBytes) {
    const SealKey key = RandomKey(rng);
    for (uint32_t start : {0u, 100u, 0x1FFu, 0x200u, 4113u, 0xFFFFF000u, 1u << 20}) {
        // The last stream spans three batches of the routine, its pieces any size.
        const uint32_t length = start == 1u << 20 ? 3 * widest : 3000;
        const Bytes plain = RandomBytes(rng, length);
        const Bytes whole = Crypt(plain, start, key);
        for (int round = 0; round < 20; ++round) {
            // Random cut points, each piece enciphered by itself at its own offset.
            std::vector<uint32_t> cuts = {0, length};
            for (int c = 0; c < 4; ++c) cuts.push_back(rng() % (length + 1));
            std::sort(cuts.begin(), cuts.end());
            Bytes pieces = plain;
            for (std::size_t c = 0; c + 1 < cuts.size(); ++c)
                SealCrypt(pieces.data() + cuts[c], pieces.data() + cuts[c], cuts[c + 1] - cuts[c],
                          start + cuts[c], key.data());
            ASSERT_EQ(pieces, whole) << "start " << start;
        }
    }
}

TEST_P(SealStream, OffsetsAddressWordsOfCounterBlocks) {
    const SealKey key = RandomKey(rng);
    const Bytes zeros(3, 0);
    // 0x1FF: the last word of block 0, then word 0 of block 1.
    Bytes out = Crypt(zeros, 0x1FF, key);
    EXPECT_EQ(out[0], KeystreamByte(key, 0x1FF));
    EXPECT_EQ(out[1], KeystreamByte(key, 0x200));
    // 4113, the first body byte of a document: word 17 of counter value 8.
    SealWorkspace workspace;
    SealContext context;
    SealSetup(context, workspace, key.data());
    uint32_t block[512];
    SealGenerate(context, 8, block);
    out = Crypt(zeros, 4113, key);
    const uint32_t w = block[17];
    EXPECT_EQ(out[0], static_cast<uint8_t>(w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24)));
    // The byte order of a word does not matter: every byte of the fold is used once.
    EXPECT_EQ(out[1], KeystreamByte(key, 4114));
}

TEST_P(SealStream, StretchPastTheLastOffsetGoesOnWithTheNextCounter) {
    const SealKey key = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 1500);
    const Bytes out = Crypt(plain, 0xFFFFFE00u, key);
    EXPECT_EQ(out, Literal(plain, 0xFFFFFE00u, key));
    // Byte 512 lies in the block of counter value 0x800000.
    SealWorkspace workspace;
    SealContext context;
    SealSetup(context, workspace, key.data());
    uint32_t block[512];
    SealGenerate(context, 0x800000u, block);
    const uint32_t w = block[0];
    EXPECT_EQ(out[512] ^ plain[512], static_cast<uint8_t>(w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24)));
}

TEST_P(SealStream, InPlaceOverlapAndEmpty) {
    const SealKey key = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 2000);
    const Bytes expected = Crypt(plain, 4113, key);

    Bytes inPlace = plain;
    SealCrypt(inPlace.data(), inPlace.data(), 2000, 4113, key.data());
    EXPECT_EQ(inPlace, expected);

    // Destination 96 bytes below an overlapping source.
    Bytes image(96 + 2000, 0xEE);
    std::memcpy(image.data() + 96, plain.data(), 2000);
    SealCrypt(image.data() + 96, image.data(), 2000, 4113, key.data());
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 2000), expected);

    Bytes untouched(16, 0xAB);
    EXPECT_EQ(1, SealCrypt(plain.data(), untouched.data(), 0, 4113, key.data()));
    EXPECT_EQ(untouched, Bytes(16, 0xAB));
}

TEST_P(SealStream, KeyInsideTheDestinationIsReadBeforeTheCopy) {
    const Bytes plain = RandomBytes(rng, 1000);
    SealKey key;
    std::memcpy(key.data(), plain.data(), key.size());
    const Bytes expected = Literal(plain, 300, key);
    Bytes data = plain;
    SealCrypt(data.data(), data.data(), 1000, 300, data.data());
    EXPECT_EQ(data, expected);
    // The next chunk of the same stream under the original key is still right.
    Bytes next = plain;
    SealCrypt(next.data(), next.data(), 1000, 1300, key.data());
    EXPECT_EQ(next, Literal(plain, 1300, key));
}

TEST_P(SealStream, ZeroKeyAndKeysDifferingInTheLastByte) {
    SealKey zero{};
    const Bytes zeros(4096, 0);
    const Bytes stream = Crypt(zeros, 0, zero);
    EXPECT_EQ(stream, Literal(zeros, 0, zero));
    std::size_t zeroBytes = 0;
    for (uint8_t b : stream) zeroBytes += b == 0;
    EXPECT_LT(zeroBytes, 64u);  // about 16 expected of 4096

    SealKey other = zero;
    other[19] = 1;
    const Bytes otherStream = Crypt(zeros, 0, other);
    std::size_t same = 0;
    for (std::size_t k = 0; k < zeros.size(); ++k) same += stream[k] == otherStream[k];
    EXPECT_LT(same, 64u);
    SealTables a, b;
    SealMakeTables(zero.data(), a);
    SealMakeTables(other.data(), b);
    std::size_t sameT = 0;
    for (int j = 0; j < 512; ++j) sameT += a.T[j] == b.T[j];
    EXPECT_LT(sameT, 4u);
}

TEST_P(SealStream, NeedsNoHeap) {
    const SealKey key = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 5000);
    const Bytes expected = Literal(plain, 4113, key);
    const uint32_t live = NuvexTest_HeapLiveBlocks();
    NuvexTest_HeapFailAt(1, 1);  // every allocation from now on fails
    Bytes out(plain.size(), 0);
    EXPECT_EQ(1, SealCrypt(plain.data(), out.data(), 5000, 4113, key.data()));
    // Again with the tables now cached, chunk by chunk.
    Bytes chunked = plain;
    for (uint32_t at = 0; at < 5000; at += 4096) {
        const uint32_t n = 5000 - at < 4096 ? 5000 - at : 4096;
        SealCrypt(chunked.data() + at, chunked.data() + at, n, 4113 + at, key.data());
    }
    const uint32_t attempts = NuvexTest_HeapAllocCount();
    NuvexTest_HeapFailAt(0, 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(chunked, expected);
    EXPECT_EQ(attempts, 0u);
    EXPECT_EQ(NuvexTest_HeapLiveBlocks(), live);
}

// The small room a call falls back on when every shared workspace is taken: the same bytes
// for stretches starting and ending anywhere in a block, past the last offset, chunk after
// chunk mixed with ordinary calls (each may start with the block the other left in the
// cache), and with the key inside the destination.
TEST_P(SealStream, SmallRoomGivesTheSameBytes) {
    const SealKey key = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 70000);
    const struct {
        uint32_t offset;
        uint32_t length;
    } stretches[] = {{0, 1}, {511, 2}, {4113, 5000}, {0, 512}, {1024, 70000}, {0xFFFFFE00u, 1500}};
    for (const auto& stretch : stretches) {
        SCOPED_TRACE(std::to_string(stretch.offset) + "+" + std::to_string(stretch.length));
        const Bytes part(plain.begin(), plain.begin() + stretch.length);
        Bytes out(stretch.length, 0);
        SealCryptBlockwise(part.data(), out.data(), stretch.length, stretch.offset, key.data());
        EXPECT_EQ(out, Literal(part, stretch.offset, key));
    }
    Bytes chunked = plain;
    uint32_t turn = 0;
    for (uint32_t at = 0; at < chunked.size(); ++turn) {
        const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(chunked.size()) - at,
                                              700 + 1291 * (turn % 5));
        if (turn % 2 == 0)
            SealCryptBlockwise(chunked.data() + at, chunked.data() + at, n, 4113 + at, key.data());
        else
            SealCrypt(chunked.data() + at, chunked.data() + at, n, 4113 + at, key.data());
        at += n;
    }
    EXPECT_EQ(chunked, Literal(plain, 4113, key));
    Bytes inside(plain.begin(), plain.begin() + 1000);
    SealKey own;
    std::memcpy(own.data(), inside.data(), own.size());
    SealCryptBlockwise(inside.data(), inside.data(), 1000, 300, inside.data());
    EXPECT_EQ(inside, Literal(Bytes(plain.begin(), plain.begin() + 1000), 300, own));
}

TEST_P(SealStream, CachedTablesGiveTheBytesOfAFreshDerivation) {
    // More keys than the cache holds, in an order that keeps evicting and reloading, with
    // chunks at successive offsets (these reuse the block the previous chunk ended in).
    std::vector<SealKey> keys;
    for (uint32_t k = 0; k < kSealCacheEntries + 5; ++k) keys.push_back(RandomKey(rng));
    const Bytes plain = RandomBytes(rng, 3 * 4096 + 100);
    std::vector<Bytes> expected;
    for (const SealKey& key : keys) expected.push_back(Literal(plain, 4113, key));
    for (int pass = 0; pass < 3; ++pass)
        for (std::size_t k = 0; k < keys.size(); k += 1 + pass) {
            Bytes data = plain;
            for (uint32_t at = 0; at < data.size(); at += 4096) {
                const uint32_t n = static_cast<uint32_t>(
                    data.size() - at < 4096 ? data.size() - at : 4096);
                SealCrypt(data.data() + at, data.data() + at, n, 4113 + at, keys[k].data());
            }
            ASSERT_EQ(data, expected[k]) << "key " << k << " pass " << pass;
        }
    const SealCacheStats stats = SealCacheStatistics();
    EXPECT_GT(stats.hits, 0u);
    EXPECT_GT(stats.evictions, 0u);
    EXPECT_GT(stats.blockReuses, 0u);
}

// A stream enciphered chunk after chunk leaves keystream read ahead for the chunks that
// follow; it must serve only the same key at the same place, whatever order chunks come in.
TEST_P(SealStream, KeystreamReadAheadServesOnlyItsKeyAndPlace) {
    const SealKey a = RandomKey(rng);
    SealKey b = a;
    b[19] ^= 1;
    const Bytes plain = RandomBytes(rng, 16 * 4096);
    const Bytes expectedA = Literal(plain, 4113, a);
    const Bytes expectedB = Literal(plain, 4113, b);
    auto chunk = [&](Bytes& data, const SealKey& key, uint32_t index) {
        SealCrypt(data.data() + 4096 * index, data.data() + 4096 * index, 4096,
                  4113 + 4096 * index, key.data());
    };
    auto same = [&](const Bytes& data, const Bytes& expected, uint32_t index) {
        return std::equal(data.begin() + 4096 * index, data.begin() + 4096 * (index + 1),
                          expected.begin() + 4096 * index);
    };
    // Key a in order; after each chunk, key b (one bit apart) at the place a goes on from.
    Bytes withA = plain, withB = plain;
    for (uint32_t index = 0; index < 16; ++index) {
        chunk(withA, a, index);
        if (index + 1 < 16) chunk(withB, b, index + 1);
    }
    chunk(withB, b, 0);
    EXPECT_EQ(withA, expectedA);
    EXPECT_EQ(withB, expectedB);
    // Chunks again out of order: backwards, and each twice (deciphering it the second time).
    for (uint32_t index = 16; index-- > 0;) {
        Bytes data = plain;
        chunk(data, a, index);
        ASSERT_TRUE(same(data, expectedA, index)) << "chunk " << index;
        chunk(data, a, index);
        ASSERT_TRUE(std::equal(data.begin() + 4096 * index, data.begin() + 4096 * (index + 1),
                               plain.begin() + 4096 * index))
            << "chunk " << index;
    }
}

// When a key is replaced, the keystream read ahead under any key no longer in use is wiped at
// once and none is kept for it afterwards; the keys in use go on reading ahead.
TEST_P(SealStream, KeystreamReadAheadOfAReplacedKeyIsWiped) {
    const SealKey replaced = RandomKey(rng);
    const SealKey current = RandomKey(rng);
    const Bytes plain = RandomBytes(rng, 8 * 4096);
    Bytes withReplaced = plain, withCurrent = plain;
    auto chunk = [&](Bytes& data, const SealKey& key, uint32_t index) {
        SealCrypt(data.data() + 4096 * index, data.data() + 4096 * index, 4096,
                  4113 + 4096 * index, key.data());
    };
    // Whether keystream is kept for the place that chunk `index` of the stream starts at.
    auto kept = [&](const SealKey& key, uint32_t index) {
        const uint32_t offset = 4113 + 4096 * index;
        uint8_t probe[1] = {0};
        return SealAheadTake(key.data(), offset >> 9, offset & 0x1FF, probe, 1) == 1;
    };
    for (uint32_t index = 0; index < 4; ++index) {
        chunk(withReplaced, replaced, index);
        chunk(withCurrent, current, index);
    }
    // A routine of 16 lanes or more makes the next chunk's blocks with this chunk's.
    const bool readsAhead = kept(current, 4);
    EXPECT_EQ(readsAhead, SealKeystreamChosen().lanes >= 16);
    EXPECT_EQ(kept(replaced, 4), readsAhead);

    const uint8_t* inUse[1] = {current.data()};
    SealAheadKeepOnly(inUse, 1);
    EXPECT_FALSE(kept(replaced, 4));
    EXPECT_EQ(kept(current, 4), readsAhead);
    // A call in flight under the replaced key finishes right and keeps nothing.
    for (uint32_t index = 4; index < 8; ++index) {
        chunk(withReplaced, replaced, index);
        chunk(withCurrent, current, index);
        EXPECT_FALSE(kept(replaced, index + 1));
    }
    EXPECT_EQ(withReplaced, Literal(plain, 4113, replaced));
    EXPECT_EQ(withCurrent, Literal(plain, 4113, current));
    SealAheadClear();
}

TEST_P(SealStream, CachedTablesFromSeveralThreadsAtOnce) {
    // Four threads, keys shared between them and more keys than entries; chunk sizes and
    // offsets vary so that reused blocks are sometimes right and sometimes stale.
    std::vector<SealKey> keys;
    for (uint32_t k = 0; k < kSealCacheEntries + 2; ++k) keys.push_back(RandomKey(rng));
    // Chunks up to two batches of the routine, so that whole batches run on every thread.
    const Bytes plain = RandomBytes(rng, 2 * 4096 + 2 * widest);
    std::vector<Bytes> expected;
    for (const SealKey& key : keys) expected.push_back(Literal(plain, 4113, key));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 local(static_cast<unsigned>(t));
            for (int round = 0; round < 40; ++round) {
                const std::size_t k = local() % keys.size();
                const uint32_t chunk = round % 2 == 0 ? 1 + local() % 3000 : 1 + local() % (2 * widest);
                Bytes data = plain;
                for (uint32_t at = 0; at < data.size(); at += chunk) {
                    const uint32_t n = static_cast<uint32_t>(
                        data.size() - at < chunk ? data.size() - at : chunk);
                    SealCrypt(data.data() + at, data.data() + at, n, 4113 + at, keys[k].data());
                }
                if (data != expected[k]) failures.fetch_add(1);
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace nuvex
