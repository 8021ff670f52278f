// MB/s of the document cipher over a 64 MiB buffer, in one call and in 4096-byte chunks at
// the successive stream offsets of a document body, against memcpy (the ceiling) and the
// plain step-by-step version (tables derived on every call, one word fetched and folded per
// byte); and of MD5. Prints the ratios that matter at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
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

std::vector<uint8_t>& Buffer() {
    static std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> bytes(kBufferBytes);
        for (uint32_t k = 0; k < kBufferBytes; ++k) bytes[k] = static_cast<uint8_t>(k * 2654435761u >> 24);
        return bytes;
    }();
    return buffer;
}

void Finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferBytes);
}

void Memcpy(benchmark::State& state) {
    std::vector<uint8_t>& source = Buffer();
    std::vector<uint8_t> target(kBufferBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBufferBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

template <typename Cipher>
void OneCall(benchmark::State& state, Cipher cipher) {
    std::vector<uint8_t>& data = Buffer();
    for (auto _ : state) {
        cipher(data.data(), data.data(), kBufferBytes, kBodyOffset, kKey);
        benchmark::ClobberMemory();
    }
    Finish(state);
}

template <typename Cipher>
void Chunked(benchmark::State& state, Cipher cipher) {
    std::vector<uint8_t>& data = Buffer();
    for (auto _ : state) {
        for (uint32_t at = 0; at < kBufferBytes; at += kChunkBytes)
            cipher(data.data() + at, data.data() + at, kChunkBytes, kBodyOffset + at, kKey);
        benchmark::ClobberMemory();
    }
    Finish(state);
}

void LiteralOneCall(benchmark::State& state) { OneCall(state, literal_seal::Crypt); }
void LiteralChunked(benchmark::State& state) { Chunked(state, literal_seal::Crypt); }
void LibraryOneCall(benchmark::State& state) { OneCall(state, nuvex::SealCrypt); }
void LibraryChunked(benchmark::State& state) { Chunked(state, nuvex::SealCrypt); }

void Md5(benchmark::State& state) {
    std::vector<uint8_t>& data = Buffer();
    uint8_t digest[16];
    for (auto _ : state) {
        nuvex::Md5Digest(data.data(), kBufferBytes, digest);
        benchmark::DoNotOptimize(digest);
    }
    Finish(state);
}

BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralOneCall)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralChunked)->Unit(benchmark::kMillisecond);
BENCHMARK(LibraryOneCall)->Unit(benchmark::kMillisecond);
BENCHMARK(LibraryChunked)->Unit(benchmark::kMillisecond);
BENCHMARK(Md5)->Unit(benchmark::kMillisecond);

// Keeps each run's throughput for the ratios printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto found = run.counters.find("bytes_per_second");
            if (found != run.counters.end())
                megabytesPerSecond[run.benchmark_name()] = found->second.value / 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> megabytesPerSecond;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("fold", nuvex::SealFoldChosen().name);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& mbs = reporter.megabytesPerSecond;
    std::printf("\nMB/s:");
    for (const auto& [name, value] : mbs) std::printf("  %s %.1f", name.c_str(), value);
    std::printf("\n");
    auto ratio = [&](const char* what, const char* a, const char* b) {
        if (mbs.count(a) && mbs.count(b) && mbs[b] > 0)
            std::printf("%-40s %6.2f\n", what, mbs[a] / mbs[b]);
    };
    ratio("library chunked / literal chunked", "LibraryChunked", "LiteralChunked");
    ratio("library one call / literal one call", "LibraryOneCall", "LiteralOneCall");
    ratio("library chunked / library one call", "LibraryChunked", "LibraryOneCall");
    ratio("library one call / memcpy", "LibraryOneCall", "Memcpy");
    return 0;
}
