// The era of name changes moves on after every change that can move an
// object found beneath a directory, and only then.
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

TEST(NameChanges, TheEraMovesOnWhenANameOrADirectoryChangesOnly) {
    TempDir dir;
    NameChanges& changes = NameChanges::Process();
    if (changes.Era(dir.Path()) == 0)
        GTEST_SKIP() << "fanotify refused: nothing is watched here";
    struct stat st;
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    EXPECT_TRUE(changes.Watched(st.st_dev));
    ::mkdir((dir / "d").c_str(), 0755);
    dir.WriteFile("f", "data");
    int round = 0;
    auto renamed = [&](const std::string& name) {
        const std::string to = name + std::to_string(++round);
        ASSERT_EQ(std::rename((dir / name).c_str(), (dir / to).c_str()), 0);
        ASSERT_EQ(std::rename((dir / to).c_str(), (dir / name).c_str()), 0);
    };
    const struct {
        const char* what;
        bool moves;
        std::function<void()> change;
    } cases[] = {
        {"a file renamed", true, [&] { renamed("f"); }},
        {"a directory renamed", true, [&] { renamed("d"); }},
        {"a file removed", true,
         [&] {
             dir.WriteFile("g", "");
             ::unlink((dir / "g").c_str());
         }},
        {"a directory's mode", true, [&] { ::chmod((dir / "d").c_str(), 0700 | (round++ & 1)); }},
        {"a file written", false, [&] { dir.WriteFile("f", std::to_string(round++)); }},
        {"a file's mode", false, [&] { ::chmod((dir / "f").c_str(), 0600 | (round++ & 1)); }},
    };
    for (const auto& c : cases) {
        bool moved = false;
        for (int t = 0; t < (c.moves ? 1 : kTries); ++t) {
            const uint64_t before = changes.Era(dir.Path());
            c.change();
            moved = changes.Era(dir.Path()) != before;
            if (!moved)
                break;
        }
        EXPECT_EQ(moved, c.moves) << c.what;
    }
}

}  // namespace
