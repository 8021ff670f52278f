// One program for every build, so that the same calls can be timed as the Windows DLL under
// Wine and as the i386 library: encrypting a file (64 MiB by default) and decrypting it in
// place through the exports, round after round in one process, with the wall and the
// process's CPU time of each call; and, beside them, what a flush of that many bytes just
// written costs on this system (the part of an operation the write-out as the copy goes
// takes off its end). A measurement, not a test: never run by ctest.
//
//     bench_file_calls [--size-mib N] [--rounds N] [--dir DIRECTORY]
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nuvexctrl.h"

namespace {

double ProcessCpuSeconds() {
#if defined(_WIN32)
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

struct Times {
    double wall = 0;
    double cpu = 0;
};

template <typename Work>
bool Time(Times& times, Work work) {
    const double cpu = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = work();
    times.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    times.cpu = ProcessCpuSeconds() - cpu;
    return ok;
}

std::vector<unsigned char> Bytes(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    std::mt19937 random(20261209);
    for (std::size_t i = 0; i < size; i += 4) {
        const uint32_t word = random();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(4, size - i));
    }
    return bytes;
}

// Writes `bytes` to a new file `path` in 1 MiB writes; with `flush`, times the flush alone.
bool WriteFileOf(const std::string& path, const std::vector<unsigned char>& bytes, Times* flush) {
#if defined(_WIN32)
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes.size(); at += 1u << 20) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(1u << 20, bytes.size() - at));
        ok = WriteFile(file, bytes.data() + at, want, &written, nullptr) && written == want;
    }
    if (ok && flush != nullptr) ok = Time(*flush, [&] { return FlushFileBuffers(file) != 0; });
    CloseHandle(file);
    return ok;
#else
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file < 0) return false;
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes.size(); at += 1u << 20) {
        const std::size_t want = std::min<std::size_t>(1u << 20, bytes.size() - at);
        ok = ::write(file, bytes.data() + at, want) == static_cast<ssize_t>(want);
    }
    if (ok && flush != nullptr) ok = Time(*flush, [&] { return ::fsync(file) == 0; });
    ::close(file);
    return ok;
#endif
}

double Best(const std::vector<Times>& all, double Times::*field) {
    double best = 0;
    for (const Times& t : all)
        if (best == 0 || t.*field < best) best = t.*field;
    return best;
}

double Median(std::vector<Times> all, double Times::*field) {
    std::sort(all.begin(), all.end(), [&](const Times& a, const Times& b) { return a.*field < b.*field; });
    return all.empty() ? 0 : all[all.size() / 2].*field;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t sizeMiB = 64;
    int rounds = 5;
    std::string dir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--size-mib" && hasValue) sizeMiB = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (option == "--rounds" && hasValue) rounds = std::max(1, std::atoi(argv[++i]));
        else if (option == "--dir" && hasValue) dir = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds N] [--dir DIRECTORY]\n", argv[0]);
            return 2;
        }
    }
    const std::string path = dir + "/bench_file_calls.bin";
    const std::string flushPath = dir + "/bench_file_calls_flush.bin";
    const std::vector<unsigned char> plain = Bytes(std::size_t{sizeMiB} << 20);

    std::vector<Times> encrypts, decrypts, flushes;
    for (int round = 0; round < rounds; ++round) {
        Times flush, encrypt, decrypt;
        if (!WriteFileOf(flushPath, plain, &flush) || !WriteFileOf(path, plain, nullptr)) {
            std::fprintf(stderr, "cannot write the files in %s\n", dir.c_str());
            return 1;
        }
        uint32_t result = 0;
        if (!Time(encrypt, [&] { return (result = NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)) == 0; }) ||
            !Time(decrypt, [&] { return (result = NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0)) == 0; })) {
            std::fprintf(stderr, "the library failed with %u\n", result);
            return 1;
        }
        flushes.push_back(flush);
        encrypts.push_back(encrypt);
        decrypts.push_back(decrypt);
    }
    std::remove(path.c_str());
    std::remove(flushPath.c_str());

    std::printf("%u MiB, %d rounds: best and median wall, best CPU (seconds)\n", sizeMiB, rounds);
    auto line = [](const char* name, const std::vector<Times>& all) {
        std::printf("  %-28s %.3f  %.3f  %.3f\n", name, Best(all, &Times::wall),
                    Median(all, &Times::wall), Best(all, &Times::cpu));
    };
    line("EncryptFile", encrypts);
    line("DecryptFile in place", decrypts);
    line("flush of a file just written", flushes);
    return 0;
}
