// `nuvexctl log follow`: the drivers' logs as a stream for log shippers. Each poll drains the
// main driver's log (and, with --acl, the access-control log) and writes every record at once,
// one line each (one JSON object per line with --json), until the run is interrupted. A record
// the driver has given up is written before the next poll and before an interrupt is obeyed.
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>
#include <vector>

#include "commands.h"
#include "nuvexctrl.h"
#include "output.h"
#include "result_codes.h"
#include "spool.h"
#include "text.h"

namespace nuvexctl {
namespace {

volatile std::sig_atomic_t g_stop = 0;

// Codes of the two log reads, looked up in the result table when first needed.
bool Is(const char* exportName, const char* name, uint32_t code) { return code == ResultCode(exportName, name); }

extern "C" void StopFollowing(int) { g_stop = 1; }

void WriteRecord(const Json& record) {
    if (CurrentSettings().json) return PrintJsonLine(record);
    std::vector<std::string> row = LogRow(record);
    std::cout << record.value("source", "main") << " " << row[0] << " " << row[1] << " " << row[2] << " " << row[3] << "\n";
}

// Writes records out; the spool lets go of them once the output has taken them. A pipe's reader
// takes them one by one: what it has not read when it goes, or when the run is interrupted
// while a record waits to be read, stays in the spool for the next run. A file takes the
// whole batch once it is on the disk, with one sync. False when the output is gone or did not
// take the records.
bool WriteOut(LogSpool& spool, const std::vector<Json>& records) {
    if (records.empty()) {
        spool.Written();  // nothing new: at most empty leftover files to let go of
        return true;
    }
    const bool pipe = OutputIsPipe();
    for (std::size_t i = 0; i < records.size(); ++i) {
        WriteRecord(records[i]);
        if (pipe && !OutputTaken(&g_stop)) {
            spool.Pending(std::vector<Json>(records.begin() + static_cast<std::ptrdiff_t>(i), records.end()));
            return false;
        }
    }
    if (!OutputTaken()) return false;
    spool.Written();
    return true;
}

// Drains the main driver's log into the spool and writes it; false (reported) when the log
// cannot be read or the output is gone.
bool PollMain(LogSpool& spool, bool& driverGone) {
    LogEntry* list = nullptr;
    uint32_t count = 0;
    uint32_t code = NuvexCtrl_GetLog(&list, &count);
    std::vector<Json> records;
    for (LogEntry* e = list; e != nullptr; e = e->next) records.push_back(MainLogRecord(*e));
    NuvexCtrl_FreeLog(list);
    std::string why;
    if (!spool.Append(records, why)) Warn(why);
    if (!WriteOut(spool, records)) return false;
    driverGone = false;
    if (code == 0) return true;
    // Out of memory for some records, or a walk stopped at its bound: what was fetched is
    // written and the next poll goes on from there.
    if (Is("NuvexCtrl_GetLog", "NoMemory", code) || code == NUVEX_E_WALK_BOUND_REACHED) {
        Warn("the log was not read whole: " + DescribeResult("NuvexCtrl_GetLog", code) + " (" + std::to_string(code) + ")");
        return true;
    }
    // A driver that is not reachable (restarting) is waited for; the run goes on. A request
    // cut off by a driver that is going away fails as a request: then the driver is asked
    // whether it is still there.
    DriverStatus status{};
    if (Is("NuvexCtrl_GetLog", "NoDevice", code) ||
        (Is("NuvexCtrl_GetLog", "RequestFailed", code) && NuvexCtrl_GetDriverStatus(&status) != 0)) {
        driverGone = true;
        return true;
    }
    ReportFailure("following the log", "NuvexCtrl_GetLog", code);
    return false;
}

bool PollAcl(LogSpool& spool, bool& driverGone) {
    AccLogRecord* list = nullptr;
    uint32_t code = NuvexAccCtrl_GetLog(&list);
    // The list is newest first; the stream runs oldest first.
    std::vector<Json> records;
    std::vector<const AccLogRecord*> newestFirst;
    for (AccLogRecord* r = list; r != nullptr; r = r->next) newestFirst.push_back(r);
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) records.push_back(AclLogRecord(**it));
    NuvexAccCtrl_FreeLog(list);
    std::string why;
    if (!spool.Append(records, why)) Warn(why);
    if (!WriteOut(spool, records)) return false;
    driverGone = false;
    if (code == 0) return true;
    if (code == NUVEX_E_WALK_BOUND_REACHED) {
        Warn("the access-control log was not read whole: " + DescribeResult("NuvexAccCtrl_GetLog", code) + " (" +
             std::to_string(code) + ")");
        return true;
    }
    if (Is("NuvexAccCtrl_GetLog", "NoDevice", code)) {
        driverGone = true;
        return true;
    }
    ReportFailure("following the access-control log", "NuvexAccCtrl_GetLog", code);
    return false;
}

int Follow(uint32_t intervalMs, bool acl) {
    LogSpool mainSpool("main"), aclSpool("acl");
    std::string why;
    if (!mainSpool.Open(why) || (acl && !aclSpool.Open(why)))
        return ReportError("the log was left in the driver: " + why);
    // What earlier runs drained and could not write comes first.
    if (!WriteOut(mainSpool, mainSpool.Leftovers()) || (acl && !WriteOut(aclSpool, aclSpool.Leftovers())))
        return OutputReaderGone() ? kExitClosedPipe : kExitFailed;

    uint32_t logging = 1;
    if (NuvexCtrl_IsLogging(&logging) == 0 && logging == 0)
        Warn("the main driver is not logging: nothing arrives until `nuvexctl log on`");

    g_stop = 0;
    auto previousInt = std::signal(SIGINT, StopFollowing);
    auto previousTerm = std::signal(SIGTERM, StopFollowing);
    int status = kExitOk;
    bool mainGone = false, aclGone = false, warnedGone = false;
    while (status == kExitOk) {
        // A poll that begins after the interrupt is the last: it drains what was logged up to
        // the interrupt, and the run ends once that is written.
        bool last = g_stop != 0;
        if (!PollMain(mainSpool, mainGone) || (acl && !PollAcl(aclSpool, aclGone)))
            status = OutputHealthy() ? kExitFailed : (OutputReaderGone() ? kExitClosedPipe : kExitFailed);
        if (status == kExitOk && (mainGone || aclGone) != warnedGone) {
            warnedGone = mainGone || aclGone;
            Warn(warnedGone ? "a driver is not reachable; waiting for it to come back"
                            : "the drivers are reachable again; following on");
        }
        if (last || status != kExitOk) break;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
        while (!g_stop && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(intervalMs, 50)));
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    return status;
}

}  // namespace

void AddLogFollowCommand(CLI::App* log) {
    static uint32_t intervalMs = 1000;
    static bool acl = false;
    auto* follow = log->add_subcommand("follow", "Write log records as they arrive until interrupted");
    AddNumber(follow, "--interval", intervalMs, "Milliseconds between polls, 10 to 3600000 (default 1000)", 3600000);
    follow->add_flag("--acl", acl, "Also follow the access-control log");
    follow->footer(Example("nuvexctl --json log follow --acl --interval 500 >> /var/log/nuvex.jsonl"));
    Bind(follow, [] {
        if (intervalMs < 10) return ReportError("--interval takes 10 to 3600000 milliseconds", kExitUsage);
        return Follow(intervalMs, acl);
    });
}

}  // namespace nuvexctl
