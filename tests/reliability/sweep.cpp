#include "sweep.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/host/host_hooks.h"

namespace nuvex::reliability {
namespace {

const char* FaultName(Fault fault, int kind) {
    static const char* kinds[] = {"open", "read", "write", "flush", "move", "delete", "set-attributes"};
    switch (fault) {
    case Fault::Alloc: return "allocation";
    case Fault::AllocFromOn: return "allocations from the k-th on";
    case Fault::ShortWrite: return "short write";
    case Fault::FileOp: return kinds[kind];
    case Fault::FileOpFromOn: return kinds[kind];
    }
    return "?";
}

void Arm(Fault fault, int kind, uint32_t k) {
    switch (fault) {
    case Fault::Alloc: NuvexTest_HeapFailAt(k, 0); break;
    case Fault::AllocFromOn: NuvexTest_HeapFailAt(k, 1); break;
    case Fault::FileOp: NuvexHost_FailFileOp(kind, k, 0); break;
    case Fault::FileOpFromOn: NuvexHost_FailFileOp(kind, k, 1); break;
    case Fault::ShortWrite: NuvexHost_ShortWrite(k, 1); break;
    }
}

// Whether the run got as far as the k-th operation that the fault counts.
bool Reached(Fault fault, int kind, uint32_t k) {
    switch (fault) {
    case Fault::Alloc:
    case Fault::AllocFromOn: return NuvexTest_HeapAllocCount() >= k;
    case Fault::FileOp:
    case Fault::FileOpFromOn: return NuvexHost_FileOpCount(kind) >= k;
    case Fault::ShortWrite: return NuvexHost_FileOpCount(kNuvexFaultWrite) >= k;
    }
    return false;
}

void Disarm() {
    NuvexTest_HeapFailAt(0, 0);
    NuvexHost_ResetFaults();
}

}  // namespace

Totals& GlobalTotals() {
    static Totals totals;
    return totals;
}

SweepFigures Sweep(const Scenario& scenario, Fault fault, int kind) {
    SweepFigures figures;
    constexpr uint32_t kLimit = 20000;
    for (uint32_t k = 1; k <= kLimit; ++k) {
        SCOPED_TRACE(scenario.name + ": " + FaultName(fault, kind) + " #" + std::to_string(k));
        if (scenario.prepare) scenario.prepare();
        if (::testing::Test::HasFatalFailure()) return figures;
        Disarm();
        uint32_t liveBefore = NuvexTest_HeapLiveBlocks();
        uint32_t handlesBefore = NuvexHost_OpenHandleCount();
        Arm(fault, kind, k);
        uint32_t result = scenario.run();
        bool reached = Reached(fault, kind, k);
        Disarm();
        ++figures.runs;
        EXPECT_EQ(NuvexTest_HeapLiveBlocks(), liveBefore) << "heap blocks leaked";
        EXPECT_EQ(NuvexHost_OpenHandleCount(), handlesBefore) << "handles leaked";
        if (scenario.verify) scenario.verify(result);
        if (!reached) {
            EXPECT_EQ(result, 0u) << "fails without an injected fault";
            break;
        }
        ++figures.sitesReached;
        if (result != 0) {
            figures.codes.insert(result);
            if (!scenario.codes.empty())
                EXPECT_TRUE(scenario.codes.count(result)) << "undocumented result " << result;
        } else if (!scenario.toleratesFaults &&
                   (fault == Fault::Alloc || fault == Fault::AllocFromOn)) {
            // A failed allocation must not be reported as success (outputs were checked by run).
            ADD_FAILURE() << "success reported although allocation #" << k << " failed";
        }
        if (k == kLimit) ADD_FAILURE() << "sweep did not end";
        if (::testing::Test::HasFailure()) break;  // one report per scenario is enough
    }
    Totals& totals = GlobalTotals();
    totals.exports.insert(scenario.name.substr(0, scenario.name.find(' ')));
    if (fault == Fault::Alloc || fault == Fault::AllocFromOn) {
        totals.allocRuns += figures.runs;
        totals.allocSites += figures.sitesReached;
    } else {
        totals.ioRuns += figures.runs;
        totals.ioSites += figures.sitesReached;
    }
    return figures;
}

void SweepAll(const Scenario& scenario, bool fileOps) {
    Sweep(scenario, Fault::Alloc);
    Sweep(scenario, Fault::AllocFromOn);
    if (!fileOps) return;
    for (int kind = 0; kind < kNuvexFaultKinds; ++kind) {
        Sweep(scenario, Fault::FileOp, kind);
        Sweep(scenario, Fault::FileOpFromOn, kind);
    }
    Sweep(scenario, Fault::ShortWrite);
}

std::string FileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<absent>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    return std::to_string(text.size()) + ":" + std::to_string(std::hash<std::string>{}(text));
}

std::set<std::string> DirectoryEntries(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        ::closedir(dir);
    }
    return names;
}

namespace {
// Prints the figures when the program ends.
struct TotalsPrinter : ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        const Totals& t = GlobalTotals();
        std::printf("sweep figures: exports %zu, allocation runs %llu (sites reached %llu), "
                    "file-operation runs %llu (sites reached %llu)\n",
                    t.exports.size(), static_cast<unsigned long long>(t.allocRuns),
                    static_cast<unsigned long long>(t.allocSites),
                    static_cast<unsigned long long>(t.ioRuns),
                    static_cast<unsigned long long>(t.ioSites));
    }
};
const bool g_printerInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TotalsPrinter);
    return true;
}();
}  // namespace

}  // namespace nuvex::reliability
