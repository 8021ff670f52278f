#include "document/operation_files.h"

#include "platform/file_security.h"
#include "platform/path_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace nuvex::document {

// ---- one operation per file -----------------------------------------------------------

namespace {

// How often an open is made again when the file it found was replaced before it was locked;
// each time another operation has finished a replace, so this is never reached by chance.
constexpr int kHoldAttempts = 8;

OVERLAPPED LockPlace() {
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(kOperationLockOffset);
    place.OffsetHigh = static_cast<DWORD>(kOperationLockOffset >> 32);
    return place;
}

// The attributes a caller may set on a file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                      FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

void HeldFile::Release() {
    if (locked_) {
        OVERLAPPED place = LockPlace();
        UnlockFileEx(file_.get(), 0, 1, 0, &place);
        locked_ = false;
    }
    file_.reset();
}

Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held) {
    held.Release();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Hold::CannotOpen;
    }
    for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
        UniqueHandle file(CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return Hold::CannotOpen;
        // Nothing is read from or written to what is not a disk file (a device would take a
        // header, a console or a pipe would wait for input).
        if (GetFileType(file.get()) != FILE_TYPE_DISK) return Hold::NotDiskFile;
        OVERLAPPED place = LockPlace();
        if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                        &place))
            return Hold::Busy;
        held.file_ = std::move(file);
        held.locked_ = true;
        if (NamesFile(path, held.handle())) return Hold::Held;
        held.Release();
    }
    return Hold::Busy;
}

bool NamesFile(const char* path, HANDLE file) {
    // Asking for the attributes only, the open is refused by no share mode.
    UniqueHandle named(CreateFileA(path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!named) return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return GetFileInformationByHandle(named.get(), &a) && GetFileInformationByHandle(file, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

DWORD AttributesOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return FILE_ATTRIBUTE_NORMAL;
    return information.dwFileAttributes;
}

DWORD CarriedAttributes(DWORD attributes) {
    const DWORD carried = attributes & kSettableAttributes;
    return carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL;
}

// ---- temporary files ---------------------------------------------------------------------

HeapBlock<char> FullPathOf(const char* path, bool& noMemory) {
    noMemory = false;
    // The current directory may change between the two calls (another thread); then the size
    // is asked for again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD needed = GetFullPathNameA(path, 0, nullptr, nullptr);
        if (needed == 0) return HeapBlock<char>();
        HeapBlock<char> full(static_cast<char*>(MemAlloc(needed)));
        if (!full) {
            noMemory = true;
            return full;
        }
        const DWORD length = GetFullPathNameA(path, needed, full.get(), nullptr);
        if (length == 0) return HeapBlock<char>();
        if (length < needed) return full;
    }
    return HeapBlock<char>();
}

namespace {

// The bytes of `text` that hold its first `characters` characters, as the path limits count
// them (never half a character: one that would pass the count is left out whole).
std::size_t BytesOfCharacters(const char* text, std::size_t bytes, std::size_t characters) {
    std::size_t at = 0;
    std::size_t counted = 0;
    while (at < bytes) {
        const platform::PathCharacter next = platform::PathCharacterAt(text + at);
        if (counted + next.counted > characters || at + next.bytes > bytes) break;
        at += next.bytes;
        counted += next.counted;
    }
    return at;
}

// The short form of candidate `n`: "~" and n in base 36, or the digits alone when only they
// fit `room` characters; empty when neither does.
std::size_t FormatShortName(int n, std::size_t room, char* out) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    char digits[8];
    std::size_t count = 0;
    for (unsigned value = static_cast<unsigned>(n); value != 0 && count < sizeof digits;
         value /= 36)
        digits[count++] = kDigits[value % 36];
    std::size_t length = 0;
    if (count + 1 <= room) out[length++] = '~';
    else if (count > room) return 0;
    while (count > 0) out[length++] = digits[--count];
    return length;
}

}  // namespace

bool FormatTempName(const char* target, int n, char* name, std::size_t nameSize) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".lumadtmp%d", n);
    const std::size_t suffixLength = std::strlen(suffix);  // ASCII: bytes are characters
    const std::size_t targetLength = std::strlen(target);
    // The directory ends after the last separator. Found walking forward character by
    // character: in a double-byte code page the second byte of a character may be '\\'.
    std::size_t directoryLength = 0;
    for (std::size_t at = 0; at < targetLength;) {
        const std::size_t bytes = platform::PathCharacterAt(target + at).bytes;
        if (bytes == 1 && (target[at] == '\\' || target[at] == '/')) directoryLength = at + 1;
        at += bytes;
    }
    const char* lastName = target + directoryLength;
    const std::size_t lastNameLength = targetLength - directoryLength;
    const std::size_t directoryCharacters =
        platform::CountPathCharacters(target, directoryLength);
    const std::size_t targetCharacters =
        directoryCharacters + platform::CountPathCharacters(lastName, lastNameLength);

    // The characters the temporary file's own name may have: one name's limit and, for a
    // target that keeps the whole-path limit, what that limit leaves after the directory.
    std::size_t room = kMaxNameLength;
    if (targetCharacters <= kMaxPathLength) {
        if (directoryCharacters >= kMaxPathLength) return false;
        room = std::min(room, kMaxPathLength - directoryCharacters);
    }
    char shortName[8];
    std::size_t kept = 0;
    const char* tail = suffix;
    std::size_t tailLength = suffixLength;
    if (suffixLength <= room) {
        kept = BytesOfCharacters(lastName, lastNameLength, room - suffixLength);
    } else {
        // Not even ".lumadtmp<n>" fits beside the directory: a short name in the same place.
        tailLength = FormatShortName(n, room, shortName);
        if (tailLength == 0) return false;
        tail = shortName;
    }
    if (directoryLength + kept + tailLength + 1 > nameSize) return false;
    std::memset(name, 0, nameSize);
    std::memcpy(name, target, directoryLength + kept);
    std::memcpy(name + directoryLength + kept, tail, tailLength);
    return true;
}

bool TempFile::Create(const char* target, char* name, std::size_t nameSize, DWORD access,
                      DWORD share, DWORD attributes, bool announce,
                      SECURITY_ATTRIBUTES* security) {
    for (int n = kFirstTempNumber; n <= kLastTempNumber; ++n) {
        if (!FormatTempName(target, n, name, nameSize)) continue;
        if (announce) {
            OutputDebugStringA("en2");
            OutputDebugStringA(name);
        }
        HANDLE file = CreateFileA(name, access, share, security, CREATE_NEW, attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        handle_.reset(file);
        name_ = name;
        return true;
    }
    return false;
}

void TempFile::Discard() {
    handle_.reset();
    if (name_ != nullptr) DeleteFileA(name_);
    name_ = nullptr;
}

void TakePermissions(HANDLE from, const char* name) {
    UniqueHandle file(CreateFileA(name, READ_CONTROL | WRITE_DAC,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) platform::CopyFilePermissions(from, file.get());
}

bool ReplaceHeld(const char* target, HANDLE held, DWORD attributes, TempFile& temp) {
    // Another program may have renamed the file away while the operation ran (it shares
    // deleting); only the file the operation decided on is replaced.
    if (!NamesFile(target, held)) return false;
    TakePermissions(held, temp.name());
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesA(target, CarriedAttributes(attributes))) return false;
    if (ReplaceFileA(target, temp.name(), nullptr, 0, nullptr, nullptr)) return true;
    if (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        // The target is gone; the complete new content is still under the temporary name.
        if (MoveFileExA(temp.name(), target, 0)) return true;
        temp.Keep();
        return false;
    }
    if (readOnly) SetFileAttributesA(target, (attributes & kSettableAttributes) | FILE_ATTRIBUTE_READONLY);
    return false;
}

}  // namespace nuvex::document
