// The file layer on Linux (src/files), which the tool writes and reads its files through: what it
// does with each thing a name may hold, a link or a file another user planted among them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "files/posix_files.h"
#include "held_folders.h"
#include "machine_root.h"
#include "other_user.h"

namespace fs = std::filesystem;
namespace files = nuvex::files;
using nuvex::test::AsOtherUser;
using nuvex::test::kOtherUser;
using nuvex::test::ReadFileBytes;
using nuvex::test::SharedFolder;
using nuvex::test::WriteFileBytes;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A file of the caller's with `bytes` and `mode`.
std::string OwnFile(const std::string& path, const std::string& bytes, mode_t mode) {
    WriteFileBytes(path, bytes);
    ::chmod(path.c_str(), mode);
    return path;
}

// The other user's own file with `bytes`, readable and writable by everybody.
bool TheirFile(const std::string& path, const std::string& bytes) {
    return AsOtherUser([&] {
        WriteFileBytes(path, bytes);
        return ::chmod(path.c_str(), 0666) == 0;
    });
}

bool TheirLink(const std::string& target, const std::string& path) {
    return AsOtherUser([&] { return ::symlink(target.c_str(), path.c_str()) == 0; });
}

class FileLayer : public ::testing::Test {
protected:
    void SetUp() override {
        NUVEX_NEEDS_OTHER_USER();
        ASSERT_TRUE(shared.ok());
        // A file of the caller's that only the caller may read: what a planted link aims at.
        victim = OwnFile(shared / "victim", "the caller's own bytes", 0600);
    }
    void ExpectVictimUntouched() {
        EXPECT_EQ(ReadFileBytes(victim), "the caller's own bytes");
        EXPECT_EQ(ModeOf(victim), 0600u);
    }

    SharedFolder shared;
    std::string victim;
};

// A replace writes the caller's own names only: through the caller's own links, never through
// one another user planted (however deep in a chain), never over another user's file, never into
// a FIFO, never where a link to nothing points; a link planted at its temporary name is passed
// over. CheckTarget refuses the same names before anything is written.
TEST_F(FileLayer, ReplaceWritesOnlyTheCallersOwnNames) {
    using Outcome = files::ReplaceOutcome;
    struct Case {
        const char* label;
        std::function<bool(const std::string& name)> plant;
        Outcome outcome;
        const char* after;  // the bytes the name leads to afterwards (nullptr: nothing to read)
    };
    const std::string own = OwnFile(shared / "own", "own bytes", 0600);
    const Case cases[] = {
        {"nothing there", [](const std::string&) { return true; }, Outcome::Done, "new bytes"},
        {"the caller's file", [](const std::string& n) { OwnFile(n, "old", 0640); return true; }, Outcome::Done, "new bytes"},
        {"the caller's link", [&](const std::string& n) { return ::symlink(own.c_str(), n.c_str()) == 0; },
         Outcome::Done, "new bytes"},
        {"another user's link", [&](const std::string& n) { return TheirLink(victim, n); }, Outcome::LinkOfAnother,
         nullptr},
        {"the caller's link to another user's link",
         [&](const std::string& n) { return TheirLink(victim, n + ".theirs") && ::symlink((n + ".theirs").c_str(), n.c_str()) == 0; },
         Outcome::LinkOfAnother, nullptr},
        {"another user's file", [](const std::string& n) { return TheirFile(n, "theirs"); }, Outcome::OwnedByAnother,
         "theirs"},
        {"a FIFO", [](const std::string& n) { return ::mkfifo(n.c_str(), 0600) == 0; }, Outcome::NotRegular, nullptr},
        {"the caller's link to nothing", [&](const std::string& n) { return ::symlink((n + ".none").c_str(), n.c_str()) == 0; },
         Outcome::LinkToNothing, nullptr},
        {"another user's link at the temporary name",
         [&](const std::string& n) { return TheirLink(victim, n + ".tmp"); }, Outcome::Done, "new bytes"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = shared / ("target" + std::to_string(n++));
        ASSERT_TRUE(c.plant(name));
        EXPECT_EQ(files::CheckTarget(name), c.outcome);
        const std::string bytes = "new bytes";
        EXPECT_EQ(files::ReplaceWithBytes(name, bytes.data(), bytes.size(), ".tmp"), c.outcome);
        if (c.after != nullptr) EXPECT_EQ(ReadFileBytes(name), c.after);
        if (c.outcome == Outcome::LinkToNothing) EXPECT_FALSE(fs::exists(name + ".none"));
        ExpectVictimUntouched();
    }
    EXPECT_TRUE(fs::is_symlink(shared / "target2"));  // the caller's link stays a link
    EXPECT_EQ(ReadFileBytes(own), "new bytes");
    EXPECT_EQ(ModeOf(shared / "target1"), 0640u);
}

// A replaced file keeps its permissions, its access-control list among them, given only once it
// holds its final name; a new file is its owner's alone (0600, whatever the umask) unless a mode
// is asked for.
TEST_F(FileLayer, ReplacedFilesKeepTheirPermissionsAndNewOnesAreTheOwners) {
    // user::rw- user:65534:r-- group::r-- mask::r-- other::---, as setfacl writes it.
    const uint32_t acl[] = {2, 0x0006'0001, 0xFFFFFFFF, 0x0004'0002, kOtherUser, 0x0004'0004, 0xFFFFFFFF,
                            0x0004'0010, 0xFFFFFFFF, 0x0000'0020, 0xFFFFFFFF};
    struct Case {
        const char* label;
        mode_t old;  // 0: no file there before
        bool withAcl;
        mode_t asked;
        mode_t after;
    };
    const Case cases[] = {
        {"a file of 0644", 0644, false, 0, 0644},
        {"a file with an access-control list", 0640, true, 0, 0640},
        {"a new file", 0, false, 0, 0600},
        {"a new file asked to be 0644", 0, false, 0644, 0644},
    };
    const mode_t umask = ::umask(0);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = shared / ("kept" + std::to_string(n++));
        if (c.old != 0) OwnFile(name, "old", c.old);
        if (c.withAcl) ASSERT_EQ(::setxattr(name.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
        EXPECT_EQ(files::ReplaceWithBytes(name, "new", 3, ".tmp", c.asked), files::ReplaceOutcome::Done);
        EXPECT_EQ(ReadFileBytes(name), "new");
        EXPECT_EQ(ModeOf(name), c.after);
        std::vector<char> kept(sizeof acl + 16);
        const ssize_t size = ::getxattr(name.c_str(), "system.posix_acl_access", kept.data(), kept.size());
        EXPECT_EQ(size, c.withAcl ? static_cast<ssize_t>(sizeof acl) : -1);
        if (c.withAcl) EXPECT_EQ(std::memcmp(kept.data(), acl, sizeof acl), 0);
    }
    ::umask(umask);
}

// An input is read only when the caller may trust it: a regular file, reached through no link of
// another user; a secret also the caller's own and open to nobody else. Nothing waits on a FIFO.
TEST_F(FileLayer, InputsAreTakenOnlyWhenTheCallerMayTrustThem) {
    using Refusal = files::InputRefusal;
    using Kind = files::InputKind;
    struct Case {
        const char* label;
        std::function<bool(const std::string& name)> plant;
        Kind kind;
        Refusal refusal;
    };
    auto own = [](mode_t mode) { return [mode](const std::string& n) { OwnFile(n, "input", mode); return true; }; };
    const Case cases[] = {
        {"the caller's private secret", own(0600), Kind::Secret, Refusal::None},
        {"the caller's plain file", own(0644), Kind::Plain, Refusal::None},
        {"a secret others may read", own(0644), Kind::Secret, Refusal::OpenToOthers},
        {"a secret the group may write", own(0620), Kind::Secret, Refusal::OpenToOthers},
        {"another user's secret", [](const std::string& n) { return TheirFile(n, "input"); }, Kind::Secret,
         Refusal::NotOwned},
        {"another user's plain file", [](const std::string& n) { return TheirFile(n, "input"); }, Kind::Plain,
         Refusal::None},
        {"another user's link to a secret", [&](const std::string& n) { return TheirLink(victim, n); }, Kind::Secret,
         Refusal::LinkOfAnother},
        {"another user's link to a plain file", [&](const std::string& n) { return TheirLink(victim, n); }, Kind::Plain,
         Refusal::LinkOfAnother},
        {"the caller's link to a secret",
         [](const std::string& n) { OwnFile(n + ".key", "input", 0600); return ::symlink((n + ".key").c_str(), n.c_str()) == 0; },
         Kind::Secret, Refusal::None},
        {"a FIFO", [](const std::string& n) { return ::mkfifo(n.c_str(), 0600) == 0; }, Kind::Secret, Refusal::NotRegular},
        {"a folder", [](const std::string& n) { return ::mkdir(n.c_str(), 0700) == 0; }, Kind::Plain, Refusal::NotRegular},
        {"a link to nothing", [](const std::string& n) { return ::symlink((n + ".none").c_str(), n.c_str()) == 0; },
         Kind::Plain, Refusal::LinkToNothing},
        {"nothing there", [](const std::string&) { return true; }, Kind::Plain, Refusal::CannotOpen},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = shared / ("input" + std::to_string(n++));
        ASSERT_TRUE(c.plant(name));
        files::InputRefusal refusal = Refusal::None;
        files::Fd file = files::OpenInput(name, c.kind, refusal);
        EXPECT_EQ(refusal, c.refusal);
        EXPECT_EQ(static_cast<bool>(file), c.refusal == Refusal::None);
        std::string bytes;
        if (file) EXPECT_EQ(files::ReadWhole(file.get(), 100, bytes), files::ReadOutcome::Whole);
        if (file) EXPECT_EQ(bytes, "input");
    }
}

// A whole input is one the disk holds, within its limit.
TEST_F(FileLayer, ReadWholeTakesOnlyStoredFilesWithinTheLimit) {
    const std::string ten = OwnFile(shared / "ten", "0123456789", 0600);
    struct Case {
        std::string path;
        std::size_t limit;
        files::ReadOutcome outcome;
    };
    const Case cases[] = {
        {ten, 10, files::ReadOutcome::Whole},
        {ten, 9, files::ReadOutcome::TooLarge},
        {"/proc/self/status", 1 << 20, files::ReadOutcome::NotStored},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.limit));
        files::InputRefusal refusal = files::InputRefusal::None;
        files::Fd file = files::OpenInput(c.path, files::InputKind::Plain, refusal);
        ASSERT_TRUE(file);
        std::string bytes;
        EXPECT_EQ(files::ReadWhole(file.get(), c.limit, bytes), c.outcome);
    }
}

// Appending reaches the caller's own regular file, or makes one for its owner only; another
// user's file or link and a FIFO are refused without waiting.
TEST_F(FileLayer, AppendReachesOnlyTheCallersRegularFile) {
    struct Case {
        const char* label;
        std::function<bool(const std::string& name)> plant;
        bool opened;
        bool created;
        const char* after;  // nullptr: nothing to read
    };
    const Case cases[] = {
        {"nothing there", [](const std::string&) { return true; }, true, true, "line\n"},
        {"the caller's file", [](const std::string& n) { OwnFile(n, "first\n", 0600); return true; }, true, false,
         "first\nline\n"},
        {"another user's file", [](const std::string& n) { return TheirFile(n, "theirs"); }, false, false, "theirs"},
        {"another user's link", [&](const std::string& n) { return TheirLink(victim, n); }, false, false, nullptr},
        {"a FIFO", [](const std::string& n) { return ::mkfifo(n.c_str(), 0600) == 0; }, false, false, nullptr},
    };
    files::Fd folder = files::OpenFolder(shared / "");
    ASSERT_TRUE(folder);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string leaf = "append" + std::to_string(n++);
        ASSERT_TRUE(c.plant(shared / leaf));
        bool created = false;
        files::Fd file = files::OpenForAppend(folder.get(), leaf, created);
        EXPECT_EQ(static_cast<bool>(file), c.opened);
        EXPECT_EQ(created, c.created);
        if (file) EXPECT_TRUE(files::WriteAll(file.get(), "line\n", 5));
        if (c.after != nullptr) EXPECT_EQ(ReadFileBytes(shared / leaf), c.after);
        if (created) EXPECT_EQ(ModeOf(shared / leaf), 0600u);
        ExpectVictimUntouched();
    }
}

// ---- the tool's walks (held_folders.h) -------------------------------------------------------

// A folder a walk has let go (it keeps only so many open) is opened again through its parent,
// never through a link, and only when it is the very folder that was listed; one it still holds
// is worked in wherever its name has gone. A file in it is opened without following a link at
// its name. The tree is the caller's, holding a folder of the other user's, `their`, with `sub`
// in it; outside, the caller's private folder holds a file of the same name.
TEST_F(FileLayer, WalkFoldersAreOpenedAgainOnlyAsListed) {
    using Opened = nuvexctl::HeldFile::Opened;
    const std::string tree = shared / "walk", sub = tree + "/their/sub", aside = tree + "/their/moved";
    const std::string outside = shared / "private";
    struct Case {
        const char* label;
        bool letGo;                                 // the walk has closed `sub` (and `their`)
        std::function<bool()> change;               // as the other user
        const char* refused;                        // why `sub` is not had again; nullptr: it is
        Opened file;                                // what f.txt in it is found to be
    };
    const Case cases[] = {
        {"unchanged, let go", true, [] { return true; }, nullptr, Opened::Yes},
        {"swapped for a link, let go", true,
         [&] { return ::rename(sub.c_str(), aside.c_str()) == 0 && ::symlink(outside.c_str(), sub.c_str()) == 0; },
         "replaced by a link", Opened::Yes},
        {"swapped for another folder, let go", true,
         [&] { return ::rename(sub.c_str(), aside.c_str()) == 0 && ::mkdir(sub.c_str(), 0755) == 0; },
         "replaced after it was listed", Opened::Yes},
        {"moved away, let go", true, [&] { return ::rename(sub.c_str(), aside.c_str()) == 0; },
         "cannot be opened again", Opened::Yes},
        {"swapped for a link, held", false,
         [&] { return ::rename(sub.c_str(), aside.c_str()) == 0 && ::symlink(outside.c_str(), sub.c_str()) == 0; },
         nullptr, Opened::Yes},
        {"its file swapped for a link, held", false,
         [&] {
             return ::rename((sub + "/f.txt").c_str(), (aside + ".txt").c_str()) == 0 &&
                    ::symlink((outside + "/f.txt").c_str(), (sub + "/f.txt").c_str()) == 0;
         },
         nullptr, Opened::NotRegular},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(tree);
        fs::remove_all(outside);
        ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
        OwnFile(outside + "/f.txt", "the caller's private bytes", 0600);
        for (const char* folder : {"", "/x1", "/x2"}) ASSERT_EQ(::mkdir((tree + folder).c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((tree + "/their").c_str(), 0755), 0);
        ASSERT_EQ(::chown((tree + "/their").c_str(), kOtherUser, kOtherUser), 0);
        ASSERT_TRUE(AsOtherUser([&] {
            if (::mkdir(sub.c_str(), 0755) != 0) return false;
            WriteFileBytes(sub + "/f.txt", "listed");
            return true;
        }));
        ASSERT_EQ(ReadFileBytes(sub + "/f.txt"), "listed");

        // Two folders stay open: x1 and x2 met after `sub` let `sub` and `their` go.
        nuvexctl::FolderTree folders(2);
        std::string why;
        bool isLink = false;
        const std::size_t top = folders.AddTop(tree, false, why);
        ASSERT_NE(top, nuvexctl::FolderTree::kNone) << why;
        const std::size_t their = folders.AddChild(top, "their", isLink, why);
        ASSERT_NE(their, nuvexctl::FolderTree::kNone) << why;
        const std::size_t listed = folders.AddChild(their, "sub", isLink, why);
        ASSERT_NE(listed, nuvexctl::FolderTree::kNone) << why;
        for (const char* other : {"x1", "x2"})
            if (c.letGo) ASSERT_NE(folders.AddChild(top, other, isLink, why), nuvexctl::FolderTree::kNone);

        ASSERT_TRUE(AsOtherUser(c.change));
        const nuvexctl::FolderHold held = folders.Hold(listed, why);
        if (c.refused != nullptr) {
            EXPECT_FALSE(held);
            EXPECT_NE(why.find(c.refused), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(held) << why;
        nuvexctl::HeldFile file;
        ASSERT_EQ(file.Open(*held, "f.txt"), c.file);
        if (c.file == Opened::Yes) EXPECT_EQ(ReadFileBytes(file.LibraryName()), "listed");
        EXPECT_EQ(ReadFileBytes(outside + "/f.txt"), "the caller's private bytes");
    }
}

}  // namespace
