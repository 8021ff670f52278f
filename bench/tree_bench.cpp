// Encrypting and decrypting in place a tree of many small files, one file at a time: the
// library (one export call per file), a loop over the same files with libcrypto's chacha20
// and the same durability, the same loop without a cipher (the floor: open, read, write,
// flush, rename of the same bytes; once more with the folder flushed after the rename, as the
// library does), and `nuvexctl doc encrypt/decrypt -r` with one job and
// with one per processor. Wall and CPU seconds (children included), files per second, mean
// time per file in each size band, the peak memory of the library loop, and the ratios the
// library is held to. Every measurement runs in a child process of its own, and each round
// takes every measurement in turn, so that a busy spell falls on all of them alike. A
// measurement, not a test: never run by ctest.
//
//     tree_bench [--files N | --full] [--rounds N] [--dir DIRECTORY] [--jobs N]
//                [--nuvexctl PATH] [--library-only]
//
// --library-only measures the floors and the library loop alone: two builds of the program
// against two versions of the library, run in turns, compare the versions on the same tree.
//
// The tree has a fixed seed: 60% of the files 2-30 KiB, 30% 30-500 KiB, 10% 0.5-5 MiB (each
// band log-uniform), 2000 files by default (about 0.5 GB), 20,000 with --full (about 5.1 GB).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "nuvexctrl_ex.h"

#if NUVEX_BENCH_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#endif

namespace {

constexpr uint64_t kSeed = 20250525;
constexpr uint32_t kFilesPerFolder = 100;
constexpr std::size_t kReadSize = 1u << 20;

// The size bands of the report (bytes below each upper edge).
constexpr std::array<uint64_t, 3> kBandEdges = {30u << 10, 500u << 10, UINT64_MAX};
constexpr std::array<const char*, 3> kBandNames = {"< 30 KiB", "30-500 KiB", "> 500 KiB"};

struct TreeFile {
    std::string path;
    uint64_t size;
    std::size_t band;
};

// The tree's files, in the order every loop takes them (the walk order of their names).
std::vector<TreeFile> PlanTree(const std::string& root, uint32_t count) {
    std::mt19937_64 generator(kSeed);
    std::uniform_real_distribution<double> pick(0.0, 1.0);
    std::vector<TreeFile> files;
    files.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const double band = pick(generator);
        uint64_t low = 0, high = 0;
        if (band < 0.6) low = 2u << 10, high = 30u << 10;
        else if (band < 0.9) low = 30u << 10, high = 500u << 10;
        else low = 512u << 10, high = 5u << 20;
        // Spread evenly on a log scale within the band, as sizes of office files are (many
        // near the band's low edge, few near its high one): about 5.1 GB for 20,000 files.
        const double logSize = std::uniform_real_distribution<double>(
            std::log(static_cast<double>(low)), std::log(static_cast<double>(high)))(generator);
        const uint64_t size = std::min<uint64_t>(high - 1, static_cast<uint64_t>(std::exp(logSize)));
        char name[64];
        std::snprintf(name, sizeof name, "/d%03u/f%05u.bin", i / kFilesPerFolder, i);
        std::size_t b = 0;
        while (size >= kBandEdges[b]) ++b;
        files.push_back({root + name, size, b});
    }
    return files;
}

// The plain bytes of file `index`: its own stream, so that any file can be checked alone.
void FillPlain(uint32_t index, std::vector<uint8_t>& bytes, uint64_t size) {
    std::mt19937_64 generator(kSeed ^ (uint64_t{index} * 0x9E3779B97F4A7C15ull));
    bytes.resize(size);
    for (uint64_t at = 0; at < size; at += 8) {
        const uint64_t word = generator();
        std::memcpy(bytes.data() + at, &word, std::min<uint64_t>(8, size - at));
    }
}

bool WriteTree(const std::vector<TreeFile>& files) {
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < files.size(); ++i) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(files[i].path).parent_path(), error);
        FillPlain(i, bytes, files[i].size);
        FILE* out = std::fopen(files[i].path.c_str(), "wb");
        if (out == nullptr) return false;
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) != 0 || !ok) return false;
    }
    ::sync();  // the loops start from a tree on disk, not from dirty pages
    return true;
}

// True when every file holds its plain bytes again.
bool TreeIsPlain(const std::vector<TreeFile>& files) {
    std::vector<uint8_t> expected, got;
    for (uint32_t i = 0; i < files.size(); ++i) {
        FillPlain(i, expected, files[i].size);
        FILE* in = std::fopen(files[i].path.c_str(), "rb");
        if (in == nullptr) return false;
        got.resize(expected.size() + 1);
        const std::size_t n = std::fread(got.data(), 1, got.size(), in);
        std::fclose(in);
        if (n != expected.size() || std::memcmp(got.data(), expected.data(), n) != 0) return false;
    }
    return true;
}

struct Measurement {
    std::string name;
    bool ran = false;
    double seconds = 0;
    double cpuSeconds = 0;  // user + system of the process, its threads and children
    double peakMiB = 0;
    bool perFile = false;  // the band means below were measured
    std::array<double, 3> bandSeconds{};  // summed time of the files in each band
    std::array<uint32_t, 3> bandFiles{};
    std::string note;
};

// Per-file times written by a child, read by the parent: memory shared across the fork.
class SharedTimes {
public:
    explicit SharedTimes(std::size_t count) : count_(count) {
        void* p = ::mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                         -1, 0);
        times_ = p == MAP_FAILED ? nullptr : static_cast<double*>(p);
    }
    ~SharedTimes() {
        if (times_ != nullptr) ::munmap(times_, Bytes());
    }
    SharedTimes(const SharedTimes&) = delete;
    SharedTimes& operator=(const SharedTimes&) = delete;
    double* get() const { return times_; }

private:
    std::size_t Bytes() const { return std::max<std::size_t>(1, count_) * sizeof(double); }
    std::size_t count_;
    double* times_ = nullptr;
};

// Runs `work` in a child process; the child's exit status is `work`'s result.
Measurement RunChild(const std::string& name, const std::function<int()>& work) {
    Measurement m;
    m.name = name;
    std::fflush(nullptr);  // nothing buffered may be written twice
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) ::_exit(work() & 0xFF);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakMiB = usage.ru_maxrss / 1024.0;
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    m.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    m.ran = code == 0;
    if (!m.ran) m.note = "failed (exit status " + std::to_string(code) + ")";
    return m;
}

// One call of `each` per file in a child, each timed; the band sums go into the measurement.
Measurement RunPerFile(const std::string& name, const std::vector<TreeFile>& files,
                       const std::function<bool(const TreeFile&)>& each) {
    SharedTimes times(files.size());
    if (times.get() == nullptr) {
        Measurement failed;
        failed.name = name;
        failed.note = "no memory for the per-file times";
        return failed;
    }
    Measurement m = RunChild(name, [&] {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!each(files[i])) {
                std::fprintf(stderr, "%s: failed on %s\n", name.c_str(), files[i].path.c_str());
                return 1;
            }
            times.get()[i] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        return 0;
    });
    if (m.ran) {
        m.perFile = true;
        for (std::size_t i = 0; i < files.size(); ++i) {
            m.bandSeconds[files[i].band] += times.get()[i];
            ++m.bandFiles[files[i].band];
        }
    }
    return m;
}

Measurement RunCommand(const std::string& name, std::vector<std::string> argv) {
    Measurement m = RunChild(name, [&] {
        // The tool's report and its warning about the built-in key are not part of the
        // measurement's output; its exit status tells whether every file was done.
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDOUT_FILENO), ::dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        return 127;
    });
    if (!m.ran && m.note.find("127") != std::string::npos)
        m.note = "not measured: " + argv[0] + " cannot be run";
    return m;
}

// ---- the loop the library is measured against -----------------------------------------------

using Transform = std::function<bool(const uint8_t* in, std::size_t length, uint8_t* out)>;

// Replaces `path` by its bytes through `transform`: a new file beside the old one, created
// exclusively and owner-only, written from 1 MiB reads, flushed, given the old file's
// permissions, and renamed over it; with `flushFolder` the folder is flushed after the rename
// as well, which the library does so that the replace itself is on disk when it returns.
bool ReplaceThrough(const std::string& path, std::vector<uint8_t>& in, std::vector<uint8_t>& out,
                    const Transform& transform, bool flushFolder = false) {
    // Sized on first use, in the measuring child: the parent's memory is not the loop's.
    if (in.empty()) in.resize(kReadSize), out.resize(kReadSize);
    const int source = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return false;
    struct stat status{};
    const std::string temp = path + ".benchtmp";
    const int target = ::fstat(source, &status) == 0
                           ? ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                           : -1;
    bool ok = target >= 0;
    while (ok) {
        const ssize_t got = ::read(source, in.data(), in.size());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = transform(in.data(), static_cast<std::size_t>(got), out.data()) &&
             ::write(target, out.data(), static_cast<std::size_t>(got)) == got;
    }
    ok = ok && ::fsync(target) == 0 && ::fchmod(target, status.st_mode & 07777) == 0;
    if (target >= 0) ok = ::close(target) == 0 && ok;
    ::close(source);
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok && target >= 0) ::unlink(temp.c_str());
    if (ok && flushFolder) {
        const std::string folder = std::filesystem::path(path).parent_path().string();
        const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = directory >= 0 && ::fsync(directory) == 0;
        if (directory >= 0) ::close(directory);
    }
    return ok;
}

#if NUVEX_BENCH_HAVE_LIBCRYPTO
constexpr unsigned char kSslKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                       17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr unsigned char kSslIv[16] = {};

// chacha20 through EVP, one context per file as a program enciphering files one by one has.
bool SslReplace(const std::string& path, bool encrypt, std::vector<uint8_t>& in,
                std::vector<uint8_t>& out) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context == nullptr) return false;
    bool ok = EVP_CipherInit_ex(context, EVP_chacha20(), nullptr, kSslKey, kSslIv, encrypt ? 1 : 0) == 1;
    ok = ok && ReplaceThrough(path, in, out, [&](const uint8_t* data, std::size_t length, uint8_t* to) {
        int written = 0;
        return EVP_CipherUpdate(context, to, &written, data, static_cast<int>(length)) == 1 &&
               static_cast<std::size_t>(written) == length;
    });
    EVP_CIPHER_CTX_free(context);
    return ok;
}
#endif

// ---- report ------------------------------------------------------------------------------

// Keeps the round with the shortest wall time (its band means with it), the shortest CPU time
// and the largest peak memory; a round that failed is what shows.
void Keep(Measurement& best, const Measurement& m) {
    if (best.name.empty() || !m.ran) {
        if (best.name.empty() || best.ran) best = m;
        return;
    }
    if (!best.ran) return;
    const double cpu = std::min(best.cpuSeconds, m.cpuSeconds);
    const double peak = std::max(best.peakMiB, m.peakMiB);
    if (m.seconds < best.seconds) best = m;
    best.cpuSeconds = cpu;
    best.peakMiB = peak;
}

double BandMeanMs(const Measurement& m, std::size_t band) {
    return m.bandFiles[band] == 0 ? 0 : 1e3 * m.bandSeconds[band] / m.bandFiles[band];
}

bool g_quietUnmeasured = false;  // --library-only: the ratios it cannot give are left out

void Ratio(const char* what, const char* goal, double x, double y, bool measured) {
    if (!measured && g_quietUnmeasured) return;
    if (measured && y > 0)
        std::printf("  %-52s %7.2f   (goal %s)\n", what, x / y, goal);
    else
        std::printf("  %-52s %7s   (goal %s)\n", what, "-", goal);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t count = 2000;
    int rounds = 1;
    long jobs = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string tool = (std::filesystem::path(argv[0]).parent_path() / "nuvexctl").string();
    bool libraryOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--full") count = 20000;
        else if (option == "--files" && hasValue) count = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (option == "--rounds" && hasValue) rounds = std::max(1, std::atoi(argv[++i]));
        else if (option == "--dir" && hasValue) base = argv[++i];
        else if (option == "--jobs" && hasValue) jobs = std::max(1, std::atoi(argv[++i]));
        else if (option == "--nuvexctl" && hasValue) tool = argv[++i];
        else if (option == "--library-only") libraryOnly = g_quietUnmeasured = true;
        else {
            std::fprintf(stderr, "usage: %s [--files N | --full] [--rounds N] [--dir DIRECTORY] "
                                 "[--jobs N] [--nuvexctl PATH] [--library-only]\n", argv[0]);
            return 2;
        }
    }
    std::string dirTemplate = base + "/nuvex-tree-XXXXXX";
    if (::mkdtemp(dirTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    ::setenv("NUVEX_HOST_ROOT", (dir + "/root").c_str(), 1);
    const std::string tree = dir + "/tree";
    const std::vector<TreeFile> files = PlanTree(tree, count);
    uint64_t bytes = 0;
    for (const auto& f : files) bytes += f.size;
    std::printf("tree benchmark: %d-bit build, %u files, %.2f GB in %s, best of %d rounds\n",
                static_cast<int>(8 * sizeof(void*)), count, bytes / 1e9, dir.c_str(), rounds);
    std::fflush(stdout);  // shown before the tree, which takes a while, is written
    if (!WriteTree(files)) {
        std::fprintf(stderr, "cannot write the tree in %s\n", dir.c_str());
        return 1;
    }

    std::vector<uint8_t> in, out;
    auto libraryEncrypt = [](const TreeFile& f) {
        return NuvexCtrlEx_EncryptFile(f.path.c_str(), nullptr, 0, nullptr, nullptr) == 0;
    };
    auto libraryDecrypt = [](const TreeFile& f) {
        return NuvexCtrlEx_DecryptFile(f.path.c_str(), nullptr, nullptr, 0, nullptr, nullptr) == 0;
    };
    auto copyOnly = [&](bool flushFolder) {
        return [&, flushFolder](const TreeFile& f) {
            return ReplaceThrough(
                f.path, in, out,
                [](const uint8_t* data, std::size_t length, uint8_t* to) {
                    std::memcpy(to, data, length);
                    return true;
                },
                flushFolder);
        };
    };
    auto nuvexctl = [&](const char* verb, long n) {
        return std::vector<std::string>{tool, "doc", verb, "-r", "--default-key", "--jobs",
                                        std::to_string(n), tree};
    };

    enum {
        kFloor, kFloorFolder, kSslEnc, kSslDec, kLibEnc, kLibDec, kToolEnc1, kToolDec1, kToolEncN, kToolDecN,
        kCount
    };
    std::vector<Measurement> best(kCount);
    const std::string jobsN = std::to_string(jobs);
    bool intact = true;
    for (int round = 0; round < rounds; ++round) {
        // Each pair leaves the tree plain again for the next.
        Keep(best[kFloor], RunPerFile("floor: open/read/write/fsync/rename", files, copyOnly(false)));
        Keep(best[kFloorFolder], RunPerFile("floor + folder fsync", files, copyOnly(true)));
        if (libraryOnly) {
            Keep(best[kLibEnc], RunPerFile("library loop encrypt", files, libraryEncrypt));
            Keep(best[kLibDec], RunPerFile("library loop decrypt in place", files, libraryDecrypt));
            intact = intact && TreeIsPlain(files);
            continue;
        }
#if NUVEX_BENCH_HAVE_LIBCRYPTO
        Keep(best[kSslEnc], RunPerFile("openssl loop encrypt", files,
                                       [&](const TreeFile& f) { return SslReplace(f.path, true, in, out); }));
        Keep(best[kSslDec], RunPerFile("openssl loop decrypt", files,
                                       [&](const TreeFile& f) { return SslReplace(f.path, false, in, out); }));
#endif
        Keep(best[kLibEnc], RunPerFile("library loop encrypt", files, libraryEncrypt));
        Keep(best[kLibDec], RunPerFile("library loop decrypt in place", files, libraryDecrypt));
        Keep(best[kToolEnc1], RunCommand("nuvexctl encrypt -r --jobs 1", nuvexctl("encrypt", 1)));
        Keep(best[kToolDec1], RunCommand("nuvexctl decrypt -r --jobs 1", nuvexctl("decrypt", 1)));
        Keep(best[kToolEncN], RunCommand("nuvexctl encrypt -r --jobs " + jobsN, nuvexctl("encrypt", jobs)));
        Keep(best[kToolDecN], RunCommand("nuvexctl decrypt -r --jobs " + jobsN, nuvexctl("decrypt", jobs)));
        intact = intact && TreeIsPlain(files);
    }

    std::printf("\n%-38s %8s %8s %8s %8s | %10s %10s %10s\n", "measurement", "wall s", "cpu s",
                "files/s", "peak MiB", "ms/file", "", "");
    std::printf("%-38s %8s %8s %8s %8s | %10s %10s %10s\n", "", "", "", "", "", kBandNames[0],
                kBandNames[1], kBandNames[2]);
    for (const auto& m : best) {
        if (m.name.empty()) continue;
        if (!m.ran) {
            std::printf("%-38s %s\n", m.name.c_str(), m.note.c_str());
            continue;
        }
        std::printf("%-38s %8.2f %8.2f %8.0f %8.1f |", m.name.c_str(), m.seconds, m.cpuSeconds,
                    count / m.seconds, m.peakMiB);
        if (m.perFile)
            std::printf(" %10.3f %10.3f %10.3f\n", BandMeanMs(m, 0), BandMeanMs(m, 1), BandMeanMs(m, 2));
        else
            std::printf(" %10s %10s %10s\n", "-", "-", "-");
    }
#if !NUVEX_BENCH_HAVE_LIBCRYPTO
    std::printf("openssl loop: not measured (built without libcrypto; install libssl-dev)\n");
#endif
    std::printf("\nround trip: %s\n", intact ? "every file's plain bytes back exactly" : "MISMATCH");
    std::printf("files per band: %u, %u, %u\n", best[kLibEnc].bandFiles[0],
                best[kLibEnc].bandFiles[1], best[kLibEnc].bandFiles[2]);
    double load[1] = {0};
    if (::getloadavg(load, 1) == 1)
        std::printf("load average at the end of the run: %.2f on %ld processors\n", load[0],
                    ::sysconf(_SC_NPROCESSORS_ONLN));

    auto measured = [&](int a, int b) { return best[a].ran && best[b].ran; };
    std::printf("\nratios\n");
    Ratio("library encrypt / openssl loop, wall", "<= 1.20", best[kLibEnc].seconds,
          best[kSslEnc].seconds, measured(kLibEnc, kSslEnc));
    Ratio("library encrypt / openssl loop, cpu", "<= 1.20", best[kLibEnc].cpuSeconds,
          best[kSslEnc].cpuSeconds, measured(kLibEnc, kSslEnc));
    Ratio("library decrypt in place / openssl loop, wall", "<= 1.20", best[kLibDec].seconds,
          best[kSslDec].seconds, measured(kLibDec, kSslDec));
    Ratio("library decrypt in place / openssl loop, cpu", "<= 1.20", best[kLibDec].cpuSeconds,
          best[kSslDec].cpuSeconds, measured(kLibDec, kSslDec));
    Ratio("library encrypt / openssl loop, per file < 30 KiB", "<= 1.20", BandMeanMs(best[kLibEnc], 0),
          BandMeanMs(best[kSslEnc], 0), measured(kLibEnc, kSslEnc));
    Ratio("library decrypt / openssl loop, per file < 30 KiB", "<= 1.20", BandMeanMs(best[kLibDec], 0),
          BandMeanMs(best[kSslDec], 0), measured(kLibDec, kSslDec));
    Ratio("library encrypt / floor + folder fsync, per file < 30 KiB", "-",
          BandMeanMs(best[kLibEnc], 0), BandMeanMs(best[kFloorFolder], 0),
          measured(kLibEnc, kFloorFolder));
    Ratio("library decrypt / floor + folder fsync, per file < 30 KiB", "-",
          BandMeanMs(best[kLibDec], 0), BandMeanMs(best[kFloorFolder], 0),
          measured(kLibDec, kFloorFolder));
    Ratio(("nuvexctl encrypt --jobs " + jobsN + " / library loop, wall").c_str(), "<= 0.75",
          best[kToolEncN].seconds, best[kLibEnc].seconds, measured(kToolEncN, kLibEnc));
    Ratio(("nuvexctl decrypt --jobs " + jobsN + " / library loop, wall").c_str(), "<= 0.75",
          best[kToolDecN].seconds, best[kLibDec].seconds, measured(kToolDecN, kLibDec));
    Ratio("nuvexctl encrypt --jobs 1 / library loop, wall", "-", best[kToolEnc1].seconds,
          best[kLibEnc].seconds, measured(kToolEnc1, kLibEnc));
    std::printf("  %-52s %7.1f   (goal < 16 MiB)\n", "peak memory of the library loop, MiB",
                std::max(best[kLibEnc].peakMiB, best[kLibDec].peakMiB));

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return intact ? 0 : 1;
}
