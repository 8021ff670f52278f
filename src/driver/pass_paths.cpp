// The pass-path store: the paths the main filter driver lets pass, read out of the driver,
// added to it and cleared, and on request recorded in the pass-path file in the system
// directory.
#include "driver/pass_paths.h"

#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "driver/separator_text.h"
#include "frame/heap.h"
#include "frame/result_codes.h"
#include "nuvexctrl.h"
#include "platform/threads.h"

namespace nuvex::pass_paths {
namespace {

constexpr std::size_t kPathBytes = MAX_PATH + sizeof kFileName;

// System directory + "\NUVEXpath.nvdat".
bool BuildFilePath(char (&path)[kPathBytes]) {
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::memcpy(path + length, kFileName, sizeof kFileName);
    return true;
}

// Opens the file for exclusive use (share mode 0), created empty when absent. Another update
// holding it is waited for, a bounded time, instead of dropping this update.
UniqueHandle OpenExclusive(const char* path) {
    const uint64_t deadline = platform::MonotonicMilliseconds() + kSharingRetryMilliseconds;
    for (;;) {
        UniqueHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return file;
        if (GetLastError() != ERROR_SHARING_VIOLATION ||
            platform::MonotonicMilliseconds() >= deadline)
            return file;
        platform::SleepMilliseconds(kSharingRetryPauseMilliseconds);
    }
}

bool Truncate(HANDLE file, DWORD size) {
    return SetFilePointer(file, static_cast<LONG>(size), nullptr, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER &&
           SetEndOfFile(file) != FALSE;
}

// Appends the text behind the file's content, with a "|" between them unless the content
// is empty or already ends with one. The addition goes out in one write; a write that fails
// or falls short is cut off again so the file keeps its old content.
bool Append(HANDLE file, const char* text, std::size_t textLength) {
    DWORD sizeHigh = 0;
    const DWORD size = GetFileSize(file, &sizeHigh);
    if (sizeHigh != 0 || size > 0x7FFFFFFFu) return false;

    bool separator = false;
    if (size > 0) {
        char last = 0;
        DWORD read = 0;
        if (SetFilePointer(file, static_cast<LONG>(size - 1), nullptr, FILE_BEGIN) ==
                INVALID_SET_FILE_POINTER ||
            !ReadFile(file, &last, 1, &read, nullptr) || read != 1)
            return false;
        separator = last != kTextSeparator;
    }

    const std::size_t addition = textLength + (separator ? 1 : 0);
    if (addition > 0x7FFFFFFFu - size) return false;
    HeapBlock<char> bytes;
    if (!bytes.allocateZero(addition)) return false;
    if (separator) bytes.get()[0] = kTextSeparator;
    std::memcpy(bytes.get() + (separator ? 1 : 0), text, textLength);

    if (SetFilePointer(file, static_cast<LONG>(size), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER)
        return false;
    DWORD written = 0;
    if (!WriteFile(file, bytes.get(), static_cast<DWORD>(addition), &written, nullptr) ||
        written != addition) {
        Truncate(file, size);
        return false;
    }
    return true;
}

}  // namespace

uint32_t UpdatePassPathFile(const char* text) {
    if (text != nullptr && text[0] == '\0') return kPassPathTextEmpty;
    char path[kPathBytes];
    if (!BuildFilePath(path)) return NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
    UniqueHandle file = OpenExclusive(path);
    if (!file) return NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
    // Only a disk file is appended to or emptied: a device or a pipe put at the file's name
    // would take the paths (or hold the call waiting) and never give them back.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
    const bool done = text == nullptr ? Truncate(file.get(), 0)
                                      : Append(file.get(), text, std::strlen(text));
    return done ? 0 : NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
}

}  // namespace nuvex::pass_paths

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetPassPath(UserStrNode** list, uint32_t* count) {
    using namespace nuvex;
    namespace result = rc::NuvexCtrl_GetPassPath;
    constexpr SeparatorTextCodes kGetPassPathCodes{result::kNoTextMemory, result::kRefused,
                                                   result::kEmptyText, result::kNoNodeMemory};
    if (count != nullptr) *count = 0;
    if (list == nullptr) return rc::NuvexCtrl_GetPassPath::kNullArgument;
    *list = nullptr;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetPassPath::kNoDevice;
    // Paths come back in the driver's order.
    return ReadSeparatorTextList(session, main_driver::kPassPathSize, main_driver::kPassPathText,
                                 nullptr, 0, true, kGetPassPathCodes, list, count);
}

uint32_t NUVEXAPI NuvexCtrl_AddStructPassPath(const PassPathNode* first, uint32_t persist) {
    using namespace nuvex;
    using nuvex::pass_paths::kStructTextBytes;
    HeapBlock<char> text;
    if (!text.allocateZero(kStructTextBytes)) return rc::NuvexCtrl_AddStructPassPath::kNoMemory;

    // Every path followed by "|". The joined text and its terminating zero must fit the
    // buffer; a longer list is refused before anything reaches the driver. A node without a
    // path string counts as an empty path.
    std::size_t used = 0;
    for (const PassPathNode* node = first; node != nullptr; node = node->next) {
        const char* path = node->data != nullptr ? node->data : "";
        // Room for this path and its "|" with the final zero still behind them.
        const std::size_t room = kStructTextBytes - 1 - used;
        const void* end = std::memchr(path, 0, room);
        if (end == nullptr) return NUVEX_E_PASSPATH_TEXT_TOO_LONG;
        const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - path);
        if (length + 1 > room) return NUVEX_E_PASSPATH_TEXT_TOO_LONG;
        std::memcpy(text.get() + used, path, length);
        used += length;
        text.get()[used++] = kTextSeparator;
    }
    return NuvexCtrl_AddStringPassPath(text.get(), persist);
}

uint32_t NUVEXAPI NuvexCtrl_AddStringPassPath(const char* text, uint32_t persist) {
    using namespace nuvex;
    if (text == nullptr) return rc::NuvexCtrl_AddStringPassPath::kNullArgument;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_AddStringPassPath::kNoDevice;
    const std::size_t length = std::strlen(text);
    if (!session.Request(main_driver::kPassPathAdd, text, static_cast<uint32_t>(length), nullptr, 0)
             .ok)
        return rc::NuvexCtrl_AddStringPassPath::kRefused;
    // The driver holds the change now; the file only follows it.
    if (persist != 0 && pass_paths::UpdatePassPathFile(text) == NUVEX_E_PASSPATH_FILE_NOT_UPDATED)
        return NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_DeleteAllPassPath(uint32_t persist) {
    using namespace nuvex;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_DeleteAllPassPath::kNoDevice;
    if (!session.Request(main_driver::kPassPathDeleteAll, nullptr, 0, nullptr, 0).ok)
        return rc::NuvexCtrl_DeleteAllPassPath::kRefused;
    if (persist != 0 && pass_paths::UpdatePassPathFile(nullptr) == NUVEX_E_PASSPATH_FILE_NOT_UPDATED)
        return NUVEX_E_PASSPATH_FILE_NOT_UPDATED;
    return 0;
}

}  // extern "C"
