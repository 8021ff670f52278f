#include "crash_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace nuvex::crash {
namespace {

namespace fs = std::filesystem;

std::string Canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool Under(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(relative);
    while (std::getline(in, part, '/'))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string CommonFolder(const std::vector<std::string>& paths) {
    if (paths.empty()) return "/";
    std::vector<std::string> common = Components(paths[0]);
    for (const std::string& path : paths) {
        std::vector<std::string> parts = Components(path);
        size_t n = 0;
        while (n < common.size() && n < parts.size() && common[n] == parts[n]) ++n;
        common.resize(n);
    }
    std::string folder;
    for (const std::string& part : common) folder += "/" + part;
    return folder.empty() ? "/" : folder;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

const char* KindName(uint32_t kind) {
    switch (kind) {
    case NUVEX_FS_CREATE: return "create";
    case NUVEX_FS_MKDIR: return "mkdir";
    case NUVEX_FS_WRITE: return "write";
    case NUVEX_FS_TRUNCATE: return "truncate";
    case NUVEX_FS_RENAME: return "rename";
    case NUVEX_FS_UNLINK: return "unlink";
    case NUVEX_FS_RMDIR: return "rmdir";
    case NUVEX_FS_LINK: return "link";
    case NUVEX_FS_FSYNC: return "fsync";
    case NUVEX_FS_SYNC_ALL: return "sync";
    case NUVEX_FS_CHMOD: return "chmod";
    case NUVEX_FS_META: return "owner/attributes";
    case NUVEX_FS_CLOSE: return "close";
    case NUVEX_FS_REQUEST: return "request";
    case NUVEX_FS_MARKER: return "marker";
    }
    return "?";
}

}  // namespace

bool ReadEvents(const std::string& log, std::vector<Event>* events, std::string* why) {
    events->clear();
    std::string bytes = ReadWhole(log);
    size_t at = 0;
    while (at < bytes.size()) {
        NuvexFsEventHead head;
        if (bytes.size() - at < sizeof head) {
            *why = "a cut event head at byte " + std::to_string(at);
            return false;
        }
        std::memcpy(&head, bytes.data() + at, sizeof head);
        at += sizeof head;
        const size_t body = size_t{head.pathLength} + head.path2Length + head.dataLength;
        if (head.magic != NUVEX_FS_EVENT_MAGIC || bytes.size() - at < body) {
            *why = "a damaged event at byte " + std::to_string(at - sizeof head);
            return false;
        }
        Event event;
        event.kind = head.kind;
        event.pid = head.pid;
        event.flags = head.flags;
        event.ino = head.ino;
        event.a = head.a;
        event.path = bytes.substr(at, head.pathLength);
        at += head.pathLength;
        event.path2 = bytes.substr(at, head.path2Length);
        at += head.path2Length;
        event.data = bytes.substr(at, head.dataLength);
        at += head.dataLength;
        events->push_back(std::move(event));
    }
    return true;
}

std::string Describe(const Event& event) {
    std::ostringstream text;
    text << KindName(event.kind);
    if (!event.path.empty()) text << " " << event.path;
    if (!event.path2.empty()) text << " -> " << event.path2;
    if (event.kind == NUVEX_FS_WRITE)
        text << " @" << event.a << " +" << event.data.size() << " (inode " << event.ino << ")";
    if (event.kind == NUVEX_FS_TRUNCATE) text << " to " << event.a << " (inode " << event.ino << ")";
    if (event.kind == NUVEX_FS_CHMOD || event.kind == NUVEX_FS_CREATE)
        text << " mode 0" << std::oct << (event.a & 07777) << std::dec;
    if (event.kind == NUVEX_FS_REQUEST) text << " 0x" << std::hex << event.a << std::dec;
    return text.str();
}

// ---- the snapshot ------------------------------------------------------------------------

namespace {

int Snap(const std::string& path, std::vector<Node>& nodes, std::map<uint64_t, int>& inodes,
         std::map<int, std::string>& names) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return -1;
    Node node;
    node.mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
        node.folder = true;
    } else if (S_ISREG(st.st_mode)) {
        node.data = ReadWhole(path);
    } else {
        return -1;  // links, sockets, pipes: not files the operations keep promises about
    }
    const int id = static_cast<int>(nodes.size());
    nodes.push_back(node);
    inodes[st.st_ino] = id;
    names[id] = path;
    if (node.folder) {
        std::vector<std::string> children;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") children.push_back(name);
            }
            ::closedir(dir);
        }
        for (const std::string& name : children) {
            int child = Snap(path + "/" + name, nodes, inodes, names);
            if (child >= 0) nodes[id].entries[name] = child;
        }
    }
    return id;
}

}  // namespace

Recording::Recording(std::vector<std::string> scopes) {
    for (std::string& scope : scopes) scope = Canonical(scope);
    scopes_ = std::move(scopes);
    base_ = CommonFolder(scopes_);
    std::map<uint64_t, int> inodes;
    for (const std::string& scope : scopes_) {
        int root = Snap(scope, initial_, inodes, names_);
        roots_.push_back(root);
    }
    inodes_ = inodes;
}

// ---- from events to steps ----------------------------------------------------------------

bool Recording::Locate(const std::vector<Node>& nodes, const std::string& path, Located* at) const {
    for (size_t s = 0; s < scopes_.size(); ++s) {
        if (!Under(path, scopes_[s]) || path.size() == scopes_[s].size() || roots_[s] < 0) continue;
        std::vector<std::string> parts = Components(path.substr(scopes_[s].size()));
        int folder = roots_[s];
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            auto found = nodes[folder].entries.find(parts[i]);
            if (found == nodes[folder].entries.end() || !nodes[found->second].folder) return false;
            folder = found->second;
        }
        at->folder = folder;
        at->name = parts.back();
        return true;
    }
    return false;
}

int Recording::Lookup(const std::vector<Node>& nodes, const std::string& path) const {
    for (size_t s = 0; s < scopes_.size(); ++s) {
        if (path == scopes_[s]) return roots_[s];
    }
    Located at;
    if (!Locate(nodes, path, &at)) return -1;
    auto found = nodes[at.folder].entries.find(at.name);
    return found == nodes[at.folder].entries.end() ? -1 : found->second;
}

void Recording::Apply(std::vector<Node>& nodes, const Step& step) const {
    switch (step.kind) {
    case Step::Link:
        nodes[step.object].entries[step.name] = step.target;
        break;
    case Step::Unlink:
        nodes[step.object].entries.erase(step.name);
        break;
    case Step::Rename: {
        auto found = nodes[step.from].entries.find(step.name);
        if (found == nodes[step.from].entries.end()) break;  // the old name never reached the disk
        const int moved = found->second;
        auto other = nodes[step.object].entries.find(step.name2);
        if (step.exchange && other != nodes[step.object].entries.end()) {
            found->second = other->second;
            other->second = moved;
            break;
        }
        nodes[step.from].entries.erase(found);
        nodes[step.object].entries[step.name2] = moved;
        break;
    }
    case Step::Write: {
        std::string& data = nodes[step.object].data;
        if (data.size() < step.offset + step.data.size()) data.resize(step.offset + step.data.size());
        data.replace(step.offset, step.data.size(), step.data);
        break;
    }
    case Step::Truncate:
        nodes[step.object].data.resize(step.offset);
        break;
    case Step::Chmod:
        nodes[step.object].mode = step.mode;
        break;
    default:
        break;
    }
}

bool Recording::Replay(std::vector<Event> events, std::string* why) {
    events_ = std::move(events);
    steps_.clear();
    std::vector<Node> now = initial_;
    std::map<uint64_t, int> inodes = inodes_;
    auto fail = [&](size_t i, const std::string& what) {
        *why = "event " + std::to_string(i) + " (" + Describe(events_[i]) + "): " + what;
        return false;
    };
    auto object = [&](const Event& e) {
        auto found = inodes.find(e.ino);
        return found == inodes.end() ? -1 : found->second;
    };
    for (size_t i = 0; i < events_.size(); ++i) {
        const Event& e = events_[i];
        std::vector<Step> made;
        Step step;
        step.event = i;
        switch (e.kind) {
        case NUVEX_FS_CREATE:
        case NUVEX_FS_MKDIR: {
            Located at;
            if (!Locate(now, e.path, &at)) return fail(i, "its folder is not in the model");
            Node node;
            node.folder = e.kind == NUVEX_FS_MKDIR;
            node.mode = static_cast<uint32_t>(e.a & 07777);
            const int id = static_cast<int>(initial_.size());
            initial_.push_back(node);
            now.push_back(node);
            inodes[e.ino] = id;
            names_[id] = e.path;
            step.kind = Step::Link;
            step.object = at.folder;
            step.name = at.name;
            step.target = id;
            made.push_back(step);
            break;
        }
        case NUVEX_FS_WRITE: {
            const int id = object(e);
            if (id < 0) return fail(i, "a write into a file the model does not hold");
            // One step per page touched: a long write may reach the disk in part.
            size_t done = 0;
            while (done < e.data.size()) {
                const uint64_t at = e.a + done;
                const size_t room = static_cast<size_t>(kPage - at % kPage);
                const size_t take = std::min(room, e.data.size() - done);
                Step piece = step;
                piece.kind = Step::Write;
                piece.object = id;
                piece.offset = at;
                piece.data = e.data.substr(done, take);
                made.push_back(piece);
                done += take;
            }
            break;
        }
        case NUVEX_FS_TRUNCATE:
        case NUVEX_FS_CHMOD:
        case NUVEX_FS_META:
        case NUVEX_FS_FSYNC: {
            const int id = object(e);
            if (id < 0) return fail(i, "an object the model does not hold");
            step.object = id;
            step.kind = e.kind == NUVEX_FS_TRUNCATE ? Step::Truncate
                        : e.kind == NUVEX_FS_CHMOD  ? Step::Chmod
                        : e.kind == NUVEX_FS_META   ? Step::Meta
                                                    : Step::Sync;
            step.offset = e.a;
            step.mode = static_cast<uint32_t>(e.a & 07777);
            made.push_back(step);
            break;
        }
        case NUVEX_FS_RENAME: {
            Located from, to;
            if (!Locate(now, e.path, &from) || !Locate(now, e.path2, &to))
                return fail(i, "a name outside the model");
            step.kind = Step::Rename;
            step.object = to.folder;
            step.from = from.folder;
            step.name = from.name;
            step.name2 = to.name;
            step.exchange = (e.a & RENAME_EXCHANGE) != 0;
            made.push_back(step);
            auto moved = now[from.folder].entries.find(from.name);
            auto swapped = now[to.folder].entries.find(to.name);
            if (step.exchange && swapped != now[to.folder].entries.end())
                names_[swapped->second] = e.path;
            if (moved != now[from.folder].entries.end()) names_[moved->second] = e.path2;
            break;
        }
        case NUVEX_FS_UNLINK:
        case NUVEX_FS_RMDIR: {
            Located at;
            if (!Locate(now, e.path, &at)) return fail(i, "a name outside the model");
            step.kind = Step::Unlink;
            step.object = at.folder;
            step.name = at.name;
            made.push_back(step);
            break;
        }
        case NUVEX_FS_LINK: {
            const int id = Lookup(now, e.path);
            Located to;
            if (id < 0 || !Locate(now, e.path2, &to)) return fail(i, "a name outside the model");
            step.kind = Step::Link;
            step.object = to.folder;
            step.name = to.name;
            step.target = id;
            made.push_back(step);
            break;
        }
        case NUVEX_FS_SYNC_ALL:
            step.kind = Step::SyncAll;
            made.push_back(step);
            break;
        case NUVEX_FS_REQUEST:
        case NUVEX_FS_MARKER:
            step.kind = Step::External;
            made.push_back(step);
            break;
        default:
            break;  // closes change nothing on the disk
        }
        for (const Step& s : made) {
            Apply(now, s);
            steps_.push_back(s);
        }
    }
    return true;
}

// ---- states ------------------------------------------------------------------------------

std::vector<Node> Recording::Build(const std::vector<size_t>& kept, size_t point) const {
    std::vector<Node> nodes = initial_;
    std::vector<size_t> applied(initial_.size(), 0);
    for (size_t i = 0; i < point; ++i) {
        const Step& step = steps_[i];
        if (step.object < 0 || step.kind == Step::Sync) continue;
        if (applied[step.object]++ < kept[step.object]) Apply(nodes, step);
    }
    return nodes;
}

std::string Recording::Flatten(const std::vector<Node>& nodes,
                               std::vector<std::pair<std::string, const Node*>>* files) const {
    std::string flat;
    std::vector<std::pair<std::string, int>> todo;
    for (size_t s = 0; s < scopes_.size(); ++s)
        if (roots_[s] >= 0) todo.emplace_back(scopes_[s].substr(base_.size() == 1 ? 0 : base_.size()), roots_[s]);
    std::set<int> seen;
    while (!todo.empty()) {
        auto [path, id] = todo.back();
        todo.pop_back();
        const Node& node = nodes[id];
        files->emplace_back(path, &node);
        flat += (node.folder ? "D " : "F ") + path + " " + std::to_string(node.mode) + " " +
                std::to_string(node.data.size()) + "\n" + node.data;
        // A folder reached twice (never made by these operations) is written once.
        if (!node.folder || !seen.insert(id).second) continue;
        for (auto it = node.entries.rbegin(); it != node.entries.rend(); ++it)
            todo.emplace_back(path + "/" + it->first, it->second);
    }
    return flat;
}

std::string Recording::Short(std::string text) const {
    // Paths in messages are given from the folder all scopes lie in.
    if (base_.size() > 1)
        for (size_t at = text.find(base_); at != std::string::npos; at = text.find(base_, at))
            text.replace(at, base_.size(), "");
    return text;
}

std::string Recording::Name(int object) const {
    auto found = names_.find(object);
    if (found == names_.end()) return "#" + std::to_string(object);
    const std::string name = Short(found->second);
    return name.empty() ? "." : name;
}

std::string Recording::StepText(const Step& step) const {
    const Event& e = events_[step.event];
    std::string text = Short(Describe(e));
    if (step.kind == Step::Write && e.data.size() > step.data.size())
        text += " (the page at " + std::to_string(step.offset) + ")";
    return text;
}

bool Recording::ContentAfter(size_t events, const std::string& original, std::string* bytes) const {
    size_t point = 0;
    while (point < steps_.size() && steps_[point].event < events) ++point;
    std::vector<size_t> all(initial_.size(), SIZE_MAX);
    std::vector<Node> nodes = Build(all, point);
    const int id = Lookup(nodes, original);
    if (id < 0 || nodes[id].folder) return false;
    *bytes = nodes[id].data;
    return true;
}

namespace {

// What is written in the state folder now, so that the next state rewrites only what differs.
struct Written {
    std::map<std::string, std::string> entries;  // relative path -> its description
};

void Materialize(const std::string& folder, const std::vector<std::pair<std::string, const Node*>>& files,
                 Written& written, std::map<std::string, uint32_t>& modes) {
    std::map<std::string, std::string> wanted;
    std::map<std::string, const Node*> nodes;
    for (const auto& [path, node] : files) {
        std::string description = node->folder ? "D" : "F" + std::to_string(node->mode) + ":" +
                                                           std::to_string(std::hash<std::string>{}(node->data)) +
                                                           ":" + std::to_string(node->data.size());
        wanted[path] = description;
        nodes[path] = node;
    }
    std::error_code ec;
    for (auto it = written.entries.rbegin(); it != written.entries.rend(); ++it) {
        auto want = wanted.find(it->first);
        if (want != wanted.end() && want->second == it->second) continue;
        fs::remove_all(folder + it->first, ec);
    }
    // What was kept: a folder removed takes its names with it, but those are not wanted either.
    std::map<std::string, std::string> now;
    for (const auto& [path, description] : written.entries) {
        auto want = wanted.find(path);
        if (want != wanted.end() && want->second == description) now[path] = description;
    }
    modes.clear();
    for (const auto& [path, description] : wanted) {
        const Node* node = nodes[path];
        modes[folder + path] = node->mode;
        if (now.count(path) != 0) continue;
        const std::string target = folder + path;
        if (node->folder) {
            fs::create_directories(target, ec);
            ::chmod(target.c_str(), 0700);
        } else {
            fs::remove_all(target, ec);
            int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) {
                size_t done = 0;
                while (done < node->data.size()) {
                    ssize_t n = ::write(fd, node->data.data() + done, node->data.size() - done);
                    if (n <= 0) break;
                    done += static_cast<size_t>(n);
                }
                // The recorded bits, with the owner's reading and writing kept for the check.
                ::fchmod(fd, (node->mode & 0777) | 0600);
                ::close(fd);
            }
        }
        now[path] = description;
    }
    written.entries = std::move(now);
}

}  // namespace

Verdict Recording::Check(const std::string& scratch, const Promise& promise) const {
    Verdict verdict;
    verdict.events = events_.size();
    const std::string folder = scratch + "/state";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
    Written written;

    const size_t objects = initial_.size();
    std::vector<size_t> issued(objects, 0), synced(objects, 0);
    auto run = [&](const char* model, size_t point, const std::string& lagging, const std::vector<Node>& nodes,
                   bool perObject) {
        std::vector<std::pair<std::string, const Node*>> files;
        Flatten(nodes, &files);
        CrashState state;
        state.model = model;
        state.point = point;
        state.events = point == 0 ? 0 : steps_[point - 1].event + 1;
        state.lagging = lagging;
        state.finished = point == steps_.size();
        state.folder = folder;
        state.recording_ = this;
        Materialize(folder, files, written, state.modes_);
        std::string problem = promise(state);
        if (problem.empty()) return;
        (perObject ? verdict.failedPerObject : verdict.failedOrdered)++;
        if (verdict.failures.size() < 12) verdict.failures.push_back(state.Where() + ": " + problem);
    };

    for (size_t point = 0; point <= steps_.size(); ++point) {
        if (point > 0) {
            const Step& step = steps_[point - 1];
            if (step.kind == Step::Sync) {
                synced[step.object] = issued[step.object];
            } else if (step.kind == Step::SyncAll) {
                synced = issued;
            } else if (step.object >= 0) {
                ++issued[step.object];
            }
        }
        ++verdict.points;
        std::vector<Node> ordered = Build(issued, point);
        std::vector<std::pair<std::string, const Node*>> orderedFiles;
        const std::string orderedFlat = Flatten(ordered, &orderedFiles);
        ++verdict.orderedStates;
        run("ordered", point, std::string(), ordered, false);

        // Per object: every combination of the prefixes each object may have kept.
        std::vector<int> pending;
        size_t product = 1;
        for (size_t o = 0; o < objects; ++o) {
            if (issued[o] == synced[o]) continue;
            pending.push_back(static_cast<int>(o));
            const size_t choices = issued[o] - synced[o] + 1;
            product = product > kFullProduct ? product : product * choices;
        }
        if (pending.empty()) continue;
        std::vector<std::vector<size_t>> combinations;
        if (product <= kFullProduct) {
            std::vector<size_t> kept = issued;
            for (int o : pending) kept[o] = synced[o];
            for (;;) {
                combinations.push_back(kept);
                size_t k = 0;
                while (k < pending.size()) {
                    const int o = pending[k];
                    if (kept[o] < issued[o]) {
                        ++kept[o];
                        break;
                    }
                    kept[o] = synced[o];
                    ++k;
                }
                if (k == pending.size()) break;
            }
        } else {
            ++verdict.boundedPoints;
            for (bool others : {false, true}) {
                for (int o : pending) {
                    for (size_t k = synced[o]; k <= issued[o]; ++k) {
                        std::vector<size_t> kept = others ? issued : synced;
                        kept[o] = k;
                        combinations.push_back(kept);
                    }
                }
            }
        }
        std::set<std::string> seen{orderedFlat};
        for (const std::vector<size_t>& kept : combinations) {
            std::vector<Node> nodes = Build(kept, point);
            std::vector<std::pair<std::string, const Node*>> files;
            if (!seen.insert(Flatten(nodes, &files)).second) continue;
            std::string lagging;
            for (int o : pending) {
                if (kept[o] == issued[o]) continue;
                lagging += (lagging.empty() ? "" : "; ") + Name(o) + " without its last " +
                           std::to_string(issued[o] - kept[o]) + " of " + std::to_string(issued[o]) + " steps";
            }
            ++verdict.perObjectStates;
            run("per object", point, lagging, nodes, true);
        }
    }
    fs::remove_all(folder, ec);
    return verdict;
}

std::string Verdict::Summary() const {
    std::ostringstream text;
    text << events << " events, " << points << " crash points; ordered: " << failedOrdered << " of "
         << orderedStates << " states fail; per object: " << failedPerObject << " of " << perObjectStates
         << " states fail";
    if (boundedPoints > 0) text << " (" << boundedPoints << " crash points bounded)";
    for (const std::string& failure : failures) text << "\n  " << failure;
    return text.str();
}

// ---- a state as the promises see it ----------------------------------------------------

std::string CrashState::Path(const std::string& original) const {
    const std::string& base = recording_->Base();
    if (!Under(original, base)) return folder + "/outside-the-recorded-folders";
    return folder + original.substr(base.size() == 1 ? 0 : base.size());
}

bool CrashState::Exists(const std::string& original) const {
    struct stat st;
    return ::lstat(Path(original).c_str(), &st) == 0;
}

bool CrashState::Read(const std::string& original, std::string* bytes) const {
    struct stat st;
    const std::string path = Path(original);
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *bytes = ReadWhole(path);
    return true;
}

uint32_t CrashState::Mode(const std::string& original) const {
    auto found = modes_.find(Path(original));
    return found == modes_.end() ? 0 : found->second;
}

std::vector<std::string> CrashState::Names(const std::string& original) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Path(original), ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool CrashState::Sent(uint32_t code) const {
    const auto& events = recording_->Events();
    for (size_t i = 0; i < this->events && i < events.size(); ++i)
        if (events[i].kind == NUVEX_FS_REQUEST && events[i].a == code) return true;
    return false;
}

bool CrashState::Marked(const std::string& text) const {
    const auto& events = recording_->Events();
    for (size_t i = 0; i < this->events && i < events.size(); ++i)
        if (events[i].kind == NUVEX_FS_MARKER && events[i].path == text) return true;
    return false;
}

bool CrashState::Issued(uint32_t kind, const std::string& path) const {
    const auto& events = recording_->Events();
    for (size_t i = 0; i < this->events && i < events.size(); ++i)
        if (events[i].kind == kind && events[i].path == path) return true;
    return false;
}

std::string CrashState::Where() const {
    std::string text = std::string(model) + " crash after " + std::to_string(point) + " steps";
    if (point > 0) text += " (last: " + recording_->StepText(recording_->steps_[point - 1]) + ")";
    if (!lagging.empty()) text += " [" + lagging + "]";
    return text;
}

}  // namespace nuvex::crash
