#include "output.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <thread>

#include <cstdio>
#include <iostream>

#include "nuvexctrl.h"
#include "result_codes.h"

namespace nuvexctl {

Settings& CurrentSettings() {
    static Settings settings;
    return settings;
}

namespace {
bool g_documentPrinted = false;

// Prints the run's one JSON document; false when one was printed already.
// Every document the tool prints starts with the version of its shapes.
Json Versioned(const Json& document) {
    if (!document.is_object()) return document;
    Json versioned{{"schemaVersion", kJsonSchemaVersion}};
    for (const auto& [key, value] : document.items())
        if (key != "schemaVersion") versioned[key] = value;
    return versioned;
}

bool PrintDocument(const Json& document) {
    if (g_documentPrinted) return false;
    g_documentPrinted = true;
    std::cout << DumpJson(Versioned(document)) << "\n" << std::flush;
    return true;
}
}  // namespace

std::string DumpJson(const Json& document, int indent) {
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

bool OutputHealthy() { return static_cast<bool>(std::cout); }

bool OutputReaderGone() {
#if defined(_WIN32)
    return false;
#else
    // The writing end of a pipe without readers polls as an error.
    pollfd out{STDOUT_FILENO, 0, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
#endif
}

bool OutputIsPipe() {
#if defined(_WIN32)
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE;
#else
    struct stat info {};
    return ::fstat(STDOUT_FILENO, &info) == 0 && S_ISFIFO(info.st_mode);
#endif
}

bool OutputTaken(const volatile std::sig_atomic_t* stop) {
    std::cout.flush();
    if (!OutputHealthy()) return false;
#if !defined(_WIN32)
    struct stat info {};
    if (::fstat(STDOUT_FILENO, &info) != 0) return true;
    // A file has taken what was written once it is on the disk (a file system that cannot
    // sync at all, EINVAL, keeps it as a terminal does).
    if (S_ISREG(info.st_mode)) return ::fdatasync(STDOUT_FILENO) == 0 || errno == EINVAL;
    if (!S_ISFIFO(info.st_mode)) return true;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        int unread = 0;
        if (::ioctl(STDOUT_FILENO, FIONREAD, &unread) != 0 || unread == 0) return true;
        if (OutputReaderGone() || (stop != nullptr && *stop != 0)) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
#else
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetFileType(out) == FILE_TYPE_DISK) return FlushFileBuffers(out) != 0;
    return true;
#endif
}

int ReportFailure(const std::string& operation, const char* exportName, uint32_t code) {
    std::string meaning = DescribeResult(exportName, code);
    std::string shown = Shown(operation);
    if (CurrentSettings().json) {
        Json error = {{"operation", shown}, {"export", exportName}, {"code", code},
                      {"meaning", meaning}};
        PrintDocument(Json{{"ok", false}, {"error", error}});
    }
    ProgressDone();
    std::cerr << "nuvexctl: " << exportName << ": " << shown << " failed: " << meaning << " (" << code << ")\n";
    Detail(std::string(exportName) + " returned " + std::to_string(code) + " (" + HexU32(code) + ")");
    return kExitFailed;
}

int ReportError(const std::string& message, int status) {
    std::string shown = Shown(message);
    if (CurrentSettings().json) PrintDocument(Json{{"ok", false}, {"error", {{"message", shown}}}});
    ProgressDone();
    std::cerr << "nuvexctl: " << shown << "\n";
    return status;
}

void Warn(const std::string& message) {
    ProgressDone();
    std::cerr << "nuvexctl: warning: " << Shown(message) << "\n";
}

void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rawRows) {
    // Cells carry file names and driver texts: any byte that is not printable is escaped.
    std::vector<std::vector<std::string>> rows;
    for (const auto& raw : rawRows) {
        rows.emplace_back();
        for (const auto& cell : raw) rows.back().push_back(Shown(cell));
    }
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
    if (CurrentSettings().json && !PrintDocument(document))
        std::cerr << "nuvexctl: " << DumpJson(document, -1) << "\n";
    return kExitOk;
}

void PrintJsonLine(const Json& document) { std::cout << DumpJson(Versioned(document), -1) << "\n" << std::flush; }

StreamedDocument::StreamedDocument(const Json& head, const std::string& key) {
    if (!CurrentSettings().json || g_documentPrinted) return;
    g_documentPrinted = printing_ = true;
    std::string text = "{\n";
    const Json fields = Versioned(head);
    for (const auto& [name, value] : fields.items()) text += "  " + DumpJson(Json(name)) + ": " + DumpJson(value) + ",\n";
    std::cout << text << "  " << DumpJson(Json(key)) << ": [";
}

void StreamedDocument::Add(const Json& item) {
    if (!printing_) return;
    // Each item indented as PrintJson indents the items of an array two levels down.
    std::string text = DumpJson(item);
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) text.insert(at + 1, "    ");
    std::cout << (first_ ? "\n    " : ",\n    ") << text;
    first_ = false;
}

StreamedDocument::~StreamedDocument() {
    if (!printing_) return;
    std::cout << (first_ ? "]\n}\n" : "\n  ]\n}\n") << std::flush;
}

void Say(const std::string& line) {
    if (!CurrentSettings().json && !CurrentSettings().quiet) std::cout << Shown(line) << "\n";
}

void SayResult(const std::string& line) {
    if (!CurrentSettings().json) std::cout << Shown(line) << "\n";
}

void Detail(const std::string& line) {
    if (!CurrentSettings().verbose) return;
    ProgressDone();
    std::cerr << "nuvexctl: " << Shown(line) << "\n";
}

const std::vector<ExitStatusInfo>& ExitStatusTable() {
    static const std::vector<ExitStatusInfo> table = {
        {kExitOk, "done (for `status --check`: every driver named is running)"},
        {kExitFailed, "failed: an export reported a failure, a driver cannot be reached, an input file is "
                      "missing or cannot be read, an output file cannot be written"},
        {kExitUsage, "a command line that cannot be understood (unknown verb or option, a missing or "
                     "malformed argument); for `state apply --detailed-exitcode`: changes were made"},
        {kExitNotRunning, "`status --check`: a driver named is not running"},
        {kExitHangUp, "stopped by a hang-up (SIGHUP) after finishing the file or change under way"},
        {kExitInterrupted, "stopped by Ctrl-C (SIGINT; on Windows also Ctrl-Break) after finishing the file "
                           "or change under way"},
        {kExitClosedPipe, "the reader of standard output went away (`nuvexctl codes | head -1`); nothing "
                          "is printed"},
        {kExitTerminated, "stopped by a termination request (SIGTERM) after finishing the file or change "
                          "under way"},
    };
    return table;
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
    std::cerr << "\r\033[K" << Shown(line) << std::flush;
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
