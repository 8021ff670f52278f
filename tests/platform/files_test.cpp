// Files on the host platform: dispositions, share modes within and across processes, the
// read-only rule, names (delete, move, copy, attributes) and the file-operation hooks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "machine_root.h"
#include "platform/host/host_hooks.h"
#include "platform/platform.h"

namespace nuvex::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class HostFiles : public MachineRootTest {
protected:
    HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace
}  // namespace nuvex::test
