// The tool's own files: state files it writes and reads, and the journal that keeps the main
// driver's previous policy table while a change of many requests is under way.
#pragma once

#include <filesystem>
#include <string>

namespace nuvexctl {

// Reads a whole regular disk file of at most `limit` bytes. Anything else (a device, a pipe, a
// socket, a file the kernel makes up as it is read, or a link to one of them) is refused unread,
// with the reason in `why`: a pipe would be read as whatever arrives, a device as anything. A
// larger file is refused before it is read, and one that grows while it is read is refused
// once it passes the limit, so that the tool never holds more than `limit` + 1 bytes of it.
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& why);

// Reads standard input to its end, at most `limit` bytes; false with the reason in `why` when
// it holds more (reading stops at `limit` + 1 bytes) or cannot be read.
bool ReadStandardInput(std::size_t limit, std::string& bytes, std::string& why);

// The reason given for a file larger than `limit` bytes.
std::string LargerThan(std::size_t limit);

// Writes `bytes` as the file at `path`, whole or not at all: into a new file beside it, created
// exclusively (never through a name or a link that is already there) and for its owner only,
// given the replaced file's permissions through its own descriptor, flushed, then renamed over
// `path`. Refuses, changing nothing, when `path` holds something other than a regular disk
// file. A link at `path` is followed: the file it names is replaced, the link stays (Windows:
// the link is replaced).
bool ReplaceFileWith(const std::string& path, const std::string& bytes, std::string& why);

// Writes all of `bytes` to the descriptor, going on after short writes; false when a write fails.
bool WriteWhole(int fd, const std::string& bytes);

// Nothing at `path`, or a regular disk file there; false with the reason otherwise.
bool RegularOrAbsent(const std::string& path, std::string& why);

// The user's own folder for the tool's state: NUVEXCTL_STATE_DIR when set, else
// $XDG_STATE_HOME/nuvexctl or ~/.local/state/nuvexctl (Windows: %LOCALAPPDATA%\nuvexctl).
// Created for its owner only when missing; refused when it is a link, is not owned by the
// user, or can be written by others.
// With `create` false a missing folder is not made (false, as for one that is refused).
bool StateFolder(std::filesystem::path& folder, std::string& why, bool create = true);

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
