// Document verbs: encrypt and decrypt (files or trees, with progress), info, GUID, rights.
#if defined(_WIN32)
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define isatty _isatty
#define STDIN_FILENO 0
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "commands.h"
#include "nuvexctrl.h"
#include "output.h"
#include "result_codes.h"

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

std::string HumanSize(uintmax_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// Shows how far one long export has come while it runs: the size of the file it is writing
// (the numbered temporary file beside an encrypted file) against the size it will reach.
class FileProgress {
public:
    FileProgress(const std::string& label, const fs::path& source, uintmax_t total)
        : label_(label), source_(source), total_(total) {
        if (ProgressEnabled() && total_ >= (8u << 20)) watcher_ = std::thread([this] { Watch(); });
    }
    ~FileProgress() {
        done_ = true;
        if (watcher_.joinable()) watcher_.join();
        ProgressDone();
    }

private:
    void Watch() {
        auto start = std::chrono::steady_clock::now();
        while (!done_) {
            uintmax_t written = 0;
            std::error_code ec;
            std::string prefix = source_.filename().string() + ".lumadtmp";
            for (const auto& entry : fs::directory_iterator(source_.parent_path().empty() ? "." : source_.parent_path(), ec)) {
                std::string name = entry.path().filename().string();
                if (name.rfind(prefix, 0) == 0) written = std::max(written, entry.file_size(ec));
            }
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::string line = label_ + " " + source_.filename().string() + ": ";
            if (written > 0 && total_ > 0)
                line += std::to_string(std::min<uintmax_t>(100, written * 100 / total_)) + "% of " + HumanSize(total_);
            else
                line += HumanSize(total_) + ", " + std::to_string(static_cast<int>(seconds)) + " s";
            Progress(line);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    std::string label_;
    fs::path source_;
    uintmax_t total_;
    std::atomic<bool> done_{false};
    std::thread watcher_;
};

bool IsDocument(const std::string& path, uint32_t& answer) {
    answer = 0;
    return NuvexCtrl_IsEncryptFile(path.c_str(), 0, &answer) == 0;
}

// Expands the operands: files as given, directories (with -r) into every regular file below.
struct Operand {
    std::string path;
    bool fromTree;  // found below a directory rather than named by the user
};

std::vector<Operand> Expand(const std::vector<std::string>& operands, bool recursive, int& missing) {
    std::vector<Operand> files;
    for (const auto& operand : operands) {
        std::error_code ec;
        if (fs::is_directory(operand, ec)) {
            if (!recursive) {
                ReportError(operand + " is a directory (use -r)");
                ++missing;
                continue;
            }
            for (auto it = fs::recursive_directory_iterator(operand, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
                if (it->is_regular_file(ec) && it->path().string().find(".lumadtmp") == std::string::npos)
                    files.push_back({it->path().string(), true});
        } else if (fs::exists(operand, ec)) {
            files.push_back({operand, false});
        } else {
            ReportError("no such file: " + operand);
            ++missing;
        }
    }
    return files;
}

int Transform(bool encrypt, const std::vector<std::string>& operands, bool recursive, const std::string& out) {
    int failed = 0, skipped = 0, done = 0;
    std::vector<Operand> files = Expand(operands, recursive, failed);
    if (!out.empty() && files.size() != 1) return ReportError("--out needs exactly one document", kExitUsage);
    Json results = Json::array();
    std::size_t index = 0;
    for (const auto& operand : files) {
        const std::string& file = operand.path;
        ++index;
        std::error_code ec;
        uintmax_t size = fs::file_size(file, ec);
        if (files.size() > 1) Progress((encrypt ? "encrypting " : "decrypting ") + std::to_string(index) + "/" +
                                       std::to_string(files.size()) + ": " + file);
        // Inside a tree, files that are already in the wanted form are passed over; a file the
        // user named goes to the library, which says why it cannot be done.
        uint32_t isDoc = 0;
        bool known = operand.fromTree && IsDocument(file, isDoc);
        if (known && encrypt == (isDoc != 0)) {
            ++skipped;
            results.push_back({{"file", file}, {"status", encrypt ? "skipped: already a document" : "skipped: not a document"}});
            continue;
        }
        uint32_t code;
        {
            FileProgress progress(encrypt ? "encrypting" : "decrypting", fs::path(file), size);
            code = encrypt ? NuvexCtrl_EncryptFile(file.c_str(), 0, nullptr, 0)
                           : NuvexCtrl_DecryptFile(file.c_str(), out.empty() ? 0 : 1, out.empty() ? nullptr : out.c_str(), 0, nullptr, 0);
        }
        const char* exportName = encrypt ? "NuvexCtrl_EncryptFile" : "NuvexCtrl_DecryptFile";
        if (encrypt && code == 651) {
            ++skipped;
            results.push_back({{"file", file}, {"status", "skipped: already a document"}});
            continue;
        }
        if (code != 0) {
            ++failed;
            results.push_back({{"file", file}, {"status", "failed"}, {"code", code}, {"meaning", DescribeResult(exportName, code)}});
            ProgressDone();
            std::cerr << "nuvexctl: " << (encrypt ? "encrypting " : "decrypting ") << file << " failed: "
                      << DescribeResult(exportName, code) << " (" << code << ")\n";
            continue;
        }
        ++done;
        results.push_back({{"file", file}, {"status", encrypt ? "encrypted" : "decrypted"}});
    }
    ProgressDone();
    if (CurrentSettings().json) {
        PrintJson({{"ok", failed == 0}, {"done", done}, {"skipped", skipped}, {"failed", failed}, {"files", results}});
    } else {
        std::cout << (encrypt ? "encrypted " : "decrypted ") << done << ", skipped " << skipped
                  << (encrypt ? " (already documents)" : " (not documents)") << ", failed " << failed << "\n";
    }
    return failed == 0 ? kExitOk : kExitFailed;
}

std::string GuidText(const uint8_t* g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

int Guid(const std::string& file) {
    uint8_t guid[16] = {};
    uint32_t code = NuvexCtrl_GetFileGUID(file.c_str(), guid);
    if (code != 0) return ReportFailure("reading the GUID of " + file, "NuvexCtrl_GetFileGUID", code);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", file}, {"guid", GuidText(guid)}});
    std::cout << GuidText(guid) << "\n";
    return kExitOk;
}

struct Rights {
    uint32_t printCount = 0;
    uint8_t value[8] = {};
    uint16_t count = 0xFFFF;
    uint16_t print16 = 0xFFFF;
    uint32_t flags = 0;
    bool present = false;
};

Json RightsJson(const Rights& r) {
    if (!r.present) return Json{{"present", false}};
    Json j{{"present", true}, {"flags", r.flags}};
    j["rightsCount"] = (r.flags & NUVEX_RIGHTS_FLAG_COUNT) ? Json(r.count) : Json(nullptr);
    j["printCount"] = (r.flags & NUVEX_RIGHTS_FLAG_PRINT) ? Json(r.print16) : Json(nullptr);
    j["rightsValue"] = (r.flags & NUVEX_RIGHTS_FLAG_VALUE) ? Json(Hex(r.value, 8)) : Json(nullptr);
    return j;
}

uint32_t ReadRights(const std::string& file, Rights& r) {
    uint32_t status = 0;
    uint32_t code = NuvexCtrl_GetEnFileRights(file.c_str(), &r.printCount, r.value, &r.count, &r.print16, &r.flags, &status);
    // Without a rights record the export leaves every output but the print count alone.
    r.present = code == 0 && r.flags != 0;
    return code;
}

int Info(const std::string& file) {
    uint32_t isDoc = 0;
    uint32_t code = NuvexCtrl_IsEncryptFile(file.c_str(), 0, &isDoc);
    if (code != 0) return ReportFailure("examining " + file, "NuvexCtrl_IsEncryptFile", code);
    std::error_code ec;
    uintmax_t size = fs::file_size(file, ec);
    Json doc{{"ok", true}, {"file", file}, {"document", isDoc != 0}, {"size", size}};
    std::vector<std::vector<std::string>> rows{{"file", file}, {"document", isDoc ? "yes" : "no"}, {"size", HumanSize(size)}};
    if (isDoc != 0) {
        uint8_t guid[16] = {};
        if (NuvexCtrl_GetFileGUID(file.c_str(), guid) == 0) {
            doc["guid"] = GuidText(guid);
            rows.push_back({"guid", GuidText(guid)});
        }
        doc["bodySize"] = size >= 4096 ? size - 4096 : 0;
        Rights r;
        if (ReadRights(file, r) == 0) {
            doc["rights"] = RightsJson(r);
            rows.push_back({"rights", r.present ? "present" : "none"});
            if (r.present) {
                rows.push_back({"rights flags", HexU32(r.flags)});
                if (r.flags & NUVEX_RIGHTS_FLAG_COUNT) rows.push_back({"rights count", std::to_string(r.count)});
                if (r.flags & NUVEX_RIGHTS_FLAG_PRINT) rows.push_back({"print count", std::to_string(r.print16)});
                if (r.flags & NUVEX_RIGHTS_FLAG_VALUE) rows.push_back({"rights value", Hex(r.value, 8)});
            }
        }
    }
    if (CurrentSettings().json) return PrintJson(doc);
    PrintTable({"FIELD", "VALUE"}, rows);
    return kExitOk;
}

int RightsGet(const std::string& file) {
    Rights r;
    uint32_t code = ReadRights(file, r);
    if (code != 0) return ReportFailure("reading the rights of " + file, "NuvexCtrl_GetEnFileRights", code);
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", file}, {"rights", RightsJson(r)}});
    if (!r.present) {
        std::cout << "no rights record\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{{"flags", HexU32(r.flags)}};
    rows.push_back({"rights count", (r.flags & NUVEX_RIGHTS_FLAG_COUNT) ? std::to_string(r.count) : "not set"});
    rows.push_back({"print count", (r.flags & NUVEX_RIGHTS_FLAG_PRINT) ? std::to_string(r.print16) : "not set"});
    rows.push_back({"rights value", (r.flags & NUVEX_RIGHTS_FLAG_VALUE) ? Hex(r.value, 8) : "not set"});
    PrintTable({"FIELD", "VALUE"}, rows);
    return kExitOk;
}

// The rights password: from a file, from standard input, or typed at a prompt without echo.
// Never from the command line, where other users could read it.
bool ReadPassword(const std::string& passwordFile, bool fromStdin, std::string& password) {
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile, std::ios::binary);
        if (!in) return false;
        std::getline(in, password);
    } else if (fromStdin || !isatty(STDIN_FILENO)) {
        if (!std::getline(std::cin, password)) return false;
    } else {
        std::cerr << "Rights password: " << std::flush;
#if defined(_WIN32)
        HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
        DWORD saved = 0;
        GetConsoleMode(console, &saved);
        SetConsoleMode(console, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        bool ok = static_cast<bool>(std::getline(std::cin, password));
        SetConsoleMode(console, saved);
#else
        termios saved{};
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        bool ok = static_cast<bool>(std::getline(std::cin, password));
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
#endif
        std::cerr << "\n";
        if (!ok) return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return !password.empty();
}

const char* StatusText(uint32_t status) {
    switch (status) {
        case NUVEX_RIGHTS_ACCEPTED: return "password accepted";
        case NUVEX_RIGHTS_BAD_PASSWORD: return "wrong password";
        case NUVEX_RIGHTS_NOT_DOCUMENT: return "not an encrypted document";
        case NUVEX_RIGHTS_NO_RECORD: return "no rights record";
        default: return "not examined";
    }
}

int RightsSet(const std::string& file, const std::string& passwordFile, bool fromStdin, int count, int print,
              const std::string& valueHex, uint32_t flags) {
    std::string password;
    if (!ReadPassword(passwordFile, fromStdin, password)) return ReportError("a rights password is needed", kExitUsage);
    uint8_t value[8] = {};
    bool haveValue = false;
    if (!valueHex.empty()) {
        if (valueHex.size() != 16) return ReportError("--value takes 16 hex digits (8 bytes)", kExitUsage);
        for (int i = 0; i < 8; ++i) value[i] = static_cast<uint8_t>(std::stoul(valueHex.substr(2 * i, 2), nullptr, 16));
        haveValue = true;
    }
    uint32_t status = 0;
    uint32_t code = NuvexCtrl_SetEnFileRights(file.c_str(), haveValue ? value : nullptr, count < 0 ? 0xFFFF : count,
                                              print < 0 ? 0xFFFF : print, flags, password.data(),
                                              static_cast<uint32_t>(password.size()), &status);
    std::fill(password.begin(), password.end(), '\0');
    if (code != 0) return ReportFailure("setting the rights of " + file, "NuvexCtrl_SetEnFileRights", code);
    Say("rights of " + file + " set (" + StatusText(status) + ")");
    return PrintJson({{"ok", true}, {"file", file}, {"status", status}});
}

int RightsClear(const std::string& file, const std::string& passwordFile, bool fromStdin) {
    std::string password;
    if (!ReadPassword(passwordFile, fromStdin, password)) return ReportError("a rights password is needed", kExitUsage);
    uint32_t status = 0;
    uint32_t code = NuvexCtrl_ClearEnFileRights(file.c_str(), password.data(), static_cast<uint32_t>(password.size()), &status);
    std::fill(password.begin(), password.end(), '\0');
    if (code != 0) return ReportFailure("clearing the rights of " + file, "NuvexCtrl_ClearEnFileRights", code);
    Say("rights of " + file + " cleared");
    return PrintJson({{"ok", true}, {"file", file}, {"status", status}});
}

int PrintCountGet(const std::string& file) {
    uint8_t value[8] = {};
    uint16_t count = 0xFFFF, print = 0xFFFF;
    uint32_t flags = 0;
    uint32_t code = NuvexCtrl_GetFileRightsByDrv(file.c_str(), value, &count, &print, &flags);
    if (code != 0) return ReportFailure("reading the print count of " + file + " through the driver", "NuvexCtrl_GetFileRightsByDrv", code);
    bool set = (flags & NUVEX_RIGHTS_FLAG_PRINT) != 0;
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", file}, {"printCount", set ? Json(print) : Json(nullptr)}, {"flags", flags}});
    std::cout << (set ? std::to_string(print) : std::string("not set")) << "\n";
    return kExitOk;
}

int PrintCountSet(const std::string& file, uint32_t count) {
    uint32_t code = NuvexCtrl_SetFileRightsByDrv(file.c_str(), count);
    if (code != 0) return ReportFailure("setting the print count of " + file + " through the driver", "NuvexCtrl_SetFileRightsByDrv", code);
    Say("print count of " + file + " set to " + std::to_string(count & 0xFFFF));
    return PrintJson({{"ok", true}, {"file", file}, {"printCount", count & 0xFFFF}});
}

}  // namespace

void AddDocumentCommands(CLI::App& app) {
    auto* doc = app.add_subcommand("doc", "Encrypted documents");
    doc->require_subcommand(1);
    doc->footer(Example("nuvexctl doc encrypt -r ./reports\n  nuvexctl doc info report.txt"));

    static std::vector<std::string> encryptFiles, decryptFiles;
    static bool encryptRecursive = false, decryptRecursive = false;
    static std::string out;
    auto* encrypt = doc->add_subcommand("encrypt", "Turn files into encrypted documents (in place)");
    encrypt->add_option("files", encryptFiles, "Files (or directories with -r)")->required();
    encrypt->add_flag("-r,--recursive", encryptRecursive, "Encrypt every file below the directories given");
    encrypt->footer(Example("nuvexctl doc encrypt report.txt notes.txt\n  nuvexctl doc encrypt -r ./reports"));
    Bind(encrypt, [] { return Transform(true, encryptFiles, encryptRecursive, ""); });

    auto* decrypt = doc->add_subcommand("decrypt", "Turn encrypted documents back into plain files");
    decrypt->add_option("files", decryptFiles, "Documents (or directories with -r)")->required();
    decrypt->add_flag("-r,--recursive", decryptRecursive, "Decrypt every document below the directories given");
    decrypt->add_option("-o,--out", out, "Write the plain bytes here and leave the document as it is");
    decrypt->footer(Example("nuvexctl doc decrypt report.txt\n  nuvexctl doc decrypt report.txt --out plain.txt"));
    Bind(decrypt, [] { return Transform(false, decryptFiles, decryptRecursive, out); });

    static std::string infoFile, guidFile;
    auto* info = doc->add_subcommand("info", "Tell whether a file is a document, its GUID and rights");
    info->add_option("file", infoFile, "File")->required();
    info->footer(Example("nuvexctl doc info report.txt"));
    Bind(info, [] { return Info(infoFile); });
    auto* guid = doc->add_subcommand("guid", "Print a document's GUID");
    guid->add_option("file", guidFile, "Document")->required();
    guid->footer(Example("nuvexctl doc guid report.txt"));
    Bind(guid, [] { return Guid(guidFile); });

    auto* rights = doc->add_subcommand("rights", "A document's rights record");
    rights->require_subcommand(1);
    rights->footer(Example("nuvexctl doc rights set report.txt --print 3 --password-file pw.txt"));
    static std::string getFile, setFile, clearFile, passwordFile, valueHex;
    static bool fromStdin = false;
    static int count = -1, print = -1;
    static uint32_t flags = 0;
    auto* get = rights->add_subcommand("get", "Show the rights record");
    get->add_option("file", getFile, "Document")->required();
    get->footer(Example("nuvexctl doc rights get report.txt"));
    Bind(get, [] { return RightsGet(getFile); });
    auto* set = rights->add_subcommand("set", "Write rights (the first call fixes the password)");
    set->add_option("file", setFile, "Document")->required();
    set->add_option("--count", count, "Rights count (0 to 65534)");
    set->add_option("--print", print, "Print count (0 to 65534)");
    set->add_option("--value", valueHex, "8-byte rights value as 16 hex digits");
    set->add_option("--flags", flags, "Caller's flag bits");
    set->add_option("--password-file", passwordFile, "Read the password from this file");
    set->add_flag("--password-stdin", fromStdin, "Read the password from standard input");
    set->footer(Example("echo secret | nuvexctl doc rights set report.txt --print 3 --password-stdin"));
    Bind(set, [] { return RightsSet(setFile, passwordFile, fromStdin, count, print, valueHex, flags); });
    auto* clear = rights->add_subcommand("clear", "Remove the rights record (needs the password)");
    clear->add_option("file", clearFile, "Document")->required();
    clear->add_option("--password-file", passwordFile, "Read the password from this file");
    clear->add_flag("--password-stdin", fromStdin, "Read the password from standard input");
    clear->footer(Example("echo secret | nuvexctl doc rights clear report.txt --password-stdin"));
    Bind(clear, [] { return RightsClear(clearFile, passwordFile, fromStdin); });

    auto* printCount = doc->add_subcommand("print-count", "Print count through the main driver");
    printCount->require_subcommand(1);
    printCount->footer(Example("nuvexctl doc print-count set report.txt 5"));
    static std::string pcGetFile, pcSetFile;
    static uint32_t pcValue = 0;
    auto* pcGet = printCount->add_subcommand("get", "Read the print count through the driver");
    pcGet->add_option("file", pcGetFile, "Document")->required();
    pcGet->footer(Example("nuvexctl doc print-count get report.txt"));
    Bind(pcGet, [] { return PrintCountGet(pcGetFile); });
    auto* pcSet = printCount->add_subcommand("set", "Write a new print count through the driver");
    pcSet->add_option("file", pcSetFile, "Document")->required();
    pcSet->add_option("count", pcValue, "New print count")->required();
    pcSet->footer(Example("nuvexctl doc print-count set report.txt 5"));
    Bind(pcSet, [] { return PrintCountSet(pcSetFile, pcValue); });
}

}  // namespace nuvexctl
