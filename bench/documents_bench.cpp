// Encrypting, decrypting in place and decrypting to another file a large file (256 MiB by
// default) with the library, beside `cp` and `openssl enc -chacha20` (both directions) of the
// same file, in one run: wall and CPU seconds, MB/s and peak resident memory of each, and the
// ratios of each direction to openssl's. Every operation runs in a child process of its own,
// so that its times and peak memory are its own. A measurement, not a test: never run by ctest.
//
//     bench_documents [--size-mib N] [--rounds N] [--dir DIRECTORY]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "nuvexctrl.h"

namespace {

struct Measurement {
    std::string name;
    bool ran = false;
    double seconds = 0;
    double peakMiB = 0;
    double cpuSeconds = 0;  // user + system time of the process (its threads included)
    std::string note;
};

// Runs `work` in a child process; the child's exit status is `work`'s result.
Measurement RunChild(const std::string& name, const std::function<int()>& work) {
    Measurement m{name};
    std::fflush(nullptr);  // nothing buffered may be written twice
    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(work() & 0xFF);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakMiB = usage.ru_maxrss / 1024.0;
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    m.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    m.ran = code == 0;
    if (!m.ran) m.note = "failed (exit status " + std::to_string(code) + ")";
    return m;
}

Measurement RunCommand(const std::string& name, std::vector<std::string> argv) {
    Measurement m = RunChild(name, [&] {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        return 127;
    });
    if (!m.ran && m.note.find("127") != std::string::npos)
        m.note = "not measured: `" + argv[0] + "` is missing";
    return m;
}

void MakeSource(const std::string& path, uint64_t bytes) {
    std::mt19937_64 generator(42);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint64_t written = 0; written < bytes;) {
        for (auto& word : block) word = generator();
        uint64_t n = std::min<uint64_t>(bytes - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
}

bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> bx(1 << 20), by(1 << 20);
    while (x && y) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() || std::memcmp(bx.data(), by.data(), x.gcount()) != 0)
            return false;
    }
    return !x && !y;
}

// Keeps the best (shortest) wall and CPU time of an operation over the rounds, and its largest
// peak memory; a round that failed is what shows.
void Keep(Measurement& best, const Measurement& m) {
    if (best.name.empty() || !m.ran) {
        best = m;
        return;
    }
    if (!best.ran) return;
    best.seconds = std::min(best.seconds, m.seconds);
    best.cpuSeconds = std::min(best.cpuSeconds, m.cpuSeconds);
    best.peakMiB = std::max(best.peakMiB, m.peakMiB);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t sizeMiB = 256;
    int rounds = 3;
    std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0) sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
    }
    std::string dirTemplate = base + "/nuvex-bench-XXXXXX";
    if (::mkdtemp(dirTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    ::setenv("NUVEX_HOST_ROOT", (dir + "/root").c_str(), 1);
    const uint64_t bytes = sizeMiB << 20;
    const std::string source = dir + "/source.bin";
    const std::string work = dir + "/work.bin";
    const std::string copy = dir + "/copy.bin";
    const std::string plain = dir + "/plain.bin";
    const std::string sslSealed = dir + "/openssl.bin";
    const std::string sslPlain = dir + "/openssl-plain.bin";
    std::printf("documents benchmark: %d-bit build, %llu MiB file in %s, best of %d rounds\n",
                static_cast<int>(8 * sizeof(void*)), static_cast<unsigned long long>(sizeMiB),
                dir.c_str(), rounds);
    MakeSource(source, bytes);

    const std::vector<std::string> chacha = {
        "-chacha20", "-K", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
        "-iv", "000102030405060708090a0b0c0d0e0f"};
    auto openssl = [&](bool decrypt, const std::string& in, const std::string& out) {
        std::vector<std::string> argv = {"openssl", "enc"};
        if (decrypt) argv.push_back("-d");
        argv.insert(argv.end(), chacha.begin(), chacha.end());
        argv.insert(argv.end(), {"-in", in, "-out", out});
        return argv;
    };

    // The operations in the order of one round; each round takes every operation in turn, so
    // a busy spell on the machine falls on all of them alike.
    enum { kCp, kSslEnc, kSslDec, kEncrypt, kDecryptOther, kDecryptInPlace, kCount };
    std::vector<Measurement> best(kCount);
    bool intact = true;
    for (int round = 0; round < rounds; ++round) {
        Keep(best[kCp], RunCommand("cp", {"cp", source, copy}));
        Keep(best[kSslEnc], RunCommand("openssl enc -chacha20", openssl(false, source, sslSealed)));
        Keep(best[kSslDec], RunCommand("openssl enc -d -chacha20", openssl(true, sslSealed, sslPlain)));
        std::filesystem::copy_file(source, work, std::filesystem::copy_options::overwrite_existing);
        Keep(best[kEncrypt], RunChild("EncryptFile", [&] {
                 return NuvexCtrl_EncryptFile(work.c_str(), 0, nullptr, 0) == 0 ? 0 : 1;
             }));
        Keep(best[kDecryptOther], RunChild("DecryptFile to another file", [&] {
                 return NuvexCtrl_DecryptFile(work.c_str(), 1, plain.c_str(), 0, nullptr, 0) == 0
                            ? 0
                            : 1;
             }));
        Keep(best[kDecryptInPlace], RunChild("DecryptFile in place", [&] {
                 return NuvexCtrl_DecryptFile(work.c_str(), 0, nullptr, 0, nullptr, 0) == 0 ? 0 : 1;
             }));
        intact = intact && SameBytes(source, plain) && SameBytes(source, work);
        // Every round writes new files, so that no round's writer (openssl's above all) pays
        // for truncating the file an earlier round left.
        std::error_code ignored;
        for (const auto* written : {&plain, &copy, &sslSealed, &sslPlain})
            std::filesystem::remove(*written, ignored);
    }

    std::printf("\n%-30s %9s %9s %9s %14s\n", "operation", "seconds", "MB/s", "cpu s",
                "peak RSS MiB");
    for (const auto& m : best) {
        if (!m.ran) {
            std::printf("%-30s %s\n", m.name.c_str(), m.note.c_str());
            continue;
        }
        std::printf("%-30s %9.3f %9.1f %9.3f %14.1f\n", m.name.c_str(), m.seconds,
                    static_cast<double>(bytes) / 1e6 / m.seconds, m.cpuSeconds, m.peakMiB);
    }
    std::printf("\nround trip: %s\n", intact ? "plain bytes back exactly" : "MISMATCH");
    double load[1] = {0};
    if (::getloadavg(load, 1) == 1)
        std::printf("load average at the end of the run: %.2f on %ld processors\n", load[0],
                    ::sysconf(_SC_NPROCESSORS_ONLN));

    // Each direction against openssl's same direction (goal: wall at most 1.3, CPU at most 2.0).
    std::printf("\n%-40s %7s %7s\n", "ratio (goal: wall <= 1.30, cpu <= 2.00)", "wall", "cpu");
    auto ratio = [&](const char* what, const Measurement& x, const Measurement& y) {
        if (x.ran && y.ran && y.seconds > 0 && y.cpuSeconds > 0)
            std::printf("%-40s %7.2f %7.2f\n", what, x.seconds / y.seconds,
                        x.cpuSeconds / y.cpuSeconds);
        else
            std::printf("%-40s not measured\n", what);
    };
    ratio("encrypt / openssl encrypt", best[kEncrypt], best[kSslEnc]);
    ratio("decrypt in place / openssl decrypt", best[kDecryptInPlace], best[kSslDec]);
    ratio("decrypt to a file / openssl decrypt", best[kDecryptOther], best[kSslDec]);
    ratio("encrypt / cp", best[kEncrypt], best[kCp]);
    ratio("decrypt in place / cp", best[kDecryptInPlace], best[kCp]);
    ratio("decrypt to a file / cp", best[kDecryptOther], best[kCp]);

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return intact ? 0 : 1;
}
