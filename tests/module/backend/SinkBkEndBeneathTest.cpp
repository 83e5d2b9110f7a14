// Objects stay beneath their export: no symbolic link, whether the object's
// own name or a directory on its path, and whenever it appears, lets an
// operation reach or reveal anything outside the exported directory.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "module/backend/SinkBkEndObj.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/support/TempDir.h"

namespace {

using Tree = std::map<std::string, std::string>;

// Outside files belong to someone else and are old, so that any chown or
// time change on them shows.
constexpr uid_t kForeign = 4242;
constexpr time_t kOld = 1000000000;

std::string Text(const char* buf, ssize_t n) {
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// All an escape could change of one entry: identity, mode, owner, size,
// times, data or link text.
std::string Describe(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return "missing";
    std::ostringstream line;
    line << "ino " << st.st_ino << " mode " << std::oct << st.st_mode << std::dec << " owner "
         << st.st_uid << ':' << st.st_gid << " size " << st.st_size << " mtime "
         << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << " ctime " << st.st_ctim.tv_sec << '.'
         << st.st_ctim.tv_nsec;
    if (S_ISREG(st.st_mode))
        line << " data [" << ReadFile(path) << ']';
    if (S_ISLNK(st.st_mode)) {
        char buf[512];
        line << " -> " << Text(buf, ::readlink(path.c_str(), buf, sizeof(buf)));
    }
    return line.str();
}

// Every entry below dir, links not followed.
Tree Snapshot(const std::string& dir) {
    Tree tree{{".", Describe(dir)}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        tree[entry.path().lexically_relative(dir)] = Describe(entry.path());
    return tree;
}

class SinkBkEndBeneathTest : public BackendTest {
  protected:
    // Objects made while EXPORT/dN was a real directory; dN has since been
    // renamed to dN.orig and replaced by a link to OUTSIDE/dN.
    struct Swapped {
        std::string dir;
        boost::shared_ptr<SinkBkEndObj> f, sub, empty, link, gone;
        ino_t victimIno, secretIno;
    };

    std::string Victim(const std::string& name, const std::string& content, mode_t mode) {
        std::string path = outside.WriteFile(name, content);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        EXPECT_EQ(::chown(path.c_str(), kForeign, kForeign), 0);
        const struct timespec old[2] = {{kOld, 0}, {kOld, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
        return path;
    }
    static void Mkdir(const std::string& path) {
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
    }
    static void Symlink(const std::string& target, const std::string& path) {
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    }

    // Inside, f is 0600 and holds "inside"; outside, f is executable and
    // holds "SECRET", so access(X_OK) tells which one was reached.
    Swapped Swap(int row) {
        const std::string name = "d" + std::to_string(row), dir = root + "/" + name;
        const std::string away = outside / name;
        for (const char* sub : {"", "/sub", "/e"})
            Mkdir(dir + sub), Mkdir(away + sub);
        EXPECT_EQ(::chmod(exported.dir.WriteFile(name + "/f", "inside").c_str(), 0600), 0);
        exported.dir.WriteFile(name + "/sub/g", "inside");
        exported.dir.WriteFile(name + "/n", "");
        Symlink("inside-link", dir + "/s");
        Swapped s{dir,
                  Object(dir + "/f"),
                  Object(dir + "/sub"),
                  Object(dir + "/e"),
                  Object(dir + "/s"),
                  Object(dir + "/n"),
                  Lstat(Victim(name + "/f", "SECRET", 0700)).st_ino,
                  Lstat(Victim(name + "/sub/secret", "SECRET", 0600)).st_ino};
        Symlink("SECRET-link", away + "/s");
        EXPECT_EQ(::unlink((dir + "/n").c_str()), 0);
        EXPECT_EQ(::rename(dir.c_str(), (dir + ".orig").c_str()), 0);
        Symlink(away, dir);
        return s;
    }

    // Whether object is (a name of) the file with this inode.
    bool Reaches(BkEndProc* object, ino_t ino) {
        struct stat st;
        return object && object->lstat(&ctx, nullptr, &st) == 0 && st.st_ino == ino;
    }

    TempDir outside;
};

// Neither an object for a final symbolic link nor navigation reaches its
// target; the export's root is its own parent.
TEST_F(SinkBkEndBeneathTest, LinksAreNeverFollowedOutAndNavigationStopsAtTheRoot) {
    const std::string victim = Victim("victim", "victim contents", 0600);
    const std::string link = root + "/l";
    Symlink(victim, link);
    Symlink(outside / "created", root + "/dangling");
    const Tree untouched = Snapshot(outside.Path());
    auto object = Object(link);
    const ino_t victimIno = Lstat(victim).st_ino;
    const struct timeval times[2] = {{2000, 0}, {2000, 0}};
    struct stat st;
    std::string error;
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"chmod", [&] { object->chmod(&ctx, nullptr, 0644); }},
        {"truncate", [&] { object->truncate(&ctx, nullptr, 0); }},
        {"chown", [&] { object->chown(&ctx, nullptr, ::getuid(), ::getgid()); }},
        {"utimes", [&] { object->utimes(&ctx, nullptr, times); }},
        {"open",
         [&] {
             int fd = object->open(&ctx, nullptr, O_RDWR, 0);
             if (fd < 0)
                 return;
             EXPECT_TRUE(::fstat(fd, &st) == 0 && st.st_ino != victimIno) << "opened the target";
             object->close(&ctx, fd);
         }},
        {"DrillHole", [&] { object->DrillHole(&ctx, link.c_str(), 0, 4096, error); }},
    };
    for (const auto& op : ops) {
        const Tree before = Snapshot(outside.Path());
        op.second();
        EXPECT_EQ(Snapshot(outside.Path()), before) << op.first;
    }
    char buf[512];
    EXPECT_EQ(Text(buf, object->readlink(&ctx, nullptr, buf, sizeof(buf))), victim);
    ASSERT_EQ(object->lstat(&ctx, nullptr, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    boost::shared_ptr<BkEndProc> found = rootObject->FindChild(&ctx, "l");
    ASSERT_TRUE(found);
    ASSERT_EQ(found->lstat(&ctx, nullptr, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "FindChild gave the link's target";
    for (const char* name : {"l", "dangling"}) {
        EXPECT_FALSE(rootObject->CreateChildFile(&ctx, name, O_RDWR, 0600)) << name;
        EXPECT_FALSE(rootObject->CreateChildDir(&ctx, name, 0755)) << name;
        EXPECT_EQ(Snapshot(outside.Path()), untouched) << name;
    }
    boost::shared_ptr<BkEndProc> parent = rootObject->GetParent(&ctx);
    EXPECT_TRUE(!parent || Reaches(parent.get(), Lstat(root).st_ino))
        << (parent ? parent->GetClientPath() : std::string());
}

// The path is resolved once, when the object is made: a directory on it
// that later becomes a link leads nowhere, or to the object first found.
TEST_F(SinkBkEndBeneathTest, ADirectoryLaterReplacedByALinkLeadsNowhereOutside) {
    const std::string existing = exported.dir.WriteFile("x", "x");
    LumeCtxt moving = exported.Ctx();
    moving.SetTargetObject(rootObject);
    const struct timeval times[2] = {{2000, 0}, {2000, 0}};
    char buf[64];
    struct statfs fs;
    const std::vector<std::pair<const char*, std::function<void(Swapped&)>>> ops = {
        {"lstat", [&](Swapped& s) { EXPECT_FALSE(Reaches(s.f.get(), s.victimIno)); }},
        {"access", [&](Swapped& s) { EXPECT_EQ(s.f->access(&ctx, nullptr, X_OK), -1); }},
        {"truncate", [&](Swapped& s) { s.f->truncate(&ctx, nullptr, 0); }},
        {"chmod", [&](Swapped& s) { s.f->chmod(&ctx, nullptr, 0644); }},
        {"chown", [&](Swapped& s) { s.f->chown(&ctx, nullptr, ::getuid(), ::getgid()); }},
        {"utimes", [&](Swapped& s) { s.f->utimes(&ctx, nullptr, times); }},
        {"unlink", [&](Swapped& s) { s.f->unlink(&ctx, nullptr); }},
        {"rmdir", [&](Swapped& s) { s.empty->rmdir(&ctx, nullptr); }},
        {"open",
         [&](Swapped& s) {
             int fd = s.f->open(&ctx, nullptr, O_RDWR, 0);
             if (fd < 0)
                 return;
             EXPECT_NE(Text(buf, s.f->read(&ctx, fd, buf, 0, sizeof(buf))), "SECRET");
             s.f->close(&ctx, fd);
         }},
        {"opendir",
         [&](Swapped& s) {
             DIR* dir = s.sub->opendir(&ctx, nullptr);
             if (!dir)
                 return;
             while (struct dirent64* entry = s.sub->readdir(&ctx, dir))
                 EXPECT_STRNE(entry->d_name, "secret");
             s.sub->closedir(&ctx, dir);
         }},
        {"readlink",
         [&](Swapped& s) {
             EXPECT_NE(Text(buf, s.link->readlink(&ctx, nullptr, buf, sizeof(buf))), "SECRET-link");
         }},
        {"statfs", [&](Swapped& s) { s.f->statfs(&ctx, nullptr, &fs); }},
        {"pathconf", [&](Swapped& s) { s.f->pathconf(&ctx, nullptr, _PC_NAME_MAX); }},
        {"rename", [&](Swapped& s) { s.f->rename(&moving, nullptr, "moved"); }},
        {"link", [&](Swapped& s) { s.sub->link(&ctx, existing.c_str(), "hard"); }},
        {"symlink", [&](Swapped& s) { s.sub->symlink(&ctx, "anywhere", "sym"); }},
        {"mknod", [&](Swapped& s) { s.gone->mknod(&ctx, nullptr, 0, NF3FIFO, S_IFIFO | 0600); }},
        {"CreateChildFile",
         [&](Swapped& s) { s.sub->CreateChildFile(&ctx, "secret", O_RDWR, 0600); }},
        {"CreateChildDir", [&](Swapped& s) { s.sub->CreateChildDir(&ctx, "new", 0755); }},
        {"FindChild",
         [&](Swapped& s) {
             EXPECT_FALSE(Reaches(s.sub->FindChild(&ctx, "secret").get(), s.secretIno));
         }},
        {"made after the swap",
         [&](Swapped& s) {
             SinkBkEndObj late(exported.exp, s.dir + "/f");
             EXPECT_FALSE(late.IsInitSuccess() && Reaches(&late, s.victimIno));
         }},
    };
    for (size_t row = 0; row < ops.size(); ++row) {
        Swapped s = Swap(static_cast<int>(row));
        const std::string away = outside / ("d" + std::to_string(row));
        const Tree before = Snapshot(away);
        ops[row].second(s);
        EXPECT_EQ(Snapshot(away), before) << ops[row].first;
    }
}

}  // namespace
