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
#include "text.h"

namespace nuvexctl {
namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void StopFollowing(int) { g_stop = 1; }

void WriteMainRecord(const LogEntry& e) {
    std::string time = IsoTime(e.time);
    if (CurrentSettings().json) {
        PrintJsonLine({{"source", "main"}, {"time", time}, {"value1", e.value1}, {"value2", e.value2},
                       {"data", Hex(e.data, sizeof e.data)}, {"text", JsonText(e.text)}});
    } else {
        std::cout << "main " << time << " " << HexU32(e.value1) << " " << HexU32(e.value2) << " " << Shown(e.text)
                  << "\n" << std::flush;
    }
}

void WriteAclRecord(const AccLogRecord& r) {
    if (CurrentSettings().json) {
        PrintJsonLine({{"source", "acl"}, {"data", Hex(r.data, sizeof r.data)}});
    } else {
        std::cout << "acl record (" << sizeof r.data << " bytes)\n";
        for (const auto& line : HexDump(r.data, sizeof r.data)) std::cout << "  " << line << "\n";
        std::cout << std::flush;
    }
}

// Drains and writes the main driver's log; false (reported) when the log cannot be read.
bool PollMain() {
    LogEntry* list = nullptr;
    uint32_t count = 0;
    uint32_t code = NuvexCtrl_GetLog(&list, &count);
    for (LogEntry* e = list; e != nullptr; e = e->next) WriteMainRecord(*e);
    NuvexCtrl_FreeLog(list);
    if (code == 0) return true;
    // Out of memory for some records, or a walk stopped at its bound: what was fetched is
    // written and the next poll goes on from there.
    if (code == 147 || code == NUVEX_E_WALK_BOUND_REACHED) {
        Warn("the log was not read whole: " + DescribeResult("NuvexCtrl_GetLog", code) + " (" + std::to_string(code) + ")");
        return true;
    }
    ReportFailure("following the log", "NuvexCtrl_GetLog", code);
    return false;
}

bool PollAcl() {
    AccLogRecord* list = nullptr;
    uint32_t code = NuvexAccCtrl_GetLog(&list);
    // The list is newest first; the stream runs oldest first.
    std::vector<const AccLogRecord*> records;
    for (AccLogRecord* r = list; r != nullptr; r = r->next) records.push_back(r);
    for (auto it = records.rbegin(); it != records.rend(); ++it) WriteAclRecord(**it);
    NuvexAccCtrl_FreeLog(list);
    if (code == 0) return true;
    if (code == NUVEX_E_WALK_BOUND_REACHED) {
        Warn("the access-control log was not read whole: " + DescribeResult("NuvexAccCtrl_GetLog", code) + " (" +
             std::to_string(code) + ")");
        return true;
    }
    ReportFailure("following the access-control log", "NuvexAccCtrl_GetLog", code);
    return false;
}

int Follow(uint32_t intervalMs, bool acl) {
    g_stop = 0;
    auto previousInt = std::signal(SIGINT, StopFollowing);
    auto previousTerm = std::signal(SIGTERM, StopFollowing);
    int status = kExitOk;
    while (status == kExitOk) {
        // A poll that begins after the interrupt is the last: it drains what was logged up to
        // the interrupt, and the run ends once that is written.
        bool last = g_stop != 0;
        if (!PollMain() || (acl && !PollAcl())) status = kExitFailed;
        if (!OutputHealthy()) status = kExitFailed;  // nobody reads the stream any more
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
