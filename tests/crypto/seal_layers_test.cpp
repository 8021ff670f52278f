// The cipher layer by layer: hash core, table function, tables, one keystream block.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/seal_core.h"
#include "literal_seal.h"

namespace nuvex {
namespace {

// "abc" padded to one 64-byte block, as big-endian words.
void AbcBlock(uint32_t block[16]) {
    std::memset(block, 0, 16 * sizeof(uint32_t));
    block[0] = 0x61626380;
    block[15] = 24;
}

const uint32_t kShaIv[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

void KeyWithWords(const uint32_t words[5], uint8_t key[20]) {
    for (int k = 0; k < 5; ++k)
        for (int b = 0; b < 4; ++b) key[4 * k + b] = static_cast<uint8_t>(words[k] >> (24 - 8 * b));
}

TEST(SealHashCore, WithRotationIsSha1) {
    uint32_t state[5], block[16];
    std::memcpy(state, kShaIv, sizeof state);
    AbcBlock(block);
    SealShaCompress(state, block, true);
    const uint32_t sha1Abc[5] = {0xA9993E36, 0x4706816A, 0xBA3E2571, 0x7850C26C, 0x9CD0D89D};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(state[k], sha1Abc[k]) << k;
}

TEST(SealHashCore, WithoutRotationIsTheOriginalSecureHash) {
    uint32_t state[5], block[16];
    std::memcpy(state, kShaIv, sizeof state);
    AbcBlock(block);
    SealShaCompress(state, block, false);
    const uint32_t originalAbc[5] = {0x0164B8A9, 0x14CD2A5E, 0x74C4F7FF, 0x082C4D97, 0xF1EDF880};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(state[k], originalAbc[k]) << k;
}

TEST(SealTableFunction, IndexZeroIsTheSha1CompressionOfTheKey) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        uint32_t words[5];
        for (uint32_t& w : words) w = rng();
        uint8_t key[20];
        KeyWithWords(words, key);
        uint32_t zero[16] = {};
        uint32_t sha1[5];
        std::memcpy(sha1, words, sizeof sha1);
        SealShaCompress(sha1, zero, true);
        uint32_t g[5];
        SealG(key, 0, g);
        EXPECT_EQ(0, std::memcmp(g, sha1, sizeof g));
        // For other indices the missing rotation shows.
        uint32_t block[16] = {5};
        std::memcpy(sha1, words, sizeof sha1);
        SealShaCompress(sha1, block, true);
        SealG(key, 5, g);
        EXPECT_NE(0, std::memcmp(g, sha1, sizeof g));
    }
}

TEST(SealTables, FollowTheWordSequenceOfTheTableFunction) {
    uint8_t key[20];
    for (int k = 0; k < 20; ++k) key[k] = static_cast<uint8_t>(0x11 * k + 3);
    SealTables tables;
    SealMakeTables(key, tables);
    // Word m of the sequence: word m mod 5 of G(key, m div 5).
    auto gamma = [&](uint32_t m) {
        uint32_t g[5];
        SealG(key, m / 5, g);
        return g[m % 5];
    };
    for (uint32_t j = 0; j < 512; ++j) ASSERT_EQ(tables.T[j], gamma(j)) << "T " << j;
    for (uint32_t j = 0; j < 256; ++j) ASSERT_EQ(tables.S[j], gamma(4096 + j)) << "S " << j;
    for (uint32_t j = 0; j < 16; ++j) ASSERT_EQ(tables.R[j], gamma(8192 + j)) << "R " << j;
}

// One half of a block written out from its description, to check how the halves connect.
void Half(const uint32_t* T, const uint32_t* S, uint32_t st[4], uint32_t* y) {
    uint32_t& a = st[0];
    uint32_t& b = st[1];
    uint32_t& c = st[2];
    uint32_t& d = st[3];
    literal_seal::Pass(T, a, b, c, d);
    const uint32_t n1 = d, n2 = b, n3 = a, n4 = c;
    literal_seal::Pass(T, a, b, c, d);
    for (int i = 0; i < 64; ++i) {
        uint32_t p = a & 0x7FC, q;
        b += T[p / 4]; a = literal_seal::RotR(a, 9); b ^= a;
        q = b & 0x7FC; c ^= T[q / 4]; b = literal_seal::RotR(b, 9); c += b;
        p = (p + c) & 0x7FC; d += T[p / 4]; c = literal_seal::RotR(c, 9); d ^= c;
        q = (q + d) & 0x7FC; a ^= T[q / 4]; d = literal_seal::RotR(d, 9); a += d;
        p = (p + a) & 0x7FC; b ^= T[p / 4]; a = literal_seal::RotR(a, 9);
        q = (q + b) & 0x7FC; c += T[q / 4]; b = literal_seal::RotR(b, 9);
        p = (p + c) & 0x7FC; d ^= T[p / 4]; c = literal_seal::RotR(c, 9);
        q = (q + d) & 0x7FC; a += T[q / 4]; d = literal_seal::RotR(d, 9);
        y[4 * i] = b + S[4 * i];
        y[4 * i + 1] = c ^ S[4 * i + 1];
        y[4 * i + 2] = d + S[4 * i + 2];
        y[4 * i + 3] = a ^ S[4 * i + 3];
        a += (i % 2 == 0) ? n1 : n3;
        c += (i % 2 == 0) ? n2 : n4;
    }
}

TEST(SealGenerate, SecondHalfContinuesFromTheFirst) {
    uint8_t key[20] = {};
    key[19] = 1;
    SealWorkspace workspace;
    SealContext context;
    SealSetup(context, workspace, key);
    for (uint32_t n : {0u, 8u, 0x12345u, 0x7FFFFFu}) {
        uint32_t block[512];
        SealGenerate(context, n, block);
        const uint32_t* R = workspace.tables.R;
        uint32_t start[4] = {n ^ R[12], literal_seal::RotR(n, 8) ^ R[13],
                             literal_seal::RotR(n, 16) ^ R[14], literal_seal::RotR(n, 24) ^ R[15]};
        uint32_t state[4];
        std::memcpy(state, start, sizeof state);
        uint32_t first[256], second[256], restarted[256];
        Half(workspace.tables.T, workspace.tables.S, state, first);
        Half(workspace.tables.T, workspace.tables.S, state, second);
        std::memcpy(state, start, sizeof state);
        Half(workspace.tables.T, workspace.tables.S, state, restarted);
        EXPECT_EQ(0, std::memcmp(block, first, sizeof first)) << n;
        EXPECT_EQ(0, std::memcmp(block + 256, second, sizeof second)) << n;
        // A second half set up afresh would simply repeat the first one.
        EXPECT_EQ(0, std::memcmp(first, restarted, sizeof first));
        EXPECT_NE(0, std::memcmp(block + 256, restarted, sizeof restarted));
    }
}

TEST(SealGenerate, LanesSideBySideEqualSingleBlocks) {
    std::mt19937 rng(9);
    for (int round = 0; round < 6; ++round) {
        uint8_t key[20];
        for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
        SealWorkspace workspace;
        SealContext context;
        SealSetup(context, workspace, key);
        literal_seal::Context literal{};
        uint32_t T[520], S[265], R[20], Y[512];
        literal.T = T;
        literal.S = S;
        literal.R = R;
        literal.Keystream = Y;
        literal_seal::Setup(literal, key);
        const uint32_t first = round == 0 ? 0xFFFFFFFEu : rng() >> 8;
        for (uint32_t lanes = 1; lanes <= kSealLanes; ++lanes) {
            SealGenerateLanes(context, first, lanes, workspace.lanes);
            for (uint32_t lane = 0; lane < lanes; ++lane) {
                literal_seal::Generate(literal, first + lane, Y);
                ASSERT_EQ(0, std::memcmp(workspace.lanes[lane], Y, sizeof Y))
                    << "lanes " << lanes << " lane " << lane;
            }
        }
    }
}

// Each keystream routine on its own, for every batch size it can be handed: the folded
// keystream of each block XORed in its 512 bytes, the words of the last block given back.
TEST(SealGenerate, EveryKeystreamRoutineGivesTheLiteralBlocks) {
    std::mt19937 rng(11);
    uint8_t key[20];
    for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
    SealWorkspace workspace;
    SealContext context;
    SealSetup(context, workspace, key);
    literal_seal::Context literal{};
    uint32_t T[520], S[265], R[20], Y[512];
    literal.T = T;
    literal.S = S;
    literal.R = R;
    literal.Keystream = Y;
    literal_seal::Setup(literal, key);

    std::size_t routineCount = 0;
    const SealKeystreamRoutine* routines = SealKeystreamRoutines(&routineCount);
    ASSERT_GE(routineCount, 1u);
    EXPECT_STREQ(routines[0].name, "portable");
    EXPECT_TRUE(SealKeystreamChosen().usable);
    for (std::size_t r = 0; r < routineCount; ++r) {
        const SealKeystreamRoutine& routine = routines[r];
        if (!routine.usable) continue;
        if (routine.narrower != nullptr) {
            EXPECT_TRUE(routine.narrower->usable);
            EXPECT_LT(routine.narrower->lanes, routine.lanes);
        }
        std::vector<uint8_t> plain(routine.lanes * 512u);
        for (uint8_t& b : plain) b = static_cast<uint8_t>(rng());
        for (uint32_t count = 1; count <= routine.lanes; ++count) {
            // Near the top of the counter range for one batch size: the lanes wrap around.
            const uint32_t first = count == routine.lanes ? 0xFFFFFFFFu - 3 : rng() >> 9;
            std::vector<uint8_t> data = plain;
            uint32_t words[512];
            routine.xorBlocks(context, first, count, data.data(), words);
            for (uint32_t block = 0; block < count; ++block) {
                literal_seal::Generate(literal, first + block, Y);
                for (uint32_t k = 0; k < 512; ++k) {
                    const uint32_t w = Y[k];
                    const uint8_t expected = plain[512 * block + k] ^
                                             static_cast<uint8_t>(w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24));
                    ASSERT_EQ(data[512 * block + k], expected)
                        << routine.name << " count " << count << " block " << block << " byte " << k;
                }
            }
            ASSERT_EQ(0, std::memcmp(words, Y, sizeof Y)) << routine.name << " count " << count;
        }
    }
}

TEST(SealFold, EveryRoutineFoldsTheFourBytes) {
    std::mt19937 rng(10);
    uint32_t words[300];
    for (uint32_t& w : words) w = rng();
    uint8_t plain[300];
    for (uint8_t& b : plain) b = static_cast<uint8_t>(rng());
    std::size_t count = 0;
    const SealFoldRoutine* routines = SealFoldRoutines(&count);
    ASSERT_GE(count, 1u);
    EXPECT_TRUE(SealFoldChosen().usable);
    for (std::size_t r = 0; r < count; ++r) {
        if (!routines[r].usable) continue;
        // Every length up to a few vector widths, at unaligned starts.
        for (std::size_t start : {0u, 1u, 3u})
            for (std::size_t length = 0; length + start <= 300; length += 7) {
                uint8_t data[300];
                std::memcpy(data, plain, sizeof data);
                routines[r].run(data + start, words + start, length);
                for (std::size_t k = 0; k < 300; ++k) {
                    uint32_t w = words[k];
                    uint8_t expected = plain[k];
                    if (k >= start && k < start + length)
                        expected ^= static_cast<uint8_t>(w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24));
                    ASSERT_EQ(data[k], expected) << routines[r].name << " " << start << "+" << length;
                }
            }
    }
}

}  // namespace
}  // namespace nuvex
