#include "win_support.h"

// The measuring caller keeps what it needs after the call in memory, since the callee may
// break any register; one call at a time (the tests call it from one thread).
asm(R"(
    .data
nuvex_saved_frame:
    .long 0
nuvex_esp_before:
    .long 0
    .text
    .globl _NuvexCallMeasured
_NuvexCallMeasured:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  %ebp, nuvex_saved_frame
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    # ESP at the call: 16-byte aligned, whatever the number of arguments, less `below16`.
    andl  $-16, %esp
    leal  0(,%ecx,4), %eax
    negl  %eax
    andl  $15, %eax
    subl  %eax, %esp
    subl  20(%ebp), %esp
    movl  %esp, nuvex_esp_before
    testl %ecx, %ecx
    jz    2f
1:
    pushl -4(%esi,%ecx,4)
    decl  %ecx
    jnz   1b
2:
    movl  8(%ebp), %eax
    movl  $0x5A5A1234, %ebx
    movl  $0x3C3C5678, %esi
    movl  $0x1E1E9ABC, %edi
    movl  $0x0F0F4321, %ebp
    call  *%eax
    xorl  %ecx, %ecx
    cmpl  $0x5A5A1234, %ebx
    jne   3f
    cmpl  $0x3C3C5678, %esi
    jne   3f
    cmpl  $0x1E1E9ABC, %edi
    jne   3f
    cmpl  $0x0F0F4321, %ebp
    jne   3f
    movl  $1, %ecx
3:
    movl  %esp, %edx
    subl  nuvex_esp_before, %edx
    movl  nuvex_saved_frame, %ebp
    movl  24(%ebp), %esi
    movl  %eax, (%esi)
    movl  28(%ebp), %esi
    movl  %ecx, (%esi)
    movl  %edx, %eax
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

namespace nuvex_win {

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes ReadFileBytes(const std::string& path) { return ReadFileBytesW(Widen(path)); }

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    return WriteFileBytesW(Widen(path), bytes);
}

Bytes ReadFileBytesW(const std::wstring& path) {
    Bytes bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    DWORD size = GetFileSize(file, nullptr);
    bytes.resize(size);
    DWORD got = 0;
    if (size > 0 && (!ReadFile(file, bytes.data(), size, &got, nullptr) || got != size)) bytes.clear();
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytesW(const std::wstring& path, const Bytes& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                          &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

std::wstring Widen(const std::string& path) {
    const int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
    if (units > 0) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), units);
    wide.resize(wide.size() - 1);
    return wide;
}

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
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
