// Failures while encrypting and decrypting: whatever fails, the file being replaced stays
// byte for byte as it was and no temporary file is left, or the call succeeds completely.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <signal.h>
#include <thread>

#include "document/document_io.h"
#include "document_fixture.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

using document::kCopyChunkSize;
using document::kCopySlots;

class CopyFaults : public DocumentTest {
protected:
    const std::string plain_ = RandomBytes(2 * kCopyChunkSize + 1000, 21);

    // Runs `call` with the kth operation of `kind` failing (or, for kind < 0, the kth write
    // short by all but 10 bytes), for k = 1..maxK; returns the results.
    template <typename Call>
    std::vector<uint32_t> Sweep(int kind, uint32_t maxK, Call call) {
        std::vector<uint32_t> results;
        for (uint32_t k = 1; k <= maxK; ++k) {
            SCOPED_TRACE("fault at operation " + std::to_string(k) + " of kind " +
                         std::to_string(kind));
            if (kind < 0)
                NuvexHost_ShortWrite(k, 10);
            else
                NuvexHost_FailFileOp(kind, k, 0);
            results.push_back(call());
            NuvexHost_ResetFaults();
        }
        return results;
    }

    // Encrypts a fresh copy of the plain file under a fault; checks the outcome.
    uint32_t EncryptUnderFault() { return EncryptUnderFault(plain_); }
    uint32_t EncryptUnderFault(const std::string& plain) {
        std::string path = PlainFile("p", plain);
        uint32_t result = NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0);
        NuvexHost_ResetFaults();
        auto decryptsToPlain = [&](const std::string& document) {
            std::string out = Scratch("check");
            EXPECT_EQ(NuvexCtrl_DecryptFile(document.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
            EXPECT_TRUE(ReadFileBytes(out) == plain);
            std::filesystem::remove(out);
        };
        if (result == 0) {
            decryptsToPlain(path);
        } else {
            EXPECT_TRUE(ReadFileBytes(path) == plain) << "result " << result;
        }
        if (result == 776) {  // a failed replace keeps the complete document beside the file
            decryptsToPlain(path + ".lumadtmp1");
            std::filesystem::remove(path + ".lumadtmp1");
        }
        EXPECT_EQ(ScratchNames(), std::vector<std::string>{"p"}) << "result " << result;
        return result;
    }

    // Decrypts a fresh document under a fault, in place or onto an existing target.
    // The document the decrypt sweeps start from (made before any fault is armed).
    void MakeDocumentImage() {
        std::string made = Document("made", plain_);
        document_ = ReadFileBytes(made);
        std::filesystem::remove(made);
    }

    uint32_t DecryptUnderFault(bool inPlace) {
        const std::string& document = document_;
        std::string path = PlainFile("d", document);
        std::string target = PlainFile("t", "the old target");
        uint32_t result = inPlace ? NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0)
                                  : NuvexCtrl_DecryptFile(path.c_str(), 1, target.c_str(), 0,
                                                          nullptr, 0);
        NuvexHost_ResetFaults();
        if (result == 0) {
            EXPECT_TRUE(ReadFileBytes(inPlace ? path : target) == plain_);
            if (!inPlace) EXPECT_TRUE(ReadFileBytes(path) == document);
        } else {
            EXPECT_TRUE(ReadFileBytes(path) == document) << "result " << result;
            EXPECT_EQ(ReadFileBytes(target), "the old target") << "result " << result;
        }
        EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"d", "t"})) << "result " << result;
        return result;
    }

    std::string document_;
};

// Every kind of file-operation fault, and -1 for a short write.
const int kEveryFault[] = {kNuvexFaultOpen,   kNuvexFaultRead,   kNuvexFaultWrite,
                           kNuvexFaultFlush,  kNuvexFaultMove,   kNuvexFaultDelete,
                           kNuvexFaultSetAttributes, -1};

bool Contains(const std::vector<uint32_t>& results, uint32_t code) {
    return std::find(results.begin(), results.end(), code) != results.end();
}

TEST_F(CopyFaults, EncryptWithFailingReads) {
    auto results = Sweep(kNuvexFaultRead, 6, [&] { return EncryptUnderFault(); });
    EXPECT_TRUE(Contains(results, NUVEX_E_PLAIN_READ_FAILED));
    for (uint32_t r : results) EXPECT_TRUE(r == 0 || r == NUVEX_E_PLAIN_READ_FAILED) << r;
}

TEST_F(CopyFaults, EncryptWithFailingOrShortWrites) {
    for (int kind : {static_cast<int>(kNuvexFaultWrite), -1}) {
        auto results = Sweep(kind, 5, [&] { return EncryptUnderFault(); });
        EXPECT_EQ(results.front(), 780u);  // the header
        EXPECT_TRUE(Contains(results, NUVEX_E_TEMP_WRITE_FAILED));
        EXPECT_EQ(results.back(), 0u);
    }
}

// A copy longer than the ring of chunk buffers, with the reading and writing threads well
// ahead or behind: a late failure still stops the copy with the failing side's code.
TEST_F(CopyFaults, LateFaultsInACopyLongerThanTheChunkRing) {
    const std::string plain = RandomBytes((kCopySlots + 2) * kCopyChunkSize + 1000, 22);
    std::string path = PlainFile("p", plain);
    NuvexHost_ResetFaults();
    ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    const uint32_t reads = NuvexHost_FileOpCount(kNuvexFaultRead);
    const uint32_t writes = NuvexHost_FileOpCount(kNuvexFaultWrite);
    NuvexHost_ResetFaults();
    std::filesystem::remove(path);
    ASSERT_GT(writes, kCopySlots + 2);

    for (uint32_t k : {writes, writes - kCopySlots}) {
        SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(writes));
        NuvexHost_FailFileOp(kNuvexFaultWrite, k, 0);
        EXPECT_EQ(EncryptUnderFault(plain), NUVEX_E_TEMP_WRITE_FAILED);
    }
    // The last read is the probe for bytes beyond the copied ones.
    for (uint32_t k : {reads - 1, reads - 1 - kCopySlots}) {
        SCOPED_TRACE("read " + std::to_string(k) + " of " + std::to_string(reads));
        NuvexHost_FailFileOp(kNuvexFaultRead, k, 0);
        EXPECT_EQ(EncryptUnderFault(plain), NUVEX_E_PLAIN_READ_FAILED);
    }
}

TEST_F(CopyFaults, EncryptFlushesBeforeReplacing) {
    auto results = Sweep(kNuvexFaultFlush, 1, [&] { return EncryptUnderFault(); });
    EXPECT_EQ(results.front(), NUVEX_E_TEMP_FLUSH_FAILED);
    std::string path = PlainFile("q", "flushed");
    NuvexHost_ResetFaults();
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultFlush), 1u);
}

TEST_F(CopyFaults, EncryptWithFailingOpensDeletesOrAttributeChanges) {
    for (int kind : {static_cast<int>(kNuvexFaultOpen), static_cast<int>(kNuvexFaultDelete),
                     static_cast<int>(kNuvexFaultSetAttributes)}) {
        auto results = Sweep(kind, 6, [&] { return EncryptUnderFault(); });
        for (uint32_t r : results) EXPECT_TRUE(r == 0 || r == 797 || r == 807 || r == 776) << r;
    }
}

TEST_F(CopyFaults, EncryptFailedReplaceKeepsTheCompleteTemporaryFile) {
    std::string path = PlainFile("p", plain_);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 776u);
    NuvexHost_ResetFaults();
    EXPECT_TRUE(ReadFileBytes(path) == plain_);
    EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    std::string temp = path + ".lumadtmp1";
    ASSERT_TRUE(FileExists(temp));
    std::string out = Scratch("out");
    EXPECT_EQ(NuvexCtrl_DecryptFile(temp.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
    EXPECT_TRUE(ReadFileBytes(out) == plain_);
}

TEST_F(CopyFaults, DecryptInPlaceUnderEveryKindOfFault) {
    MakeDocumentImage();
    for (int kind : kEveryFault) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        auto results = Sweep(kind, 8, [&] { return DecryptUnderFault(true); });
        EXPECT_EQ(results.back(), 0u);
    }
}

TEST_F(CopyFaults, DecryptOntoAnExistingTargetUnderEveryKindOfFault) {
    MakeDocumentImage();
    for (int kind : kEveryFault) {
        auto results = Sweep(kind, 8, [&] { return DecryptUnderFault(false); });
        EXPECT_EQ(results.back(), 0u);
    }
}

TEST_F(CopyFaults, DecryptReportsWhatFailed) {
    MakeDocumentImage();
    // The first open is the document's, for its test and the whole decryption.
    NuvexHost_FailFileOp(kNuvexFaultOpen, 1, 0);
    EXPECT_EQ(DecryptUnderFault(false), NUVEX_E_DOC_OPEN_FAILED);
    NuvexHost_FailFileOp(kNuvexFaultRead, 3, 0);  // a body read
    EXPECT_EQ(DecryptUnderFault(false), NUVEX_E_DOC_READ_FAILED);
    NuvexHost_FailFileOp(kNuvexFaultWrite, 2, 0);
    EXPECT_EQ(DecryptUnderFault(false), NUVEX_E_TEMP_WRITE_FAILED);
    NuvexHost_ShortWrite(1, 100);
    EXPECT_EQ(DecryptUnderFault(true), NUVEX_E_TEMP_WRITE_FAILED);
    NuvexHost_FailFileOp(kNuvexFaultFlush, 1, 0);
    EXPECT_EQ(DecryptUnderFault(true), NUVEX_E_TEMP_FLUSH_FAILED);
    NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0);
    EXPECT_EQ(DecryptUnderFault(true), NUVEX_E_REPLACE_FAILED);
}

TEST_F(CopyFaults, FailedReplaceKeepsAReadOnlyTargetReadOnly) {
    std::string doc = Document("doc", "new");
    std::string target = PlainFile("target", "old");
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target.c_str(), 0, nullptr, 0),
              NUVEX_E_REPLACE_FAILED);
    NuvexHost_ResetFaults();
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_NE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"doc", "target"}));
}

// ---- shrinking documents, long paths, oversized files, memory --------------------------

// While this process handles SIGURG itself, the library takes no lease (the lease's signal
// would reach the handler): writers of other programs are then noticed by what they change.
class UnwatchedWriters {
public:
    UnwatchedWriters() {
        struct sigaction handler {};
        handler.sa_handler = [](int) {};
        ::sigaction(SIGURG, &handler, &previous_);
    }
    ~UnwatchedWriters() { ::sigaction(SIGURG, &previous_, nullptr); }

private:
    struct sigaction previous_ {};
};

TEST_F(CopyFaults, DocumentShrunkAfterTheTest) {
    UnwatchedWriters unwatched;
    std::string doc = Document("doc", RandomBytes(kCopyChunkSize, 2));
    std::string out = Scratch("out");
    OnDebugMessage("enter de", [&] { std::filesystem::resize_file(doc, 100); });
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, out.c_str(), 0, nullptr, 0),
              NUVEX_E_DOC_SHRUNK);
    EXPECT_EQ(ScratchNames(), std::vector<std::string>{"doc"});

    // Shrunk in the middle of the body: not read whole.
    doc = Document("doc2", RandomBytes(kCopyChunkSize, 2));
    OnDebugMessage("222", [&] { std::filesystem::resize_file(doc, 4096 + 10); });
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0),
              NUVEX_E_DOC_READ_FAILED);
    EXPECT_EQ(ReadFileBytes(doc).size(), 4096u + 10);
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"doc", "doc2"}));
}

TEST_F(CopyFaults, TargetPathsOf260CharactersOrMore) {
    std::string doc = Document("doc", "content");
    std::string dir = Scratch("");
    // A target of exactly 259 characters is accepted.
    const std::size_t nameLength = 100;
    std::string sub = dir + std::string(259 - dir.size() - nameLength - 1, 's');
    std::filesystem::create_directory(sub);
    std::string target259 = sub + "/" + std::string(nameLength, 'n');
    ASSERT_EQ(target259.size(), 259u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target259.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(target259), "content");

    std::string target260 = target259 + "x";
    std::string before = ReadFileBytes(doc);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target260.c_str(), 0, nullptr, 0),
              NUVEX_E_PATH_TOO_LONG);
    std::string target600 = sub + "/" + std::string(250, 'a') + "/" + std::string(250, 'b');
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target600.c_str(), 0, nullptr, 0),
              NUVEX_E_PATH_TOO_LONG);
    EXPECT_FALSE(FileExists(target260));
    EXPECT_EQ(ReadFileBytes(doc), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sub),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(CopyFaults, FilesTooLargeForTheFormat) {
    // Sparse files: nothing is read before the size is checked.
    std::string plain = Scratch("huge");
    { std::ofstream create(plain); }
    std::filesystem::resize_file(plain, (uint64_t{1} << 32) - 4113);
    EXPECT_EQ(NuvexCtrl_EncryptFile(plain.c_str(), 0, nullptr, 0), NUVEX_E_FILE_TOO_LARGE);
    EXPECT_EQ(std::filesystem::file_size(plain), (uint64_t{1} << 32) - 4113);
    EXPECT_EQ(ScratchNames(), std::vector<std::string>{"huge"});

    // A header at the start of a file of 4 GiB + 4096 bytes: the document test sees 4096
    // bytes (the low 32 bits of the size) and says "document".
    std::string header = ReadFileBytes(Document("doc", "")).substr(0, 4096);
    std::string big = PlainFile("big", header);
    std::filesystem::resize_file(big, (uint64_t{1} << 32) + 4096);
    std::string out = Scratch("out");
    EXPECT_EQ(NuvexCtrl_DecryptFile(big.c_str(), 1, out.c_str(), 0, nullptr, 0),
              NUVEX_E_FILE_TOO_LARGE);
    EXPECT_FALSE(FileExists(out));
}

uint64_t PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
    return 0;
}

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

TEST_F(CopyFaults, LargeDocumentsStreamInBoundedMemory) {
    const std::size_t size = 32u << 20;
    std::string doc = Document("big", RandomBytes(size, 5));
    std::string out = Scratch("out");
    if (!ResetPeakResident()) GTEST_SKIP() << "peak resident size cannot be reset here";
    const uint64_t before = PeakResidentKiB();
    ASSERT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
    ASSERT_EQ(NuvexCtrl_EncryptFile(out.c_str(), 0, nullptr, 0), 0u);
    const uint64_t after = PeakResidentKiB();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizer runtimes add shadow memory and quarantines of their own to the peak.
    EXPECT_LT(after - before, 16u * 1024) << "KiB more at the peak";
#else
    (void)before;
    (void)after;
#endif
    EXPECT_EQ(std::filesystem::file_size(out), 4096 + size);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The replaced file keeps its permissions, a new target gets the document's, and the
// temporary file of plain bytes is its creator's alone from the call that creates it, whatever
// the process's umask.
TEST_F(CopyFaults, PlainBytesAreNeverMoreReadableThanTheirSource) {
    mode_t tempMode = 0;
    auto watchTemporaryFile = [&](const std::string& target) {
        tempMode = 0;
        OnDebugMessage("WriteFile", [&, target] { tempMode = ModeOf(target + ".lumadtmp1"); });
    };
    for (mode_t source : {mode_t{0600}, mode_t{0640}}) {
        for (mode_t mask : {mode_t{022}, mode_t{077}}) {
            SCOPED_TRACE("source " + std::to_string(source) + ", umask " + std::to_string(mask));
            const mode_t previousMask = ::umask(mask);
            std::string path = PlainFile("p", "private");
            ASSERT_EQ(::chmod(path.c_str(), source), 0);
            ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
            EXPECT_EQ(ModeOf(path), source) << "encrypted";

            watchTemporaryFile(path);
            ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
            EXPECT_EQ(tempMode, 0600u) << "in place, while written";
            EXPECT_EQ(ModeOf(path), source) << "decrypted in place";

            ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
            std::string out = Scratch("out");
            watchTemporaryFile(out);
            ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
            EXPECT_EQ(tempMode, 0600u) << "new target, while written";
            EXPECT_EQ(ModeOf(out), source) << "new target";
            EXPECT_EQ(ReadFileBytes(out), "private");

            // An existing target keeps its own permissions.
            ASSERT_EQ(::chmod(out.c_str(), 0604), 0);
            watchTemporaryFile(out);
            ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
            EXPECT_EQ(tempMode, 0600u) << "existing target, while written";
            EXPECT_EQ(ModeOf(out), 0604u) << "existing target";
            ::umask(previousMask);
            std::filesystem::remove(path);
            std::filesystem::remove(out);
        }
    }
    if (::geteuid() != 0) GTEST_SKIP() << "owners can be given away by root only";
    // The owner and group of the replaced file are kept; a new target takes the document's
    // group.
    std::string path = PlainFile("owned", "owned by another user");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    struct stat st {};
    ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    std::string out = Scratch("owned.out");
    ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A kill between the rename and an ownership change would leave a file of another user owned
// by the caller: the new file has its owner and group before it takes the name. Its
// permissions come only after the rename: until then it is for its owner alone, so that a
// kill never leaves a temporary file more open than that. A failed rename shows the
// temporary file as a kill there would leave it.
TEST_F(CopyFaults, NewFileIsOwnedButOwnerOnlyBeforeItsRename) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners can be given away by root only";
    std::string path = PlainFile("p", "owned by another user");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0);
    ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 776u);
    NuvexHost_ResetFaults();
    struct stat st {};
    ASSERT_EQ(::stat((path + ".lumadtmp1").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFileBytes(path), "owned by another user");
}

// Someone who may write the folder swaps the temporary file's name for a link to a file of
// the caller's elsewhere after the plain bytes are written: nothing is given to, moved onto or
// removed through the link, and the target stays as it was.
TEST_F(CopyFaults, TemporaryNameSwappedForALinkRedirectsNothing) {
    const std::string victim = Root() + "/victim";
    MakeDocumentImage();
    struct Case {
        const char* label;
        bool inPlace;
        bool existingTarget;
    };
    for (const Case& c : {Case{"in place", true, false}, Case{"existing target", false, true},
                          Case{"new target", false, false}}) {
        SCOPED_TRACE(c.label);
        WriteFileBytes(victim, "the caller's own secret");
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        std::string doc = PlainFile("d", document_);
        ASSERT_EQ(::chmod(doc.c_str(), 0644), 0);
        std::string target = c.inPlace ? doc : Scratch("t");
        if (c.existingTarget) {
            WriteFileBytes(target, "the old target");
            ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
        }
        const std::string temp = target + ".lumadtmp1";
        OnDebugMessage("WriteFile", [&] {
            std::filesystem::remove(temp);
            std::filesystem::create_symlink(victim, temp);
        });
        const uint32_t result =
            c.inPlace ? NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0)
                      : NuvexCtrl_DecryptFile(doc.c_str(), 1, target.c_str(), 0, nullptr, 0);
        EXPECT_EQ(result, NUVEX_E_REPLACE_FAILED);
        EXPECT_EQ(ModeOf(victim), 0600u);
        EXPECT_EQ(ReadFileBytes(victim), "the caller's own secret");
        EXPECT_TRUE(std::filesystem::is_symlink(temp)) << "the link is not ours to remove";
        EXPECT_TRUE(ReadFileBytes(doc) == document_);
        if (c.existingTarget) EXPECT_EQ(ReadFileBytes(target), "the old target");
        if (!c.inPlace && !c.existingTarget) EXPECT_FALSE(FileExists(target));
        std::filesystem::remove(temp);
        std::filesystem::remove(doc);
        std::filesystem::remove(target);
    }
}

// Another program's write (plain write(2), which the host's share modes cannot keep out) while
// a file is encrypted or decrypted is never replaced away: the call fails with its own code,
// the written bytes stay and no temporary file is left.
TEST_F(CopyFaults, AnotherProgramsWriteToTheSourceIsKept) {
    MakeDocumentImage();
    struct Case {
        const char* label;
        const char* message;  // a step after the call took hold of its source
        int direction;        // 0 encrypt, 1 decrypt in place, 2 decrypt to an existing target
        bool watched;         // the call may take a lease (else it compares what it saw)
    };
    const Case cases[] = {
        {"encrypt, watched", "en2", 0, true},
        {"decrypt in place, watched", "enter de", 1, true},
        {"decrypt to another file, watched", "enter de", 2, true},
        {"encrypt, unwatched", "en2", 0, false},
        {"decrypt in place, unwatched", "enter de", 1, false},
        {"decrypt to another file, unwatched", "enter de", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::optional<UnwatchedWriters> unwatched;
        if (!c.watched) unwatched.emplace();
        std::string path = PlainFile("s", c.direction == 0 ? plain_ : document_);
        std::string target = PlainFile("t", "the old target");
        const std::string written = "outside writer";  // 14 bytes, the size is unchanged
        pid_t writer = -1;
        OnDebugMessage(c.message, [&] {
            // A tick of the file system's clock passes, so the write's times differ.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            writer = ::fork();
            if (writer == 0) {
                const int fd = ::open(path.c_str(), O_WRONLY);
                const bool ok = fd >= 0 && ::pwrite(fd, written.data(), written.size(), 5000) ==
                                               static_cast<ssize_t>(written.size());
                ::_exit(ok ? 0 : 1);
            }
            // Watched, the writer's open waits until the call lets go of the file; unwatched,
            // it is done before the call goes on.
            if (!c.watched) {
                int status = -1;
                ::waitpid(writer, &status, 0);
                EXPECT_EQ(status, 0) << "the outside write failed";
                writer = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        const auto start = std::chrono::steady_clock::now();
        const uint32_t result =
            c.direction == 0   ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
            : c.direction == 1 ? NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0)
                               : NuvexCtrl_DecryptFile(path.c_str(), 1, target.c_str(), 0,
                                                       nullptr, 0);
        if (writer > 0) {
            int status = -1;
            ::waitpid(writer, &status, 0);
            EXPECT_EQ(status, 0) << "the outside write failed";
        }
        // A writer waiting on the lease is let go when the call ends, not by the kernel's
        // break timeout.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(result, NUVEX_E_SOURCE_CHANGED);
        std::string expected = c.direction == 0 ? plain_ : document_;
        expected.replace(5000, written.size(), written);
        EXPECT_TRUE(ReadFileBytes(path) == expected);
        EXPECT_EQ(ReadFileBytes(target), "the old target");
        EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"s", "t"}));
        std::filesystem::remove(path);
        std::filesystem::remove(target);
    }
}

// ---- other programs and other users on the host ------------------------------------------

// The value of the extended attribute `name` of `path` (empty when it has none).
std::string Attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
    return size > 0 ? std::string(value, static_cast<std::size_t>(size)) : std::string();
}

// A POSIX access-control list as its attribute holds it: owner rw-, user 65534 ---, group r--,
// mask r--, others r--.
std::string ListShuttingOutNobody() {
    std::string acl;
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) acl += static_cast<char>(v >> (8 * i)); };
    auto entry = [&](uint16_t tag, uint16_t perm, uint32_t id) {
        acl += static_cast<char>(tag); acl += static_cast<char>(tag >> 8);
        acl += static_cast<char>(perm); acl += static_cast<char>(perm >> 8);
        put32(id);
    };
    put32(2);
    entry(0x01, 6, 0xFFFFFFFFu);  // the owner
    entry(0x02, 0, 65534);        // user 65534: nothing
    entry(0x04, 4, 0xFFFFFFFFu);  // the owning group
    entry(0x10, 4, 0xFFFFFFFFu);  // the mask
    entry(0x20, 4, 0xFFFFFFFFu);  // others
    return acl;
}

// Whether user 65534 can open `path` for reading.
bool NobodyCanRead(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        ::_exit(::open(path.c_str(), O_RDONLY) >= 0 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Encrypting a file that has other names would leave the plain bytes under them.
TEST_F(CopyFaults, PlainFileWithOtherNamesIsRefused) {
    std::string path = PlainFile("p", "linked plain text");
    const std::string other = Scratch("other-name");
    ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), NUVEX_E_PLAIN_HAS_OTHER_NAMES);
    EXPECT_EQ(ReadFileBytes(path), "linked plain text");
    EXPECT_EQ(ReadFileBytes(other), "linked plain text");
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"other-name", "p"}));
    ASSERT_EQ(::unlink(other.c_str()), 0);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
}

// What protects the file travels with it both ways: its extended attributes and an access-
// control list that shuts one user out, who still cannot read the result.
TEST_F(CopyFaults, AccessListsAndExtendedAttributesAreCarried) {
    if (::geteuid() != 0) GTEST_SKIP() << "the check reads as another user";
    const std::string acl = ListShuttingOutNobody();
    std::string path = PlainFile("p", "not for nobody");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::setxattr(path.c_str(), "user.project", "alpha", 5, 0), 0);
    if (::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "the file system keeps no access-control lists";
    ASSERT_FALSE(NobodyCanRead(path));
    struct Step {
        const char* label;
        std::function<uint32_t()> call;
    };
    const std::string out = Scratch("out");
    const Step steps[] = {
        {"encrypt", [&] { return NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0); }},
        {"decrypt to a new file", [&] { return NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0); }},
        {"decrypt in place", [&] { return NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.label);
        ASSERT_EQ(step.call(), 0u);
        const std::string& result = std::string(step.label) == "decrypt to a new file" ? out : path;
        EXPECT_EQ(Attribute(result, "system.posix_acl_access"), acl);
        EXPECT_EQ(ModeOf(result), 0644u);
        EXPECT_FALSE(NobodyCanRead(result));
        // A new target takes the document's permissions, not its other attributes.
        if (result == path) EXPECT_EQ(Attribute(result, "user.project"), "alpha");
    }
}

// Changes that leave the content alone (access time, mode, owner, a new name, an attribute),
// made while the call runs, are no writes: the call succeeds and keeps them where they were
// made on the file it replaces.
TEST_F(CopyFaults, MetadataChangesMeanwhileDoNotFailTheCall) {
    MakeDocumentImage();
    struct Change {
        const char* label;
        std::function<void(const std::string&)> make;
    };
    const Change changes[] = {
        {"access time", [](const std::string& p) {
             const struct timespec times[2] = {{1, 0}, {0, UTIME_OMIT}};
             ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
         }},
        {"mode", [](const std::string& p) { ASSERT_EQ(::chmod(p.c_str(), 0640), 0); }},
        {"group", [](const std::string& p) { ASSERT_EQ(::chown(p.c_str(), -1, ::getegid()), 0); }},
        {"attribute", [](const std::string& p) { ASSERT_EQ(::setxattr(p.c_str(), "user.tag", "x", 1, 0), 0); }},
        // As touch(1) sets a time: an open for writing that never writes (without waiting),
        // then the time through that descriptor, or by name when the open was turned away.
        {"access time as touch sets it", [](const std::string& p) {
             const struct timespec times[2] = {{2, 0}, {0, UTIME_OMIT}};
             const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY, 0666);
             ASSERT_EQ(fd >= 0 ? ::futimens(fd, times) : ::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
             if (fd >= 0) ::close(fd);
         }},
    };
    for (const Change& change : changes) {
        for (int direction : {0, 1}) {
            SCOPED_TRACE(std::string(change.label) + (direction == 0 ? ", encrypt" : ", decrypt"));
            std::string path = PlainFile("m", direction == 0 ? plain_ : document_);
            ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
            const pid_t parent = ::getpid();
            OnDebugMessage(direction == 0 ? "en2" : "enter de", [&] {
                // From another process, as another program would.
                const pid_t child = ::fork();
                if (child == 0) {
                    change.make(path);
                    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
                }
                int status = -1;
                ::waitpid(child, &status, 0);
                EXPECT_EQ(status, 0);
                EXPECT_EQ(::getpid(), parent);
            });
            const uint32_t result = direction == 0
                                        ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
                                        : NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0);
            EXPECT_EQ(result, 0u);
            if (std::string(change.label) == "mode") EXPECT_EQ(ModeOf(path), 0640u);
            if (std::string(change.label) == "attribute") EXPECT_EQ(Attribute(path, "user.tag"), "x");
            EXPECT_EQ(ScratchNames(), std::vector<std::string>{"m"});
            std::filesystem::remove(path);
        }
    }
}

// A file another program holds open for writing when the call starts (appending to it, or
// through a shared writable mapping) is refused as busy, and the writer's later bytes stay.
TEST_F(CopyFaults, FilesOpenForWritingElsewhereAreBusy) {
    MakeDocumentImage();
    struct Writer {
        const char* label;
        bool mapping;
    };
    for (const Writer& writer : {Writer{"appender", false}, Writer{"shared mapping", true}}) {
        for (int direction : {0, 1}) {
            SCOPED_TRACE(std::string(writer.label) + (direction == 0 ? ", encrypt" : ", decrypt in place"));
            const std::string original = direction == 0 ? plain_ : document_;
            std::string path = PlainFile("w", original);
            int fds[2];  // the parent's end and the writer's
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(fds[0]);
                const int fd = ::open(path.c_str(), writer.mapping ? O_RDWR : O_WRONLY | O_APPEND);
                void* map = writer.mapping ? ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                           : nullptr;
                if (writer.mapping) ::close(fd);  // the mapping alone keeps it open for writing
                char ready = 1;
                if (::write(fds[1], &ready, 1) != 1) ::_exit(1);
                // Told to go on (the parent's end closed): the writer writes once more.
                char go = 0;
                if (::read(fds[1], &go, 1) < 0) ::_exit(1);
                if (writer.mapping) std::memcpy(static_cast<char*>(map) + 100, "MAPPED", 6);
                else if (::write(fd, "APPENDED", 8) != 8) ::_exit(1);
                ::_exit(0);
            }
            ::close(fds[1]);
            char ready = 0;
            ASSERT_EQ(::read(fds[0], &ready, 1), 1);
            const uint32_t result = direction == 0
                                        ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
                                        : NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0);
            EXPECT_EQ(result, direction == 0 ? 797u : NUVEX_E_DOC_BUSY);
            ::close(fds[0]);  // the writer reads end of file and writes
            int status = -1;
            ::waitpid(child, &status, 0);
            EXPECT_EQ(status, 0);
            std::string expected = original;
            if (writer.mapping) expected.replace(100, 6, "MAPPED");
            else expected += "APPENDED";
            EXPECT_TRUE(ReadFileBytes(path) == expected);
            EXPECT_EQ(ScratchNames(), std::vector<std::string>{"w"});
            std::filesystem::remove(path);
        }
    }
}

// An editor that saves by renaming its own new file over the name while the call runs keeps its
// save under the name: the call sees another file than the one it held there and replaces
// nothing (before its rename: 776 or 2410, as for any name that no longer holds the file; in
// the moment of its exchange: as busy, the name given back).
TEST_F(CopyFaults, EditorSavingByARenameKeepsItsSave) {
    MakeDocumentImage();
    for (int direction : {0, 1}) {
        SCOPED_TRACE(direction == 0 ? "encrypt" : "decrypt in place");
        std::string path = PlainFile("e", direction == 0 ? plain_ : document_);
        const std::string save = Scratch("e.save");
        OnDebugMessage(direction == 0 ? "en2" : "enter de", [&] {
            WriteFileBytes(save, "the editor's save");
            ASSERT_EQ(::rename(save.c_str(), path.c_str()), 0);
        });
        const uint32_t result = direction == 0
                                    ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
                                    : NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0);
        if (direction == 0) EXPECT_TRUE(result == 776u || result == 797u) << result;
        else EXPECT_TRUE(result == NUVEX_E_REPLACE_FAILED || result == NUVEX_E_DOC_BUSY) << result;
        EXPECT_EQ(ReadFileBytes(path), "the editor's save");
        // A failed encryption leaves its complete document beside the file, as always.
        if (direction == 0) std::filesystem::remove(path + ".lumadtmp1");
        EXPECT_EQ(ScratchNames(), std::vector<std::string>{"e"});
        std::filesystem::remove(path);
    }
}

// A target name another user made first (in a shared folder) never gets the plain text of a
// document that user could not read: the new file takes the document's owner and permissions.
TEST_F(CopyFaults, TargetMadeByAnotherUserIsNotGivenThePlainText) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a second user";
    MakeDocumentImage();
    const std::string document = PlainFile("d", document_);
    ASSERT_EQ(::chmod(document.c_str(), 0600), 0);
    const std::string target = PlainFile("theirs", "planted");
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
    ASSERT_EQ(NuvexCtrl_DecryptFile(document.c_str(), 1, target.c_str(), 0, nullptr, 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(NobodyCanRead(target));
    EXPECT_TRUE(ReadFileBytes(target) == plain_);
}

// A target name that is another user's link (planted in a folder that user may write) is not
// a way to the plain text either: the link is replaced, never written through, and the plain
// text does not take the permissions of the file the link names.
TEST_F(CopyFaults, TargetThatIsAnotherUsersLinkIsNotGivenThePlainText) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a second user";
    MakeDocumentImage();
    const std::string document = PlainFile("d", document_);
    ASSERT_EQ(::chmod(document.c_str(), 0600), 0);
    // A file of the caller's that anybody may read, in a folder nobody else may enter.
    const std::string closed = Scratch("closed");
    ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
    const std::string readable = closed + "/notes";
    WriteFileBytes(readable, "root's notes");
    ASSERT_EQ(::chmod(readable.c_str(), 0644), 0);
    // Their folder (not sticky, so no system setting about links in shared folders applies).
    char pattern[] = "/tmp/nuvex-theirs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string theirs = pattern;
    ASSERT_EQ(::chmod(theirs.c_str(), 0755), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    const std::string target = theirs + "/out";
    ASSERT_EQ(::symlink(readable.c_str(), target.c_str()), 0);
    ASSERT_EQ(::lchown(target.c_str(), 65534, 65534), 0);
    const uint32_t result = NuvexCtrl_DecryptFile(document.c_str(), 1, target.c_str(), 0, nullptr, 0);
    EXPECT_TRUE(ReadFileBytes(readable) == "root's notes");
    if (result == 0) {
        EXPECT_TRUE(ReadFileBytes(target) == plain_);
        EXPECT_FALSE(NobodyCanRead(target)) << "the plain text took mode 0" << std::oct << ModeOf(target);
    }
    std::error_code ignored;
    std::filesystem::remove_all(theirs, ignored);
}

}  // namespace
}  // namespace nuvex::test
