// Encrypting and decrypting a large file (256 MiB by default) with the library, beside `cp`
// and `openssl enc -chacha20` of the same file, in one run: seconds, MB/s and peak resident
// memory of each. Every operation runs in a child process of its own, so that its peak
// memory is its own. A measurement, not a test: never run by ctest.
//
//     bench_documents [--size-mib N] [--dir DIRECTORY]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char** argv) {
    uint64_t sizeMiB = 256;
    std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0) sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
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
    std::printf("file: %llu MiB in %s\n", static_cast<unsigned long long>(sizeMiB), dir.c_str());
    MakeSource(source, bytes);

    std::vector<Measurement> results;
    results.push_back(RunCommand("cp", {"cp", source, copy}));
    results.push_back(RunCommand(
        "openssl enc -chacha20",
        {"openssl", "enc", "-chacha20", "-K",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "-iv",
         "000102030405060708090a0b0c0d0e0f", "-in", source, "-out", dir + "/openssl.bin"}));
    std::filesystem::copy_file(source, work, std::filesystem::copy_options::overwrite_existing);
    results.push_back(RunChild("EncryptFile", [&] {
        return NuvexCtrl_EncryptFile(work.c_str(), 0, nullptr, 0) == 0 ? 0 : 1;
    }));
    results.push_back(RunChild("DecryptFile to another file", [&] {
        return NuvexCtrl_DecryptFile(work.c_str(), 1, plain.c_str(), 0, nullptr, 0) == 0 ? 0 : 1;
    }));
    results.push_back(RunChild("DecryptFile in place", [&] {
        return NuvexCtrl_DecryptFile(work.c_str(), 0, nullptr, 0, nullptr, 0) == 0 ? 0 : 1;
    }));
    const bool intact = SameBytes(source, plain) && SameBytes(source, work);

    std::printf("\n%-30s %9s %9s %9s %14s\n", "operation", "seconds", "MB/s", "cpu s",
                "peak RSS MiB");
    for (const auto& m : results) {
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
        std::printf("load average during the run: %.2f on %ld processors\n", load[0],
                    ::sysconf(_SC_NPROCESSORS_ONLN));
    const Measurement& openssl = results[1];
    if (openssl.ran) {
        std::printf("time relative to openssl enc -chacha20 (goal: at most 2.00):\n");
        for (std::size_t i = 2; i < results.size(); ++i)
            if (results[i].ran)
                std::printf("  %-28s %.2f\n", results[i].name.c_str(),
                            results[i].seconds / openssl.seconds);
    } else {
        std::printf("openssl is missing: no ratio to openssl enc -chacha20\n");
    }
    if (results[0].ran)
        std::printf("time relative to cp: encrypt %.2f, decrypt %.2f\n",
                    results[2].seconds / results[0].seconds, results[3].seconds / results[0].seconds);

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return intact ? 0 : 1;
}
