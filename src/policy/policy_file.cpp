// The policy file: the driver's policy texts, one per line ended by CR LF, enciphered as one
// stream from offset 0 under the library's policy-file key.
//
// Saving never touches the file at the caller's path until the new one is complete: the
// texts are gathered first, written to a temporary file beside the target, flushed, and only
// then moved over the target, with the folder flushed after the move. Loading reads and deciphers the whole file, and reads the
// table's current policies as texts, before it empties the driver's table: a missing or
// unreadable file leaves the table as it was, and when the driver refuses a line part-way the
// previous texts are put back, so a load replaces the whole table or leaves it as it was.
#include <cstdio>
#include <cstring>
#include <utility>

#include "crypto/seal.h"
#include "document/keys.h"
#include "frame/heap.h"
#include "frame/owners.h"
#include "frame/result_codes.h"
#include "platform/caller_input.h"
#include "platform/file_security.h"
#include "policy/policy_walk.h"

namespace nuvex {
namespace {

constexpr std::size_t kInitialCapacity = 131072;
// The plaintext is written with one WriteFile call, whose length is 32 bits.
constexpr std::size_t kLargestCapacity = 0x80000000u;

// Names of temporary files tried beside the target before giving up.
constexpr unsigned kTemporaryNames = 16;

// Releases a text list on every path.
class TextListOwner {
public:
    explicit TextListOwner(UserStrNode* list) : list_(list) {}
    TextListOwner(const TextListOwner&) = delete;
    TextListOwner& operator=(const TextListOwner&) = delete;
    ~TextListOwner() {
        if (list_ != nullptr) NuvexCtrl_FreeUserStrList(list_);
    }

private:
    UserStrNode* list_;
};

// Deletes the temporary file unless the save went through.
class TemporaryFileName {
public:
    TemporaryFileName() = default;
    TemporaryFileName(const TemporaryFileName&) = delete;
    TemporaryFileName& operator=(const TemporaryFileName&) = delete;
    ~TemporaryFileName() {
        if (created_) DeleteFileA(name_.get());
    }
    bool allocate(std::size_t bytes) { return name_.allocateZero(bytes); }
    char* get() const { return name_.get(); }
    void created() { created_ = true; }
    void kept() { created_ = false; }

private:
    HeapBlock<char> name_;
    bool created_ = false;
};

// A block of policy plaintext, overwritten before it goes back to the heap (also the smaller
// block left behind when it grows).
class PlainBytes {
public:
    PlainBytes() = default;
    PlainBytes(const PlainBytes&) = delete;
    PlainBytes& operator=(const PlainBytes&) = delete;
    ~PlainBytes() { Wipe(block_, size_); }
    bool allocateZero(std::size_t bytes) {
        HeapBlock<uint8_t> block;
        if (!block.allocateZero(bytes)) return false;
        Wipe(block_, size_);
        block_ = std::move(block);
        size_ = bytes;
        return true;
    }
    // Moves the first `used` bytes into a new zero-filled block of `bytes`. False, with the
    // old block kept, when the heap refuses.
    bool grow(std::size_t bytes, std::size_t used) {
        HeapBlock<uint8_t> block;
        if (!block.allocateZero(bytes)) return false;
        std::memcpy(block.get(), block_.get(), used);
        Wipe(block_, size_);
        block_ = std::move(block);
        size_ = bytes;
        return true;
    }
    uint8_t* get() const { return block_.get(); }
    std::size_t size() const { return size_; }

private:
    static void Wipe(HeapBlock<uint8_t>& block, std::size_t size) {
        if (block) SecureWipe(block.get(), size);
        block.reset();
    }
    HeapBlock<uint8_t> block_;
    std::size_t size_ = 0;
};

// The attributes a replaced policy file passes on to the new one (read-only is refused
// before, and the rest are the file system's own).
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What is at the caller's path before a save replaces it.
enum class Target { Absent, File, Refused };

// Opens what is at `path` to learn its type, attributes and permissions. Only a regular disk
// file may be replaced: a device, a pipe or a console would be swapped for a plain file (or
// read from), and a read-only file is not replaced. Nothing is at `path` when the name or a
// link's target is missing.
Target OpenTarget(const char* path, UniqueHandle& target, DWORD& attributes) {
    target.reset(CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Target::Absent
                                                                              : Target::Refused;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(target.get()) != FILE_TYPE_DISK ||
        GetFileInformationByHandle(target.get(), &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return Target::Refused;
    attributes = info.dwFileAttributes & kCarriedAttributes;
    return Target::File;
}

// Creates a new file beside `path` for the new contents: no sharing, under a name that nothing
// (no file, no link) holds yet, with permissions for its creator only from the creating call
// on. When a file is at `path` (open as `target`), the new one takes its attributes in the
// creating call and its access permissions through the new handle, never by name: replacing
// the policy file must not make it readable by more users than before, and a name that
// another user can change must never lead the permissions elsewhere.
UniqueHandle CreateTemporaryBeside(const char* path, HANDLE target, DWORD attributes,
                                   TemporaryFileName& name) {
    std::size_t bytes = std::strlen(path) + 32;
    if (!name.allocate(bytes)) return UniqueHandle();
    platform::PrivateFileSecurity security;
    if (security.attributes() == nullptr) return UniqueHandle();
    const DWORD flags = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    for (unsigned n = 0; n < kTemporaryNames; ++n) {
        std::snprintf(name.get(), bytes, "%s.%u.nvtmp", path, n);
        UniqueHandle file(CreateFileA(name.get(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0,
                                      security.attributes(), CREATE_NEW, flags, nullptr));
        if (file) {
            name.created();
            if (target != nullptr && !platform::CopyFilePermissions(target, file.get()))
                return UniqueHandle();
            return file;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
            error != ERROR_SHARING_VIOLATION)
            break;
    }
    return UniqueHandle();
}

// Appends `length` bytes and CR LF, doubling the buffer while they do not fit. False when
// the buffer cannot grow.
bool AppendLine(PlainBytes& buffer, std::size_t& used, const char* text, std::size_t length) {
    while (used + length + 2 > buffer.size()) {
        if (buffer.size() >= kLargestCapacity) return false;
        if (!buffer.grow(buffer.size() * 2, used)) return false;
    }
    std::memcpy(buffer.get() + used, text, length);
    buffer.get()[used + length] = 0x0D;
    buffer.get()[used + length + 1] = 0x0A;
    used += length + 2;
    return true;
}

// Splits the deciphered file (`size` bytes followed by one zero byte) into lines in place and
// inserts each as a policy text. Returns 0, or the insert code of the first refused line.
uint32_t InsertLines(char* text, DWORD size) {
    DWORD p = 0;
    while (p < size) {
        const char* line = text + p;
        void* found = std::memchr(text + p, 0x0D, size - p);
        DWORD j = found != nullptr ? static_cast<DWORD>(static_cast<char*>(found) - text) : size;
        if (j + 1 < size) {
            // The byte after a carriage return is dropped whatever it is.
            text[j] = '\0';
            text[j + 1] = '\0';
            p = j + 2;
        } else {
            // The line runs to the end of the data, a carriage return at the last index
            // included.
            p = size;
        }
        uint32_t code = NuvexCtrl_InsertPolicyStr(line);
        if (code != 0) return code;
    }
    return 0;
}

// Empties the table and inserts the texts of `previous` in list order, as loading a file saved
// from that list would. True when every text went back in.
bool RestoreTable(const UserStrNode* previous) {
    if (NuvexCtrl_DeleteAllPolicy(nullptr) != 0) return false;
    for (const UserStrNode* node = previous; node != nullptr; node = node->next)
        if (NuvexCtrl_InsertPolicyStr(node->data != nullptr ? node->data : "") != 0) return false;
    return true;
}

}  // namespace
}  // namespace nuvex

using namespace nuvex;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_SaveCurrentPolicyToFile(const char* path) {
    if (path == nullptr) return rc::NuvexCtrl_SaveCurrentPolicyToFile::kNullArgument;

    UserStrNode* list = nullptr;
    bool noReplyBuffer = false;
    uint32_t code = CollectPolicyTexts(&list, &noReplyBuffer);
    TextListOwner listOwner(list);
    // An unreachable driver is not an empty table.
    if (code != 0) return code;
    if (noReplyBuffer) return NUVEX_E_POLICY_SAVE_NO_MEMORY;
    if (list == nullptr) return 0;  // empty table: no file is created or changed

    UniqueHandle target;
    DWORD attributes = 0;
    const Target existing = OpenTarget(path, target, attributes);
    if (existing == Target::Refused) return rc::NuvexCtrl_SaveCurrentPolicyToFile::kCreateFailed;
    TemporaryFileName temporary;
    UniqueHandle file = CreateTemporaryBeside(
        path, existing == Target::File ? target.get() : nullptr, attributes, temporary);
    target.reset();
    if (!file)
        return temporary.get() == nullptr ? NUVEX_E_POLICY_SAVE_NO_MEMORY
                                          : rc::NuvexCtrl_SaveCurrentPolicyToFile::kCreateFailed;

    PlainBytes buffer;
    if (!buffer.allocateZero(kInitialCapacity))
        return rc::NuvexCtrl_SaveCurrentPolicyToFile::kNoMemory;
    std::size_t used = 0;
    for (const UserStrNode* node = list; node != nullptr; node = node->next) {
        const char* text = node->data != nullptr ? node->data : "";
        if (!AppendLine(buffer, used, text, std::strlen(text)))
            return NUVEX_E_POLICY_SAVE_NO_MEMORY;
    }

    SealCrypt(buffer.get(), buffer.get(), static_cast<uint32_t>(used), 0, kPolicyFileKey);
    DWORD written = 0;
    BOOL wrote = WriteFile(file.get(), buffer.get(), static_cast<DWORD>(used), &written, nullptr);
    if (wrote == FALSE || written != used)
        return rc::NuvexCtrl_SaveCurrentPolicyToFile::kWriteFailed;
    if (FlushFileBuffers(file.get()) == FALSE)
        return rc::NuvexCtrl_SaveCurrentPolicyToFile::kWriteFailed;
    file.reset();

    // Write-through: the new name is on the disk before the save reports it done, so that a
    // power cut after it never brings back the old file.
    if (MoveFileExA(temporary.get(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE)
        return rc::NuvexCtrl_SaveCurrentPolicyToFile::kCreateFailed;
    temporary.kept();
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_LoadPolicyFromFile(const char* path) {
    if (path == nullptr) return rc::NuvexCtrl_LoadPolicyFromFile::kNullArgument;

    // The whole file is read and deciphered before the driver's table is touched.
    PlainBytes data;
    DWORD size = 0;
    {
        // The caller's file: a regular disk file, and on the host never one that a link of
        // another user's leads to.
        UniqueHandle file(platform::OpenCallerInput(path, 0));
        if (!file) return rc::NuvexCtrl_LoadPolicyFromFile::kOpenFailed;
        // Only a disk file holds a size and the bytes it announces: a pipe or a console would
        // be read as an empty table (or wait for input), a device gives anything.
        if (GetFileType(file.get()) != FILE_TYPE_DISK)
            return rc::NuvexCtrl_LoadPolicyFromFile::kOpenFailed;
        DWORD sizeHigh = 0;
        size = GetFileSize(file.get(), &sizeHigh);
        // One byte more than the file holds: the last line is NUL-terminated even without its
        // CR LF. Files of 4 GiB and more cannot be held.
        if (sizeHigh != 0 || size == INVALID_FILE_SIZE ||
            !data.allocateZero(static_cast<std::size_t>(size) + 1))
            return rc::NuvexCtrl_LoadPolicyFromFile::kNoMemory;
        DWORD read = 0;
        if (ReadFile(file.get(), data.get(), size, &read, nullptr) == FALSE || read != size)
            return rc::NuvexCtrl_LoadPolicyFromFile::kReadFailed;
    }
    SealDecrypt(data.get(), data.get(), size, 0, kPolicyFileKey);

    // The table as it stands, to be put back should the driver refuse a line. An empty file
    // inserts nothing and needs none. An unreachable driver is reported as the emptying step
    // reports it.
    UserStrNode* previous = nullptr;
    if (size > 0) {
        bool noReplyBuffer = false;
        uint32_t collected = CollectPolicyTexts(&previous, &noReplyBuffer);
        // The walk reports in GetPolicyStrList's codes; the load answers in its own.
        if (collected == rc::NuvexCtrl_GetPolicyStrList::kNoDevice)
            return rc::NuvexCtrl_LoadPolicyFromFile::kClearNoDevice;
        if (collected == rc::NuvexCtrl_GetPolicyStrList::kNoMemory || noReplyBuffer)
            return NUVEX_E_POLICY_LOAD_NO_MEMORY;
        if (collected != 0) return collected;
    }
    TextListOwner previousOwner(previous);

    uint32_t code = NuvexCtrl_DeleteAllPolicy(nullptr);
    if (code != 0) return code;

    code = InsertLines(reinterpret_cast<char*>(data.get()), size);
    if (code != 0 && !RestoreTable(previous)) return NUVEX_E_POLICY_LOAD_NOT_RESTORED;
    return code;
}

}  // extern "C"
