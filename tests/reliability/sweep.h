// Fault sweeps: run one export again and again while the k-th allocation (or the k-th file
// operation of one kind, or the k-th write as a short write) fails, and check after every run
// that nothing leaked and that the user's files are either as before or the complete result.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace nuvex::reliability {

struct Scenario {
    std::string name;
    // Puts the world back before each run (files, driver state); may be empty.
    std::function<void()> prepare;
    // Calls the export, checks its outputs against the expected ones when it reports success
    // and releases whatever it handed out; returns the result code.
    std::function<uint32_t()> run;
    // Called after each run with its result: user files unchanged or the complete result,
    // no stray files. May be empty.
    std::function<void(uint32_t result)> verify;
    // Failure codes the export may return under an injected fault (empty: any non-zero code).
    std::set<uint32_t> codes;
    // True when the export may report success although a fault was injected (the fault hit
    // an operation whose failure the export tolerates by design, e.g. a best-effort clean-up).
    bool toleratesFaults = false;
};

enum class Fault { Alloc, AllocFromOn, FileOp, FileOpFromOn, ShortWrite };

struct SweepFigures {
    uint32_t runs = 0;
    uint32_t sitesReached = 0;
    std::set<uint32_t> codes;
};

// Runs the sweep of `fault` (for file operations: of `kind`) over the scenario until a run
// succeeds without reaching the injected fault. Failures are reported through gtest.
SweepFigures Sweep(const Scenario& scenario, Fault fault, int kind = 0);

// Every sweep of a scenario: allocations (k-th and from the k-th on), each file-operation
// kind in both modes and short writes.
void SweepAll(const Scenario& scenario, bool fileOps);

// Figures over the whole program, printed at exit (docs/reliability.md quotes them).
struct Totals {
    std::set<std::string> exports;
    uint64_t allocRuns = 0, allocSites = 0, ioRuns = 0, ioSites = 0;
};
Totals& GlobalTotals();

// Whole-file content digest and directory listings for the file checks.
std::string FileDigest(const std::string& path);
std::set<std::string> DirectoryEntries(const std::string& directory);

}  // namespace nuvex::reliability
