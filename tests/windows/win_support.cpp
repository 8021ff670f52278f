#include "win_support.h"

namespace nuvex_win {

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes ReadFileBytes(const std::string& path) {
    Bytes bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    DWORD size = GetFileSize(file, nullptr);
    bytes.resize(size);
    DWORD got = 0;
    if (size > 0 && (!ReadFile(file, bytes.data(), size, &got, nullptr) || got != size)) {
        bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                          &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

Bytes PatternBytes(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

namespace {
// Wide calls: names that the ANSI code page cannot hold must go too.
void RemoveTreeW(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTreeW(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}
}  // namespace

void RemoveTree(const std::string& path) { RemoveTreeW(std::wstring(path.begin(), path.end())); }

std::string ModuleDirectory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of('\\') + 1);
}

void ScratchTest::SetUp() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    static unsigned counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Wine hands out the same small process ids run after run: the tick count keeps
    // directories of earlier runs apart.
    dir_ = std::string(temp) + "nuvex-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount()) + "-" + std::to_string(++counter) + "-" + info->name();
    RemoveTree(dir_);
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr)) << dir_ << ": error " << GetLastError();
}

void ScratchTest::TearDown() { RemoveTree(dir_); }

}  // namespace nuvex_win
