// Files on the host platform: dispositions, share modes within and across processes, the
// read-only rule, names (delete, move, copy, attributes) and the file-operation hooks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "machine_root.h"
#include "platform/host/host_hooks.h"
#include "platform/path_text.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class HostFiles : public MachineRootTest {
protected:
    HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    std::string Backslashed(std::string path) {
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    }
};

TEST_F(HostFiles, DispositionsCreateOpenAndTruncateAsWindowsDoes) {
    std::string path = Scratch("a.bin");
    EXPECT_EQ(Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(Scratch("none/a.bin"), GENERIC_READ, kShareAll, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = Open(path, GENERIC_READ, kShareAll, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 5u);
    CloseHandle(h);

    h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);

    EXPECT_EQ(Open(path, GENERIC_READ, kShareAll, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

TEST_F(HostFiles, BackslashesAndUtf16NamesReachTheSameFile) {
    std::string path = Scratch("wide.txt");
    HANDLE h = Open(Backslashed(path), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    std::u16string wide(path.begin(), path.end());
    h = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    std::u16string accented = std::u16string(path.begin(), path.end() - 4) + u"\u00e9\U0001F600";
    h = CreateFileW(accented.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(FileExists(path.substr(0, path.size() - 4) + "\xC3\xA9\xF0\x9F\x98\x80"));
}

TEST_F(HostFiles, FullPathsResolveAgainstTheCurrentDirectoryWithWindowsBufferRules) {
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    const std::string scratch = Scratch("");
    ASSERT_EQ(::chdir(scratch.c_str()), 0);
    struct Case {
        const char* given;
        std::string full;
    } cases[] = {
        {"x.txt", scratch + "x.txt"},
        {"sub\\y.txt", scratch + "sub/y.txt"},
        {"./z", scratch + "./z"},  // not folded: through a link "." and ".." mean what they say
        {"\\abs\\olute", "/abs/olute"},
        {"/already/full", "/already/full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        const DWORD needed = GetFullPathNameA(c.given, 0, nullptr, nullptr);
        EXPECT_EQ(needed, c.full.size() + 1);  // too small: the size with the zero
        std::string buffer(c.full.size() + 1, '#');
        EXPECT_EQ(GetFullPathNameA(c.given, static_cast<DWORD>(c.full.size()), buffer.data(), nullptr),
                  needed);
        char* filePart = nullptr;
        EXPECT_EQ(GetFullPathNameA(c.given, needed, buffer.data(), &filePart), c.full.size());
        EXPECT_EQ(std::string(buffer.c_str()), c.full);
        ASSERT_NE(filePart, nullptr);
        EXPECT_EQ(std::string(filePart), c.full.substr(c.full.rfind('/') + 1));
    }
    EXPECT_EQ(GetFullPathNameA("", 0, nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(::chdir(previous), 0);
}

TEST(HostPathText, CharactersAreUtf8Sequences) {
    struct Case {
        std::string text;
        std::size_t firstBytes;  // bytes of the first character
        std::size_t characters;
    } cases[] = {
        {"abc", 1, 3},
        {"\xC3\xA9t\xC3\xA9", 2, 3},
        {"\xE3\x82\xAB\\", 3, 2},
        {"\xF0\x9F\x98\x80!", 4, 2},
        {"\xE3\x82", 1, 2},        // cut short by the end: each byte one character
        {"\xFF\xC3\xA9", 1, 2},   // a byte that starts no sequence
        {"\xC3" "A", 1, 2},       // a lead byte without its continuation
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const platform::PathCharacter first = platform::PathCharacterAt(c.text.c_str());
        EXPECT_EQ(first.bytes, c.firstBytes);
        EXPECT_EQ(first.counted, 1u);
        EXPECT_EQ(platform::CountPathCharacters(c.text.c_str(), c.text.size()), c.characters);
    }
    // A count that ends inside a sequence counts what it holds of it byte by byte.
    EXPECT_EQ(platform::CountPathCharacters("a\xE3\x82\xAB", 3), 3u);
}

}  // namespace
}  // namespace nuvex::test

namespace nuvex::test {
namespace {

// Opens `path` in a forked process and returns the Windows error it met (0 for success).
DWORD OpenInChild(const std::string& path, DWORD access, DWORD share) {
    pid_t pid = ::fork();
    if (pid == 0) {
        HANDLE h = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ::_exit(h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 0xFFFFu;
}

class HostShareModes : public HostFiles {
protected:
    void SetUp() override {
        HostFiles::SetUp();
        path_ = Scratch("shared.bin");
        WriteFileBytes(path_, "contents");
    }
    std::string path_;
};

TEST_F(HostShareModes, ConflictingOpensInOneProcessFailWithSharingViolation) {
    HANDLE reader = Open(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // Another reader that shares reading is fine; a writer is not.
    HANDLE second = Open(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path_, GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // A new reader that refuses to share reading clashes with the open readers.
    EXPECT_EQ(Open(path_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Replacing the contents needs write sharing too.
    EXPECT_EQ(Open(path_, GENERIC_READ, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Delete and rename need FILE_SHARE_DELETE from every open handle.
    EXPECT_FALSE(DeleteFileA(path_.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExA(path_.c_str(), Scratch("moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // An open that asks for no data access never conflicts.
    HANDLE query = Open(path_, FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING);
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    CloseHandle(query);
    CloseHandle(second);
    CloseHandle(reader);
    HANDLE writer = Open(path_, GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
}

TEST_F(HostShareModes, SharingDeleteLetsTheFileGo) {
    HANDLE h = Open(path_, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(MoveFileExA(path_.c_str(), Scratch("moved").c_str(), 0));
    EXPECT_TRUE(DeleteFileA(Scratch("moved").c_str()));
    CloseHandle(h);
}

TEST_F(HostShareModes, ShareModesHoldAcrossProcesses) {
    HANDLE writer = Open(path_, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenInChild(path_, GENERIC_READ, kShareAll), 0u);
    EXPECT_EQ(OpenInChild(path_, GENERIC_WRITE, kShareAll),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenInChild(path_, GENERIC_READ, FILE_SHARE_READ),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);
    EXPECT_EQ(OpenInChild(path_, GENERIC_WRITE, 0), 0u);
}

TEST_F(HostFiles, ReadOnlyFilesRefuseWritingDeletingAndReplacingEvenToRoot) {
    std::string path = Scratch("ro.bin");
    WriteFileBytes(path, "keep");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);

    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS}) {
        EXPECT_EQ(Open(path, GENERIC_WRITE, kShareAll, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(Open(path, DELETE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    WriteFileBytes(Scratch("other"), "new");
    EXPECT_FALSE(MoveFileExA(Scratch("other").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CopyFileA(Scratch("other").c_str(), path.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFileBytes(path), "keep");

    HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST_F(HostFiles, NamesMoveCopyAndDeleteWithWindowsErrors) {
    std::string a = Scratch("a"), b = Scratch("b");
    WriteFileBytes(a, "alpha");
    WriteFileBytes(b, "beta");
    EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    ASSERT_TRUE(::chmod(a.c_str(), 0750) == 0);
    EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), FALSE));
    EXPECT_EQ(ReadFileBytes(b), "alpha");
    struct stat st;
    ASSERT_EQ(::stat(b.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);  // the copy keeps the permission bits
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(FileExists(a));
    EXPECT_FALSE(DeleteFileA(a.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA(Scratch("").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(DeleteFileA(Scratch("").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileAttributesA(Scratch("none/x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// ReplaceFileA gives the replaced file's identity to the replacement before the rename, through
// a descriptor that follows no link: a replacement name that is a link, or a file with another
// name, is refused and nothing reached through it changes; a plain replacement takes the mode
// (and, for root, the owner) of the replaced file.
TEST_F(HostFiles, ReplaceGivesIdentityFirstAndFollowsNoLink) {
    const std::string target = Scratch("target"), other = Scratch("other"),
                      replacement = Scratch("replacement");
    WriteFileBytes(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    WriteFileBytes(other, "someone else's");
    ASSERT_EQ(::chmod(other.c_str(), 0600), 0);
    struct Case {
        const char* label;
        bool link;  // a symbolic link to `other`, else a second name of it
    };
    for (const Case& c : {Case{"symbolic link", true}, Case{"second name", false}}) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(c.link ? ::symlink(other.c_str(), replacement.c_str())
                         : ::link(other.c_str(), replacement.c_str()),
                  0);
        EXPECT_FALSE(ReplaceFileA(target.c_str(), replacement.c_str(), nullptr, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        struct stat st;
        ASSERT_EQ(::stat(other.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(ReadFileBytes(other), "someone else's");
        EXPECT_EQ(ReadFileBytes(target), "old");
        ASSERT_EQ(::unlink(replacement.c_str()), 0);
    }
    if (::geteuid() == 0) ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    WriteFileBytes(replacement, "new");
    ASSERT_EQ(::chmod(replacement.c_str(), 0600), 0);
    EXPECT_TRUE(ReplaceFileA(target.c_str(), replacement.c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(ReadFileBytes(target), "new");
    EXPECT_FALSE(FileExists(replacement));
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
}

// ReOpenFile reaches the file of the handle, not whatever its name holds by now, with its own
// access and share mode.
TEST_F(HostFiles, ReOpenFileReachesTheFileNotItsName) {
    const std::string path = Scratch("written"), other = Scratch("other");
    WriteFileBytes(other, "someone else's");
    HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(writer, "mine", 4, &done, nullptr));
    ASSERT_EQ(::rename(path.c_str(), Scratch("moved").c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), path.c_str()), 0);
    HANDLE reader = ReOpenFile(writer, GENERIC_READ, kShareAll, 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    char bytes[8] = {};
    EXPECT_TRUE(ReadFile(reader, bytes, sizeof bytes, &done, nullptr));
    EXPECT_EQ(std::string(bytes, done), "mine");
    // Its share mode binds like any handle's: this one shares no writing with a new writer.
    HANDLE strict = ReOpenFile(writer, GENERIC_READ, FILE_SHARE_READ, 0);
    EXPECT_EQ(strict, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    CloseHandle(writer);
    EXPECT_EQ(ReOpenFile(writer, GENERIC_READ, kShareAll, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(HostFiles, PointerSizeAndEndOfFile) {
    HANDLE h = Open(Scratch("p"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::string(buffer, done), "6789");
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);  // end of file is success with nothing read
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    // Past 4 GiB needs the high part; the file grows sparse to there when cut.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 1);
    EXPECT_TRUE(SetEndOfFile(h));
    DWORD sizeHigh = 0;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 2u);
    EXPECT_EQ(sizeHigh, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 3u);
    EXPECT_EQ(sizeHigh, 0u);
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);

    HANDLE reader = Open(Scratch("p"), GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(reader));
    CloseHandle(reader);
    EXPECT_FALSE(CloseHandle(reader));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(HostFiles, HooksFailTheNthOperationAndShortenWrites) {
    std::string path = Scratch("hooked");
    NuvexHost_FailFileOp(kNuvexFaultOpen, 2, 0);
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultOpen), 2u);

    DWORD done = 0;
    NuvexHost_ShortWrite(2, 3);
    EXPECT_TRUE(WriteFile(h, "abcdef", 6, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_TRUE(WriteFile(h, "ghijkl", 6, &done, nullptr));
    EXPECT_EQ(done, 3u);
    NuvexHost_FailFileOp(kNuvexFaultWrite, 1, 1);
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    NuvexHost_FailFileOp(kNuvexFaultFlush, 1, 0);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
    EXPECT_EQ(ReadFileBytes(path), "abcdefghi");
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultWrite), 4u);

    NuvexHost_FailFileOp(kNuvexFaultDelete, 1, 0);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    NuvexHost_FailFileOp(kNuvexFaultMove, 1, 0);
    EXPECT_FALSE(CopyFileA(path.c_str(), Scratch("copy").c_str(), FALSE));
    NuvexHost_FailFileOp(kNuvexFaultSetAttributes, 1, 0);
    EXPECT_FALSE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FileExists(Scratch("copy")));

    NuvexHost_ResetFaults();
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultWrite), 0u);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_EQ(NuvexHost_FileOpCount(kNuvexFaultDelete), 1u);
    EXPECT_EQ(NuvexHost_OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace nuvex::test
