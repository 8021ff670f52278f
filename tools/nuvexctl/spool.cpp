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
// Leftover records taken in one run; the rest wait for the next run.
constexpr std::size_t kMostLeftovers = 1 << 20;

std::string Reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

#if defined(_WIN32)
int OpenFile(const std::string& path, bool create) {
    int flags = _O_RDWR | _O_BINARY | _O_NOINHERIT | (create ? _O_CREAT | _O_EXCL : 0);
    return _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}
bool LockFile(int fd) {
    OVERLAPPED place{};
    return LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)),
                      LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0;
}
bool FlushFile(int fd) { return _commit(fd) == 0; }
bool EmptyFile(int fd) { return _chsize_s(fd, 0) == 0 && _lseeki64(fd, 0, SEEK_SET) == 0; }
void CloseFile(int fd) { _close(fd); }
int ProcessId() { return _getpid(); }
#else
int OpenFile(const std::string& path, bool create) {
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_EXCL : 0);
    return ::open(path.c_str(), flags, 0600);
}
bool LockFile(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
bool FlushFile(int fd) { return ::fsync(fd) == 0; }
bool EmptyFile(int fd) { return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0; }
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

// A folder of the tool's own: made 0700 when missing, and refused unless it is a real folder
// (not a link) that the caller owns and nobody else may write.
bool OwnFolder(const std::string& path, std::string& why) {
#if defined(_WIN32)
    std::error_code error;
    fs::create_directories(PathFromText(path), error);
    if (error) {
        why = "cannot make " + path + ": " + error.message();
        return false;
    }
    return true;
#else
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = Reason("cannot make", path);
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        why = Reason("cannot examine", path);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
        why = path + " is not a folder of this user's that nobody else may write";
        return false;
    }
    return true;
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
        if (!holdsRecords_) fs::remove(PathFromText(path_));
        CloseFile(fd_);
    }
    for (auto& [path, fd] : claimed_) CloseFile(fd);
}

bool LogSpool::Open(std::string& why) {
    fs::path state;
    if (!StateFolder(state, why)) {
        why = "the tool's state folder " + TextFromPath(state) + " " + why;
        return false;
    }
    folder_ = TextFromPath(state) + "/spool";
    if (!OwnFolder(folder_, why)) return false;
    const std::string prefix = log_ + "-" + MachineName() + "-";

    // Leftovers first, so that this run's own file is not among them. Oldest first by name
    // would not be by time; by modification time it is.
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(PathFromText(folder_), error)) {
        std::string name = TextFromPath(entry.path().filename());
        // A file a killed run was still making (empty, never named) goes once nobody holds it.
        if (name.rfind(".making-" + prefix, 0) == 0) {
            const int fd = OpenFile(TextFromPath(entry.path()), false);
            std::error_code removeError;
            if (fd >= 0 && LockFile(fd)) fs::remove(entry.path(), removeError);
            if (fd >= 0) CloseFile(fd);
            continue;
        }
        if (name.rfind(prefix, 0) != 0 || name.size() < 6 || name.substr(name.size() - 6) != ".jsonl") continue;
        std::error_code timeError;
        found.emplace_back(fs::last_write_time(entry.path(), timeError), TextFromPath(entry.path()));
    }
    std::sort(found.begin(), found.end());
    for (const auto& [time, path] : found) Claim(path);

    return MakeOwnFile(why);
}

bool LogSpool::MakeOwnFile(std::string& why) {
    // Made under a name no other run claims, locked, then given its name.
    const std::string prefix = log_ + "-" + MachineName() + "-";
    for (int n = 0; n < 1000 && fd_ < 0; ++n) {
        const std::string name = prefix + std::to_string(ProcessId()) + "-" + std::to_string(n) + ".jsonl";
        const std::string making = folder_ + "/.making-" + name;
        int fd = OpenFile(making, true);
        if (fd < 0) continue;
        std::error_code renameError;
        if (!LockFile(fd) || fs::exists(PathFromText(folder_ + "/" + name)) ||
            (fs::rename(PathFromText(making), PathFromText(folder_ + "/" + name), renameError), renameError)) {
            CloseFile(fd);
            fs::remove(PathFromText(making), renameError);
            continue;
        }
        fd_ = fd;
        path_ = folder_ + "/" + name;
    }
    if (fd_ < 0) {
        why = "cannot make a spool file in " + folder_;
        return false;
    }
    return true;
}

bool LogSpool::Claim(const std::string& path) {
    int fd = OpenFile(path, false);
    if (fd < 0) return false;
    // A run that still lives holds its file's lock; after a claim by another run the file is
    // gone, which the name check below sees.
    if (!LockFile(fd) || !fs::exists(PathFromText(path))) {
        CloseFile(fd);
        return false;
    }
    std::ifstream in(PathFromText(path), std::ios::binary);
    std::string line;
    while (leftovers_.size() < kMostLeftovers && std::getline(in, line)) {
        if (line.empty() || line.size() > kLongestLine) continue;
        Json record = Json::parse(line, nullptr, false);
        // A line cut short by a crash during its append is not a record that was flushed.
        if (record.is_object()) leftovers_.push_back(std::move(record));
    }
    claimed_.emplace_back(path, fd);
    return true;
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
    const std::string oldPath = path_;
    const int oldFd = fd_;
    std::string why;
    fd_ = -1;
    if (!MakeOwnFile(why)) {
        fd_ = oldFd;
        path_ = oldPath;
        return;
    }
    holdsRecords_ = false;
    if (!Append(pending, why)) {
        CloseFile(fd_);
        fs::remove(PathFromText(path_));
        fd_ = oldFd;
        path_ = oldPath;
        return;
    }
    std::error_code error;
    fs::remove(PathFromText(oldPath), error);
    CloseFile(oldFd);
    for (auto& [path, fd] : claimed_) {
        fs::remove(PathFromText(path), error);
        CloseFile(fd);
    }
    claimed_.clear();
    leftovers_.clear();
}

void LogSpool::Written() {
    if (holdsRecords_ && EmptyFile(fd_) && FlushFile(fd_)) holdsRecords_ = false;
    for (auto& [path, fd] : claimed_) {
        std::error_code error;
        fs::remove(PathFromText(path), error);
        CloseFile(fd);
    }
    claimed_.clear();
    leftovers_.clear();
}

}  // namespace nuvexctl
