#include "spool.h"

#include "nuvex_wire.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include "output.h"
#include "tool_files.h"

namespace fs = std::filesystem;

namespace nuvexctl {
namespace {

// A spool line longer than this is damage, not a record (a record is a few hundred bytes).
constexpr std::size_t kLongestLine = 64 * 1024;
// Leftover records taken in one run: no file is claimed once this many are held, and the files
// not claimed wait for the next run.
constexpr std::size_t kMostLeftovers = 1 << 20;
// The name a spool file has until it is locked and given its own.
constexpr char kMaking[] = ".making-";

std::string Reason(const std::string& what, const fs::path& path) {
    return what + " " + TextFromPath(path) + ": " + std::strerror(errno);
}

// The spool's files are opened by their paths in the spool folder, a folder of the user's own
// that nobody else may write (OwnFolder), and never through a link.
#if defined(_WIN32)
// Opened sharing everything, deleting included: a run renames its own file while it holds it,
// and removes a leftover it holds.
int OpenShared(const fs::path& path, DWORD disposition) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    return fd;
}
int CreateFileExclusively(const fs::path& path) { return OpenShared(path, CREATE_NEW); }
int OpenFile(const fs::path& path) { return OpenShared(path, OPEN_EXISTING); }
bool RenameNew(const fs::path& from, const fs::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}
bool LockFile(int fd) {
    OVERLAPPED place{};
    return LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)),
                      LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0;
}
bool FlushFile(int fd) { return _commit(fd) == 0; }
bool EmptyFile(int fd) { return _chsize_s(fd, 0) == 0 && _lseeki64(fd, 0, SEEK_SET) == 0; }
long ReadSome(int fd, char* into, std::size_t size) {
    return _read(fd, into, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}
void CloseFile(int fd) { _close(fd); }
int ProcessId() { return _getpid(); }
#else
int CreateFileExclusively(const fs::path& path) {
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0600);
}
int OpenFile(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}
bool RenameNew(const fs::path& from, const fs::path& to) {
    struct stat st;
    return ::lstat(to.c_str(), &st) != 0 && errno == ENOENT && ::rename(from.c_str(), to.c_str()) == 0;
}
bool LockFile(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
bool FlushFile(int fd) { return ::fsync(fd) == 0; }
bool EmptyFile(int fd) { return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0; }
long ReadSome(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, into, size);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}
void CloseFile(int fd) { ::close(fd); }
int ProcessId() { return static_cast<int>(::getpid()); }
#endif

// Which machine the log belongs to: on the host platform each machine root is a machine of its
// own, so that runs against different roots never take each other's records.
std::string MachineName() {
#if defined(_WIN32)
    return "local";
#else
    const char* root = std::getenv("NUVEX_HOST_ROOT");
    if (root == nullptr || *root == 0) return "default";
    std::error_code error;
    std::string absolute = fs::absolute(root, error).lexically_normal().string();
    uint32_t hash = 2166136261u;
    for (unsigned char c : absolute) hash = (hash ^ c) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
#endif
}

}  // namespace

// Both logs' records share their keys: "time", "event" (the request code that caused the
// record), "process" (the process that sent it) and "text"; each adds what only it has.
Json MainLogRecord(const LogEntry& e) {
    return {{"source", "main"}, {"time", IsoTime(e.time)}, {"event", e.value1}, {"process", e.value2},
            {"data", Hex(e.data, sizeof e.data)}, {"text", JsonText(e.text)}};
}

namespace {

uint32_t LoadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// A FILETIME (100-nanosecond intervals since 1601-01-01, UTC) as ISO 8601.
std::string IsoFileTime(uint64_t stamp) {
    const uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a FILETIME
    const uint64_t kDayTicks = 864000000000ull;
    const int64_t days = static_cast<int64_t>(stamp / kDayTicks) - static_cast<int64_t>(kUnixEpoch / kDayTicks);
    const uint64_t inDay = stamp % kDayTicks;
    // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    const uint64_t ms = inDay / 10000;
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02llu:%02llu:%02llu.%03lluZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<unsigned long long>(ms / 3600000), static_cast<unsigned long long>(ms / 60000 % 60),
                  static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms % 1000));
    return text;
}

}  // namespace

Json AclLogRecord(const AccLogRecord& r) {
    const uint8_t* d = r.data;
    const uint64_t stamp = LoadU32(d + NUVEX_ACL_LOG_TIME) | static_cast<uint64_t>(LoadU32(d + NUVEX_ACL_LOG_TIME + 4)) << 32;
    return {{"source", "acl"},
            {"time", IsoFileTime(stamp)},
            {"event", LoadU32(d + NUVEX_ACL_LOG_EVENT)},
            {"process", LoadU32(d + NUVEX_ACL_LOG_PROCESS)},
            {"sequence", LoadU32(d + NUVEX_ACL_LOG_SEQUENCE)},
            {"policy", LoadU32(d + NUVEX_ACL_LOG_POLICY)},
            {"text", JsonText(FieldText(reinterpret_cast<const char*>(d + NUVEX_ACL_LOG_TEXT), NUVEX_ACL_LOG_TEXT_SIZE))},
            {"raw", Hex(d, sizeof r.data)}};
}

std::vector<std::string> LogRow(const Json& record) {
    std::string text, why;
    TextFromJson(record.value("text", Json("")), text, why);
    return {record.value("time", ""), HexU32(record.value("event", 0u)), std::to_string(record.value("process", 0u)),
            Shown(text)};
}

LogSpool::~LogSpool() {
    if (fd_ >= 0) {
        std::error_code error;
        if (!holdsRecords_) fs::remove(path_, error);
        CloseFile(fd_);
    }
    for (auto& [path, fd] : claimed_) CloseFile(fd);
}

bool LogSpool::SyncFolder() {
#if defined(_WIN32)
    // Windows has no folder to sync: a spool file gets its name by a write-through rename; a
    // removal a power cut undoes brings a leftover back, written twice, never lost.
    return true;
#else
    return folderFd_ && files::SyncFolder(folderFd_.get());
#endif
}

bool LogSpool::Open(std::string& why) {
    fs::path state;
    if (!StateFolder(state, why)) {
        why = "the tool's state folder " + TextFromPath(state) + " " + why;
        return false;
    }
    folder_ = state / "spool";
    if (!OwnFolder(folder_, why)) {
        why = "the spool folder " + TextFromPath(folder_) + " " + why;
        return false;
    }
#if !defined(_WIN32)
    folderFd_ = files::OpenFolder(folder_.string());
    if (!folderFd_) {
        why = Reason("cannot open the spool folder", folder_);
        return false;
    }
#endif
    const std::string prefix = log_ + "-" + MachineName() + "-";
    const std::string making = kMaking + prefix;

    // Leftovers first, so that this run's own file is not among them. A file still named
    // ".making-" is one whose name a run never gave it, or gave it without the rename reaching
    // the disk (a power cut): it may hold records, and is read like any other. Oldest first by
    // name would not be by time; by modification time it is.
    std::vector<std::pair<fs::file_time_type, fs::path>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
        const std::string name = TextFromPath(entry.path().filename());
        if (name.rfind(prefix, 0) != 0 && name.rfind(making, 0) != 0) continue;
        if (name.size() < 6 || name.compare(name.size() - 6, 6, ".jsonl") != 0) continue;
        std::error_code timeError;
        found.emplace_back(fs::last_write_time(entry.path(), timeError), entry.path());
    }
    std::sort(found.begin(), found.end());
    for (const auto& [time, path] : found) {
        if (leftovers_.size() >= kMostLeftovers) break;  // the rest wait for the next run
        Claim(path);
    }

    return MakeOwnFile(why);
}

bool LogSpool::MakeOwnFile(std::string& why) {
    // Made under a name no other run claims, locked, then given its name, and the name made
    // durable before the first record goes in.
    const std::string prefix = log_ + "-" + MachineName() + "-";
    for (int n = 0; n < 1000 && fd_ < 0; ++n) {
        const std::string name = prefix + std::to_string(ProcessId()) + "-" + std::to_string(n) + ".jsonl";
        const fs::path making = folder_ / (kMaking + name), named = folder_ / name;
        int fd = CreateFileExclusively(making);
        if (fd < 0) continue;
        if (!LockFile(fd) || !RenameNew(making, named)) {
            CloseFile(fd);
            std::error_code removeError;
            fs::remove(making, removeError);  // this run's own, and empty
            continue;
        }
        fd_ = fd;
        path_ = named;
    }
    if (fd_ < 0) {
        why = "cannot make a spool file in " + TextFromPath(folder_);
        return false;
    }
    if (!SyncFolder()) {
        why = Reason("cannot sync the spool folder", folder_);
        return false;
    }
    return true;
}

bool LogSpool::Claim(const fs::path& path) {
    int fd = OpenFile(path);
    if (fd < 0) return false;
    // A run that still lives holds its file's lock; after a claim by another run the file is
    // gone, which the name check below sees.
    std::error_code gone;
    if (!LockFile(fd) || !fs::exists(fs::symlink_status(path, gone))) {
        CloseFile(fd);
        return false;
    }
    // Read through the descriptor that holds the lock, whole: the file goes once its records
    // are written.
    std::string line;
    char block[65536];
    bool tooLong = false;
    for (long n; (n = ReadSome(fd, block, sizeof block)) > 0;) {
        for (long i = 0; i < n; ++i) {
            if (block[i] != '\n') {
                if (line.size() > kLongestLine) tooLong = true;
                else line.push_back(block[i]);
                continue;
            }
            TakeLine(line, tooLong);
            line.clear();
            tooLong = false;
        }
    }
    TakeLine(line, tooLong);
    claimed_.emplace_back(path, fd);
    return true;
}

void LogSpool::TakeLine(const std::string& line, bool tooLong) {
    // A line longer than any record is damage; one cut short by a crash during its append is
    // not a record that was flushed.
    if (line.empty() || tooLong) return;
    Json record = Json::parse(line, nullptr, false);
    if (record.is_object()) leftovers_.push_back(std::move(record));
}

bool LogSpool::Append(const std::vector<Json>& records, std::string& why) {
    if (records.empty()) return true;
    std::string lines;
    for (const Json& record : records) lines += DumpJson(record, -1) + "\n";
    holdsRecords_ = true;
    if (!WriteWhole(fd_, lines) || !FlushFile(fd_)) {
        why = Reason("cannot write the log spool", path_);
        return false;
    }
    return true;
}

void LogSpool::Pending(const std::vector<Json>& pending) {
    if (pending.empty()) return Written();
    // The pending records go into a new file of this run before the old files go: a kill in
    // between leaves a record twice, never not at all.
    const fs::path oldPath = path_;
    const int oldFd = fd_;
    std::string why;
    fd_ = -1;
    if (!MakeOwnFile(why)) {
        if (fd_ >= 0) CloseFile(fd_);
        fd_ = oldFd;
        path_ = oldPath;
        return;
    }
    holdsRecords_ = false;
    if (!Append(pending, why)) {
        CloseFile(fd_);
        std::error_code error;
        fs::remove(path_, error);
        fd_ = oldFd;
        path_ = oldPath;
        holdsRecords_ = true;
        return;
    }
    std::error_code error;
    fs::remove(oldPath, error);
    CloseFile(oldFd);
    ReleaseClaimed();
}

void LogSpool::Written() {
    // The output has taken everything (on the disk, when it is a file): only now does the
    // spool let go of it.
    if (holdsRecords_ && EmptyFile(fd_) && FlushFile(fd_)) holdsRecords_ = false;
    ReleaseClaimed();
}

void LogSpool::ReleaseClaimed() {
    for (auto& [path, fd] : claimed_) {
        std::error_code error;
        fs::remove(path, error);
        CloseFile(fd);
    }
    // The leftovers' files stay gone after a power cut, so that their records are not written
    // again.
    if (!claimed_.empty()) SyncFolder();
    claimed_.clear();
    leftovers_.clear();
}

}  // namespace nuvexctl
