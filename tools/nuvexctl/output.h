// What the tool prints: aligned tables for people, one JSON document for scripts, errors on
// standard error with the failing operation, its result code and what the code means.
#pragma once

#include <cstdint>
#include <csignal>
#include <string>
#include <vector>

#include "nuvexctrl.h"
#include "text.h"

namespace nuvexctl {

struct Settings {
    bool json = false;
    bool quiet = false;    // -q: no progress, no confirmations; results and errors still shown
    bool verbose = false;  // -v: also what the run does, step by step, on standard error
};

Settings& CurrentSettings();

// Exit statuses. Every verb ends with one of these, and the same failure gives the same status
// whatever the verb: an input file that is missing or cannot be read is kExitFailed everywhere,
// kExitUsage is only for a command line that cannot be understood.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// `state apply --detailed-exitcode`: changes were made (or would be, with --dry-run). The
// convention of declared-state tools, which scripts test for.
constexpr int kExitChanged = 2;
// `status --check`: a driver named is not running (the convention of service managers).
constexpr int kExitNotRunning = 3;
// Interrupted runs end as a shell shows a program ended by the signal: 128 + its number.
constexpr int kExitHangUp = 129;
constexpr int kExitInterrupted = 130;
constexpr int kExitTerminated = 143;
// The reader of standard output went away (`nuvexctl codes | head -1`): the status a shell
// shows for a program ended by SIGPIPE, reached without the signal and without a message.
constexpr int kExitClosedPipe = 141;

// The exit statuses with their meanings, in the order the manual lists them: the one table the
// manual page and docs/nuvexctl.md are made from.
struct ExitStatusInfo {
    int status;
    const char* meaning;
};
const std::vector<ExitStatusInfo>& ExitStatusTable();

// Reports a failed export: "nuvexctl: <export>: <operation> failed: <meaning> (<code>)" on
// stderr and, with --json, {"ok": false, "error": {...}} on stdout. Returns kExitFailed.
// File names and driver texts in `operation` may hold any bytes: they are shown escaped.
int ReportFailure(const std::string& operation, const char* exportName, uint32_t code);
// Reports a failure that is not a result code (missing file, bad argument).
int ReportError(const std::string& message, int status = kExitFailed);
// A warning on stderr only (the run goes on).
void Warn(const std::string& message);

// Prints a table with a header row and columns padded to their widest cell.
void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);
// Prints the JSON document (with --json) and returns kExitOk. A run prints at most one
// document: a later one (an error after a summary) goes to stderr only.
// The version of the shapes of the tool's JSON documents (docs/schema/), the first key of
// every document: raised when a shape changes in a way a reader must know of.
constexpr int kJsonSchemaVersion = 1;

int PrintJson(const Json& document);
// Writes `document` on one line and flushes: one record of a JSON Lines stream.
void PrintJsonLine(const Json& document);

// The one JSON document of a run whose list may be long, printed as it is made rather than
// held whole: the fields of `head`, then `key` with the items given to Add, in the layout
// PrintJson gives. Nothing is printed when another document was printed first.
class StreamedDocument {
public:
    StreamedDocument(const Json& head, const std::string& key);
    ~StreamedDocument();
    StreamedDocument(const StreamedDocument&) = delete;
    StreamedDocument& operator=(const StreamedDocument&) = delete;
    void Add(const Json& item);

private:
    bool printing_ = false;
    bool first_ = true;
};
// The JSON text of a document; never throws on odd bytes (texts go through JsonText first, so
// replacement is only a last guard).
std::string DumpJson(const Json& document, int indent = 2);
// False once a write to standard output has failed (a closed pipe, a full disk).
bool OutputHealthy();
// True when standard output is a pipe whose reading end has been closed.
bool OutputReaderGone();
// Standard output is a pipe (whose reader takes what is written at its own pace).
bool OutputIsPipe();
// Everything written to standard output so far has been taken: flushed and, when the output is
// a pipe, read by the reader (so that a reader that goes away without reading, like
// `head -1`, has not taken it), when it is a file, on the disk (fdatasync). Waits while the
// reader lives and `*stop` stays 0.
bool OutputTaken(const volatile std::sig_atomic_t* stop = nullptr);
// Prints a confirmation or note for people on standard output (suppressed with --json and
// with --quiet).
void Say(const std::string& line);
// Prints a line that is the answer a verb was asked for (suppressed with --json only).
void SayResult(const std::string& line);
// With --verbose, a step of the run on standard error ("nuvexctl: <line>"), also with --json.
void Detail(const std::string& line);

// Progress on standard error, only on a terminal and without --quiet or --json.
bool ProgressEnabled();
void Progress(const std::string& line);
void ProgressDone();

std::string Hex(const void* data, std::size_t length);
std::string HexU32(uint32_t value);
std::string IsoTime(const NuvexSystemTime& time);

}  // namespace nuvexctl
