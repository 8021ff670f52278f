#include "output.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>

#include "nuvexctrl.h"
#include "result_codes.h"

namespace nuvexctl {

Settings& CurrentSettings() {
    static Settings settings;
    return settings;
}

int ReportFailure(const std::string& operation, const char* exportName, uint32_t code) {
    std::string meaning = DescribeResult(exportName, code);
    if (CurrentSettings().json) {
        Json error = {{"operation", operation}, {"export", exportName}, {"code", code},
                      {"meaning", meaning}};
        std::cout << Json{{"ok", false}, {"error", error}}.dump(2) << "\n";
    }
    ProgressDone();
    std::cerr << "nuvexctl: " << operation << " failed: " << meaning << " (" << code << ")\n";
    return kExitFailed;
}

int ReportError(const std::string& message, int status) {
    if (CurrentSettings().json)
        std::cout << Json{{"ok", false}, {"error", {{"message", message}}}}.dump(2) << "\n";
    ProgressDone();
    std::cerr << "nuvexctl: " << message << "\n";
    return status;
}

void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    };
    measure(header);
    for (const auto& row : rows) measure(row);
    auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    };
    print(header);
    for (const auto& row : rows) print(row);
}

int PrintJson(const Json& document) {
    if (CurrentSettings().json) std::cout << document.dump(2) << "\n";
    return kExitOk;
}

void Say(const std::string& line) {
    if (!CurrentSettings().json) std::cout << line << "\n";
}

bool ProgressEnabled() {
    const Settings& settings = CurrentSettings();
    return !settings.quiet && !settings.json && isatty(STDERR_FILENO);
}

namespace {
bool g_progressShown = false;
}

void Progress(const std::string& line) {
    if (!ProgressEnabled()) return;
    std::cerr << "\r\033[K" << line << std::flush;
    g_progressShown = true;
}

void ProgressDone() {
    if (!g_progressShown) return;
    std::cerr << "\r\033[K" << std::flush;
    g_progressShown = false;
}

std::string Hex(const void* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string HexU32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string IsoTime(const NuvexSystemTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

}  // namespace nuvexctl
