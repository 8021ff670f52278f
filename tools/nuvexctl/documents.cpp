// Document verbs: encrypt and decrypt (files or trees, with progress), clean (stale temporary
// files), info, GUID, rights.
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
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <optional>
#include <set>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "commands.h"
#include "doc_key.h"
#include "held_folders.h"
#include "key_check.h"
#include "nuvexctrl.h"
#include "nuvexctrl_ex.h"
#include "output.h"
#include "result_codes.h"
#include "secret.h"
#include "text.h"
#include "tool_files.h"

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

// A temporary file the library writes beside a file it replaces: the file's name followed by
// ".lumadtmp" and a number. One found by a later run was left by a run that was cut off.
constexpr char kTempSuffix[] = ".lumadtmp";

// The length of the ".lumadtmp<digits>" ending of `name`, or 0 when it has none: only such
// names are temporary ("report.lumadtmp.txt" is an ordinary file).
std::size_t TempSuffixLength(const std::string& name) {
    std::size_t digits = 0;
    while (digits < name.size() && name[name.size() - 1 - digits] >= '0' && name[name.size() - 1 - digits] <= '9') ++digits;
    const std::size_t tag = sizeof kTempSuffix - 1;
    if (digits == 0 || name.size() < digits + tag) return 0;
    return name.compare(name.size() - digits - tag, tag, kTempSuffix) == 0 ? digits + tag : 0;
}

bool IsTemporaryName(const fs::path& path) { return TempSuffixLength(TextFromPath(path.filename())) != 0; }

// The library reads '\' as a folder separator on every system. On Windows that is what it is;
// elsewhere a '\' inside a name would make the library work on another file (`x\y.txt` is
// taken as `x/y.txt`), so such a name is refused before the library sees it.
constexpr char kUnaddressable[] = "the name holds a '\\', which the library reads as a folder separator";

bool Addressable(const std::string& name) {
#if defined(_WIN32)
    (void)name;
    return true;
#else
    return name.find('\\') == std::string::npos;
#endif
}

// The files a run works on: operands as given, directories (with -r) walked for the regular
// files below them. Symbolic links are skipped, and said so: the library would replace a link
// by an encrypted copy and leave the file it names plain. A link the user named is followed
// with --follow-links (the file or directory it names is taken instead). Below a directory
// named, links are never followed and every folder is reached through the one above it, held
// open (held_folders.h): a folder or file that another user swaps for a link during the run
// leads nowhere outside the tree. Every file is taken once. Temporary files are set apart,
// never worked on.
struct Operand {
    std::string path;  // as shown; for a file the user named also as handed to the library
    bool fromTree;     // found below a directory rather than named by the user
    // A file found below a directory: the folder it was listed in, and its name there (as the
    // system and as the library take it).
    std::size_t folder = FolderTree::kNone;
    NativeName leaf{};
    std::string leafText{};
};

struct Expansion {
    std::unique_ptr<FolderTree> folders = std::make_unique<FolderTree>();
    std::vector<Operand> files;
    std::vector<Operand> temporaries;  // stale temporary files met on the way
    Json results = Json::array();      // what happened to operands that are not in `files`
    int failed = 0;
    int skippedLinks = 0;
};

class Expander {
public:
    Expander(bool recursive, bool followLinks) : recursive_(recursive), followLinks_(followLinks) {}

    Expansion Run(const std::vector<std::string>& operands) {
        for (const auto& operand : operands) Take(operand);
        return std::move(out_);
    }

private:
    void Fail(const std::string& path, const std::string& why) {
        ++out_.failed;
        out_.results.push_back({{"file", JsonText(path)}, {"status", "failed"}, {"meaning", why}});
        ProgressDone();
        std::cerr << "nuvexctl: " << Shown(why) << ": " << Shown(path) << "\n";
    }

    // A file met in a tree whose name the library cannot be given exactly (Windows: characters
    // outside the ANSI code page) is reported, never handed on under a look-alike name.
    void FailUnnamed(const fs::path& path) {
        ++out_.failed;
        out_.results.push_back(Json{{"file", JsonPath(path)}, {"status", "failed"}, {"meaning", std::string(kNotInCodePage)}});
        ProgressDone();
        std::cerr << "nuvexctl: " << kNotInCodePage << ": " << ShownPath(path) << "\n";
    }

    bool Named(const fs::path& path, std::string& name) {
        if (LibraryName(path, name)) return true;
        FailUnnamed(path);
        return false;
    }

    // `named`: the user named the link; below a directory no link is followed.
    void SkipLink(const std::string& path, bool named) {
        ++out_.skippedLinks;
        out_.results.push_back({{"file", JsonText(path)}, {"status", "skipped: symbolic link"}});
        ProgressDone();
        std::cerr << "nuvexctl: skipped symbolic link " << Shown(path)
                  << (named ? " (--follow-links processes the file it names)\n"
                            : " (links below a directory are never followed)\n");
    }

    // False when the file was taken already (named twice, or named and met in a tree): a file is
    // known by the identity of its folder and its name there.
    bool FirstTime(const FileIdentity& folder, const NativeName& leaf) {
        return seen_.insert({folder, leaf}).second;
    }

    void Keep(Operand operand, const fs::path& path) {
        if (IsTemporaryName(path)) return out_.temporaries.push_back(std::move(operand));
        out_.files.push_back(std::move(operand));
    }

    // A file the user named; `name` is its name as the library takes it (the operand as given,
    // or the file a link named).
    void AddNamed(const fs::path& path, const std::string& name) {
        FileIdentity folder;
        const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
        if (IdentityOfFolder(parent, folder) && !FirstTime(folder, path.filename().native())) return;
        Keep({name, false}, path);
    }

    // A regular file listed in `folder`, shown as `path`.
    void AddFound(std::size_t folder, const fs::path& path, const NativeName& leaf) {
        if (!FirstTime(out_.folders->IdentityOf(folder), leaf)) return;
        std::string name, leafText;
        if (!Named(path, name)) return;
        if (!ExactTextFromPath(fs::path(leaf), leafText)) return FailUnnamed(path);
        Keep({name, true, folder, leaf, leafText}, path);
    }

    void Take(const std::string& operand) {
        std::error_code ec;
        fs::path path = PathFromText(operand);
        fs::file_status link = fs::symlink_status(path, ec);
        if (ec || !fs::exists(link)) return Fail(operand, "no such file");
        std::string name = operand;
        if (fs::is_symlink(link)) {
            if (!followLinks_) return SkipLink(operand, true);
            path = fs::canonical(path, ec);
            if (ec) return Fail(operand, "the symbolic link names no file");
            if (!Named(path, name)) return;
        }
        fs::file_status target = fs::status(path, ec);
        if (fs::is_directory(target)) {
            if (!recursive_) return Fail(operand, "a directory (use -r)");
            return Tree(path);
        }
        if (!fs::is_regular_file(target)) return Fail(operand, "not a regular file");
        AddNamed(path, name);
    }

    // A folder being listed, depth first: its entries and the next one to take.
    struct Level {
        std::size_t folder;
        fs::path path;
        std::vector<FolderEntry> entries;
        std::size_t next = 0;
    };

    // Lists `folder` onto the walk's levels; a folder already on the way down (a mount that
    // loops back into the tree) is not entered again.
    void Enter(std::size_t folder, const fs::path& path, std::vector<Level>& levels, std::set<FileIdentity>& above) {
        const FileIdentity identity = out_.folders->IdentityOf(folder);
        if (above.count(identity) != 0) return;
        std::string why;
        Level level{folder, path, {}};
        const FolderHold held = out_.folders->Hold(folder, why);
        if (!held || !ListFolder(*held, level.entries, why)) return Fail(TextFromPath(path), "cannot read the directory");
        above.insert(identity);
        levels.push_back(std::move(level));
    }

    // Walks the tree below the directory `top`, which the user named.
    void Tree(const fs::path& top) {
        std::string why;
        const std::size_t first = out_.folders->AddTop(top, followLinks_, why);
        if (first == FolderTree::kNone) return Fail(TextFromPath(top), "cannot read the directory");
        std::vector<Level> levels;
        std::set<FileIdentity> above;
        Enter(first, top, levels, above);
        while (!levels.empty()) {
            Level& level = levels.back();
            if (level.next == level.entries.size()) {
                above.erase(out_.folders->IdentityOf(level.folder));
                levels.pop_back();
                continue;
            }
            const FolderEntry entry = level.entries[level.next++];
            const std::size_t folder = level.folder;
            const fs::path path = level.path / fs::path(entry.name);
            switch (entry.kind) {
            case EntryKind::Link: SkipLink(TextFromPath(path), false); break;
            case EntryKind::File: AddFound(folder, path, entry.name); break;
            case EntryKind::Folder: {
                bool isLink = false;
                const std::size_t child = out_.folders->AddChild(folder, entry.name, isLink, why);
                if (child != FolderTree::kNone) Enter(child, path, levels, above);
                else if (isLink) SkipLink(TextFromPath(path), false);  // swapped since it was listed
                else Fail(TextFromPath(path), "cannot read the directory");
                break;
            }
            case EntryKind::Other: break;  // devices, pipes, sockets
            }
        }
    }

    bool recursive_, followLinks_;
    std::set<std::pair<FileIdentity, NativeName>> seen_;
    Expansion out_;
};

// Interrupts of a run over files. Ctrl-C, a termination request or a hang-up is held back
// while the library works on a file, so the process is never cut off in the middle of a call
// (a cut call leaves its temporary file behind, after a decrypt holding the plain text of a
// document that stays encrypted). The library's progress callback asks whether one arrived and
// cancels the call if so: the call removes its temporary file and leaves the file as it was.
// The run starts no new file, prints its summary and exits with 128 + the signal: 130 (SIGINT),
// 143 (SIGTERM), 129 (SIGHUP). Windows: Ctrl-C and Ctrl-Break stop the run the same way with
// status 130; closing the console, logging off or shutting down with status 129, the console
// being held open (up to a few seconds) until the run has put the file back and summarised.
#if defined(_WIN32)
volatile LONG g_walkBreak = 0;  // the signal number the run ends with (128 + it)
constexpr LONG kHangUp = 1;      // SIGHUP's number: closing the console ends the run with 129
HANDLE g_walkFinished = nullptr;  // set once the run has stopped and no file is half done

BOOL WINAPI StopWalkOnBreak(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            InterlockedCompareExchange(&g_walkBreak, SIGINT, 0);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends when this handler returns (or after about five seconds): wait
            // for the run to cancel the file under way first.
            InterlockedCompareExchange(&g_walkBreak, kHangUp, 0);
            if (g_walkFinished != nullptr) WaitForSingleObject(g_walkFinished, 4000);
            return TRUE;
        default:
            return FALSE;
    }
}

class WalkInterrupts {
public:
    WalkInterrupts() {
        InterlockedExchange(&g_walkBreak, 0);
        g_walkFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(StopWalkOnBreak, TRUE);
    }
    ~WalkInterrupts() {
        SetConsoleCtrlHandler(StopWalkOnBreak, FALSE);
        Finished();
    }
    WalkInterrupts(const WalkInterrupts&) = delete;
    WalkInterrupts& operator=(const WalkInterrupts&) = delete;
    // The signal number whose status the run ends with, 0 while nothing has arrived.
    int Arrived() { return static_cast<int>(InterlockedCompareExchange(&g_walkBreak, 0, 0)); }
    // No file is being worked on any more: a waiting close handler may let the process end.
    void Finished() {
        if (g_walkFinished != nullptr) SetEvent(g_walkFinished);
    }
};
#else
class WalkInterrupts {
public:
    WalkInterrupts() = default;
    // A signal that arrived is taken here, so that it does not end the tool after its summary.
    ~WalkInterrupts() {
        if (arrived_ == 0) return;
        sigset_t taken;
        sigemptyset(&taken);
        for (int signal : kSignals) sigaddset(&taken, signal);
        const timespec now{};
        while (::sigtimedwait(&taken, nullptr, &now) > 0) {
        }
    }
    WalkInterrupts(const WalkInterrupts&) = delete;
    WalkInterrupts& operator=(const WalkInterrupts&) = delete;

    // The first signal that arrived and would end the tool, 0 while none has. A signal the
    // tool ignores (Ctrl-C in a background job) does not count.
    int Arrived() {
        if (const int signal = arrived_.load(); signal != 0) return signal;
        sigset_t pending;
        sigemptyset(&pending);
        if (::sigpending(&pending) != 0) return 0;
        for (int signal : kSignals) {
            struct sigaction action;
            if (sigismember(&pending, signal) == 1 && ::sigaction(signal, nullptr, &action) == 0 &&
                action.sa_handler != SIG_IGN)
            {
                int none = 0;  // any thread may ask; the first signal found stays
                arrived_.compare_exchange_strong(none, signal);
                return arrived_.load();
            }
        }
        return 0;
    }
    void Finished() {}

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    DeferredInterrupts held_;  // blocks the signals from here on; they stay pending
    std::atomic<int> arrived_{0};
};
#endif

// What the library's progress callback works with while one file is enciphered or deciphered:
// it shows how far the file has come (files of 8 MiB and more, at most five times a second)
// and cancels the call when an interrupt has arrived.
struct FileProgress {
    WalkInterrupts& interrupts;
    std::string label;
    bool show;  // false while several files are worked on at once
    std::chrono::steady_clock::time_point shown{};

    static uint32_t NUVEXAPI Report(void* context, const NuvexCtrlExProgressInfo* info) {
        auto* self = static_cast<FileProgress*>(context);
        if (self->interrupts.Arrived() != 0) return 1;
        const auto now = std::chrono::steady_clock::now();
        if (self->show && ProgressEnabled() && info->bytesTotal >= (8u << 20) && now - self->shown >= std::chrono::milliseconds(200)) {
            self->shown = now;
            Progress(self->label + ": " + std::to_string(info->bytesDone * 100 / info->bytesTotal) + "% of " +
                     HumanSize(info->bytesTotal));
        }
        return 0;
    }
};

void ReportStaleTemporary(const std::string& file, Json& results) {
    results.push_back({{"file", JsonText(file)}, {"status", "skipped: stale temporary file"},
                       {"meaning", "left by a run that was cut off; `nuvexctl doc clean` removes it once the file beside it is whole"}});
    ProgressDone();
    std::cerr << "nuvexctl: stale temporary file " << Shown(file) << " (see `nuvexctl doc clean`)\n";
}

// Before documents are deciphered in place: the format carries no check of the key, so a
// wrong key turns every document into a file of garbage that is no longer a document.
void WarnBeforeDecryptingInPlace(std::size_t documents, bool defaultKey) {
    if (documents < 2) return;
    Warn("decrypting " + std::to_string(documents) + " files in place under the " +
         (defaultKey ? std::string("built-in key") : std::string("key given")) +
         ": a document made under another key becomes garbage and stays so (documents carry no "
         "check of the key; try one file with --out first)");
}

struct WalkCounts {
    int done = 0, skipped = 0, failed = 0, cancelled = 0;
};

// What happened to one file of a run: counted under `count`, reported by `entry`.
struct FileOutcome {
    int WalkCounts::*count = nullptr;
    Json entry;
};

// Messages and progress lines of the files a run works on at once go out one at a time.
std::mutex g_walkOutput;

void ReportFileFailure(const std::string& message) {
    std::lock_guard<std::mutex> hold(g_walkOutput);
    ProgressDone();
    std::cerr << "nuvexctl: " << message << "\n";
}

// The GUID of the document `operand` names: by its path when the user named it, else read
// inside `folder`, the folder it was listed in, without following a link at its name.
bool ReadGuid(const Operand& operand, const HeldFolder* folder, uint8_t (&guid)[16]) {
    if (folder == nullptr) return NuvexCtrl_GetFileGUID(operand.path.c_str(), guid) == 0;
    HeldFile file;
    return file.Open(*folder, operand.leaf) == HeldFile::Opened::Yes &&
           NuvexCtrl_GetFileGUID(file.LibraryName().c_str(), guid) == 0;
}

// The key checks a run works with: those kept so far, and a note once when a new one cannot
// be kept.
struct RunKeyChecks {
    DocumentKeyChecks checks;
    bool loaded = false;
    std::atomic<bool> warned{false};

    void Keep(const Operand& operand, const HeldFolder* folder, const std::vector<uint8_t>& key) {
        uint8_t guid[16] = {};
        std::string why;
        if (!loaded || !ReadGuid(operand, folder, guid)) return;
        if (!checks.Record(guid, key, why) && !warned.exchange(true)) {
            std::lock_guard<std::mutex> hold(g_walkOutput);
            Warn("the key checks of the documents made cannot be kept: " + why);
        }
    }

    bool OtherKey(const Operand& operand, const HeldFolder* folder, const std::vector<uint8_t>& key) const {
        uint8_t guid[16] = {};
        // The GUID is read (one more open of the file) only when there is a check to compare.
        return loaded && !checks.Empty() && ReadGuid(operand, folder, guid) &&
               checks.Check(guid, key) == DocumentKeyChecks::Verdict::kOtherKey;
    }
};

constexpr char kOtherKey[] =
    "made by nuvexctl under another key (its key check differs); deciphered under this key it would "
    "become garbage, so it was left as it is";

// Enciphers or deciphers one file through the extension interface under `key` (empty: the
// built-in key). Safe to run for several files at once. A file the user named goes to the
// library by its path; a file found below a directory by its name inside the folder it was
// listed in, held open, so that a link swapped in on the way is never followed. Files of a tree
// that are already in the wanted form are passed over; a file the user named in that form is
// reported as the library answers.
FileOutcome TransformOne(bool encrypt, const Operand& operand, FolderTree& folders, const std::string& out,
                         const std::vector<uint8_t>& key, WalkInterrupts& interrupts, bool showProgress,
                         RunKeyChecks& keyChecks) {
    const std::string& file = operand.path;
    const char* verb = encrypt ? "encrypting " : "decrypting ";
    auto failed = [&](const std::string& meaning) -> FileOutcome {
        return {&WalkCounts::failed, {{"file", JsonText(file)}, {"status", "failed"}, {"meaning", meaning}}};
    };
    // Below a directory only the file's own name reaches the library; its folders are handles.
    if (!Addressable(operand.fromTree ? operand.leafText : file)) {
        ReportFileFailure(std::string(kUnaddressable) + ": " + Shown(file));
        return failed(kUnaddressable);
    }
    FolderHold folder;
    if (operand.fromTree) {
        std::string why;
        folder = folders.Hold(operand.folder, why);
        if (!folder) {
            ReportFileFailure(verb + Shown(file) + " failed: " + why);
            return failed(why);
        }
    }
    if (!encrypt && keyChecks.OtherKey(operand, folder.get(), key)) {
        ReportFileFailure(std::string("decrypting ") + Shown(file) + " refused: " + kOtherKey);
        return failed(kOtherKey);
    }
    FileProgress progress{interrupts, verb + TextFromPath(PathFromText(file).filename()), showProgress};
    const void* keyBytes = key.empty() ? nullptr : key.data();
    const auto keyLength = static_cast<uint32_t>(key.size());
    uint32_t code = 0;
    const char* exportName = nullptr;
    if (folder) {
        const NuvexCtrlExFolder in = folder->Handle();
        const char* name = operand.leafText.c_str();
        exportName = encrypt ? "NuvexCtrlEx_EncryptFileIn" : "NuvexCtrlEx_DecryptFileIn";
        code = encrypt ? NuvexCtrlEx_EncryptFileIn(in, name, keyBytes, keyLength, &FileProgress::Report, &progress)
                       : NuvexCtrlEx_DecryptFileIn(in, name, nullptr, keyBytes, keyLength, &FileProgress::Report, &progress);
    } else {
        exportName = encrypt ? "NuvexCtrlEx_EncryptFile" : "NuvexCtrlEx_DecryptFile";
        code = encrypt ? NuvexCtrlEx_EncryptFile(file.c_str(), keyBytes, keyLength, &FileProgress::Report, &progress)
                       : NuvexCtrlEx_DecryptFile(file.c_str(), out.empty() ? nullptr : out.c_str(), keyBytes, keyLength,
                                                 &FileProgress::Report, &progress);
    }
    static const uint32_t kAlreadyDocument = ResultCode("NuvexCtrl_EncryptFile", "AlreadyDocument");
    static const uint32_t kNotDocument = ResultCode("NuvexCtrl_DecryptFile", "NotDocument");
    if (encrypt && code == kAlreadyDocument)
        return {&WalkCounts::skipped, {{"file", JsonText(file)}, {"status", "skipped: already a document"}}};
    if (!encrypt && operand.fromTree && code == kNotDocument)
        return {&WalkCounts::skipped, {{"file", JsonText(file)}, {"status", "skipped: not a document"}}};
    if (code == NUVEX_E_CANCELLED)
        return {&WalkCounts::cancelled,
                {{"file", JsonText(file)}, {"status", "cancelled"}, {"meaning", "interrupted; the file was left as it was"}}};
    if (code != 0) {
        ReportFileFailure(verb + Shown(file) + " failed: " + DescribeResult(exportName, code) + " (" +
                          std::to_string(code) + ")");
        return {&WalkCounts::failed,
                {{"file", JsonText(file)}, {"status", "failed"}, {"code", code}, {"meaning", DescribeResult(exportName, code)}}};
    }
    if (encrypt) keyChecks.Keep(operand, folder.get(), key);
    return {&WalkCounts::done, {{"file", JsonText(file)}, {"status", encrypt ? "encrypted" : "decrypted"}}};
}

// Works on the files with `jobs` threads (the calling thread one of them), each taking the next
// file not yet taken, so no file is worked on twice; none takes a new file once an interrupt
// has arrived. The outcomes keep the files' order; a file never started has none.
std::vector<std::optional<FileOutcome>> TransformAll(bool encrypt, const std::vector<Operand>& files,
                                                     FolderTree& folders, const std::string& out,
                                                     const std::vector<uint8_t>& key,
                                                     WalkInterrupts& interrupts, unsigned jobs, RunKeyChecks& keyChecks) {
    std::vector<std::optional<FileOutcome>> outcomes(files.size());
    std::atomic<std::size_t> next{0}, started{0};
    const bool oneAtATime = jobs <= 1;
    auto work = [&] {
        for (;;) {
            if (interrupts.Arrived() != 0) return;
            const std::size_t index = next.fetch_add(1);
            if (index >= files.size()) return;
            const std::size_t count = started.fetch_add(1) + 1;
            if (files.size() > 1) {
                std::lock_guard<std::mutex> hold(g_walkOutput);
                Progress((encrypt ? "encrypting " : "decrypting ") + std::to_string(count) + "/" +
                         std::to_string(files.size()) + ": " + files[index].path);
            }
            outcomes[index] = TransformOne(encrypt, files[index], folders, out, key, interrupts, oneAtATime, keyChecks);
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min<std::size_t>(jobs, files.size());
    for (std::size_t i = 1; i < wanted; ++i) helpers.emplace_back(work);
    work();
    for (auto& helper : helpers) helper.join();
    return outcomes;
}

unsigned DefaultJobs() {
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : std::min(processors, 64u);
}

void AddJobsOption(CLI::App* verb, unsigned& jobs) {
    verb->add_option("-j,--jobs", jobs, "Files worked on at once (default: the number of processors)")
        ->check(CLI::Range(1u, 64u));
}

// The plain bytes of `document` go to `out`. Refused before the library is called: an `out`
// that is the document itself however it is spelled (`./D`, a link, a hard link: the same
// file), which would be decryption in place in disguise, and a name that belongs to another
// user (a file of theirs, which would be given the plain text, or a link they planted).
int CheckOutTarget(const std::string& document, const std::string& out) {
    std::error_code ec;
    if (fs::equivalent(PathFromText(document), PathFromText(out), ec) && !ec)
        return ReportError("--out " + out + " is the document " + document +
                               " itself; to decrypt it in place, leave --out out",
                           kExitUsage);
    std::string why;
    if (!TargetAllowed(PathFromText(out), why, true)) return ReportError("the --out file " + out + " " + why);
    return kExitOk;
}

int Transform(bool encrypt, const std::vector<std::string>& operands, bool recursive, bool followLinks,
              const std::string& out, const KeyChoice& keyChoice, unsigned jobs) {
    // The key comes first: a run without one touches nothing.
    std::vector<uint8_t> key;
    WipeOnExit<std::vector<uint8_t>> wipeKey(key);
    std::string why;
    if (const int status = ReadDocumentKey(keyChoice, key, why); status != kExitOk) return ReportError(why, status);
    WalkInterrupts interrupts;
    Expansion expansion = Expander(recursive, followLinks).Run(operands);
    const std::vector<Operand>& files = expansion.files;
    // A document found below a directory is worked on only inside its folder: --out takes one
    // the user named.
    if (!out.empty() && (files.size() != 1 || files[0].fromTree || expansion.failed != 0 ||
                         expansion.skippedLinks != 0 || !expansion.temporaries.empty()))
        return ReportError("--out needs exactly one document", kExitUsage);
    if (!out.empty())
        if (const int status = CheckOutTarget(files[0].path, out); status != kExitOk) return status;
    if (!encrypt && out.empty()) WarnBeforeDecryptingInPlace(files.size(), keyChoice.defaultKey);
    WalkCounts counts;
    counts.failed = expansion.failed;
    const int stale = static_cast<int>(expansion.temporaries.size());
    Json results = std::move(expansion.results);
    for (const auto& temp : expansion.temporaries) ReportStaleTemporary(temp.path, results);
    std::size_t started = 0;
    RunKeyChecks keyChecks;
    keyChecks.loaded = keyChecks.checks.Load(why);
    if (!keyChecks.loaded) Warn("documents are not checked against the keys they were made with: " + why);
    for (auto& outcome : TransformAll(encrypt, files, *expansion.folders, out, key, interrupts, jobs, keyChecks)) {
        if (!outcome) continue;
        ++started;
        ++(counts.*(outcome->count));
        results.push_back(std::move(outcome->entry));
    }
    if (keyChecks.loaded && !keyChecks.checks.Finish(why) && !keyChecks.warned.exchange(true))
        Warn("the key checks of the documents made cannot be kept: " + why);
    interrupts.Finished();
    ProgressDone();
    // A signal during the last file also counts: the run was asked to stop.
    const int signal = interrupts.Arrived();
    const std::size_t notStarted = files.size() - started;
    if (signal != 0) {
        std::cerr << "nuvexctl: interrupted; "
                  << (counts.cancelled != 0 ? "the files under way were left as they were, " : "no file was left half done, ")
                  << notStarted << " not started\n";
    }
    if (CurrentSettings().json) {
        Json summary{{"ok", counts.failed == 0 && signal == 0}, {"done", counts.done}, {"skipped", counts.skipped},
                     {"skippedLinks", expansion.skippedLinks}, {"staleTemporary", stale}, {"failed", counts.failed},
                     {"interrupted", signal != 0}, {"cancelled", counts.cancelled}, {"notStarted", notStarted},
                     {"files", results}};
        PrintJson(summary);
    } else {
        // Every file passed over is named with the reason (failures were named on stderr).
        for (const auto& entry : results) {
            const std::string status = entry.value("status", "");
            std::string file, reason;
            if (status.rfind("skipped: ", 0) == 0 && TextFromJson(entry["file"], file, reason))
                std::cout << "skipped " << Shown(file) << " (" << status.substr(9) << ")\n";
        }
        std::cout << (encrypt ? "encrypted " : "decrypted ") << counts.done << ", skipped " << counts.skipped
                  << (encrypt ? " (already documents)" : " (not documents)");
        if (expansion.skippedLinks != 0) std::cout << ", skipped " << expansion.skippedLinks << " symbolic links";
        if (stale != 0) std::cout << ", skipped " << stale << " stale temporary files";
        std::cout << ", failed " << counts.failed;
        if (signal != 0)
            std::cout << "; interrupted, " << counts.cancelled << " cancelled (left as they were), " << notStarted
                      << " not started";
        std::cout << "\n";
    }
    if (signal != 0) return 128 + signal;
    return counts.failed == 0 ? kExitOk : kExitFailed;
}

// `doc clean`: removes stale temporary files, each only once the file it was to replace (its
// name without the temporary ending) is there and whole: a document the library recognises, or
// a plain file. A temporary file with nothing beside it is kept: it may be the only copy.
struct CleanRun {
    int removed = 0, kept = 0, failed = 0;
    Json results = Json::array();

    void Note(const std::string& file, const char* status, const std::string& why) {
        if (std::strcmp(status, "removed") == 0) ++removed;
        else if (std::strcmp(status, "kept") == 0) ++kept;
        else ++failed;
        results.push_back({{"file", JsonText(file)}, {"status", status}, {"meaning", why}});
        if (!CurrentSettings().json) std::cout << status << " " << Shown(file) << " (" << Shown(why) << ")\n";
    }

    void Clean(const Operand& temp, FolderTree& folders) {
        if (temp.fromTree) return CleanInFolder(temp, folders);
        const std::string& path = temp.path;
        const std::string companion = path.substr(0, path.size() - TempSuffixLength(TextFromPath(PathFromText(path).filename())));
        if (!Addressable(path) || !Addressable(companion)) return Note(path, "kept", kUnaddressable);
        std::error_code ec;
        fs::file_status beside = fs::status(PathFromText(companion), ec);
        if (!fs::exists(beside)) return Note(path, "kept", "no file beside it; it may be the only copy");
        if (!fs::is_regular_file(beside)) return Note(path, "kept", "the file beside it is not a regular file");
        uint32_t isDoc = 0;
        uint32_t code = NuvexCtrl_IsEncryptFile(companion.c_str(), 0, &isDoc);
        if (code != 0) return KeptUnexamined(path, code);
        if (!fs::remove(PathFromText(path), ec) || ec)
            return Note(path, "failed", "cannot be removed: " + (ec ? ec.message() : std::string("it is gone")));
        Removed(path, isDoc != 0);
    }

private:
    // A temporary file met below a directory: the file beside it is examined, and the temporary
    // file removed, inside the folder both were listed in, without following a link at either
    // name. A link beside it is no whole file.
    void CleanInFolder(const Operand& temp, FolderTree& folders) {
        const std::string& path = temp.path;
        std::string why;
        const FolderHold folder = folders.Hold(temp.folder, why);
        if (!folder) return Note(path, "kept", why);
        const NativeName companion = temp.leaf.substr(0, temp.leaf.size() - TempSuffixLength(temp.leafText));
        HeldFile beside;
        switch (beside.Open(*folder, companion)) {
        case HeldFile::Opened::Yes: break;
        case HeldFile::Opened::Missing: return Note(path, "kept", "no file beside it; it may be the only copy");
        case HeldFile::Opened::NotRegular: return Note(path, "kept", "the file beside it is not a regular file");
        case HeldFile::Opened::Failed: return Note(path, "kept", "the file beside it cannot be opened");
        }
        uint32_t isDoc = 0;
        const uint32_t code = NuvexCtrl_IsEncryptFile(beside.LibraryName().c_str(), 0, &isDoc);
        if (code != 0) return KeptUnexamined(path, code);
        if (!RemoveIn(*folder, temp.leaf, why)) return Note(path, "failed", "cannot be removed: " + why);
        Removed(path, isDoc != 0);
    }

    void KeptUnexamined(const std::string& path, uint32_t code) {
        Note(path, "kept", "the file beside it cannot be examined: " + DescribeResult("NuvexCtrl_IsEncryptFile", code) +
                               " (" + std::to_string(code) + ")");
    }

    void Removed(const std::string& path, bool besideIsDocument) {
        Note(path, "removed", besideIsDocument ? "the document beside it is whole" : "the plain file beside it is there");
    }
};

// The temporary files beside a file the user named: `name.lumadtmp<digits>` in its folder.
void TemporariesBeside(const std::string& file, std::vector<std::string>& temps) {
    fs::path path = PathFromText(file);
    std::string name = TextFromPath(path.filename());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec)) {
        std::string other = TextFromPath(entry.path().filename());
        std::size_t suffix = TempSuffixLength(other);
        if (suffix == 0 || other.size() - suffix != name.size() || other.compare(0, name.size(), name) != 0) continue;
        if (!entry.is_symlink(ec) && entry.is_regular_file(ec)) temps.push_back(file + other.substr(name.size()));
    }
}

int Clean(const std::vector<std::string>& operands, bool recursive) {
    Expansion expansion = Expander(recursive, false).Run(operands);
    std::vector<Operand> temps = std::move(expansion.temporaries);
    std::vector<std::string> beside;
    for (const auto& operand : expansion.files)
        if (!operand.fromTree) TemporariesBeside(operand.path, beside);
    for (auto& temp : beside) temps.push_back({std::move(temp), false});
    auto byPath = [](const Operand& a, const Operand& b) { return a.path < b.path; };
    std::sort(temps.begin(), temps.end(), byPath);
    temps.erase(std::unique(temps.begin(), temps.end(), [](const Operand& a, const Operand& b) { return a.path == b.path; }),
                temps.end());
    CleanRun run;
    for (const auto& temp : temps) run.Clean(temp, *expansion.folders);
    const int failed = run.failed + expansion.failed;
    Json results = std::move(expansion.results);
    for (auto& entry : run.results) results.push_back(std::move(entry));
    if (CurrentSettings().json) {
        PrintJson({{"ok", failed == 0 && run.kept == 0}, {"removed", run.removed}, {"kept", run.kept}, {"failed", failed},
                   {"files", results}});
    } else {
        std::cout << "removed " << run.removed << ", kept " << run.kept << ", failed " << failed << "\n";
    }
    // A kept file needs a look: the run did not leave the folders clean.
    return failed == 0 && run.kept == 0 ? kExitOk : kExitFailed;
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
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"guid", GuidText(guid)}});
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
    uintmax_t size = fs::file_size(PathFromText(file), ec);
    Json doc{{"ok", true}, {"file", JsonText(file)}, {"document", isDoc != 0}, {"size", size}};
    std::vector<std::vector<std::string>> rows{{"file", JsonText(file)}, {"document", isDoc ? "yes" : "no"}, {"size", HumanSize(size)}};
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
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"rights", RightsJson(r)}});
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
// Never from the command line, where other users could read it. It is read into room reserved
// beforehand, one character at a time, so that no copy is left behind by growing; the caller
// wipes it.
// Reads the rights password and returns the exit status, the failure reported: a password
// file that cannot be read is a failure (1), no usable password a wrong argument (2).
int PasswordStatus(const std::string& passwordFile, bool fromStdin, std::string& password) {
    const char* needed = "a rights password of 1 to 1024 characters is needed";
    if (!passwordFile.empty()) {
        // A secret like a key file: one refused for what it is (another user's file or link, one
        // that others may read or write, a pipe, which is never waited on) is a wrong argument.
        std::string why;
        InputFile file;
        if (!file.Open(PathFromText(passwordFile), InputKind::Secret, why)) {
            if (file.Refused()) return ReportError("the password file " + passwordFile + " " + why, kExitUsage);
            return ReportError("cannot read the password file " + passwordFile + ": " + why);
        }
        if (!ReadPasswordLine(file, password)) return ReportError(needed, kExitUsage);
    } else if (fromStdin || !isatty(STDIN_FILENO)) {
        if (!ReadPasswordLine(std::cin, password)) return ReportError(needed, kExitUsage);
    } else {
        std::cerr << "Rights password: " << std::flush;
        bool ok = PromptWithoutEcho(password);
        std::cerr << "\n";
        if (!ok) return ReportError(needed, kExitUsage);
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password.empty() ? ReportError(needed, kExitUsage) : kExitOk;
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

constexpr uint32_t kNotSet = 0xFFFF;

int RightsSet(const std::string& file, const std::string& passwordFile, bool fromStdin, uint32_t count, uint32_t print,
              const std::string& valueHex, uint32_t flags) {
    // The arguments are checked before the password is asked for.
    std::vector<uint8_t> value;
    if (!valueHex.empty() && (valueHex.size() != 16 || !ParseHex(valueHex, value)))
        return ReportError("--value takes 16 hexadecimal digits (8 bytes)", kExitUsage);
    std::string password;
    WipeOnExit<std::string> wipe(password);
    if (const int status = PasswordStatus(passwordFile, fromStdin, password); status != kExitOk) return status;
    uint32_t status = 0;
    uint32_t code = NuvexCtrl_SetEnFileRights(file.c_str(), value.empty() ? nullptr : value.data(), count, print, flags,
                                              password.data(), static_cast<uint32_t>(password.size()), &status);
    if (code != 0) return ReportFailure("setting the rights of " + file, "NuvexCtrl_SetEnFileRights", code);
    Say("rights of " + file + " set (" + StatusText(status) + ")");
    return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"status", status}});
}

int RightsClear(const std::string& file, const std::string& passwordFile, bool fromStdin) {
    std::string password;
    WipeOnExit<std::string> wipe(password);
    if (const int status = PasswordStatus(passwordFile, fromStdin, password); status != kExitOk) return status;
    uint32_t status = 0;
    uint32_t code = NuvexCtrl_ClearEnFileRights(file.c_str(), password.data(), static_cast<uint32_t>(password.size()), &status);
    if (code != 0) return ReportFailure("clearing the rights of " + file, "NuvexCtrl_ClearEnFileRights", code);
    Say("rights of " + file + " cleared");
    return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"status", status}});
}

int PrintCountGet(const std::string& file) {
    uint8_t value[8] = {};
    uint16_t count = 0xFFFF, print = 0xFFFF;
    uint32_t flags = 0;
    uint32_t code = NuvexCtrl_GetFileRightsByDrv(file.c_str(), value, &count, &print, &flags);
    if (code != 0) return ReportFailure("reading the print count of " + file + " through the driver", "NuvexCtrl_GetFileRightsByDrv", code);
    bool set = (flags & NUVEX_RIGHTS_FLAG_PRINT) != 0;
    if (CurrentSettings().json) return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"printCount", set ? Json(print) : Json(nullptr)}, {"flags", flags}});
    std::cout << (set ? std::to_string(print) : std::string("not set")) << "\n";
    return kExitOk;
}

int PrintCountSet(const std::string& file, uint32_t count) {
    uint32_t code = NuvexCtrl_SetFileRightsByDrv(file.c_str(), count);
    if (code != 0) return ReportFailure("setting the print count of " + file + " through the driver", "NuvexCtrl_SetFileRightsByDrv", code);
    Say("print count of " + file + " set to " + (count == kNotSet ? std::string("unset") : std::to_string(count)));
    return PrintJson({{"ok", true}, {"file", JsonText(file)}, {"printCount", count}});
}

// A 16-bit count option: 0 to 65534, or the word "unset" for 0xFFFF, the value that stands
// for "not set" in a document; a number above 65534 is refused rather than cut to 16 bits.
CLI::Option* AddCount(CLI::App* command, const std::string& name, uint32_t& target, const std::string& description) {
    auto* option = command->add_option_function<std::string>(
        name,
        [&target, name](const std::string& text) {
            uint64_t value = 0;
            if (text == "unset") target = kNotSet;
            else if (ParseNumber(text, kNotSet - 1, value)) target = static_cast<uint32_t>(value);
            else throw CLI::ValidationError(name, "'" + Shown(text) + "' is not a count from 0 to 65534 or \"unset\"");
        },
        description);
    return option->type_name("COUNT");
}

}  // namespace

void AddDocumentCommands(CLI::App& app) {
    auto* doc = app.add_subcommand("doc", "Encrypted documents");
    doc->require_subcommand(1);
    doc->footer(Example("nuvexctl doc encrypt --key-file document.key -r ./reports\n  nuvexctl doc info report.txt"));

    static std::vector<std::string> encryptFiles, decryptFiles;
    static bool encryptRecursive = false, decryptRecursive = false, encryptLinks = false, decryptLinks = false;
    static std::string out;
    static KeyChoice encryptKey, decryptKey;
    static unsigned encryptJobs = DefaultJobs(), decryptJobs = DefaultJobs();
    auto* encrypt = doc->add_subcommand("encrypt", "Turn files into encrypted documents (in place)");
    encrypt->add_option("files", encryptFiles, "Files (or directories with -r)")->required();
    encrypt->add_flag("-r,--recursive", encryptRecursive, "Encrypt every file below the directories given");
    encrypt->add_flag("--follow-links", encryptLinks,
                      "Follow a symbolic link named here: encrypt the file it names, or with -r walk the directory it names "
                      "(links are skipped by default, and always below a directory)");
    encrypt->footer(Example("nuvexctl doc encrypt --key-file document.key report.txt notes.txt\n"
                            "  nuvexctl doc encrypt --key-file document.key -r ./reports"));
    AddKeyOptions(encrypt, encryptKey);
    AddJobsOption(encrypt, encryptJobs);
    Bind(encrypt, [] { return Transform(true, encryptFiles, encryptRecursive, encryptLinks, "", encryptKey, encryptJobs); });

    auto* decrypt = doc->add_subcommand("decrypt", "Turn encrypted documents back into plain files");
    decrypt->add_option("files", decryptFiles, "Documents (or directories with -r)")->required();
    decrypt->add_flag("-r,--recursive", decryptRecursive, "Decrypt every document below the directories given");
    decrypt->add_flag("--follow-links", decryptLinks,
                      "Follow a symbolic link named here: decrypt the document it names, or with -r walk the directory it "
                      "names (links are skipped by default, and always below a directory)");
    decrypt->add_option("-o,--out", out, "Write the plain bytes here and leave the document as it is");
    decrypt->footer(
        "The document format carries no check of the key: a document deciphered under a key other than the\n"
        "one it was made with becomes a file of garbage, in place of the document. Try one file with --out\n"
        "first.\n\n" +
        Example("nuvexctl doc decrypt --key-file document.key report.txt --out plain.txt\n"
                "  nuvexctl doc decrypt --key-file document.key -r ./reports"));
    AddKeyOptions(decrypt, decryptKey);
    AddJobsOption(decrypt, decryptJobs);
    Bind(decrypt, [] { return Transform(false, decryptFiles, decryptRecursive, decryptLinks, out, decryptKey, decryptJobs); });

    static std::vector<std::string> cleanFiles;
    static bool cleanRecursive = false;
    auto* clean = doc->add_subcommand("clean", "Remove temporary files left by cut-off runs, once the file beside each is whole");
    clean->add_option("files", cleanFiles,
                      "Temporary files, files to look beside, or directories with -r")->required();
    clean->add_flag("-r,--recursive", cleanRecursive, "Look for temporary files below the directories given");
    clean->footer(Example("nuvexctl doc clean -r ./reports\n  nuvexctl doc clean report.txt"));
    Bind(clean, [] { return Clean(cleanFiles, cleanRecursive); });

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
    static uint32_t count = kNotSet, print = kNotSet;
    static uint32_t flags = 0;
    auto* get = rights->add_subcommand("get", "Show the rights record");
    get->add_option("file", getFile, "Document")->required();
    get->footer(Example("nuvexctl doc rights get report.txt"));
    Bind(get, [] { return RightsGet(getFile); });
    auto* set = rights->add_subcommand("set", "Write rights (the first call fixes the password)");
    set->add_option("file", setFile, "Document")->required();
    AddCount(set, "--count", count, "Rights count: 0 to 65534, or unset (the default)");
    AddCount(set, "--print", print, "Print count: 0 to 65534, or unset (the default)");
    set->add_option("--value", valueHex, "8-byte rights value as 16 hex digits");
    AddNumber(set, "--flags", flags, "Caller's flag bits");
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
    AddCount(pcSet, "count", pcValue, "New print count: 0 to 65534, or unset (stored as 65535)")->required();
    pcSet->footer(Example("nuvexctl doc print-count set report.txt 5"));
    Bind(pcSet, [] { return PrintCountSet(pcSetFile, pcValue); });
}

}  // namespace nuvexctl
