// Encrypting and decrypting: the document's bytes, round trips across chunk edges and keys,
// recognition, temporary names and debugger output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "crypto/seal.h"
#include "document/document_header.h"
#include "document/document_io.h"
#include "document/keys.h"
#include "document/operation_files.h"
#include "document_fixture.h"
#include "frame/owners.h"
#include "nuvexctrl_ex.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

using document::kCopyChunkSize;

// The body a single cipher pass over the whole plain file gives under the current key.
std::string ExpectedBody(const std::string& plain) {
    std::string body = plain;
    SealKey key = DocumentKeySnapshot();
    if (!body.empty())
        SealCrypt(body.data(), body.data(), static_cast<uint32_t>(body.size()), 4113, key.data());
    return body;
}

class EncryptDecrypt : public DocumentTest {
protected:
    // Encrypts, checks the body against one cipher pass, decrypts in place and to another
    // file, and checks both give the plain bytes back.
    void RoundTrip(const std::string& plain, const std::string& label) {
        SCOPED_TRACE(label + ", " + std::to_string(plain.size()) + " bytes");
        std::string path = Document(label, plain);
        std::string document = ReadFileBytes(path);
        ASSERT_EQ(document.size(), 4096 + plain.size());
        EXPECT_TRUE(document.substr(4096) == ExpectedBody(plain));

        std::string copy = Scratch(label + ".out");
        EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, copy.c_str(), 0, nullptr, 0), 0u);
        EXPECT_TRUE(ReadFileBytes(copy) == plain);
        EXPECT_TRUE(ReadFileBytes(path) == document);  // the document is left alone

        EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_TRUE(ReadFileBytes(path) == plain);
    }
};

TEST_F(EncryptDecrypt, EmptyFileGivesAHeaderOnlyDocumentAndBack) {
    std::string path = Document("empty", "");
    EXPECT_EQ(ReadFileBytes(path).size(), 4096u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ReadFileBytes(path), "");
}

TEST_F(EncryptDecrypt, ExactlyOnePageGives8192Bytes) {
    std::string plain = RandomBytes(4096, 1);
    std::string path = Document("page", plain);
    EXPECT_EQ(ReadFileBytes(path).size(), 8192u);
    RoundTrip(plain, "page2");
}

TEST_F(EncryptDecrypt, RoundTripsAcrossChunkEdges) {
    const std::size_t sizes[] = {1,
                                 511,
                                 512,
                                 4095,
                                 4097,
                                 kCopyChunkSize - 1,
                                 kCopyChunkSize,
                                 kCopyChunkSize + 1,
                                 2 * kCopyChunkSize + 4113,
                                 // the ring of chunk buffers used more than once
                                 (document::kCopySlots + 2) * kCopyChunkSize + 333,
                                 std::size_t{300000} + (RandomBytes(2, 5)[0] & 0x7F)};
    uint32_t seed = 10;
    for (std::size_t size : sizes) RoundTrip(RandomBytes(size, seed++), "f" + std::to_string(seed));
}

// The two cipher threads of a copy take a chunk's pieces in turn and finish them in any order;
// a chunk may be written only once all its pieces are done. Threads spinning on every
// processor keep preempting them, so that pieces of later chunks regularly finish first.
TEST_F(EncryptDecrypt, BodyIsExactWhenCipherThreadsAreHeldUp) {
    std::atomic<bool> spin{true};
    std::vector<std::thread> spinners;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        spinners.emplace_back([&] {
            while (spin.load(std::memory_order_relaxed)) {
            }
        });
    const std::string plain = RandomBytes(6 * kCopyChunkSize + 200000, 31);
    for (int round = 0; round < 4 && !HasFailure(); ++round)
        RoundTrip(plain, "held" + std::to_string(round));
    spin = false;
    for (auto& spinner : spinners) spinner.join();
}

// A copy never waits for a helper thread to start. Held helpers stand for threads created
// under the loader lock, which cannot begin until the caller's DllMain returns; refused ones
// for a system out of threads. The copy completes on the caller's thread alone with the same
// bytes, and the held helpers, let go after the calls returned, end without touching them.
TEST_F(EncryptDecrypt, CopiesCompleteWhenHelperThreadsCannotStart) {
    const std::size_t sizes[] = {200000, kCopyChunkSize, (document::kCopySlots + 1) * kCopyChunkSize + 9};
    for (int mode : {1, 2}) {
        SCOPED_TRACE(mode == 1 ? "held" : "refused");
        NuvexHost_HoldThreadStarts(mode);
        uint32_t seed = 40;
        for (std::size_t size : sizes)
            RoundTrip(RandomBytes(size, seed++), "nohelp" + std::to_string(mode) + "_" +
                                                     std::to_string(size));
        if (mode == 1) EXPECT_GT(NuvexHost_LiveThreads(), 0u);  // started, never begun
        else EXPECT_EQ(NuvexHost_LiveThreads(), 0u);
        NuvexHost_HoldThreadStarts(0);
        for (int wait = 0; wait < 500 && NuvexHost_LiveThreads() != 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(NuvexHost_LiveThreads(), 0u);
    }
}

// Installs a key through a driver that accepts it and puts the default key back afterwards.
class KeyScope {
public:
    KeyScope(const std::string& root, const std::string& key) : driver_(root, "Nuvexcdo_3") {
        ok_ = NuvexCtrl_SetKey(0, key.data(), static_cast<uint32_t>(key.size())) == 0;
    }
    ~KeyScope() {
        const std::string defaultKey(20, '\x5C');
        NuvexCtrl_SetKey(0, defaultKey.data(), 20);
    }
    bool ok() const { return ok_; }

private:
    FakeDriver driver_;
    bool ok_ = false;
};

TEST_F(EncryptDecrypt, RoundTripsUnderAChangedKey) {
    std::string plain = RandomBytes(kCopyChunkSize + 777, 3);
    std::string underDefault = ReadFileBytes(Document("default", plain)).substr(4096);
    {
        KeyScope key(Root(), "another key, 20 bytes");
        ASSERT_TRUE(key.ok());
        RoundTrip(plain, "changed");
        std::string underChanged = ReadFileBytes(Document("changed2", plain)).substr(4096);
        EXPECT_FALSE(underChanged == underDefault);
    }
    EXPECT_TRUE(ReadFileBytes(Document("default2", plain)).substr(4096) == underDefault);
}

TEST_F(EncryptDecrypt, KeyArgumentsChangeNothing) {
    std::string plain = RandomBytes(5000, 4);
    std::string a = PlainFile("a", plain);
    std::string b = PlainFile("b", plain);
    const char key[20] = "ignored key bytes..";
    EXPECT_EQ(NuvexCtrl_EncryptFile(a.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(NuvexCtrl_EncryptFile(b.c_str(), 77, key, 1), 0u);
    EXPECT_TRUE(ReadFileBytes(a).substr(4096) == ReadFileBytes(b).substr(4096));
    std::string out = Scratch("b.out");
    EXPECT_EQ(NuvexCtrl_DecryptFile(b.c_str(), 1, out.c_str(), 5, key, 1), 0u);
    EXPECT_TRUE(ReadFileBytes(out) == plain);
}

// The extension's exports take the document key as an argument: the document is the one
// NuvexCtrl_EncryptFile makes after NuvexCtrl_SetKey with that key, whatever the module's
// key is meanwhile, and only that key gives the plain bytes back.
TEST_F(EncryptDecrypt, ExtensionTakesTheKeyAsAnArgument) {
    const std::string plain = RandomBytes(kCopyChunkSize + 4097, 11);
    const std::string key = "a key of 21 bytes....";
    std::string underSetKey;
    {
        KeyScope scope(Root(), key);
        ASSERT_TRUE(scope.ok());
        underSetKey = ReadFileBytes(Document("setkey", plain)).substr(4096);
    }
    const std::string path = PlainFile("ex", plain);
    ASSERT_EQ(NuvexCtrlEx_EncryptFile(path.c_str(), key.data(), static_cast<uint32_t>(key.size()), nullptr, nullptr), 0u);
    const std::string document = ReadFileBytes(path);
    EXPECT_TRUE(document.substr(4096) == underSetKey);

    // The module's own (default) key does not open it; the caller's key does, both ways.
    const std::string wrong = Scratch("wrong.out"), right = Scratch("right.out");
    ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, wrong.c_str(), 0, nullptr, 0), 0u);
    EXPECT_FALSE(ReadFileBytes(wrong) == plain);
    ASSERT_EQ(NuvexCtrlEx_DecryptFile(path.c_str(), right.c_str(), key.data(), static_cast<uint32_t>(key.size()), nullptr, nullptr), 0u);
    EXPECT_TRUE(ReadFileBytes(right) == plain);
    EXPECT_TRUE(ReadFileBytes(path) == document);
    ASSERT_EQ(NuvexCtrlEx_DecryptFile(path.c_str(), nullptr, key.data(), static_cast<uint32_t>(key.size()), nullptr, nullptr), 0u);
    EXPECT_TRUE(ReadFileBytes(path) == plain);

    // Keys the driver would not take are refused before anything is touched.
    struct BadKey { const char* what; const void* bytes; uint32_t length; };
    const std::string longKey(257, 'k');
    for (const BadKey& bad : {BadKey{"no key", nullptr, 20}, BadKey{"empty key", key.data(), 0},
                              BadKey{"257 bytes", longKey.data(), 257}}) {
        const auto before = ScratchNames();
        EXPECT_EQ(NuvexCtrlEx_EncryptFile(path.c_str(), bad.bytes, bad.length, nullptr, nullptr), NUVEX_E_KEY_INVALID) << bad.what;
        EXPECT_EQ(NuvexCtrlEx_DecryptFile(path.c_str(), nullptr, bad.bytes, bad.length, nullptr, nullptr), NUVEX_E_KEY_INVALID) << bad.what;
        EXPECT_EQ(ScratchNames(), before) << bad.what;
        EXPECT_TRUE(ReadFileBytes(path) == plain) << bad.what;
    }

    // No key at all names the built-in key: the body NuvexCtrl_EncryptFile writes with the
    // module's key untouched.
    const std::string builtIn = PlainFile("builtin", plain);
    ASSERT_EQ(NuvexCtrlEx_EncryptFile(builtIn.c_str(), nullptr, 0, nullptr, nullptr), 0u);
    EXPECT_TRUE(ReadFileBytes(builtIn).substr(4096) == ReadFileBytes(Document("default", plain)).substr(4096));
}

namespace {

// Records progress reports and cancels at the report numbered `cancelAt` (0: never), or at the
// one that says the whole body is written (kAtTheEnd). How many reports come in between depends
// on how the copy's threads were scheduled.
constexpr std::size_t kAtTheEnd = static_cast<std::size_t>(-1);
struct ProgressLog {
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    std::vector<std::thread::id> threads;
    std::size_t cancelAt = 0;
};

uint32_t NUVEXAPI LogProgress(void* context, const NuvexCtrlExProgressInfo* info) {
    auto* log = static_cast<ProgressLog*>(context);
    log->reports.emplace_back(info->bytesDone, info->bytesTotal);
    log->threads.push_back(std::this_thread::get_id());
    const bool atTheEnd = log->cancelAt == kAtTheEnd && info->bytesTotal != 0 && info->bytesDone == info->bytesTotal;
    return log->reports.size() == log->cancelAt || atTheEnd ? 1 : 0;
}

}  // namespace

// Progress is told on the calling thread, from 0 to the whole body, never backwards; a
// callback that says stop ends the call with NUVEX_E_CANCELLED and nothing changed: no
// temporary file, the source (and any target) as they were.
TEST_F(EncryptDecrypt, ExtensionReportsProgressAndCancelsCleanly) {
    const std::string plain = RandomBytes(3 * kCopyChunkSize + 12345, 12);
    const std::string key(20, 'K');
    const std::string path = PlainFile("progress", plain);
    ProgressLog log;
    ASSERT_EQ(NuvexCtrlEx_EncryptFile(path.c_str(), key.data(), 20, &LogProgress, &log), 0u);
    ASSERT_GE(log.reports.size(), 2u);
    EXPECT_EQ(log.reports.front(), std::make_pair(uint64_t{0}, uint64_t{plain.size()}));
    EXPECT_EQ(log.reports.back(), std::make_pair(uint64_t{plain.size()}, uint64_t{plain.size()}));
    for (std::size_t i = 1; i < log.reports.size(); ++i) EXPECT_LE(log.reports[i - 1].first, log.reports[i].first);
    for (std::thread::id thread : log.threads) EXPECT_EQ(thread, std::this_thread::get_id());
    const std::string document = ReadFileBytes(path);

    struct Case { const char* what; bool encrypt; bool toOther; std::size_t cancelAt; };
    const Case cases[] = {
        {"encrypt, before the copy", true, false, 1},  {"encrypt, during the copy", true, false, 2},
        {"decrypt in place, before", false, false, 1}, {"decrypt in place, during", false, false, 2},
        {"decrypt to a file, during", false, true, 2}, {"decrypt to a file, at the end", false, true, kAtTheEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string source = c.encrypt ? PlainFile("cancel-plain", plain) : path;
        const std::string before = ReadFileBytes(source);
        const std::string target = Scratch("cancel.out");
        const auto names = ScratchNames();
        ProgressLog cancelling;
        cancelling.cancelAt = c.cancelAt;
        uint32_t result = 0;
        if (c.encrypt) {
            result = NuvexCtrlEx_EncryptFile(source.c_str(), key.data(), 20, &LogProgress, &cancelling);
        } else {
            result = NuvexCtrlEx_DecryptFile(source.c_str(), c.toOther ? target.c_str() : nullptr, key.data(), 20,
                                             &LogProgress, &cancelling);
        }
        EXPECT_EQ(result, NUVEX_E_CANCELLED);
        EXPECT_TRUE(ReadFileBytes(source) == before);
        EXPECT_EQ(ScratchNames(), names);
        EXPECT_FALSE(std::filesystem::exists(target));
    }
    EXPECT_TRUE(ReadFileBytes(path) == document);
}

TEST(Extension, VersionAndResultTexts) {
    uint32_t major = 99, minor = 99, patch = 99;
    EXPECT_EQ(NuvexCtrlEx_GetVersion(&major, &minor, &patch), 0u);
    EXPECT_EQ(major * 10000 + minor * 100 + patch, uint32_t{NUVEXCTRL_VERSION_NUMBER});
    EXPECT_EQ(NuvexCtrlEx_GetVersion(nullptr, nullptr, nullptr), 0u);

    struct Case { const char* exportName; uint32_t code; uint32_t capacity; uint32_t result; const char* text; };
    const Case cases[] = {
        {"NuvexCtrl_DecryptFile", 531, 64, 0, "not an encrypted document"},
        {"NuvexCtrl_DecryptFile", 0, 64, 0, "success"},
        // An extension export answers for the codes of the export it extends, and its own.
        {"NuvexCtrlEx_DecryptFile", 531, 64, 0, "not an encrypted document"},
        {"NuvexCtrlEx_EncryptFile", NUVEX_E_CANCELLED, 8, NUVEX_E_TEXT_CUT, "the pro"},
        {"NuvexCtrl_DecryptFile", 12345, 64, NUVEX_E_RESULT_UNKNOWN, "unexpected result"},
        {nullptr, 531, 64, NUVEX_E_RESULT_UNKNOWN, "unexpected result"},
        {"NuvexCtrlEx_NoSuchExportWithAVeryLongNameThatFitsNoBufferOfTheLibraryAtAll", 531, 64,
         NUVEX_E_RESULT_UNKNOWN, "unexpected result"},
    };
    for (const Case& c : cases) {
        char text[64];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(NuvexCtrlEx_DescribeResult(c.exportName, c.code, text, c.capacity), c.result) << c.text;
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(NuvexCtrlEx_DescribeResult("NuvexCtrl_DecryptFile", 531, nullptr, 0), NUVEX_E_TEXT_CUT);
}

TEST_F(EncryptDecrypt, EncryptingADocumentIsRefused) {
    std::string path = Document("doc", "data");
    std::string before = ReadFileBytes(path);
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 651u);
    EXPECT_EQ(ReadFileBytes(path), before);
    ASSERT_FALSE(DebugMessages().empty());
    EXPECT_EQ(DebugMessages().back(), "7777en11111111111111111111111111111");
    EXPECT_EQ(NuvexCtrl_EncryptFile(nullptr, 0, nullptr, 0), 636u);
}

TEST_F(EncryptDecrypt, TakesTheNextFreeTemporaryName) {
    std::string path = PlainFile("a.txt", "plain");
    PlainFile("a.txt.lumadtmp1", "someone else's");
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path + ".lumadtmp1"), "someone else's");
    EXPECT_FALSE(FileExists(path + ".lumadtmp2"));  // it became the document
    EXPECT_EQ(ReadFileBytes(path).size(), 4096u + 5);
    std::vector<std::string> expected = {"en2", path + ".lumadtmp1", "en2", path + ".lumadtmp2"};
    EXPECT_EQ(DebugMessages(), expected);
}

TEST_F(EncryptDecrypt, DecryptWritesItsMessagesInOrder) {
    std::string path = Document("d", "abc");
    std::string out = Scratch("d.out");
    ClearDebugMessages();
    EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
    std::vector<std::string> expected = {out, "enter de", "222", out, "WriteFile"};
    EXPECT_EQ(DebugMessages(), expected);
}

TEST_F(EncryptDecrypt, DecryptArgumentsAndNonDocuments) {
    std::string plain = PlainFile("plain", "not a document");
    std::string doc = Document("doc", "x");
    std::string out = Scratch("out");
    EXPECT_EQ(NuvexCtrl_DecryptFile(nullptr, 0, nullptr, 0, nullptr, 0), 510u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, nullptr, 0, nullptr, 0), 517u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(plain.c_str(), 1, out.c_str(), 0, nullptr, 0), 531u);
    // A file that cannot be opened is not called "not a document".
    EXPECT_EQ(NuvexCtrl_DecryptFile(Scratch("missing").c_str(), 0, nullptr, 0, nullptr, 0),
              NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(ReadFileBytes(doc).size(), 4097u);
}

TEST_F(EncryptDecrypt, ReadOnlyTargetIsReplacedAndLosesReadOnly) {
    std::string doc = Document("doc", "new content");
    std::string out = PlainFile("out", "old content of the target");
    ASSERT_TRUE(SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(out), "new content");
    EXPECT_EQ(GetFileAttributesA(out.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    // In place, a read-only document becomes a writable plain file.
    ASSERT_TRUE(SetFileAttributesA(doc.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(doc), "new content");
    EXPECT_EQ(GetFileAttributesA(doc.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(EncryptDecrypt, ReadOnlyPlainFileBecomesAWritableDocument) {
    std::string path = PlainFile("ro", "protected");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path).size(), 4096u + 9);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(EncryptDecrypt, FilesKeepTheirAttributes) {
    const DWORD cases[] = {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE};
    for (DWORD attributes : cases) {
        SCOPED_TRACE("attributes " + std::to_string(attributes));
        const DWORD kept = attributes & ~FILE_ATTRIBUTE_READONLY;  // the read-only rule stays
        std::string path = PlainFile("a", "attributed");
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
        ASSERT_EQ(GetFileAttributesA(path.c_str()), attributes);
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(path.c_str()), kept) << "encrypted";
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(path.c_str()), kept) << "decrypted in place";
        EXPECT_EQ(ReadFileBytes(path), "attributed");

        // An existing target keeps its attributes, a new one has none.
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        std::string out = PlainFile("out", "old");
        ASSERT_TRUE(SetFileAttributesA(out.c_str(), attributes));
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(out.c_str()), kept) << "existing target";
        std::string fresh = Scratch("fresh");
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, fresh.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(fresh.c_str()), FILE_ATTRIBUTE_NORMAL) << "new target";
        for (const std::string& name : {path, out, fresh}) {
            SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            std::filesystem::remove(name);
        }
    }
}

TEST_F(EncryptDecrypt, LongNamesGetTemporaryNamesThatFit) {
    // Temporary names keep one name's limit (255) and, for a target that keeps it, the whole
    // path's (259): checked on the decryption's temporary file while it is written. Names of
    // 246 to 255 characters are given relative to the scratch directory (a decryption target
    // keeps the whole-path limit); whole paths of 255 and 259 characters absolute.
    const std::string directory = Scratch("");
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(directory.c_str()), 0);
    std::vector<std::pair<std::string, std::string>> cases;  // the path given, the name
    for (std::size_t length : {246, 250, 255})
        cases.emplace_back(std::string(length, 'L'), std::string(length, 'L'));
    for (std::size_t total : {255, 259}) {
        std::string name(total - directory.size(), 'A');
        cases.emplace_back(directory + name, name);
    }
    std::vector<std::string> seen;
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE("path of " + std::to_string(path.size()) + " characters");
        WriteFileBytes(path, "long named");
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(path).size(), 4096u + 10);
        seen.clear();
        OnDebugMessage("WriteFile", [&] {
            for (const std::string& entry : ScratchNames())
                if (entry.find(".lumadtmp") != std::string::npos) seen.push_back(entry);
        });
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(path), "long named");
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_LE(seen[0].size(), 255u) << seen[0];
        EXPECT_LE(path.size() - name.size() + seen[0].size(), 259u) << seen[0];
        EXPECT_EQ(ScratchNames(), std::vector<std::string>{name});
        std::filesystem::remove(directory + name);
    }
    ASSERT_EQ(::chdir(previous), 0);
}

// ---- paths: bare names, folders that nearly fill MAX_PATH, characters of several bytes ----

std::string Repeat(const std::string& unit, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += unit;
    return text;
}

// Characters of a UTF-8 path (the host's code page), one per sequence.
std::size_t Utf8Characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

TEST(TemporaryNames, CountCharactersAndStayBesideTheTarget) {
    // Directories given by their length in characters, including the final '/'.
    auto folder = [](std::size_t characters, const std::string& unit = "D") {
        return "/" + Repeat(unit, characters - 2) + "/";
    };
    const std::string e = "\xC3\xA9";             // two bytes, one character
    const std::string ka = "\xE3\x82\xAB";        // three bytes, one character
    const std::string d240 = folder(240);
    const std::string d240wide = "/" + Repeat(ka, 238) + "/";
    struct Case {
        std::string target;
        int n;
        std::string expected;  // empty: no name
    } cases[] = {
        {"/d/a.txt", 1, "/d/a.txt.lumadtmp1"},
        {"/d/a.txt", 499, "/d/a.txt.lumadtmp499"},
        // A target of 259 characters: its last name is cut to leave room for the suffix.
        {d240 + "abcdefghijklmnopqrs", 1, d240 + "abcdefghi.lumadtmp1"},
        {d240 + "abcdefghijklmnopqrs", 10, d240 + "abcdefgh.lumadtmp10"},
        // Counted in characters, cut between them: 19 two-byte characters keep 9.
        {d240 + Repeat(e, 19), 1, d240 + Repeat(e, 9) + ".lumadtmp1"},
        {d240wide + Repeat(ka, 19), 1, d240wide + Repeat(ka, 9) + ".lumadtmp1"},
        // A target beyond 259 characters keeps only one name's limit of 255.
        {d240 + Repeat("n", 250), 1, d240 + Repeat("n", 245) + ".lumadtmp1"},
        {d240 + Repeat(ka, 250), 1, d240 + Repeat(ka, 245) + ".lumadtmp1"},
        // The folder leaves exactly ".lumadtmp1", then less: the short names.
        {folder(249) + "ab", 1, folder(249) + ".lumadtmp1"},
        {folder(249) + "ab", 10, folder(249) + "~a"},
        {folder(252) + "ab", 1, folder(252) + "~1"},
        {folder(252) + "ab", 499, folder(252) + "~dv"},
        {folder(257) + "ab", 1, folder(257) + "~1"},
        {folder(257) + "ab", 40, folder(257) + "14"},
        {folder(258) + "a", 35, folder(258) + "z"},
        {folder(258) + "a", 36, ""},
        {folder(252, e) + "ab", 1, folder(252, e) + "~1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(Utf8Characters(c.target)) + " characters, n " +
                     std::to_string(c.n) + ": " + c.target.substr(c.target.rfind('/')));
        const std::size_t slash = c.target.rfind('/') + 1;
        const std::string folder = c.target.substr(0, slash);
        const std::string leaf = c.target.substr(slash);
        std::vector<char> name(leaf.size() + document::kTempSuffixRoom, 'x');
        const bool made =
            document::FormatTempName(Utf8Characters(folder), leaf.c_str(), leaf.size(), c.n,
                                     name.data(), name.size());
        EXPECT_EQ(made, !c.expected.empty());
        if (made) EXPECT_EQ(folder + name.data(), c.expected);
    }
}

// Runs `body` with the current directory set to `directory`, and sets it back.
void InDirectory(const std::string& directory, const std::function<void()>& body) {
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(directory.c_str()), 0);
    body();
    ASSERT_EQ(::chdir(previous), 0);
}

TEST_F(EncryptDecrypt, BareNamesWorkInEveryDirection) {
    const std::string plain = RandomBytes(5000, 3);
    PlainFile("bare.txt", plain);
    InDirectory(Scratch(""), [&] {
        ClearDebugMessages();
        ASSERT_EQ(NuvexCtrl_EncryptFile("bare.txt", 0, nullptr, 0), 0u);
        // The temporary file is beside the target, named from its full path.
        std::vector<std::string> expected = {"en2", Scratch("bare.txt.lumadtmp1")};
        EXPECT_EQ(DebugMessages(), expected);
        EXPECT_EQ(ReadFileBytes("bare.txt").size(), 4096 + plain.size());
        EXPECT_EQ(NuvexCtrl_DecryptFile("bare.txt", 1, "copy.txt", 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes("copy.txt"), plain);
        EXPECT_EQ(NuvexCtrl_DecryptFile("bare.txt", 1, "copy.txt", 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile("bare.txt", 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes("bare.txt"), plain);
        EXPECT_EQ(NuvexCtrl_EncryptFile("./bare.txt", 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile("../scratch/bare.txt", 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes("bare.txt"), plain);
    });
    std::vector<std::string> expected = {"bare.txt", "copy.txt"};
    EXPECT_EQ(ScratchNames(), expected);
}

TEST_F(EncryptDecrypt, FoldersThatNearlyFillMaxPathWork) {
    // A folder of 248 to 257 characters leaves no room for "<name>.lumadtmp<n>" within 259
    // characters, yet every target of up to 259 characters in it is valid. Targets of two
    // characters (one in the longest folder), encrypted, decrypted in place and to a
    // neighbour; the temporary file is seen while the plain bytes are written.
    const std::string base = Scratch("");
    ASSERT_LT(base.size(), 200u);
    for (std::size_t length : {248, 250, 253, 256, 257}) {
        SCOPED_TRACE("folder of " + std::to_string(length) + " characters");
        std::string folder = base + Repeat("f", 150);
        folder += "/" + Repeat("g", length - folder.size() - 1);
        ASSERT_EQ(folder.size(), length);
        ASSERT_TRUE(std::filesystem::create_directories(folder));
        const std::string target = folder + (length < 257 ? "/ab" : "/a");
        const std::string neighbour = folder + "/c";
        ASSERT_LE(target.size(), 259u);
        WriteFileBytes(target, "near the limit");
        ASSERT_EQ(NuvexCtrl_EncryptFile(target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target).size(), 4096u + 14);
        std::vector<std::string> seen;
        OnDebugMessage("WriteFile", [&] {
            for (const auto& entry : std::filesystem::directory_iterator(folder))
                seen.push_back(entry.path().string());
        });
        ASSERT_EQ(NuvexCtrl_DecryptFile(target.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), "near the limit");
        ASSERT_EQ(seen.size(), 2u);
        for (const std::string& path : seen) EXPECT_LE(path.size(), 259u) << path;
        ASSERT_EQ(NuvexCtrl_EncryptFile(target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(target.c_str(), 1, neighbour.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(neighbour), "near the limit");
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            left.push_back(entry.path().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{target, neighbour}));
        std::filesystem::remove_all(base + Repeat("f", 150));
    }
}

TEST_F(EncryptDecrypt, TargetLimitCountsCharactersNotBytes) {
    // 179 characters of 339 bytes pass, as do 259 characters of 500 bytes and more; 260
    // characters are refused before anything is made, however few bytes they take.
    const std::string ka = "\xE3\x82\xAB";  // three bytes, one character
    const std::string base = Scratch("");
    const std::string folder = base + Repeat(ka, 60);
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    const std::string doc = Document("source.doc", "wide characters");
    // One name holds at most 255 bytes here: deeper targets get more folders of 80 characters.
    auto targetOf = [&](std::size_t characters) {
        std::string path = folder;
        std::size_t left = characters - Utf8Characters(folder) - 1;
        for (; left > 81; left -= 81) {
            path += "/" + Repeat(ka, 80);
            std::filesystem::create_directory(path);
        }
        return path + "/" + Repeat(ka, left);
    };
    for (std::size_t characters : {179, 259}) {
        SCOPED_TRACE(std::to_string(characters) + " characters");
        const std::string target = targetOf(characters);
        ASSERT_EQ(Utf8Characters(target), characters);
        ASSERT_GT(target.size(), 259u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), "wide characters");
        ASSERT_EQ(NuvexCtrl_EncryptFile(target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(target.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), "wide characters");
        std::filesystem::remove(target);
    }
    const std::string tooLong = targetOf(260);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, tooLong.c_str(), 0, nullptr, 0),
              NUVEX_E_PATH_TOO_LONG);
    const std::string asciiTooLong = base + Repeat("t", 260 - base.size());
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, asciiTooLong.c_str(), 0, nullptr, 0),
              NUVEX_E_PATH_TOO_LONG);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    EXPECT_FALSE(FileExists(asciiTooLong));
}

TEST_F(EncryptDecrypt, DevicesAndPipesAreNotDocuments) {
    // Nothing is read from or written to what is not a disk file. The devices are made in the
    // scratch directory (a copy of the null and zero devices, and a pipe without a writer),
    // so that a failure harms nothing else.
    std::vector<std::string> paths;
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(Scratch("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        ASSERT_EQ(::mknod(Scratch("zero").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
        paths = {Scratch("null"), Scratch("zero")};
    }
    ASSERT_EQ(::mkfifo(Scratch("pipe").c_str(), 0600), 0);
    paths.push_back(Scratch("pipe"));
    const std::vector<std::string> names = ScratchNames();
    std::string doc = Document("doc", "content");
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const char* p = path.c_str();
        uint32_t answer = 7, status = 0, print = 0;
        EXPECT_EQ(NuvexCtrl_IsEncryptFile(p, 0, &answer), 486u);
        EXPECT_EQ(answer, 0u);
        EXPECT_EQ(NuvexCtrl_EncryptFile(p, 0, nullptr, 0), 797u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(p, 0, nullptr, 0, nullptr, 0), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_DecryptFile(p, 1, Scratch("out").c_str(), 0, nullptr, 0),
                  NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, p, 0, nullptr, 0), 609u);
        EXPECT_EQ(NuvexCtrl_SetEnFileRights(p, nullptr, 1, 1, 0, "pw", 2, &status), 846u);
        EXPECT_EQ(NuvexCtrl_ClearEnFileRights(p, "pw", 2, &status), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
        EXPECT_EQ(NuvexCtrl_GetEnFileRights(p, &print, nullptr, nullptr, nullptr, nullptr, &status),
                  1068u);
        uint8_t guid[16];
        EXPECT_EQ(NuvexCtrl_GetFileGUID(p, guid), NUVEX_E_DOC_OPEN_FAILED);
        char code[32];
        EXPECT_EQ(NuvexCtrl_GetProcSignCode(p, code), 1202u);
        uint16_t print16 = 0;
        EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(p, nullptr, nullptr, &print16, nullptr), 1510u);
        EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(p, 1), 1406u);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(Scratch("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (::geteuid() == 0) {
        ASSERT_EQ(::lstat(Scratch("null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
    std::vector<std::string> expected = names;
    expected.push_back("doc");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ScratchNames(), expected) << "nothing made beside them";
}

TEST_F(EncryptDecrypt, HeldDocumentsAreNotCalledPlain) {
    std::string doc = Document("doc", "content");
    std::string plain = PlainFile("plain", "plain content");
    uint32_t status = 0, print = 0;
    uint8_t guid[16];
    {
        // Another program holds both files and shares nothing: "cannot open", never "not a
        // document".
        UniqueHandle holdDoc(CreateFileA(doc.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        UniqueHandle holdPlain(CreateFileA(plain.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holdDoc.valid() && holdPlain.valid());
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0),
                  NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_GetFileGUID(doc.c_str(), guid), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc.c_str(), "pw", 2, &status),
                  NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
        EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 1, 0, "pw", 2, &status), 846u);
        EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
        EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc.c_str(), &print, nullptr, nullptr, nullptr,
                                            nullptr, &status),
                  1068u);
        EXPECT_EQ(NuvexCtrl_EncryptFile(plain.c_str(), 0, nullptr, 0), 797u);
    }
    {
        // Another operation of the library holds them: busy.
        UniqueHandle doc2(CreateFileA(doc.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        UniqueHandle plain2(CreateFileA(plain.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(document::kOperationLockOffset);
        place.OffsetHigh = static_cast<DWORD>(document::kOperationLockOffset >> 32);
        ASSERT_TRUE(LockFileEx(doc2.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place));
        ASSERT_TRUE(LockFileEx(plain2.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place));
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0), NUVEX_E_DOC_BUSY);
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, plain.c_str(), 0, nullptr, 0),
                  NUVEX_E_DOC_BUSY);
        EXPECT_EQ(NuvexCtrl_EncryptFile(plain.c_str(), 0, nullptr, 0), 797u);
        // Readers are not disturbed.
        uint32_t answer = 0;
        EXPECT_EQ(NuvexCtrl_IsEncryptFile(doc.c_str(), 0, &answer), 0u);
        EXPECT_EQ(answer, 1u);
        EXPECT_EQ(NuvexCtrl_GetFileGUID(doc.c_str(), guid), 0u);
    }
    {
        // The rights writers hold for writing too; they find the lock as well.
        UniqueHandle doc3(CreateFileA(doc.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(document::kOperationLockOffset);
        place.OffsetHigh = static_cast<DWORD>(document::kOperationLockOffset >> 32);
        ASSERT_TRUE(LockFileEx(doc3.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place));
        EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 1, 0, "pw", 2, &status),
                  NUVEX_E_DOC_BUSY);
        EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc.c_str(), "pw", 2, &status), NUVEX_E_DOC_BUSY);
        EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    }
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"doc", "plain"}));
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(NuvexCtrl_EncryptFile(plain.c_str(), 0, nullptr, 0), 0u);
}

// ---- recognition -----------------------------------------------------------------------

class Recognition : public DocumentTest {};

TEST_F(Recognition, SizeAndSignatureRules) {
    std::string document = ReadFileBytes(Document("doc", "body"));
    uint32_t answer = 7;
    std::string path = Scratch("doc");
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 1u);

    // 4095 bytes are never a document, whatever they hold.
    std::string short_ = PlainFile("short", document.substr(0, 4095));
    answer = 7;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(short_.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 0u);
    // A header alone is a document with an empty body.
    std::string exact = PlainFile("exact", document.substr(0, 4096));
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(exact.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 1u);

    // Byte 79 is outside the quick test but inside the full one.
    std::string altered = document;
    altered[79] = static_cast<char>(altered[79] ^ 0x55);
    std::string byte79 = PlainFile("byte79", altered);
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(byte79.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 1u);
    uint32_t printCount = 9, status = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(byte79.c_str(), &printCount, nullptr, nullptr, nullptr,
                                        nullptr, &status),
              1078u);
    EXPECT_EQ(status, NUVEX_RIGHTS_NOT_DOCUMENT);

    altered = document;
    altered[70] = static_cast<char>(altered[70] ^ 1);
    std::string byte70 = PlainFile("byte70", altered);
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(byte70.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 0u);
}

TEST_F(Recognition, ArgumentsAndMissingFiles) {
    uint32_t answer = 7;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(nullptr, 0, &answer), 353u);
    EXPECT_EQ(answer, 7u);
    EXPECT_EQ(NuvexCtrl_IsEncryptFile("x", 0, nullptr), 353u);
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(Scratch("missing").c_str(), 0, &answer), 486u);
    EXPECT_EQ(answer, 0u);
}

TEST_F(Recognition, WidePaths) {
    std::string narrow = Scratch("d\xC3\xA9j\xC3\xA0.txt");  // "déjà.txt" in UTF-8
    Document("d\xC3\xA9j\xC3\xA0.txt", "content");
    std::u16string wide;
    for (char c : Scratch("")) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    wide += u"d\u00e9j\u00e0.txt";
    uint32_t answer = 7;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(wide.c_str(), 1, &answer), 0u);
    EXPECT_EQ(answer, 1u);
    std::u16string missing = wide + u"\u4e2d";
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(missing.c_str(), 1, &answer), 486u);
    EXPECT_EQ(answer, 0u);
}

TEST_F(Recognition, FileHeldOpenForWriting) {
    std::string doc = Document("doc", "content");
    std::string plain = PlainFile("plain", "plain content");
    UniqueHandle writerDoc(CreateFileA(doc.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueHandle writerPlain(CreateFileA(plain.c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writerDoc.valid());
    ASSERT_TRUE(writerPlain.valid());
    // The first open (read sharing only) fails on the writer; the second one answers.
    uint32_t answer = 7;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(doc.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 1u);
    // The plain file cannot be held with read sharing only while someone writes it.
    EXPECT_EQ(NuvexCtrl_EncryptFile(plain.c_str(), 0, nullptr, 0), 797u);
    EXPECT_EQ(ReadFileBytes(plain), "plain content");
    EXPECT_EQ(ScratchNames(), (std::vector<std::string>{"doc", "plain"}));
}

}  // namespace
}  // namespace nuvex::test
