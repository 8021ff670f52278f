#include "document/operation_files.h"

#include "platform/file_security.h"
#include "platform/path_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace nuvex::document {

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

std::size_t LengthOf(const NameChar* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// One character of a name as the path limits count it: on Windows a UTF-16 unit (a surrogate
// pair is two, and is never cut), on the host a UTF-8 sequence.
platform::PathCharacter CharacterAt(const NameChar* text) {
#if defined(_WIN32)
    const bool pair = text[0] >= 0xD800 && text[0] <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF;
    return pair ? platform::PathCharacter{2, 2} : platform::PathCharacter{1, 1};
#else
    return platform::PathCharacterAt(text);
#endif
}

std::size_t CountCharacters(const NameChar* text, std::size_t length) {
    std::size_t counted = 0;
    for (std::size_t at = 0; at < length;) {
        const platform::PathCharacter next = CharacterAt(text + at);
        at += next.bytes;
        counted += next.counted;
    }
    return counted;
}

// The units of `text` that hold its first `characters` characters, as the path limits count
// them (never half a character: one that would pass the count is left out whole).
std::size_t UnitsOfCharacters(const NameChar* text, std::size_t units, std::size_t characters) {
    std::size_t at = 0;
    std::size_t counted = 0;
    while (at < units) {
        const platform::PathCharacter next = CharacterAt(text + at);
        if (counted + next.counted > characters || at + next.bytes > units) break;
        at += next.bytes;
        counted += next.counted;
    }
    return at;
}

}  // namespace

HeapBlock<NameChar> NameIn(const OperationFolder& folder, const NameChar* name, std::size_t length) {
    HeapBlock<NameChar> full(static_cast<NameChar*>(
        MemAlloc((folder.prefixLength() + length + 1) * sizeof(NameChar))));
    if (!full) return full;
    std::memcpy(full.get(), folder.prefix(), folder.prefixLength() * sizeof(NameChar));
    std::memcpy(full.get() + folder.prefixLength(), name, length * sizeof(NameChar));
    full.get()[folder.prefixLength() + length] = 0;
    return full;
}

// ---- one operation per file -----------------------------------------------------------

void HeldFile::Release() {
    if (locked_) {
        OVERLAPPED place = LockPlace();
        UnlockFileEx(file_.get(), 0, 1, 0, &place);
        locked_ = false;
    }
    if (watched_) platform::StopWatching(file_.get());
    watched_ = false;
    file_.reset();
}

namespace {

enum class Naming { Same, Other, Unknown };

// What `path` names, compared with the file whose information is `b`. Asking for the
// attributes only, the open is refused by no share mode.
Naming WhatNames(const NameChar* path, const BY_HANDLE_FILE_INFORMATION& b, bool followLink) {
    UniqueHandle named(platform::CreateFileN(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT)));
    if (!named) return GetLastError() == ERROR_CANT_ACCESS_FILE ? Naming::Other : Naming::Unknown;
    BY_HANDLE_FILE_INFORMATION a{};
    if (!GetFileInformationByHandle(named.get(), &a)) return Naming::Unknown;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                   a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow
               ? Naming::Same
               : Naming::Other;
}

Naming WhatNames(const NameChar* path, HANDLE file, bool followLink) {
    BY_HANDLE_FILE_INFORMATION b{};
    if (!GetFileInformationByHandle(file, &b)) return Naming::Unknown;
    return WhatNames(path, b, followLink);
}

bool IsLinkItself(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(file, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

Hold HoldFile(const NameChar* path, const HoldRules& rules, HeldFile& held) {
    held.Release();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Hold::CannotOpen;
    }
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (rules.followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
        UniqueHandle file(platform::CreateFileN(path, rules.access, rules.share, nullptr,
                                                OPEN_EXISTING, flags));
        if (!file) return Hold::CannotOpen;
        // Nothing is read from or written to what is not a disk file (a device would take a
        // header, a console or a pipe would wait for input).
        if (GetFileType(file.get()) != FILE_TYPE_DISK) return Hold::NotDiskFile;
        // Windows opens a link itself where it is not followed: that is no file to work on.
        if (!rules.followLink && IsLinkItself(file.get())) {
            SetLastError(ERROR_CANT_ACCESS_FILE);
            return Hold::CannotOpen;
        }
        OVERLAPPED place = LockPlace();
        if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                        &place))
            return Hold::Busy;
        held.file_ = std::move(file);
        held.locked_ = true;
        if (WhatNames(path, held.handle(), rules.followLink) == Naming::Same) {
            if (!rules.watchWriters) return Hold::Held;
            switch (platform::WatchWriters(held.handle())) {
            case platform::Watch::Watching: held.watched_ = true; return Hold::Held;
            case platform::Watch::NotWatched: return Hold::Held;
            case platform::Watch::OpenForWriting:
                held.Release();
                SetLastError(ERROR_SHARING_VIOLATION);
                return Hold::Busy;
            }
        }
        held.Release();
    }
    return Hold::Busy;
}

Hold HoldFile(const char* path, DWORD access, DWORD share, HeldFile& held) {
    held.Release();
    // Resolved as every operation's file is (Windows: exactly, in UTF-16), through its folder
    // held for the moment of the open.
    OperationFolder folder;
    switch (folder.Open(path)) {
    case OperationFolder::Opened::Yes: break;
    case OperationFolder::Opened::NoMemory: return Hold::NoMemory;
    default: return Hold::CannotOpen;
    }
    HeapBlock<NameChar> full = NameIn(folder, folder.leaf(), folder.leafLength());
    if (!full) return Hold::NoMemory;
    return HoldFile(full.get(), {access, share, !platform::kFolderResolvesLinks, /*watchWriters=*/false}, held);
}

bool HoldAgain(HANDLE original, DWORD access, HeldFile& held) {
    held.Release();
    UniqueHandle file(ReOpenFile(original, SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | access,
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

bool NamesFile(const NameChar* path, HANDLE file) {
    return WhatNames(path, file, /*followLink=*/false) == Naming::Same;
}

bool TempFile::NamedByAnother() const {
    return !kept_ && path_ && handle_ &&
           WhatNames(path_.get(), handle_.get(), /*followLink=*/false) == Naming::Other;
}

DWORD CarriedAttributes(DWORD attributes) {
    const DWORD carried = attributes & kSettableAttributes;
    return carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL;
}

// ---- temporary files ---------------------------------------------------------------------

namespace {

// The short form of candidate `n`: "~" and n in base 36, or the digits alone when only they
// fit `room` characters; empty when neither does.
std::size_t FormatShortName(int n, std::size_t room, NameChar* out) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    char digits[8];
    std::size_t count = 0;
    for (unsigned value = static_cast<unsigned>(n); value != 0 && count < sizeof digits;
         value /= 36)
        digits[count++] = kDigits[value % 36];
    std::size_t length = 0;
    if (count + 1 <= room) out[length++] = '~';
    else if (count > room) return 0;
    while (count > 0) out[length++] = static_cast<NameChar>(digits[--count]);
    return length;
}

}  // namespace

bool FormatTempName(std::size_t folderCharacters, const NameChar* leaf, std::size_t leafLength,
                    int n, NameChar* name, std::size_t nameSize) {
    char suffixText[24];
    std::snprintf(suffixText, sizeof suffixText, ".lumadtmp%d", n);
    const std::size_t suffixLength = std::strlen(suffixText);  // ASCII: units are characters
    NameChar suffix[24];
    for (std::size_t i = 0; i <= suffixLength; ++i) suffix[i] = static_cast<NameChar>(suffixText[i]);
    const std::size_t targetCharacters = folderCharacters + CountCharacters(leaf, leafLength);

    // The characters the temporary file's own name may have: one name's limit and, for a
    // target that keeps the whole-path limit, what that limit leaves after the folder.
    std::size_t room = kMaxNameLength;
    if (targetCharacters <= kMaxPathLength) {
        if (folderCharacters >= kMaxPathLength) return false;
        room = std::min(room, kMaxPathLength - folderCharacters);
    }
    NameChar shortName[8];
    std::size_t kept = 0;
    const NameChar* tail = suffix;
    std::size_t tailLength = suffixLength;
    if (suffixLength <= room) {
        kept = UnitsOfCharacters(leaf, leafLength, room - suffixLength);
    } else {
        // Not even ".lumadtmp<n>" fits beside the folder: a short name in the same place.
        tailLength = FormatShortName(n, room, shortName);
        if (tailLength == 0) return false;
        tail = shortName;
    }
    if (kept + tailLength + 1 > nameSize) return false;
    std::memcpy(name, leaf, kept * sizeof(NameChar));
    std::memcpy(name + kept, tail, tailLength * sizeof(NameChar));
    name[kept + tailLength] = 0;
    return true;
}

bool TempFile::Create(const OperationFolder& folder, const NameChar* leaf, std::size_t leafLength,
                      DWORD access, DWORD share, DWORD attributes, bool announce,
                      SECURITY_ATTRIBUTES* security, bool& noMemory) {
    noMemory = false;
    Discard();
    // The names are this object's only once a file has been created under them: a name that
    // was never created is never removed.
    const std::size_t nameSize = leafLength + kTempSuffixRoom;
    HeapBlock<NameChar> name(static_cast<NameChar*>(MemAlloc(nameSize * sizeof(NameChar))));
    HeapBlock<NameChar> path(static_cast<NameChar*>(
        MemAlloc((folder.prefixLength() + nameSize) * sizeof(NameChar))));
    if (!name || !path) {
        noMemory = true;
        return false;
    }
    std::memcpy(path.get(), folder.prefix(), folder.prefixLength() * sizeof(NameChar));
    for (int n = kFirstTempNumber; n <= kLastTempNumber; ++n) {
        if (!FormatTempName(folder.folderCharacters(), leaf, leafLength, n, name.get(), nameSize))
            continue;
        const std::size_t length = LengthOf(name.get());
        std::memcpy(path.get() + folder.prefixLength(), name.get(), (length + 1) * sizeof(NameChar));
        if (announce) {
            OutputDebugStringA("en2");
            folder.Announce(name.get());
        }
        HANDLE file = platform::CreateFileN(path.get(), access, share, security, CREATE_NEW,
                                            attributes);
        if (file == INVALID_HANDLE_VALUE) continue;
        handle_.reset(file);
        leaf_ = std::move(name);
        path_ = std::move(path);
        kept_ = false;
        return true;
    }
    return false;
}

void TempFile::Discard() {
    handle_.reset();
    if (!kept_ && path_) platform::DeleteFileN(path_.get());
    path_.reset();
}

// ---- the source as the operation saw it ----------------------------------------------------

bool See(HANDLE file, SeenFile& seen) {
    return GetFileInformationByHandle(file, &seen.information) != FALSE;
}

bool StillAsSeen(HANDLE file, const SeenFile& seen) {
    BY_HANDLE_FILE_INFORMATION now{};
    if (!GetFileInformationByHandle(file, &now)) return false;
    const BY_HANDLE_FILE_INFORMATION& before = seen.information;
    // Identity, size and last write time: what a write changes. The status-change time (which
    // the host reports as the creation time) also moves on a chmod, a new link or a read's
    // access time, none of which is a write.
    return now.dwVolumeSerialNumber == before.dwVolumeSerialNumber &&
           now.nFileIndexHigh == before.nFileIndexHigh &&
           now.nFileIndexLow == before.nFileIndexLow &&
           now.nFileSizeHigh == before.nFileSizeHigh && now.nFileSizeLow == before.nFileSizeLow &&
           now.ftLastWriteTime.dwLowDateTime == before.ftLastWriteTime.dwLowDateTime &&
           now.ftLastWriteTime.dwHighDateTime == before.ftLastWriteTime.dwHighDateTime;
}

// ---- the replace -------------------------------------------------------------------------

namespace {

// Access the new file's second handle needs after its rename: its permissions and attributes.
// (Not DELETE: the writing handle, still open when this one is made, does not share it.)
constexpr DWORD kPlacedAccess = READ_CONTROL | WRITE_DAC | FILE_WRITE_ATTRIBUTES;

void ReleaseHeld(void* held) { static_cast<HeldFile*>(held)->Release(); }

// A writer that came to the source and stays, or a source that no longer looks as it did
// (where writers are not watched, or a writer came and went); a writer that stays at the
// replaced file (the target's content is not compared: only its writers would lose bytes).
bool Written(const HeldFile& source, const SeenFile& seen, const HeldFile* replaced) {
    const platform::Writer writer =
        source.watched() ? platform::WriterOf(source.handle()) : platform::Writer::Went;
    if (writer == platform::Writer::Stays) return true;
    if (writer == platform::Writer::Went && !StillAsSeen(source.handle(), seen)) return true;
    return replaced != nullptr && replaced != &source && replaced->watched() &&
           platform::WriterOf(replaced->handle()) == platform::Writer::Stays;
}

// Renames the temporary file over `target` (replacing `held`, or a new name when null) and
// gives it `permissions` once it is in place.
Replace PutInPlace(const OperationFolder& folder, const NameChar* target, HeldFile* held,
                   const platform::SavedPermissions& permissions, TempFile& temp,
                   const HeldFile& source, const SeenFile& seen) {
    HeapBlock<NameChar> targetPath = NameIn(folder, target, LengthOf(target));
    if (!targetPath) return Replace::Failed;
    // The new file is held through the rename as any file of an operation is, through a
    // second handle reached through its writing handle (which is closed for the rename: it
    // does not share deleting), so that no other operation can take it and replace it before
    // the check after the rename, and its permissions can be given once it is in place.
    HeldFile placed;
    if (!HoldAgain(temp.handle(), kPlacedAccess, placed)) return Replace::Failed;
    // Only the file this operation wrote is put in place. Someone who may write the folder
    // can have swapped its name for another file or a link; that one is neither moved nor
    // removed (the name is forgotten), and the target stays.
    if (temp.NamedByAnother()) {
        temp.Keep();
        return Replace::Failed;
    }
    // Checked last before the rename, after everything else that takes time.
    if (Written(source, seen, held)) return Replace::SourceChanged;
    // The new file's identity as its creating handle tells it (a handle reached through
    // ReOpenFile may not tell the volume under Wine).
    BY_HANDLE_FILE_INFORMATION written{};
    if (!GetFileInformationByHandle(temp.handle(), &written)) return Replace::Failed;
    temp.Close();
    platform::ReplacedFile replaced;
    if (held != nullptr) {
        replaced.held = held->handle();
        replaced.watched = held->watched();
        replaced.release = &ReleaseHeld;
        replaced.context = held;
        replaced.operationLock = kOperationLockOffset;
    }
    switch (platform::RenameInFolder(folder, temp.leaf(), target, placed.handle(),
                                     held != nullptr ? &replaced : nullptr)) {
    case platform::Renamed::Done: break;
    case platform::Renamed::Failed: return Replace::Failed;
    case platform::Renamed::Taken: return Replace::Taken;
    case platform::Renamed::WriterCame: return Replace::SourceChanged;
    }
    temp.Keep();
    // A swap in the moment before the rename has put something else under the target's name,
    // and that is no success. While the new file is held no other operation replaces it, so
    // anything else there is such a swap.
    if (WhatNames(targetPath.get(), written, /*followLink=*/false) == Naming::Other)
        return Replace::Failed;
    // In place under its final name, and that name on the disk (the rename synced its folder;
    // else a power cut could leave the opened-up file under its temporary name): only now may
    // it be as open as the file it replaces. The permissions reach the disk with the file
    // system's next commit; a power cut before it leaves the new file for its owner alone,
    // narrower than the old, never wider (one more flush here would cost a small file a third
    // journal commit).
    permissions.GiveTo(placed.handle());
    return Replace::Done;
}

}  // namespace

Replace ReplaceHeld(const OperationFolder& folder, const NameChar* target, HeldFile& held,
                    HANDLE identity, TempFile& temp, const HeldFile& source, const SeenFile& seen) {
    HeapBlock<NameChar> targetPath = NameIn(folder, target, LengthOf(target));
    if (!targetPath) return Replace::Failed;
    // Another program may have renamed the file away while the operation ran (it shares
    // deleting); only the file the operation decided on is replaced.
    if (WhatNames(targetPath.get(), held.handle(), /*followLink=*/true) != Naming::Same)
        return Replace::Failed;
    // Best effort, as a replace gives it: what cannot be given (an owner, for anybody but
    // root) leaves the new file with its creator's, never wider than the target's.
    platform::GiveOwnership(identity, temp.handle());
    platform::SavedPermissions permissions;
    permissions.Save(identity);
    return PutInPlace(folder, target, &held, permissions, temp, source, seen);
}

Replace PlaceNew(const OperationFolder& folder, const NameChar* target, HANDLE identity,
                 TempFile& temp, const HeldFile& source, const SeenFile& seen) {
    platform::SavedPermissions permissions;
    permissions.Save(identity);
    return PutInPlace(folder, target, nullptr, permissions, temp, source, seen);
}

}  // namespace nuvex::document
