// The era of name changes moves on after every change that can move an
// object found beneath a directory: any change to a directory, and a
// rename or removal of a file's name that was noted; and only then.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/NameChanges.h"
#include "tests/support/TempDir.h"

namespace {

// Other processes change names on the same file system now and then, so a
// change that must leave the era alone gets a few tries to show it.
constexpr int kTries = 20;

TEST(NameChanges, TheEraMovesOnWhenADirectoryOrANotedNameChangesOnly) {
    TempDir dir;
    NameChanges& changes = NameChanges::Process();
    if (changes.Now(dir.Path()).era == 0)
        GTEST_SKIP() << "fanotify refused: nothing is watched here";
    struct stat st;
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    EXPECT_TRUE(changes.Watched(st.st_dev));
    ::mkdir((dir / "d").c_str(), 0755);
    int round = 0;
    auto there = [&](const std::string& name) { dir.WriteFile(name, std::to_string(++round)); };
    auto renamed = [&](const std::string& name) {
        there(name);
        ASSERT_EQ(std::rename((dir / name).c_str(), (dir / "elsewhere").c_str()), 0);
    };
    const struct {
        const char* what;
        const char* noted;
        bool moves;
        std::function<void()> change;
    } cases[] = {
        {"a noted file renamed", "f", true, [&] { renamed("f"); }},
        {"a file not noted renamed", "", false, [&] { renamed("f"); }},
        {"a noted file removed", "f", true, [&] { there("f"), ::unlink((dir / "f").c_str()); }},
        {"a noted file renamed over", "f", true,
         [&] {
             there("f"), there("g");
             ASSERT_EQ(std::rename((dir / "g").c_str(), (dir / "f").c_str()), 0);
         }},
        {"a directory renamed", "", true,
         [&] { ASSERT_EQ(std::rename((dir / "d").c_str(), (dir / "e").c_str()), 0); }},
        {"a directory's mode", "", true,
         [&] { ::chmod((dir / "d").c_str(), 0700 | (round++ & 1)); }},
        {"a noted file written", "f", false, [&] { there("f"); }},
        {"a noted file's mode", "f", false,
         [&] { ::chmod((dir / "f").c_str(), 0600 | (round++ & 1)); }},
    };
    for (const auto& c : cases) {
        bool moved = false;
        for (int t = 0; t < (c.moves ? 1 : kTries); ++t) {
            ::mkdir((dir / "d").c_str(), 0755);
            const uint64_t before = changes.Now(dir.Path()).era;
            if (*c.noted)
                changes.Note(c.noted);
            c.change();
            moved = changes.Now(dir.Path()).era != before;
            if (!moved)
                break;
        }
        EXPECT_EQ(moved, c.moves) << c.what;
    }
}

}  // namespace
