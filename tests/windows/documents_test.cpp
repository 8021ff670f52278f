// Encrypted documents, their rights, the cipher and signature codes through the real DLL, on
// Windows' own file system semantics (share modes, read-only attributes, MoveFileEx, UTF-16
// paths, CoCreateGuid), with no driver loaded.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "nuvexctrl.h"
#include "nuvexctrl_ex.h"
#include "win_support.h"

namespace {

using nuvex_win::Bytes;
using nuvex_win::FileExists;
using nuvex_win::PatternBytes;
using nuvex_win::ReadFileBytes;
using nuvex_win::WriteFileBytes;

const uint8_t kSignature[16] = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};
const char kBanner[] = "Lumad vornask management, security";

// Keystream bytes of the default document key (twenty 0x5C bytes) at stream offsets
// 4113..4144 (the first body bytes) and 4592..4623 (across the edge of counter values 8 and 9),
// from an independent implementation of the cipher (tests/windows/seal_reference.py).
const uint8_t kDocStreamAt4113[32] = {
    0x1e, 0x4c, 0xcb, 0x9a, 0xdb, 0x7e, 0xe2, 0x3b, 0xe6, 0xb2, 0x55, 0xd1, 0x91, 0x42, 0x96, 0x70,
    0x44, 0x7e, 0xee, 0xc3, 0xbf, 0xa9, 0x6f, 0x69, 0xeb, 0x59, 0x11, 0x9f, 0x42, 0x69, 0xc2, 0xa2};
const uint8_t kDocStreamAt4592[32] = {
    0x90, 0x5f, 0xa3, 0x84, 0xea, 0xa7, 0x4c, 0x77, 0x19, 0xcb, 0xe3, 0x07, 0xb0, 0x25, 0x6b, 0x37,
    0x78, 0xa8, 0x67, 0x5e, 0x67, 0x9a, 0x15, 0x7a, 0x08, 0x34, 0x95, 0xed, 0x7a, 0x01, 0x34, 0xc8};

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16; }
uint64_t U64(const Bytes& b, size_t at) { return U32(b, at) | static_cast<uint64_t>(U32(b, at + 4)) << 32; }

// MD5 from the system's own provider, independent of the library's digest.
Bytes SystemMd5(const uint8_t* data, size_t size) {
    Bytes digest(16);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DWORD length = 16;
    bool ok = CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
              CryptHashData(hash, data, static_cast<DWORD>(size), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0);
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
    if (!ok) digest.clear();
    return digest;
}

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

uint64_t NowFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now.dwLowDateTime | static_cast<uint64_t>(now.dwHighDateTime) << 32;
}

class DocumentTest : public nuvex_win::ScratchTest {
protected:
    // A plain file of `size` pattern bytes, encrypted in place; returns its path.
    std::string MakeDocument(const std::string& name, size_t size, uint32_t seed = 1) {
        std::string path = Scratch(name);
        EXPECT_TRUE(WriteFileBytes(path, PatternBytes(size, seed)));
        EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        return path;
    }
    uint32_t IsDocument(const std::string& path) {
        uint32_t answer = 0xA5;
        EXPECT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &answer), 0u) << path;
        return answer;
    }
    int LeftoverTemporaries() {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((Dir() + "\\*.lumadtmp*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return 0;
        int n = 0;
        do ++n;
        while (FindNextFileA(search, &found));
        FindClose(search);
        return n;
    }
};

TEST_F(DocumentTest, FreshDocumentHasTheHeaderAndABodyUnderTheDefaultKey) {
    // A key the driver never accepted (there is none) leaves the default document key.
    const uint8_t otherKey[20] = {1};
    EXPECT_EQ(NuvexCtrl_SetKey(0, otherKey, sizeof otherKey), 1595u);

    std::string path = Scratch("report.txt");
    Bytes plain = PatternBytes(600, 7);
    ASSERT_TRUE(WriteFileBytes(path, plain));
    uint64_t before = NowFileTime();
    ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    uint64_t after = NowFileTime();
    EXPECT_EQ(LeftoverTemporaries(), 0);

    Bytes doc = ReadFileBytes(path);
    ASSERT_EQ(doc.size(), 4096u + plain.size());
    EXPECT_EQ(std::memcmp(doc.data(), kBanner, sizeof kBanner), 0);  // with its zero byte
    for (size_t i = sizeof kBanner; i < 64; ++i) EXPECT_EQ(doc[i], 0) << i;
    EXPECT_EQ(std::memcmp(doc.data() + 64, kSignature, 16), 0);
    EXPECT_EQ(U16(doc, 80), 3);
    EXPECT_EQ(U16(doc, 82), 1);
    for (size_t i = 84; i < 128; ++i) EXPECT_EQ(doc[i], 0) << i;
    for (size_t i = 128; i < 3968; ++i) ASSERT_EQ(doc[i], 0x7C) << i;
    EXPECT_EQ(U16(doc, 3968), 0);
    EXPECT_EQ(U16(doc, 3972), 0xFFFF);
    EXPECT_EQ(U16(doc, 3974), 0xFFFF);
    EXPECT_EQ(U64(doc, 3976), 0u);
    EXPECT_EQ(U32(doc, 3984), 0u);
    EXPECT_EQ(U32(doc, 3988), 0u);
    uint64_t created = U64(doc, 4000);
    EXPECT_GE(created + 20000000u, before);  // the clock may be read at a coarser grain
    EXPECT_LE(created, after + 20000000u);
    for (size_t i = 4024; i < 4096; ++i) EXPECT_EQ(doc[i], 0) << i;

    uint8_t guid[16] = {};
    EXPECT_EQ(NuvexCtrl_GetFileGUID(path.c_str(), guid), 0u);
    EXPECT_EQ(std::memcmp(guid, doc.data() + 4008, 16), 0);
    EXPECT_NE(Bytes(guid, guid + 16), Bytes(16, 0));

    // Body byte k is plain byte k under the keystream at stream offset 4113 + k.
    for (size_t k = 0; k < 32; ++k) {
        EXPECT_EQ(doc[4096 + k] ^ plain[k], kDocStreamAt4113[k]) << k;
        EXPECT_EQ(doc[4096 + 479 + k] ^ plain[479 + k], kDocStreamAt4592[k]) << 479 + k;
    }
}

TEST_F(DocumentTest, RoundTripsInPlaceAndToAnotherFile) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{12289}}) {
        SCOPED_TRACE(size);
        Bytes plain = PatternBytes(size, static_cast<uint32_t>(size) + 3);
        std::string path = Scratch("doc" + std::to_string(size) + ".bin");
        ASSERT_TRUE(WriteFileBytes(path, plain));
        EXPECT_EQ(IsDocument(path), 0u);
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(IsDocument(path), 1u);
        Bytes doc = ReadFileBytes(path);
        EXPECT_EQ(doc.size(), size + 4096);

        // To another file: the document stays, an existing read-only target is replaced.
        std::string out = Scratch("out" + std::to_string(size) + ".bin");
        ASSERT_TRUE(WriteFileBytes(out, Bytes(50000, 1)));
        ASSERT_TRUE(SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(out), plain);
        EXPECT_EQ(GetFileAttributesA(out.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        EXPECT_EQ(ReadFileBytes(path), doc);

        // In place, with a null target name.
        EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(path), plain);
    }
    EXPECT_EQ(LeftoverTemporaries(), 0);
}

// The extension's exports from a Windows client: the key as an argument, and a stdcall
// progress callback that is called on the calling thread and can cancel.
struct ExProgress {
    DWORD thread = 0;
    int calls = 0;
    int cancelAt = 0;
    bool foreignThread = false;
};

uint32_t NUVEXAPI CountProgress(void* context, const NuvexCtrlExProgressInfo* info) {
    auto* progress = static_cast<ExProgress*>(context);
    if (GetCurrentThreadId() != progress->thread) progress->foreignThread = true;
    ++progress->calls;
    return info->bytesTotal != 0 && progress->calls == progress->cancelAt ? 1 : 0;
}

TEST_F(DocumentTest, ExtensionEnciphersUnderTheCallersKeyWithProgress) {
    const Bytes plain = PatternBytes(3 * 1024 * 1024 + 17, 41);
    const char key[] = "the caller's own key";
    std::string path = Scratch("ex.bin");
    ASSERT_TRUE(WriteFileBytes(path, plain));
    ExProgress progress;
    progress.thread = GetCurrentThreadId();
    ASSERT_EQ(NuvexCtrlEx_EncryptFile(path.c_str(), key, sizeof key - 1, &CountProgress, &progress), 0u);
    EXPECT_GE(progress.calls, 2);
    EXPECT_FALSE(progress.foreignThread);
    EXPECT_EQ(IsDocument(path), 1u);
    const Bytes document = ReadFileBytes(path);

    // Under the module's (default) key the body is garbage; under the caller's it is the text.
    std::string wrong = Scratch("wrong.bin"), right = Scratch("right.bin");
    ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, wrong.c_str(), 0, nullptr, 0), 0u);
    EXPECT_NE(ReadFileBytes(wrong), plain);
    ASSERT_EQ(NuvexCtrlEx_DecryptFile(path.c_str(), right.c_str(), key, sizeof key - 1, nullptr, nullptr), 0u);
    EXPECT_EQ(ReadFileBytes(right), plain);

    // Cancelled in place: the document stays as it was, no temporary file.
    ExProgress cancelling;
    cancelling.thread = GetCurrentThreadId();
    cancelling.cancelAt = 2;
    EXPECT_EQ(NuvexCtrlEx_DecryptFile(path.c_str(), nullptr, key, sizeof key - 1, &CountProgress, &cancelling),
              NUVEX_E_CANCELLED);
    EXPECT_EQ(ReadFileBytes(path), document);
    EXPECT_EQ(LeftoverTemporaries(), 0);
    EXPECT_EQ(NuvexCtrlEx_EncryptFile(path.c_str(), nullptr, 20, nullptr, nullptr), NUVEX_E_KEY_INVALID);
}

TEST_F(DocumentTest, RefusesWhatIsNotToBeDone) {
    std::string doc = MakeDocument("twice.txt", 100);
    Bytes before = ReadFileBytes(doc);
    EXPECT_EQ(NuvexCtrl_EncryptFile(doc.c_str(), 0, nullptr, 0), 651u);
    EXPECT_EQ(ReadFileBytes(doc), before);

    std::string plain = Scratch("plain.txt");
    ASSERT_TRUE(WriteFileBytes(plain, PatternBytes(5000, 2)));
    EXPECT_EQ(NuvexCtrl_DecryptFile(plain.c_str(), 0, nullptr, 0, nullptr, 0), 531u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, nullptr, 0, nullptr, 0), 517u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(nullptr, 0, nullptr, 0, nullptr, 0), 510u);
    EXPECT_EQ(NuvexCtrl_EncryptFile(nullptr, 0, nullptr, 0), 636u);
    EXPECT_EQ(ReadFileBytes(doc), before);
}

TEST_F(DocumentTest, TakesTheNextFreeTemporaryNameAndLeavesOthersAlone) {
    std::string path = Scratch("a.txt");
    Bytes plain = PatternBytes(3000, 4);
    ASSERT_TRUE(WriteFileBytes(path, plain));
    Bytes leftover = {'o', 'l', 'd'};
    ASSERT_TRUE(WriteFileBytes(path + ".lumadtmp1", leftover));
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path + ".lumadtmp1"), leftover);
    EXPECT_FALSE(FileExists(path + ".lumadtmp2"));  // it became the document
    EXPECT_EQ(IsDocument(path), 1u);
}

TEST_F(DocumentTest, ReadOnlyPlainFileIsEncryptedAndLosesReadOnly) {
    std::string path = Scratch("readonly.txt");
    Bytes plain = PatternBytes(700, 5);
    ASSERT_TRUE(WriteFileBytes(path, plain));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(IsDocument(path), 1u);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path), plain);
}

TEST_F(DocumentTest, RecognisesDocumentsByNarrowAndWidePaths) {
    std::string doc = MakeDocument("narrow.doc", 10);
    std::wstring wideDir(Dir().begin(), Dir().end());
    std::wstring wideDoc = wideDir + L"\\dokument-\u00e9\u4e2d\u6587.doc";
    ASSERT_TRUE(CopyFileW(std::wstring(doc.begin(), doc.end()).c_str(), wideDoc.c_str(), FALSE));
    uint32_t answer = 0xA5;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(wideDoc.c_str(), 1, &answer), 0u);
    EXPECT_EQ(answer, 1u);

    std::wstring widePlain = wideDir + L"\\\u00fcbersicht.txt";
    HANDLE h = CreateFileW(widePlain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Bytes filler(5000, 0);
    DWORD written = 0;
    WriteFile(h, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
    CloseHandle(h);
    answer = 0xA5;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(widePlain.c_str(), 1, &answer), 0u);
    EXPECT_EQ(answer, 0u);

    // A document cut to 4095 bytes is none; a missing file gives 486 and 0.
    Bytes cut = ReadFileBytes(doc);
    cut.resize(4095);
    std::string short4095 = Scratch("short.doc");
    ASSERT_TRUE(WriteFileBytes(short4095, cut));
    EXPECT_EQ(IsDocument(short4095), 0u);
    answer = 0xA5;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(Scratch("missing.doc").c_str(), 0, &answer), 486u);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(doc.c_str(), 0, nullptr), 353u);
}

TEST_F(DocumentTest, FilesHeldOpenForWritingByAnotherHandle) {
    std::string doc = MakeDocument("held.doc", 300);
    HANDLE writer = CreateFileA(doc.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    // The first open (read sharing only) fails on sharing; the second one answers.
    EXPECT_EQ(IsDocument(doc), 1u);
    CloseHandle(writer);

    std::string plainPath = Scratch("held.txt");
    Bytes plain = PatternBytes(900, 6);
    ASSERT_TRUE(WriteFileBytes(plainPath, plain));
    writer = CreateFileA(plainPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(NuvexCtrl_EncryptFile(plainPath.c_str(), 0, nullptr, 0), 797u);
    CloseHandle(writer);
    EXPECT_EQ(ReadFileBytes(plainPath), plain);
}

TEST_F(DocumentTest, RightsArePasswordGuardedInTheHeader) {
    std::string doc = MakeDocument("rights.doc", 2000);
    const char password[] = "secret";
    const uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t status = 0;

    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), value, 3, 5, 0x21, password, 6, &status),
              0u);
    EXPECT_EQ(status, 0u);
    Bytes header = ReadFileBytes(doc);
    EXPECT_EQ(U16(header, 3968) & 1, 1);
    EXPECT_EQ(U16(header, 3972), 3);
    EXPECT_EQ(U16(header, 3974), 5);
    EXPECT_EQ(std::memcmp(header.data() + 3976, value, 8), 0);
    EXPECT_EQ(U32(header, 3984), 0x21u | 0x10 | 0x02 | 0x04 | 0x08);
    Bytes digest = SystemMd5(reinterpret_cast<const uint8_t*>(password), 6);
    ASSERT_EQ(digest.size(), 16u);
    EXPECT_EQ(std::memcmp(header.data() + 3988, digest.data(), 4), 0);

    uint32_t printCount = 0;
    uint8_t valueOut[8] = {};
    uint16_t countOut = 0, print16 = 0;
    uint32_t flagsOut = 0;
    status = 0;
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc.c_str(), &printCount, valueOut, &countOut, &print16,
                                        &flagsOut, &status),
              0u);
    EXPECT_EQ(printCount, 5u);
    EXPECT_EQ(std::memcmp(valueOut, value, 8), 0);
    EXPECT_EQ(countOut, 3);
    EXPECT_EQ(print16, 5);
    EXPECT_EQ(flagsOut, 0x3Fu);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);

    // Another password changes nothing.
    Bytes before = ReadFileBytes(doc);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 1, 0, "guess", 5, &status),
              907u);
    EXPECT_EQ(status, NUVEX_RIGHTS_BAD_PASSWORD);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc.c_str(), "guess", 5, &status), 1240u);
    EXPECT_EQ(status, NUVEX_RIGHTS_BAD_PASSWORD);
    EXPECT_EQ(ReadFileBytes(doc), before);

    // Cleared with the password, the next set fixes a new one.
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc.c_str(), password, 6, &status), 0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);
    header = ReadFileBytes(doc);
    EXPECT_EQ(U16(header, 3968) & 1, 0);
    EXPECT_EQ(U16(header, 3972), 0xFFFF);
    EXPECT_EQ(U16(header, 3974), 0xFFFF);
    EXPECT_EQ(U32(header, 3988), 0u);
    printCount = 77;
    EXPECT_EQ(NuvexCtrl_GetEnFileRights(doc.c_str(), &printCount, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
              0u);
    EXPECT_EQ(printCount, 0u);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 0xFFFF, 2, 0, "other", 5, &status),
              0u);
    EXPECT_EQ(status, NUVEX_RIGHTS_ACCEPTED);

    // The body is untouched by all of it.
    Bytes after = ReadFileBytes(doc);
    EXPECT_TRUE(std::equal(after.begin() + 4096, after.end(), before.begin() + 4096));
}

TEST_F(DocumentTest, ReadOnlyDocumentKeepsItsRights) {
    std::string doc = MakeDocument("locked.doc", 100);
    ASSERT_TRUE(SetFileAttributesA(doc.c_str(), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the read-only attribute as missing write permission, which does not stop
    // a process that runs as root on Linux.
    HANDLE probe = CreateFileA(doc.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        SetFileAttributesA(doc.c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "read-only files are writable here (Wine running as root)";
    }
    Bytes before = ReadFileBytes(doc);
    uint32_t status = 0;
    NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 1, 0, "pw", 2, &status);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(ReadFileBytes(doc), before);
    SetFileAttributesA(doc.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(DocumentTest, DriverSideRightsNeedTheDriver) {
    std::string doc = MakeDocument("bydrv.doc", 100);
    uint32_t status = 0;
    ASSERT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 4, 0, "pw", 2, &status), 0u);
    Bytes before = ReadFileBytes(doc);
    uint16_t print = 0, count = 0x1234;
    uint32_t flags = 0x5678;
    EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(doc.c_str(), nullptr, &count, &print, &flags), 1499u);
    EXPECT_EQ(print, 0xFFFF);
    EXPECT_EQ(count, 0x1234);
    EXPECT_EQ(flags, 0x5678u);
    EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(doc.c_str(), 9), 1395u);
    EXPECT_EQ(ReadFileBytes(doc), before);
}

TEST_F(DocumentTest, GuidsAreNewForEachDocument) {
    std::string a = MakeDocument("a.doc", 5000, 9);
    std::string b = MakeDocument("b.doc", 5000, 9);
    uint8_t ga[16] = {}, gb[16] = {};
    EXPECT_EQ(NuvexCtrl_GetFileGUID(a.c_str(), ga), 0u);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(b.c_str(), gb), 0u);
    EXPECT_NE(std::memcmp(ga, gb, 16), 0);
    // Same plain bytes, same key: the bodies agree.
    Bytes da = ReadFileBytes(a), db = ReadFileBytes(b);
    EXPECT_TRUE(std::equal(da.begin() + 4096, da.end(), db.begin() + 4096));

    std::string plain = Scratch("plain.bin");
    ASSERT_TRUE(WriteFileBytes(plain, PatternBytes(5000, 1)));
    EXPECT_EQ(NuvexCtrl_GetFileGUID(plain.c_str(), ga), 1530u);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(nullptr, ga), 1522u);
}

// ---- whole files: long names, devices, attributes, files held by others, races ----------

TEST_F(DocumentTest, TargetsOfUpTo259CharactersWork) {
    // "<target>.lumadtmp<n>" would pass MAX_PATH; the temporary name is cut to fit instead.
    for (size_t total : {size_t{255}, size_t{259}}) {
        SCOPED_TRACE(total);
        ASSERT_LT(Dir().size() + 2, total);
        std::string target = Scratch(std::string(total - Dir().size() - 1, 'T'));
        ASSERT_EQ(target.size(), total);
        Bytes plain = PatternBytes(5000, static_cast<uint32_t>(total));
        std::string doc = MakeDocument("source.doc", 5000, static_cast<uint32_t>(total));
        Bytes document = ReadFileBytes(doc);
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), plain) << "new target";
        ASSERT_TRUE(WriteFileBytes(target, Bytes(10, 1)));
        EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), plain) << "existing target";
        EXPECT_EQ(ReadFileBytes(doc), document);
        // The long path itself encrypted and decrypted in place.
        EXPECT_EQ(NuvexCtrl_EncryptFile(target.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(IsDocument(target), 1u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(target.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(target), plain);
        EXPECT_EQ(LeftoverTemporaries(), 0);
        DeleteFileA(target.c_str());
        DeleteFileA(doc.c_str());
    }
}

TEST_F(DocumentTest, LastNamesOf246To255CharactersWork) {
    // "<name>.lumadtmp<n>" would pass the 255 characters of one name. Near the root of the
    // drive, so that the whole path stays below MAX_PATH.
    const std::string folder = "C:\\nv" + std::to_string(GetTickCount() % 10000);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    std::vector<std::string> paths;
    for (size_t length : {size_t{246}, size_t{249}})
        paths.push_back(folder + "\\" + std::string(length, 'n'));
    paths.push_back("C:\\" + std::string(255, 'r'));  // 258 characters
    for (const std::string& path : paths) {
        SCOPED_TRACE(path.size());
        Bytes plain = PatternBytes(3000, 9);
        ASSERT_TRUE(WriteFileBytes(path, plain));
        EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(IsDocument(path), 1u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(ReadFileBytes(path), plain);
        DeleteFileA(path.c_str());
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.lumadtmp*").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file was left";
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    nuvex_win::RemoveTree(folder);
}

// The wide form of an 8-bit path in the ANSI code page, prefixed "\\?\" so that no length
// limit applies to the test's own calls.
std::wstring LongWide(const std::string& path) {
    const int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(units > 0 ? units - 1 : 0, L'\0');
    if (units > 1) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), units);
    return L"\\\\?\\" + wide;
}

// Characters of an 8-bit path in the ANSI code page, as the system counts them.
size_t Characters(const std::string& path) {
    return static_cast<size_t>(
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0));
}

// Encrypts `path` (holding `plain`), decrypts it to `other` and in place; no temporary file
// is left in `folder`.
void ExpectRoundTrip(const std::string& path, const std::string& other, const Bytes& plain,
                     const std::string& folder) {
    EXPECT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
    uint32_t answer = 0;
    EXPECT_EQ(NuvexCtrl_IsEncryptFile(path.c_str(), 0, &answer), 0u);
    EXPECT_EQ(answer, 1u);
    EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, other.c_str(), 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(other), plain) << "decrypted to another file";
    EXPECT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(ReadFileBytes(path), plain) << "decrypted in place";
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((LongWide(folder) + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do
        if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(names.size(), 2u) << "a temporary file was left";
}

TEST_F(DocumentTest, BareNamesWork) {
    // The replace is handed the full path, so a name relative to the current directory works
    // in every direction.
    char previous[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(Dir().c_str()));
    Bytes plain = PatternBytes(7000, 21);
    ASSERT_TRUE(WriteFileBytes("bare.txt", plain));
    ExpectRoundTrip("bare.txt", "copy.txt", plain, Dir());
    ExpectRoundTrip(".\\bare.txt", "..\\" + Dir().substr(Dir().rfind('\\') + 1) + "\\copy.txt",
                    plain, Dir());
    SetCurrentDirectoryA(previous);
}

// Whether the system's own ReplaceFileA works in `folder`. Wine's moves the replaced file aside
// under a name it makes there with GetTempFileName ("rf" and four digits, ".tmp"), which needs
// 14 characters of room within MAX_PATH.
bool SystemReplaceWorks(const std::string& folder) {
    const std::string replaced = folder + "\\p", replacement = folder + "\\q";
    bool works = WriteFileBytes(replaced, Bytes(1, 1)) && WriteFileBytes(replacement, Bytes(1, 2)) &&
                 ReplaceFileA(replaced.c_str(), replacement.c_str(), nullptr, 0, nullptr, nullptr);
    DeleteFileA(replaced.c_str());
    DeleteFileA(replacement.c_str());
    return works;
}

TEST_F(DocumentTest, FoldersThatNearlyFillMaxPathWork) {
    // A folder of 248 to 257 characters leaves no room for "<name>.lumadtmp<n>" within
    // MAX_PATH, yet a target of up to 259 characters in it is valid. The folders are made
    // through the wide calls (the ANSI ones stop folders at 247 characters).
    const std::string base = "C:\\nvf" + std::to_string(GetTickCount() % 100000);
    for (size_t length : {size_t{248}, size_t{250}, size_t{253}, size_t{256}, size_t{257}}) {
        SCOPED_TRACE(length);
        const std::string folder = base + "\\" + std::string(length - base.size() - 1, 'f');
        ASSERT_TRUE(CreateDirectoryW(LongWide(base).c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(CreateDirectoryW(LongWide(folder).c_str(), nullptr)) << GetLastError();
        const std::string target = folder + (length < 257 ? "\\ab" : "\\a");
        Bytes plain = PatternBytes(5000, static_cast<uint32_t>(length));
        ASSERT_TRUE(WriteFileBytes(target, plain));
        if (SystemReplaceWorks(folder)) {
            ExpectRoundTrip(target, folder + "\\c", plain, folder);
        } else {
            // Where the system cannot replace a file at all, the temporary names still fit:
            // the complete document is made and kept beside the untouched plain file, and a
            // new decryption target (a rename, no replace) is written.
            RecordProperty("system_replace_fails_in_folder_of", static_cast<int>(length));
            EXPECT_EQ(NuvexCtrl_EncryptFile(target.c_str(), 0, nullptr, 0), 776u);
            EXPECT_EQ(ReadFileBytes(target), plain);
            const std::string doc = MakeDocument("near.doc", 5000, static_cast<uint32_t>(length));
            EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, (folder + "\\c").c_str(), 0, nullptr, 0),
                      0u);
            EXPECT_EQ(ReadFileBytes(folder + "\\c"), plain);
        }
        nuvex_win::RemoveTreeW(LongWide(base));
    }
}

// The current folder is a folder whose name the ANSI code page cannot hold ("dirā" under 1252,
// "a¥b" under 932, where ¥ is the byte of '\'): a relative name is resolved in UTF-16, so the
// file in that folder is the one changed, never the file of the look-alike folder that the
// code page's best fit names ("dira", "a\b").
TEST_F(DocumentTest, CurrentFolderOutsideTheCodePage) {
    struct Folder {
        UINT codePage;
        const wchar_t* name;       // the current folder
        const wchar_t* lookAlike;  // what GetFullPathNameA would make of it
    };
    const Folder folders[] = {{1252, L"dir\u0101", L"dira"}, {932, L"a\u00A5b", L"a\\b"}};
    const UINT codePage = GetACP();
    bool ran = false;
    for (const Folder& f : folders) {
        if (f.codePage != codePage) continue;
        ran = true;
        const std::wstring base = nuvex_win::Widen(Dir());
        const std::wstring real = base + L"\\" + f.name;
        const std::wstring lookAlike = base + L"\\" + f.lookAlike;
        ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
        if (std::wstring(f.lookAlike).find(L'\\') != std::wstring::npos)
            ASSERT_TRUE(CreateDirectoryW((base + L"\\a").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(lookAlike.c_str(), nullptr));
        const Bytes plain = PatternBytes(5000, 31), decoy = PatternBytes(3000, 32);
        for (const std::wstring& folder : {real, lookAlike}) {
            ASSERT_TRUE(nuvex_win::WriteFileBytesW(folder + L"\\z.txt", folder == real ? plain : decoy));
            ASSERT_TRUE(nuvex_win::WriteFileBytesW(folder + L"\\x.txt", folder == real ? plain : decoy));
        }
        wchar_t previous[MAX_PATH] = {};
        ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
        ASSERT_TRUE(SetCurrentDirectoryW(real.c_str()));
        EXPECT_EQ(NuvexCtrl_EncryptFile("z.txt", 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile("z.txt", 1, "x.txt", 0, nullptr, 0), 0u);
        EXPECT_EQ(NuvexCtrl_DecryptFile("z.txt", 0, nullptr, 0, nullptr, 0), 0u);
        SetCurrentDirectoryW(previous);
        EXPECT_EQ(nuvex_win::ReadFileBytesW(real + L"\\z.txt"), plain);
        EXPECT_EQ(nuvex_win::ReadFileBytesW(real + L"\\x.txt"), plain);
        EXPECT_EQ(nuvex_win::ReadFileBytesW(lookAlike + L"\\z.txt"), decoy);
        EXPECT_EQ(nuvex_win::ReadFileBytesW(lookAlike + L"\\x.txt"), decoy);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((lookAlike + L"\\*.lumadtmp*").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file in the look-alike folder";
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
    }
    if (!ran) GTEST_SKIP() << "no case for the ANSI code page " << codePage;
}

// A program that opens the file for writing like an editor saving (GENERIC_WRITE, read
// sharing, retrying every millisecond while refused) while the file is encrypted or decrypted
// in place: its bytes end up in the result, or the call fails and they are in the file as it
// wrote them. They are never replaced away with a result of 0.
struct EditorWrite {
    std::string path;
    DWORD delayMs = 0;
    LONG wrote = 0;  // the editor's write succeeded
    LONG stop = 0;
};

DWORD WINAPI EditorSaves(void* context) {
    auto* editor = static_cast<EditorWrite*>(context);
    Sleep(editor->delayMs);
    while (InterlockedCompareExchange(&editor->stop, 0, 0) == 0) {
        HANDLE file = CreateFileA(editor->path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        static const char kMark[] = "EDITOR-SAVED-THIS";
        DWORD written = 0;
        SetFilePointer(file, 1000000, nullptr, FILE_BEGIN);
        const BOOL ok = WriteFile(file, kMark, sizeof kMark - 1, &written, nullptr);
        CloseHandle(file);
        if (ok && written == sizeof kMark - 1) InterlockedExchange(&editor->wrote, 1);
        break;
    }
    return 0;
}

bool HoldsEditorMark(const Bytes& bytes) {
    static const std::string kMark = "EDITOR-SAVED-THIS";
    return std::search(bytes.begin(), bytes.end(), kMark.begin(), kMark.end()) != bytes.end();
}

TEST_F(DocumentTest, EditorsSaveDuringAReplaceIsNeverLost) {
    const int trials = nuvex_win::EnvInt("NUVEX_EDITOR_TRIALS", 40);
    const Bytes plain = PatternBytes(2 << 20, 41);
    const std::string path = Scratch("edited.txt");
    const std::string check = Scratch("edited.check");
    for (int direction : {0, 1}) {
        // How long one call takes, to spread the editor's start over it.
        ASSERT_TRUE(WriteFileBytes(path, plain));
        if (direction == 1) ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        const DWORD start = GetTickCount();
        ASSERT_EQ(direction == 0 ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
                                 : NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0),
                  0u);
        const DWORD span = GetTickCount() - start + 1;
        int lost = 0, inResult = 0, failedAndKept = 0, refusedAtStart = 0;
        for (int trial = 0; trial < trials; ++trial) {
            ASSERT_TRUE(WriteFileBytes(path, plain));
            if (direction == 1) ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
            EditorWrite editor;
            editor.path = path;
            editor.delayMs = span * static_cast<DWORD>(trial) / static_cast<DWORD>(trials);
            HANDLE thread = CreateThread(nullptr, 0, EditorSaves, &editor, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            const uint32_t result = direction == 0
                                        ? NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0)
                                        : NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0);
            Sleep(5);
            InterlockedExchange(&editor.stop, 1);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            if (editor.wrote == 0) continue;
            // Where the editor's bytes are: in the file as it is, or (a document) in what it
            // decrypts to.
            // A write into a document before the decryption took hold of it comes out
            // deciphered: it is found by enciphering the result again (the body's bytes depend
            // only on the plain bytes and the key).
            Bytes now = ReadFileBytes(path);
            bool kept = HoldsEditorMark(now);
            if (!kept && IsDocument(path) == 1) {
                kept = NuvexCtrl_DecryptFile(path.c_str(), 1, check.c_str(), 0, nullptr, 0) == 0 &&
                       HoldsEditorMark(ReadFileBytes(check));
            } else if (!kept && direction == 1) {
                kept = WriteFileBytes(check, now) &&
                       NuvexCtrl_EncryptFile(check.c_str(), 0, nullptr, 0) == 0 &&
                       HoldsEditorMark(ReadFileBytes(check));
            }
            if (!kept) {
                ++lost;
                std::printf("lost: trial %d, delay %lu ms, result %u, file of %u bytes, %s\n", trial,
                            static_cast<unsigned long>(editor.delayMs), result,
                            static_cast<unsigned>(now.size()), IsDocument(path) ? "a document" : "plain");
            }
            else if (result == 0) ++inResult;
            else if (result == 797 || result == NUVEX_E_DOC_BUSY) ++refusedAtStart;
            else ++failedAndKept;
            if (result != 0)
                EXPECT_TRUE(result == 797 || result == NUVEX_E_DOC_BUSY || result == NUVEX_E_SOURCE_CHANGED ||
                            result == 776 || result == NUVEX_E_REPLACE_FAILED)
                    << result;
            EXPECT_EQ(LeftoverTemporaries() > 0 && result == 0, false);
            for (const std::string& leftover : {path + ".lumadtmp1", check}) DeleteFileA(leftover.c_str());
        }
        std::printf("editor saves (%s, %d trials over %lu ms): lost %d, in the result %d, call "
                    "failed and write kept %d, refused at the start %d\n",
                    direction == 0 ? "encrypt" : "decrypt in place", trials,
                    static_cast<unsigned long>(span), lost, inResult, failedAndKept, refusedAtStart);
        EXPECT_EQ(lost, 0) << (direction == 0 ? "encrypt" : "decrypt in place");
    }
}

// An on-access scanner: opens every new temporary file it finds in the folder, reads it and
// holds it about 50 ms without sharing deleting, as virus scanners do with new files.
struct Scanner {
    std::string folder;
    LONG stop = 0;
    LONG looks = 0;
};

DWORD WINAPI ScanNewFiles(void* context) {
    auto* scanner = static_cast<Scanner*>(context);
    std::set<std::string> scanned;  // names looked at that are still there
    while (InterlockedCompareExchange(&scanner->stop, 0, 0) == 0) {
        std::set<std::string> present;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((scanner->folder + "\\*.lumadtmp*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do present.insert(found.cFileName);
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
        // Each new file once: a name is looked at again only after it has gone.
        for (auto it = scanned.begin(); it != scanned.end();)
            it = present.count(*it) != 0 ? std::next(it) : scanned.erase(it);
        for (const std::string& name : present) {
            if (!scanned.insert(name).second) continue;
            HANDLE file = CreateFileA((scanner->folder + "\\" + name).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) continue;
            char head[512];
            DWORD read = 0;
            ReadFile(file, head, sizeof head, &read, nullptr);
            InterlockedIncrement(&scanner->looks);
            Sleep(50);
            CloseHandle(file);
        }
        Sleep(1);
    }
    return 0;
}

// The scanner holds each of the operation's temporary files for a moment: the call waits for
// it (a bounded time) and succeeds, whether it replaces a file or makes a new one.
TEST_F(DocumentTest, OnAccessScannersAreWaitedFor) {
    Scanner scanner;
    scanner.folder = Dir();
    HANDLE thread = CreateThread(nullptr, 0, ScanNewFiles, &scanner, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const Bytes plain = PatternBytes(200000, 53);
    const std::string path = Scratch("scanned.txt");
    const std::string out = Scratch("scanned.out");
    int failures = 0;
    for (int call = 0; call < 30; ++call) {
        ASSERT_TRUE(WriteFileBytes(path, plain));
        DeleteFileA(out.c_str());
        const uint32_t encrypted = NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0);
        const uint32_t decrypted =
            encrypted == 0 ? NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0) : 1;
        if (encrypted != 0 || decrypted != 0) {
            ++failures;
            ADD_FAILURE() << "call " << call << ": encrypt " << encrypted << ", decrypt to a new file "
                          << decrypted;
        } else {
            EXPECT_EQ(ReadFileBytes(out), plain);
        }
    }
    InterlockedExchange(&scanner.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    std::printf("scanner: 30 encrypts and 30 decrypts to a new file, %ld temporary files held "
                "50 ms each, %d failures\n", scanner.looks, failures);
    EXPECT_EQ(LeftoverTemporaries(), 0);
}

TEST_F(DocumentTest, CodePage932PathsRoundTrip) {
    // Run under LC_ALL=ja_JP.UTF-8 by the test wine_documents_cp932. Paths in Shift-JIS: most
    // characters take two bytes, and in U+30BD and U+8868 the second byte is '\'. Limits are
    // counted in characters: 179 characters of about 340 bytes, and 259 characters, whose
    // temporary name must be cut between characters.
    if (GetACP() != 932)
        GTEST_SKIP() << "the ANSI code page is " << GetACP()
                     << ", not 932 (wine_documents_cp932 runs this under a Japanese locale)";
    const std::string so = "\x83\x5C", hyo = "\x95\x5C", a = "\x83\x41", ru = "\x83\x8B";
    auto text = [&](size_t characters) {
        std::string out;
        const std::string units[] = {so, a, hyo, ru};
        for (size_t i = 0; i < characters; ++i) out += units[i % 4];
        return out;
    };
    // Folders of 60 characters: one name holds at most 255 bytes on the Linux side, where each
    // of these characters takes three.
    const std::string base = "C:\\nvj" + std::to_string(GetTickCount() % 100000);
    std::string folder = base;
    ASSERT_TRUE(CreateDirectoryW(LongWide(folder).c_str(), nullptr));
    for (size_t total : {size_t{179}, size_t{259}}) {
        SCOPED_TRACE(total);
        while (Characters(folder) + 86 < total) {
            folder += "\\" + text(60);
            ASSERT_TRUE(CreateDirectoryW(LongWide(folder).c_str(), nullptr));
        }
        const std::string target = folder + "\\" + text(total - Characters(folder) - 1);
        ASSERT_EQ(Characters(target), total);
        ASSERT_GT(target.size(), 259u);
        Bytes plain = PatternBytes(6000, static_cast<uint32_t>(total));
        ASSERT_TRUE(WriteFileBytes(target, plain));
        ExpectRoundTrip(target, folder + "\\" + so + ".out", plain, folder);
        DeleteFileW(LongWide(target).c_str());
        DeleteFileW(LongWide(folder + "\\" + so + ".out").c_str());
    }
    nuvex_win::RemoveTreeW(LongWide(base));
}

TEST_F(DocumentTest, DevicesAreNotDocuments) {
    // Nothing is written to the null device nor read from the console.
    std::string doc = MakeDocument("doc.doc", 100);
    for (const char* device : {"NUL", "CON", "CONIN$", "\\\\.\\NUL"}) {
        SCOPED_TRACE(device);
        uint32_t answer = 7, status = 0, print = 0;
        uint8_t guid[16];
        char code[32];
        uint16_t print16 = 0;
        EXPECT_EQ(NuvexCtrl_IsEncryptFile(device, 0, &answer), 486u);
        EXPECT_EQ(answer, 0u);
        EXPECT_EQ(NuvexCtrl_EncryptFile(device, 0, nullptr, 0), 797u);
        EXPECT_EQ(NuvexCtrl_DecryptFile(device, 0, nullptr, 0, nullptr, 0), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_SetEnFileRights(device, nullptr, 1, 1, 0, "pw", 2, &status), 846u);
        EXPECT_EQ(NuvexCtrl_ClearEnFileRights(device, "pw", 2, &status), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
        EXPECT_EQ(NuvexCtrl_GetEnFileRights(device, &print, nullptr, nullptr, nullptr, nullptr,
                                            &status),
                  1068u);
        EXPECT_EQ(NuvexCtrl_GetFileGUID(device, guid), NUVEX_E_DOC_OPEN_FAILED);
        EXPECT_EQ(NuvexCtrl_GetProcSignCode(device, code), 1202u);
        EXPECT_EQ(NuvexCtrl_GetFileRightsByDrv(device, nullptr, nullptr, &print16, nullptr), 1510u);
        EXPECT_EQ(NuvexCtrl_SetFileRightsByDrv(device, 1), 1406u);
    }
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 1, "NUL", 0, nullptr, 0), 609u);
    EXPECT_EQ(LeftoverTemporaries(), 0);
}

// The access-control list of a file as text ("" when it cannot be read).
std::string DaclText(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return "";
    char* text = nullptr;
    std::string result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

// Gives a file a protected list of its own: full access for its owner, reading for everyone.
bool SetDistinctDacl(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    bool ok = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
              SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION |
                                        PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return ok;
}

TEST_F(DocumentTest, FilesKeepTheirAttributes) {
    {
        // The access-control list is the file's, not the folder's nor the temporary file's:
        // kept by encrypt and decrypt in place, given by a document to a new target.
        std::string path = Scratch("listed.txt");
        ASSERT_TRUE(WriteFileBytes(path, PatternBytes(900, 5)));
        ASSERT_TRUE(SetDistinctDacl(path));
        const std::string dacl = DaclText(path);
        ASSERT_NE(dacl, "");
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(DaclText(path), dacl) << "encrypted";
        std::string out = Scratch("listed.out");
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(DaclText(out), dacl) << "new target";
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(DaclText(path), dacl) << "decrypted in place";
        DeleteFileA(path.c_str());
        DeleteFileA(out.c_str());
    }
    const DWORD watched = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
    for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                             DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY},
                             DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
        SCOPED_TRACE(attributes);
        const DWORD kept = attributes & ~FILE_ATTRIBUTE_READONLY;  // the read-only rule stays
        std::string path = Scratch("attributed.txt");
        Bytes plain = PatternBytes(700, 3);
        ASSERT_TRUE(WriteFileBytes(path, plain));
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
        ASSERT_EQ(GetFileAttributesA(path.c_str()) & watched, attributes);
        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(path.c_str()) & watched, kept) << "encrypted";
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 0, nullptr, 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(path.c_str()) & watched, kept) << "decrypted in place";
        EXPECT_EQ(ReadFileBytes(path), plain);

        ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        std::string out = Scratch("out.txt");
        ASSERT_TRUE(WriteFileBytes(out, Bytes(3, 3)));
        ASSERT_TRUE(SetFileAttributesA(out.c_str(), attributes));
        ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
        EXPECT_EQ(GetFileAttributesA(out.c_str()) & watched, kept) << "existing target";
        EXPECT_EQ(ReadFileBytes(out), plain);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
        DeleteFileA(out.c_str());
    }
    EXPECT_EQ(LeftoverTemporaries(), 0);
}

TEST_F(DocumentTest, HeldDocumentsAreNotCalledPlain) {
    std::string doc = MakeDocument("held.doc", 500);
    HANDLE holder = CreateFileA(doc.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    uint32_t status = 0;
    uint8_t guid[16];
    EXPECT_EQ(NuvexCtrl_DecryptFile(doc.c_str(), 0, nullptr, 0, nullptr, 0), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc.c_str(), guid), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(NuvexCtrl_ClearEnFileRights(doc.c_str(), "pw", 2, &status), NUVEX_E_DOC_OPEN_FAILED);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    EXPECT_EQ(NuvexCtrl_SetEnFileRights(doc.c_str(), nullptr, 1, 1, 0, "pw", 2, &status), 846u);
    EXPECT_EQ(status, NUVEX_RIGHTS_PENDING);
    CloseHandle(holder);
    EXPECT_EQ(NuvexCtrl_GetFileGUID(doc.c_str(), guid), 0u);
}

struct RaceShared {
    const char* path;
    bool encrypt;
    HANDLE start;
    uint32_t result;
};

DWORD WINAPI Contend(LPVOID parameter) {
    auto* shared = static_cast<RaceShared*>(parameter);
    WaitForSingleObject(shared->start, INFINITE);
    shared->result = shared->encrypt ? NuvexCtrl_EncryptFile(shared->path, 0, nullptr, 0)
                                     : NuvexCtrl_DecryptFile(shared->path, 0, nullptr, 0, nullptr, 0);
    return 0;
}

TEST_F(DocumentTest, OneOperationPerFileBetweenThreads) {
    // Two threads encrypt one file, or decrypt one document in place, at the same moment:
    // one succeeds, the other fails with a code, and the file is never damaged.
    Bytes plain = PatternBytes(3000, 11);
    std::string path = Scratch("raced.txt");
    int overlapped = 0;
    const int trials = 100;
    for (int trial = 0; trial < trials; ++trial) {
        const bool encrypt = trial % 2 == 0;
        ASSERT_TRUE(WriteFileBytes(path, plain));
        if (!encrypt) ASSERT_EQ(NuvexCtrl_EncryptFile(path.c_str(), 0, nullptr, 0), 0u);
        HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        RaceShared shared[2] = {{path.c_str(), encrypt, start, 0},
                                {path.c_str(), encrypt, start, 0}};
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i)
            threads[i] = CreateThread(nullptr, 0, Contend, &shared[i], 0, nullptr);
        SetEvent(start);
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        for (HANDLE thread : threads) CloseHandle(thread);
        CloseHandle(start);
        const uint32_t a = shared[0].result, b = shared[1].result;
        SCOPED_TRACE("trial " + std::to_string(trial) + ": " + std::to_string(a) + "/" +
                     std::to_string(b));
        ASSERT_TRUE((a == 0) != (b == 0)) << "exactly one succeeds";
        const uint32_t lost = a == 0 ? b : a;
        if (encrypt) {
            ASSERT_TRUE(lost == 797 || lost == 651);
            Bytes now = ReadFileBytes(path);
            ASSERT_EQ(now.size(), plain.size() + 4096) << "encrypted once";
            std::string out = Scratch("check.txt");
            ASSERT_EQ(NuvexCtrl_DecryptFile(path.c_str(), 1, out.c_str(), 0, nullptr, 0), 0u);
            ASSERT_EQ(ReadFileBytes(out), plain);
            DeleteFileA(out.c_str());
        } else {
            // 2401: the name was between files for a moment, inside the winner's replace.
            ASSERT_TRUE(lost == NUVEX_E_DOC_BUSY || lost == 531u || lost == NUVEX_E_DOC_OPEN_FAILED);
            ASSERT_EQ(ReadFileBytes(path), plain);
        }
        if (lost == 797 || lost == NUVEX_E_DOC_BUSY || lost == NUVEX_E_DOC_OPEN_FAILED) ++overlapped;
        ASSERT_EQ(LeftoverTemporaries(), 0);
    }
    std::printf("wine race: %d trials, %d overlapping\n", trials, overlapped);
}

// A number from the environment, or `fallback`.
uint32_t EnvNumber(const char* name, uint32_t fallback) {
    char text[32];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    return length > 0 && length < sizeof text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                                              : fallback;
}

// Runs win_document_child.exe `verb` `path`; ends it with TerminateProcess after `killAfterMs`
// unless it has finished by then. Returns its exit code, or -1 when it was ended.
int64_t RunChild(const std::string& verb, const std::string& path, DWORD killAfterMs) {
    std::string command = "\"" + nuvex_win::ModuleDirectory() + "win_document_child.exe\" " + verb +
                          " \"" + path + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -2;
    int64_t result = -1;
    if (WaitForSingleObject(process.hProcess, killAfterMs) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 9999);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code) && code != 9999) result = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

// A process ended at any moment while it encrypts or decrypts a file in place leaves the
// complete old file or the complete new one under the name, never nothing: the replace is one
// rename, whatever the platform's ReplaceFileA would do in several steps.
// NUVEX_WINE_KILL_TRIALS sets the trials (default 12), NUVEX_WINE_KILL_MIB the file's size in
// MiB (default 4), NUVEX_WINE_KILL_SEED the seed of the kill moments.
TEST_F(DocumentTest, KilledProcessLeavesTheOldFileOrTheNewOne) {
    const uint32_t trials = EnvNumber("NUVEX_WINE_KILL_TRIALS", 12);
    const size_t size = size_t{EnvNumber("NUVEX_WINE_KILL_MIB", 4)} << 20;
    uint32_t seed = EnvNumber("NUVEX_WINE_KILL_SEED", GetTickCount());
    const Bytes plain = PatternBytes(size, 29);
    const std::string path = Scratch("killed.bin");
    ASSERT_TRUE(WriteFileBytes(path, plain));

    // One unhurried run each way: the document's body (the same for every encryption under
    // the default key) and how long each direction takes.
    DWORD began = GetTickCount();
    ASSERT_EQ(RunChild("encrypt", path, INFINITE), 0);
    const DWORD encryptMs = GetTickCount() - began + 1;
    const Bytes document = ReadFileBytes(path);
    ASSERT_EQ(document.size(), size + 4096);
    began = GetTickCount();
    ASSERT_EQ(RunChild("decrypt", path, INFINITE), 0);
    const DWORD decryptMs = GetTickCount() - began + 1;
    ASSERT_EQ(ReadFileBytes(path), plain);

    uint32_t kept = 0, replaced = 0, finished = 0;
    bool isDocument = false;
    for (uint32_t trial = 0; trial < trials; ++trial) {
        seed = seed * 1664525u + 1013904223u;
        const DWORD span = isDocument ? decryptMs : encryptMs;
        const DWORD killAfter = (seed >> 8) % (span + span / 8 + 1);
        const int64_t result = RunChild(isDocument ? "decrypt" : "encrypt", path, killAfter);
        SCOPED_TRACE("trial " + std::to_string(trial) + (isDocument ? ", decrypt" : ", encrypt") +
                     ", killed after " + std::to_string(killAfter) + " ms, result " +
                     std::to_string(result));
        ASSERT_TRUE(FileExists(path)) << "nothing under the name";
        const Bytes now = ReadFileBytes(path);
        const bool plainNow = now == plain;
        const bool documentNow = now.size() == document.size() &&
                                 std::memcmp(now.data() + 4096, document.data() + 4096, size) == 0 &&
                                 IsDocument(path) == 1;
        ASSERT_TRUE(plainNow || documentNow) << "the name holds " << now.size() << " other bytes";
        if (result >= 0) {
            ASSERT_EQ(result, 0);
            ++finished;
        }
        if (documentNow != isDocument)
            ++replaced;
        else
            ++kept;
        isDocument = documentNow;
        // A process ended before its replace leaves its temporary file: that is expected.
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((Dir() + "\\*.lumadtmp*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do DeleteFileA(Scratch(found.cFileName).c_str());
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
    }
    std::printf("wine kills: %u trials of %u MiB (encrypt %lu ms, decrypt %lu ms unhurried): "
                "%u old file kept, %u new file in place (%u finished before the kill), "
                "0 names empty\n",
                trials, static_cast<unsigned>(size >> 20), static_cast<unsigned long>(encryptMs),
                static_cast<unsigned long>(decryptMs), kept, replaced, finished);
}

class SignCodeTest : public nuvex_win::ScratchTest {
protected:
    std::string CodeOf(const Bytes& content, uint32_t* result) {
        std::string path = Scratch("program.exe");
        EXPECT_TRUE(WriteFileBytes(path, content));
        char code[40];
        std::memset(code, '#', sizeof code);
        *result = NuvexCtrl_GetProcSignCode(path.c_str(), code);
        EXPECT_EQ(code[32], '#');  // only 32 bytes are written
        return std::string(code, 32);
    }
};

TEST_F(SignCodeTest, CodeIsTheDigestOfTheSignedRegion) {
    uint32_t result = 0;
    Bytes content(4099, 0x11);
    content[4096] = 'a';
    content[4097] = 'b';
    content[4098] = 'c';
    EXPECT_EQ(CodeOf(content, &result), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(result, 0u);

    Bytes big = PatternBytes(20000, 12);
    std::string expected = Hex(SystemMd5(big.data() + 4096, 8192));
    EXPECT_EQ(CodeOf(big, &result), expected);
    big[100] ^= 1;
    big[15000] ^= 1;
    EXPECT_EQ(CodeOf(big, &result), expected);
    big[5000] ^= 1;
    EXPECT_NE(CodeOf(big, &result), expected);
}

TEST_F(SignCodeTest, FilesWithoutASignedRegion) {
    uint32_t result = 0;
    std::string untouched(32, '#');
    EXPECT_EQ(CodeOf(Bytes(4096, 1), &result), untouched);
    EXPECT_EQ(result, 1192u);
    char code[32];
    EXPECT_EQ(NuvexCtrl_GetProcSignCode(Scratch("missing.exe").c_str(), code), 1202u);
    EXPECT_EQ(NuvexCtrl_GetProcSignCode(nullptr, code), 1164u);
}

}  // namespace
