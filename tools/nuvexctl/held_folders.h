// Walks through folder trees that other users may change while the tool works in them.
//
// A walk meets folders that belong to other users, who can swap a folder or a file for a link
// at any moment: a name resolved again later, by its path, may then lead anywhere, and a run
// as root would write wherever the link points. So below a folder the user named nothing is
// ever reached by a path: every folder is opened through its parent's open handle without
// following a link, every name met in a listing is reached only inside the folder it was
// listed in, and the library is handed the open folder and the name (NuvexCtrlEx_*FileIn).
// Folders are held while their files are worked on; only a bounded number stay open, and one
// let go is opened again through its parent and must be the very folder listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "nuvexctrl_ex.h"

namespace nuvexctl {

// A name inside one folder as the system holds it (Linux bytes, Windows UTF-16).
using NativeName = std::filesystem::path::string_type;

// Who a folder or file is: device and inode (Windows: volume serial number and file index).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
    bool operator<(const FileIdentity& other) const {
        return device != other.device ? device < other.device : index < other.index;
    }
};

// The identity of the folder at `path`, as the user wrote it (links on the way followed).
bool IdentityOfFolder(const std::filesystem::path& path, FileIdentity& identity);

// One open folder (Linux a descriptor, Windows a HANDLE), closed when it goes.
class HeldFolder {
public:
    explicit HeldFolder(intptr_t native) : native_(native) {}
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    // What the library's exports for a name in a folder take.
    NuvexCtrlExFolder Handle() const { return native_; }

private:
    intptr_t native_;
};

// A folder kept open for as long as anybody works in it.
using FolderHold = std::shared_ptr<const HeldFolder>;

// What a name in a listing holds, seen without following it.
enum class EntryKind { File, Folder, Link, Other };

struct FolderEntry {
    NativeName name;
    EntryKind kind;
};

// The names in `folder` (neither "." nor ".."), in the order the system lists them. False, with
// the reason in `why`, when the listing cannot be read whole.
bool ListFolder(const HeldFolder& folder, std::vector<FolderEntry>& entries, std::string& why);

// The folders a walk met. Each is known by its place (its parent and its name, or the path the
// user gave) and by its identity when it was listed; Hold gives it open, from the folders kept
// open or opened again from its place and checked to be the same folder. Safe to use from
// several threads at once.
class FolderTree {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // `openAtMost`: how many folders stay open once nobody holds them.
    explicit FolderTree(std::size_t openAtMost = DefaultOpenAtMost());

    // Adds a folder the user named, opened as the user wrote it: links on the way are followed,
    // one at the last name only with `followLink` (Linux; on Windows the name is the user's to
    // give). kNone with the reason in `why` when it cannot be opened as a folder.
    std::size_t AddTop(const std::filesystem::path& path, bool followLink, std::string& why);

    // Adds the folder `name` inside folder `parent`, opened through the parent without following a
    // link. kNone with the reason in `why`; `isLink` tells a name that is a link now (it was
    // swapped since it was listed) from one that cannot be opened.
    std::size_t AddChild(std::size_t parent, const NativeName& name, bool& isLink, std::string& why);

    FileIdentity IdentityOf(std::size_t folder) const;

    // The folder, open; empty with the reason in `why` when it cannot be had, or is no longer
    // the folder that was listed.
    FolderHold Hold(std::size_t folder, std::string& why);

    // How many folders stay open by default: a share of the descriptors the process may open,
    // so that a deep or wide tree never runs the process out of them.
    static std::size_t DefaultOpenAtMost();

private:
    struct Place {
        std::size_t parent;               // kNone for a folder the user named
        NativeName name;                  // in the parent
        std::filesystem::path path;       // of a folder the user named
        bool followLink = false;
        FileIdentity identity;
    };

    // Opens the folder at `place` again (its parent held as `parent`); checks nothing.
    intptr_t Reopen(const Place& place, const HeldFolder* parent, bool& isLink, std::string& why) const;
    // Opens the folder at `place` for the first time, notes its identity and keeps it open.
    std::size_t Add(Place place, const HeldFolder* parent, bool& isLink, std::string& why);
    FolderHold KeepOpen(std::size_t folder, intptr_t native);
    FolderHold Cached(std::size_t folder);

    mutable std::mutex mutex_;
    std::vector<Place> places_;
    std::size_t openAtMost_;
    // The folders kept open, the one used last first.
    std::list<std::pair<std::size_t, FolderHold>> open_;
    std::unordered_map<std::size_t, std::list<std::pair<std::size_t, FolderHold>>::iterator> openByFolder_;
};

// A regular file in a held folder, opened without following a link at its name and held (on
// Windows without delete sharing, so that it cannot be renamed) while the library reads it
// under LibraryName(): a name that reaches exactly this file.
class HeldFile {
public:
    enum class Opened { Yes, Missing, NotRegular, Failed };

    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    Opened Open(const HeldFolder& folder, const NativeName& name);
    const std::string& LibraryName() const { return libraryName_; }

private:
    intptr_t native_ = -1;
    std::string libraryName_;
};

// Removes the name `name` from a held folder, never what a link there points to. False with the
// reason in `why`.
bool RemoveIn(const HeldFolder& folder, const NativeName& name, std::string& why);

}  // namespace nuvexctl
