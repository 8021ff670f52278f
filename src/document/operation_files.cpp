#include "document/operation_files.h"

#include "platform/file_security.h"
#include "platform/path_text.h"
#include "platform/threads.h"

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

namespace {

enum class Naming { Same, Other, Unknown };

// What `path` names, compared with the file whose information is `b`.
Naming WhatNames(const char* path, const BY_HANDLE_FILE_INFORMATION& b) {
    // Asking for the attributes only, the open is refused by no share mode.
    UniqueHandle named(CreateFileA(path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!named) return Naming::Unknown;
    BY_HANDLE_FILE_INFORMATION a{};
    if (!GetFileInformationByHandle(named.get(), &a)) return Naming::Unknown;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                   a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow
               ? Naming::Same
               : Naming::Other;
}

Naming WhatNames(const char* path, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION b{};
    if (!GetFileInformationByHandle(file, &b)) return Naming::Unknown;
    return WhatNames(path, b);
}

}  // namespace

bool HoldAgain(HANDLE original, HeldFile& held) {
    held.Release();
    UniqueHandle file(ReOpenFile(original, SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    if (!file) return false;
    OVERLAPPED place = LockPlace();
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &place))
        return false;
    held.file_ = std::move(file);
    held.locked_ = true;
    return true;
}

bool NamesFile(const char* path, HANDLE file) { return WhatNames(path, file) == Naming::Same; }

bool TempFile::NamedByAnother() const {
    return name_ != nullptr && handle_ && WhatNames(name_, handle_.get()) == Naming::Other;
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

// ---- the source as the operation saw it ----------------------------------------------------

bool See(HANDLE file, SeenFile& seen) {
    return GetFileInformationByHandle(file, &seen.information) != FALSE;
}

bool StillAsSeen(HANDLE file, const SeenFile& seen) {
    BY_HANDLE_FILE_INFORMATION now{};
    if (!GetFileInformationByHandle(file, &now)) return false;
    const BY_HANDLE_FILE_INFORMATION& before = seen.information;
    auto same = [](const FILETIME& a, const FILETIME& b) {
        return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
    };
    return now.dwVolumeSerialNumber == before.dwVolumeSerialNumber &&
           now.nFileIndexHigh == before.nFileIndexHigh &&
           now.nFileIndexLow == before.nFileIndexLow &&
           now.nFileSizeHigh == before.nFileSizeHigh && now.nFileSizeLow == before.nFileSizeLow &&
           same(now.ftLastWriteTime, before.ftLastWriteTime) &&
           same(now.ftCreationTime, before.ftCreationTime);
}

// ---- the replace -------------------------------------------------------------------------

namespace {

// How often, and how far apart, a rename refused because the target is open is tried again.
constexpr int kRenameAttempts = 20;
constexpr uint32_t kRenamePauseMs = 5;

enum class Renamed { Yes, No, Taken };

// MoveFileExA(from, to, flags). Where a rename cannot replace a file that any handle holds
// open (Windows), and the rename is refused, the operation's own hold on the target (`held`,
// if any) ends, and the rename is tried again a few times, since a reader that has just
// opened the file (a document test) closes it again at once. Once the hold has ended, another
// operation can take the same file and come to its own rename; so before every further try
// the name must still hold the file this operation decided on (compared by identity). When it
// holds another file, another operation has replaced it meanwhile, and this one replaces
// nothing (Taken). The winner holds its new file through its rename, so a loser's rename
// that comes between the check and that hold is refused and checked again.
Renamed Rename(const char* from, const char* to, DWORD flags, HeldFile* held) {
    BY_HANDLE_FILE_INFORMATION decided{};
    bool known = false;
    for (int attempt = 1;; ++attempt) {
        if (known && WhatNames(to, decided) == Naming::Other) return Renamed::Taken;
        if (MoveFileExA(from, to, flags)) return Renamed::Yes;
        if (platform::kRenameReplacesOpenFiles || GetLastError() != ERROR_ACCESS_DENIED ||
            held == nullptr || attempt >= kRenameAttempts)
            return Renamed::No;
        if (held->IsHeld()) {
            known = GetFileInformationByHandle(held->handle(), &decided) != FALSE;
            held->Release();  // first the operation's own handle
        } else {
            platform::SleepMilliseconds(kRenamePauseMs);  // then another's, for a moment
        }
    }
}

}  // namespace

Replace ReplaceHeld(const char* target, HeldFile& held, DWORD attributes, TempFile& temp,
                    HANDLE source, const SeenFile& seen) {
    // Another program may have renamed the file away while the operation ran (it shares
    // deleting); only the file the operation decided on is replaced.
    if (!NamesFile(target, held.handle())) return Replace::Failed;
    // Best effort, as a replace gives it: what cannot be given (an owner, for anybody but
    // root) leaves the new file with its creator's, never wider than the target's.
    platform::CopyFileIdentity(held.handle(), temp.handle());
    // Checked last, after everything else that takes time, just before the rename.
    if (!StillAsSeen(source, seen)) return Replace::SourceChanged;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesA(target, CarriedAttributes(attributes)))
        return Replace::Failed;
    const Replace done = PutInPlace(temp, target, MOVEFILE_REPLACE_EXISTING, &held);
    if (done != Replace::Done && readOnly)
        SetFileAttributesA(target, (attributes & kSettableAttributes) | FILE_ATTRIBUTE_READONLY);
    return done;
}

Replace PutInPlace(TempFile& temp, const char* target, DWORD flags, HeldFile* held) {
    // The new file is held through the rename as any file of an operation is, through a
    // second handle reached through its writing handle (which is closed for the rename: open,
    // it would keep a second operation from opening the new file under its new name), so that
    // no other operation can take it and replace it before the check after the rename.
    HeldFile placed;
    const bool holding = HoldAgain(temp.handle(), placed);
    BY_HANDLE_FILE_INFORMATION written{};
    const bool known = GetFileInformationByHandle(temp.handle(), &written) != FALSE;
    // Only the file this operation wrote is put in place. Someone who may write the folder
    // can have swapped its name for another file or a link; that one is neither moved nor
    // removed (the name is forgotten), and the target stays.
    if (temp.NamedByAnother()) {
        temp.Keep();
        return Replace::Failed;
    }
    temp.Close();
    switch (Rename(temp.name(), target, flags | MOVEFILE_WRITE_THROUGH, held)) {
    case Renamed::Yes: break;
    case Renamed::No: return Replace::Failed;
    case Renamed::Taken: return Replace::Taken;
    }
    temp.Keep();
    // A swap in the moment before the rename has put something else under the target's name,
    // and that is no success. While the new file is held no other operation replaces it, so
    // anything else there is such a swap. (Without the hold, or when the name cannot be opened
    // for the check, the rename that just succeeded stands.)
    return holding && known && WhatNames(target, written) == Naming::Other ? Replace::Failed
                                                                            : Replace::Done;
}

}  // namespace nuvex::document
