// What reaches a person: debugger output and message boxes go to the file NUVEX_HOST_EVENTS
// names (one line each, appended with a single write so lines of processes do not mix).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>

#include "platform/host/host_internal.h"

namespace {

void AppendEvent(const std::string& line) {
    const char* path = ::getenv("NUVEX_HOST_EVENTS");
    if (path == nullptr || path[0] == '\0') return;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

}  // namespace

void OutputDebugStringA(LPCSTR text) {
    DWORD saved = GetLastError();  // debugger output never disturbs the caller's error
    try {
        AppendEvent(std::string("debug: ") + (text != nullptr ? text : "") + "\n");
    } catch (...) {}
    SetLastError(saved);
}

using nuvex::host::NoThrow;

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    return NoThrow<int>(0, ERROR_NOT_ENOUGH_MEMORY, [&]() -> int {
        std::string body = text != nullptr ? text : "";
        std::string title = caption != nullptr ? caption : "Error";
        AppendEvent("messagebox: " + title + "|" + body + "\n");
        std::string line = body + "\n";
        ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
        return IDOK;
    });
}

HWND GetForegroundWindow() {
    return nullptr;
}

HRESULT CoCreateGuid(GUID* guid) {
    if (guid == nullptr) return static_cast<HRESULT>(0x80070057u);  // E_INVALIDARG
    uint8_t bytes[16];
    if (::getentropy(bytes, sizeof bytes) != 0) {
        std::random_device device;
        for (auto& b : bytes) b = static_cast<uint8_t>(device());
    }
    guid->Data1 = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                  (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    guid->Data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
    // Version 4 (random) in the top nibble of Data3, the RFC 4122 variant in Data4[0].
    guid->Data3 = static_cast<uint16_t>(((bytes[6] | (bytes[7] << 8)) & 0x0FFF) | 0x4000);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
    guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
    return S_OK;
}
