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
    bool quiet = false;
};

Settings& CurrentSettings();

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// `status --check`: a named driver is not running (as `systemctl is-active` says of a unit).
constexpr int kExitNotRunning = 3;
// The reader of standard output went away (`nuvexctl codes | head -1`): the status a shell
// shows for a program ended by SIGPIPE, reached without the signal and without a message.
constexpr int kExitClosedPipe = 141;

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
int PrintJson(const Json& document);
// Writes `document` on one line and flushes: one record of a JSON Lines stream.
void PrintJsonLine(const Json& document);
// The JSON text of a document; never throws on odd bytes (texts go through JsonText first, so
// replacement is only a last guard).
std::string DumpJson(const Json& document, int indent = 2);
// False once a write to standard output has failed (a closed pipe, a full disk).
bool OutputHealthy();
// True when standard output is a pipe whose reading end has been closed.
bool OutputReaderGone();
// Everything written to standard output so far has been taken: flushed and, when the output is
// a pipe, read by the reader (so that a reader that goes away without reading, like
// `head -1`, has not taken it). Waits while the reader lives and `*stop` stays 0.
bool OutputTaken(const volatile std::sig_atomic_t* stop = nullptr);
// Prints a line for people (suppressed with --json).
void Say(const std::string& line);

// Progress on standard error, only on a terminal and without --quiet or --json.
bool ProgressEnabled();
void Progress(const std::string& line);
void ProgressDone();

std::string Hex(const void* data, std::size_t length);
std::string HexU32(uint32_t value);
std::string IsoTime(const NuvexSystemTime& time);

}  // namespace nuvexctl
