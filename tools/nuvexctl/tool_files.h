// The files the tool reads and writes itself: inputs the caller names (state, key, password and
// policy files), the state files it writes, its own state folder and the files in it (the log
// spool, the policy journal, the document-key list), and the holding back of interruptions
// while a change of many requests is under way.
//
// On Linux every one of them goes through the project's file layer (src/files/posix_files.h),
// so that a name is resolved once, a link another user planted is never followed and what is
// reported written is on the disk. On Windows paths are handed to the system in UTF-16 only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#if !defined(_WIN32)
#include "files/posix_files.h"
#endif

namespace nuvexctl {

#if !defined(_WIN32)
namespace files = nuvex::files;
#endif

// ---- inputs the caller names ----------------------------------------------------------------

// What an input must be besides a regular disk file.
enum class InputKind {
    Plain,   // a state or policy file: any regular file the caller may read
    Secret,  // a key or password file: also the caller's own (or root's) and readable by nobody
             // else (Windows: guarded by its access-control list, which the tool leaves alone)
};

// A caller-named input, open for reading. Anything but a regular disk file (a device, a pipe, a
// socket) is refused unread and without waiting for a writer; so is a link another user owns
// and, for a secret, a file another user owns or may read.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` (a name the caller gave goes through PathFromText); false with the reason in
    // `why` ("is not a regular file"). Refused() then tells a file refused for what it is from
    // one that is not there or cannot be opened.
    bool Open(const std::filesystem::path& path, InputKind kind, std::string& why);
    bool Refused() const { return refused_; }
    // Reads up to `size` bytes into `into`: the count, 0 at the end, -1 on failure.
    long Read(void* into, std::size_t size);
    // Reads the whole file, at most `limit` bytes (see ReadRegularFile).
    bool ReadAll(std::size_t limit, std::string& bytes, std::string& why);

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    files::Fd fd_;
#endif
    bool refused_ = false;
};

// Reads a whole caller-named regular disk file (InputKind::Plain) of at most `limit` bytes.
// Anything else is refused unread with the reason in `why`: a pipe would be read as whatever
// arrives, a device as anything, a file the kernel makes up as it is read (in /proc or /sys)
// is no stored file. A larger file is refused before it is read, and one that grows while it
// is read is refused once it passes the limit, so that the tool never holds more than
// `limit` + 1 bytes of it.
bool ReadRegularFile(const std::filesystem::path& path, std::size_t limit, std::string& bytes, std::string& why);

// Reads standard input to its end, at most `limit` bytes; false with the reason in `why` when
// it holds more (reading stops at `limit` + 1 bytes) or cannot be read.
bool ReadStandardInput(std::size_t limit, std::string& bytes, std::string& why);

// The reason given for a file larger than `limit` bytes.
std::string LargerThan(std::size_t limit);

// ---- files the tool writes --------------------------------------------------------------------

// Whether the tool may write a file at `path`: nothing there, or a regular disk file reached
// through no link but the caller's own. Linux also refuses a file or a link that belongs to
// another user (not the caller, not root): writing there would give them the bytes, or steer the
// write to a file of their choosing. With `ownershipOnly` only those two are looked at (a file
// the library writes, which judges the rest itself). False with the reason in `why`.
bool TargetAllowed(const std::filesystem::path& path, std::string& why, bool ownershipOnly = false);

// Writes `bytes` as the file at `path`, whole or not at all, and durably: into a new file beside
// it (`<name>.nuvexctl-tmp`, then `.1` and so on), created exclusively (never through a name or
// a link that is already there) and for its owner only, flushed, renamed over `path`, then
// given the replaced file's permissions (Windows: a new file takes the folder's inherited
// ones), and the folder synced. Refuses, changing nothing, what TargetAllowed refuses. A link of
// the caller's own at `path` is followed: the file it names is replaced and the link stays
// (Windows: the link is replaced).
bool ReplaceFileWith(const std::filesystem::path& path, const std::string& bytes, std::string& why);

// Makes a file that is already written durable: its bytes and its name in its folder.
bool MakeDurable(const std::filesystem::path& file, std::string& why);

// Removes a file of the tool's own and makes the removal durable. True when it is gone (or was
// never there).
bool RemoveDurably(const std::filesystem::path& file);

// A file of the tool's own that lines are appended to, one write each (the document-key list).
// Opened once; never through a link, and only when it is a regular file of the caller's.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    bool Open(const std::filesystem::path& path, std::string& why);
    bool Append(const std::string& bytes);
    // Flushes what was appended to the disk (and the file's name, when it was made).
    bool Sync();

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    files::Fd folder_;
    files::Fd fd_;
    bool created_ = false;
#endif
};

// Writes all of `bytes` to the descriptor, going on after short writes; false when a write fails.
bool WriteWhole(int fd, const std::string& bytes);

// ---- the tool's own folders -----------------------------------------------------------------

// The user's own folder for the tool's state: NUVEXCTL_STATE_DIR when set, else
// $XDG_STATE_HOME/nuvexctl or ~/.local/state/nuvexctl (Windows: %LOCALAPPDATA%\nuvexctl).
// Created for its owner only when missing (see OwnFolder).
// With `create` false a missing folder is not made (false, as for one that is refused).
bool StateFolder(std::filesystem::path& folder, std::string& why, bool create = true);

// A folder of the tool's own: made for its owner only (0700) when missing, its name synced into
// the folder above it, and refused unless it is a real folder (not a link) that the caller
// owns and nobody else may write.
bool OwnFolder(const std::filesystem::path& folder, std::string& why, bool create = true);

// Holds back Ctrl-C, termination requests and hang-ups while it lives, so that a change of
// many requests is finished before the tool stops. One that arrived meanwhile takes effect
// when the holder ends (after a note on standard error).
class DeferredInterrupts {
public:
    DeferredInterrupts();
    ~DeferredInterrupts();
    DeferredInterrupts(const DeferredInterrupts&) = delete;
    DeferredInterrupts& operator=(const DeferredInterrupts&) = delete;
};

}  // namespace nuvexctl
