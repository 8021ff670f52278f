// The states a power cut may leave behind an operation, rebuilt from a recording of its
// file-system calls (see recorder.cpp) and a snapshot of the scope folders taken before it.
//
// The snapshot is taken as fully on the disk. The recording becomes a list of steps, each on
// one object: a file (its data and its metadata: writes, truncations, mode, owner,
// attributes) or a folder (its names: links, removals, renames). A crash may come between
// any two steps. Two models of what reaches the disk up to that point:
//
//  - ordered: every step before the crash, none after (every prefix of the recording);
//  - per object: each object keeps a prefix of its own steps, at least every step before its
//    last fsync/fdatasync (for a folder: the fsync of the folder) or syncfs/sync before the
//    crash, and the objects' prefixes combine freely. A write counts as one step per 4 KiB
//    page it touches, so a long write may reach the disk in part. A rename belongs to the
//    folder the name goes to (the operations checked rename only within one folder).
//
// Per object the combinations are all taken when there are at most kFullProduct of them at
// a crash point; beyond that, each object's every prefix is combined with all the others at
// their least and at their most (counted as bounded). States that come out equal at one
// crash point are checked once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fs_events.h"

namespace nuvex::crash {

struct Event {
    uint32_t kind = 0;
    int32_t pid = 0;
    uint32_t flags = 0;
    uint64_t ino = 0;
    uint64_t a = 0;
    std::string path;
    std::string path2;
    std::string data;
};

// Reads a recorder's log; false (with the reason) on a damaged one.
bool ReadEvents(const std::string& log, std::vector<Event>* events, std::string* why);
std::string Describe(const Event& event);

struct Node {
    bool folder = false;
    uint32_t mode = 0;
    std::string data;                      // a file's bytes
    std::map<std::string, int> entries;    // a folder's names and the objects they lead to
};

struct Step {
    enum Kind { Link, Unlink, Rename, Write, Truncate, Chmod, Meta, Sync, SyncAll, External };
    Kind kind = Meta;
    int object = -1;   // whose sequence holds the step (-1: external, or every object)
    int from = -1;     // rename: the folder the name leaves
    std::string name;  // link/unlink: the name; rename: the old name
    std::string name2; // rename: the new name
    bool exchange = false;  // rename: the two names swap their objects (RENAME_EXCHANGE)
    int target = -1;   // link: the object the name leads to
    uint64_t offset = 0;
    std::string data;
    uint32_t mode = 0;
    size_t event = 0;  // index of the recorded event
};

class Recording;

// One state a crash may leave, written out into a folder of its own.
class CrashState {
public:
    const char* model = "";
    size_t point = 0;      // steps issued before the crash
    size_t events = 0;     // recorded events issued before the crash
    bool finished = false; // every recorded event was issued (the operation had ended)
    std::string lagging;   // per object: which objects lack which of their steps
    std::string folder;    // where the state was written

    // The path of an original file or folder inside this state's folder.
    std::string Path(const std::string& original) const;
    bool Exists(const std::string& original) const;
    // The bytes of a file, or false when there is none.
    bool Read(const std::string& original, std::string* bytes) const;
    // The recorded permission bits of a file (0 when there is none).
    uint32_t Mode(const std::string& original) const;
    // Names in an original folder of this state.
    std::vector<std::string> Names(const std::string& original) const;
    // Whether a request with this code, or a marker with this text, was issued before the crash.
    bool Sent(uint32_t code) const;
    bool Marked(const std::string& text) const;
    // Whether a recorded event of this kind naming this path was issued before the crash.
    bool Issued(uint32_t kind, const std::string& path) const;
    std::string Where() const;  // model, crash point and lagging objects, for messages

private:
    friend class Recording;
    const Recording* recording_ = nullptr;
    std::map<std::string, uint32_t> modes_;  // state path -> recorded mode
};

// A promise: empty when the state keeps it, else what is wrong.
using Promise = std::function<std::string(const CrashState&)>;

struct Verdict {
    size_t events = 0;
    size_t points = 0;
    size_t orderedStates = 0;
    size_t perObjectStates = 0;
    size_t boundedPoints = 0;
    size_t failedOrdered = 0;
    size_t failedPerObject = 0;
    std::vector<std::string> failures;  // the first few, described
    std::string Summary() const;
};

class Recording {
public:
    static constexpr size_t kFullProduct = 4096;
    static constexpr size_t kPage = 4096;

    // Takes the snapshot of the scope folders (as they are now, all on the disk).
    explicit Recording(std::vector<std::string> scopes);

    // Turns the recorded events into steps. False with the reason when an event names
    // something the model does not hold.
    bool Replay(std::vector<Event> events, std::string* why);

    // Every crash state of both models, each written into `scratch` in turn and given to
    // `promise`.
    Verdict Check(const std::string& scratch, const Promise& promise) const;

    // The bytes at an original path in the state after the first `events` recorded events,
    // all on the disk (the snapshot for 0); false when there is no file.
    bool ContentAfter(size_t events, const std::string& original, std::string* bytes) const;
    const std::vector<Event>& Events() const { return events_; }
    const std::vector<std::string>& Scopes() const { return scopes_; }
    // The folder all scopes lie in; a state's folder stands for it.
    const std::string& Base() const { return base_; }

private:
    friend class CrashState;
    struct Located {
        int folder = -1;
        std::string name;
    };
    bool Locate(const std::vector<Node>& nodes, const std::string& path, Located* at) const;
    int Lookup(const std::vector<Node>& nodes, const std::string& path) const;
    void Apply(std::vector<Node>& nodes, const Step& step) const;
    std::vector<Node> Build(const std::vector<size_t>& kept, size_t point) const;
    std::string Flatten(const std::vector<Node>& nodes,
                        std::vector<std::pair<std::string, const Node*>>* files) const;
    std::string Name(int object) const;
    std::string Short(std::string text) const;
    std::string StepText(const Step& step) const;

    std::vector<std::string> scopes_;
    std::string base_;
    std::vector<int> roots_;            // the scope folders' objects
    std::vector<Node> initial_;         // every object as it starts (created ones empty)
    std::map<int, std::string> names_;  // object -> the last path it was known by
    std::map<uint64_t, int> inodes_;    // inode number -> object, as the snapshot found them
    std::vector<Event> events_;
    std::vector<Step> steps_;
};

}  // namespace nuvex::crash
