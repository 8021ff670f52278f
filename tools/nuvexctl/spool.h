// The log spool. Reading a driver's log takes the records out of the driver: a record that is
// drained and then not written (the output closed, the disk full, the run killed) would be gone
// for good. So every drained record is first appended to a spool file of this run and flushed
// to disk, and only then written out; once the output has taken it (a file: on the disk; a
// pipe: read by its reader), the spool is emptied. A run that ends with records still in its
// spool leaves the file behind, and the next run that reads the same log writes those records
// first and removes the file. A power cut may bring a record back once more; it never loses one.
//
// Spool files lie in the tool's state folder (`NUVEXCTL_STATE_DIR`, else
// `$XDG_STATE_HOME/nuvexctl`, else `~/.local/state/nuvexctl`; on Windows
// `%LOCALAPPDATA%\nuvexctl`), in `spool/`, one file per run and log:
// `<log>-<machine>-<pid>-<n>.jsonl`, one JSON record per line, made as
// `.making-<log>-<machine>-<pid>-<n>.jsonl` and renamed. A run holds a lock on its own file for
// as long as it lives; a file whose lock can be taken (under either name) belongs to a run that
// has ended, and is claimed by taking that lock. Every rename and removal in the folder is
// synced before the spool relies on it.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "nuvexctrl.h"
#include "text.h"
#include "tool_files.h"

namespace nuvexctl {

class LogSpool {
public:
    // `log` names the log ("main" or "acl"): each has its own files.
    explicit LogSpool(std::string log) : log_(std::move(log)) {}
    LogSpool(const LogSpool&) = delete;
    LogSpool& operator=(const LogSpool&) = delete;
    // Removes this run's file when it is empty; a file with records stays for the next run.
    ~LogSpool();

    // Makes the state folder (0700, owned by the caller, writable by nobody else) and this
    // run's spool file, and takes the records that ended runs left for this log and machine.
    // False with the reason in `why` when no spool can be had.
    bool Open(std::string& why);
    // The records that ended runs left behind, oldest first: to be written before anything
    // drained now.
    const std::vector<Json>& Leftovers() const { return leftovers_; }
    // Appends records and flushes them to disk. False with the reason in `why`.
    bool Append(const std::vector<Json>& records, std::string& why);
    // Everything appended so far, and the leftovers, has been written out: the spool is
    // emptied and the leftovers' files removed.
    void Written();
    // Of everything appended and left over, only `pending` has not been written out: the spool
    // holds just these from now on (the leftovers' files are removed once they are in it).
    void Pending(const std::vector<Json>& pending);

private:
    bool Claim(const std::filesystem::path& path);
    void TakeLine(const std::string& line, bool tooLong);
    bool MakeOwnFile(std::string& why);
    // The leftovers' files are removed (and their removal synced); they were written out.
    void ReleaseClaimed();
    // Makes the names in the spool folder durable.
    bool SyncFolder();

    std::string log_;
    std::filesystem::path folder_;
    std::filesystem::path path_;
    int fd_ = -1;
    bool holdsRecords_ = false;
    std::vector<Json> leftovers_;
    std::vector<std::pair<std::filesystem::path, int>> claimed_;  // leftover files, locked until removed
#if !defined(_WIN32)
    files::Fd folderFd_;
#endif
};

// A drained record as the spool keeps it and as `--json` prints it: "source" ("main" or "acl")
// and the record's fields, decoded as the Nuvex drivers lay them out.
Json MainLogRecord(const LogEntry& entry);
Json AclLogRecord(const AccLogRecord& record);
// The same record as a table row: time, event, process, text.
std::vector<std::string> LogRow(const Json& record);

}  // namespace nuvexctl
