// MB/s of the document cipher over a 64 MiB buffer, in one call and in 4096-byte chunks at
// the successive stream offsets of a document body, against memcpy (the ceiling) and the
// plain step-by-step version (tables derived on every call, one word fetched and folded per
// byte); of every keystream routine this processor can run; and of MD5. A measurement, not a
// test: never run by ctest.
//
//     bench_seal [--rounds N]
//
// The measurements take turns, round after round, so that a busy spell on the machine falls
// on all of them alike; each keeps its best round. Throughput is given by wall time and by the
// thread's CPU time (the second ignores time spent waiting for a core).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "crypto/seal.h"
#include "crypto/seal_core.h"
#include "literal_seal.h"

namespace {

constexpr uint32_t kBufferBytes = 64u << 20;
constexpr uint32_t kChunkBytes = 4096;
constexpr uint32_t kBodyOffset = 4113;  // stream offset of a document's first body byte

const uint8_t kKey[20] = {0x5C, 0x17, 0x9A, 0x03, 0xEE, 0x41, 0x28, 0x7D, 0xB6, 0x90,
                          0x0F, 0x64, 0xC2, 0x3B, 0xD8, 0x51, 0xA7, 0x1E, 0x86, 0x2F};

using Cipher = int (*)(const void*, void*, uint32_t, uint32_t, const uint8_t*);

struct Measure {
    std::string name;
    std::function<void()> run;  // one pass over the buffer
    double bestWall = 1e30;
    double bestCpu = 1e30;
    double WallMBs() const { return kBufferBytes / 1e6 / bestWall; }
    double CpuMBs() const { return kBufferBytes / 1e6 / bestCpu; }
};

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void OneCall(Cipher cipher, uint8_t* data) {
    cipher(data, data, kBufferBytes, kBodyOffset, kKey);
}

void Chunked(Cipher cipher, uint8_t* data) {
    for (uint32_t at = 0; at < kBufferBytes; at += kChunkBytes)
        cipher(data + at, data + at, kChunkBytes, kBodyOffset + at, kKey);
}

std::string Processor() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown processor";
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));

    std::vector<uint8_t> data(kBufferBytes), target(kBufferBytes);
    for (uint32_t k = 0; k < kBufferBytes; ++k) data[k] = static_cast<uint8_t>(k * 2654435761u >> 24);
    uint8_t* buffer = data.data();

    std::vector<Measure> measures;
    measures.push_back({"memcpy", [&] { std::memcpy(target.data(), buffer, kBufferBytes); }});
    measures.push_back({"literal one call", [&] { OneCall(literal_seal::Crypt, buffer); }});
    measures.push_back({"literal chunked", [&] { Chunked(literal_seal::Crypt, buffer); }});
    measures.push_back({"library one call", [&] { OneCall(nuvex::SealCrypt, buffer); }});
    measures.push_back({"library chunked", [&] { Chunked(nuvex::SealCrypt, buffer); }});
    measures.push_back({"md5", [&] {
                            uint8_t digest[16];
                            nuvex::Md5Digest(buffer, kBufferBytes, digest);
                            target[0] = digest[0];
                        }});
    // Every routine this processor can run, forced one at a time.
    std::size_t routineCount = 0;
    const nuvex::SealKeystreamRoutine* routines = nuvex::SealKeystreamRoutines(&routineCount);
    const std::string chosen = nuvex::SealKeystreamChosen().name;
    for (std::size_t r = 0; r < routineCount; ++r) {
        if (!routines[r].usable) continue;
        const char* name = routines[r].name;
        for (bool chunked : {false, true})
            measures.push_back({std::string(name) + (chunked ? " chunked" : " one call"), [=] {
                                    nuvex::SealKeystreamForce(name);
                                    if (chunked)
                                        Chunked(nuvex::SealCrypt, buffer);
                                    else
                                        OneCall(nuvex::SealCrypt, buffer);
                                    nuvex::SealKeystreamForce(nullptr);
                                }});
    }

    std::printf("cipher benchmark: %s, %d-bit build, keystream routine %s, %u MiB buffer, "
                "best of %d rounds\n",
                Processor().c_str(), static_cast<int>(8 * sizeof(void*)), chosen.c_str(),
                kBufferBytes >> 20, rounds);
    for (int round = 0; round < rounds; ++round)
        for (Measure& m : measures) {
            const double cpu0 = ThreadCpuSeconds();
            const auto wall0 = std::chrono::steady_clock::now();
            m.run();
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
            const double cpu = ThreadCpuSeconds() - cpu0;
            m.bestWall = std::min(m.bestWall, wall);
            m.bestCpu = std::min(m.bestCpu, cpu);
        }

    std::printf("\n%-26s %12s %12s\n", "", "MB/s (wall)", "MB/s (cpu)");
    for (const Measure& m : measures)
        std::printf("%-26s %12.1f %12.1f\n", m.name.c_str(), m.WallMBs(), m.CpuMBs());

    auto find = [&](const char* name) -> const Measure& {
        for (const Measure& m : measures)
            if (m.name == name) return m;
        std::abort();
    };
    std::printf("\n%-40s %7s %7s %6s\n", "ratio", "wall", "cpu", "goal");
    auto ratio = [&](const char* what, const char* a, const char* b, const char* goal) {
        const Measure& x = find(a);
        const Measure& y = find(b);
        std::printf("%-40s %7.2f %7.2f %6s\n", what, x.WallMBs() / y.WallMBs(),
                    x.CpuMBs() / y.CpuMBs(), goal);
    };
    ratio("library one call / literal one call", "library one call", "literal one call", ">= 3");
    ratio("library chunked / literal chunked", "library chunked", "literal chunked", ">= 9");
    ratio("library chunked / library one call", "library chunked", "library one call", "");
    ratio("library one call / memcpy", "library one call", "memcpy", "");
    ratio("library one call / md5", "library one call", "md5", "");
    // One keystream word per data byte: the one-call rate is the keystream rate of one core.
    std::printf("\nkeystream words per second, one core: %.0f million (%s)\n",
                find("library one call").CpuMBs(), chosen.c_str());
    return 0;
}
