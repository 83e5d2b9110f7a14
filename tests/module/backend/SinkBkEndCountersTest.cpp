#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/backend/SinkBkEndObj.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/module/backend/CountingPerfCounter.h"

namespace {

constexpr int kUntimed = -1;

using SinkBkEndCountersTest = BackendTest;

// Each operation's counter, or none: the ids are the host's slots. Reads
// and writes report the bytes they moved. Nothing is counted while counting
// is off.
TEST_F(SinkBkEndCountersTest, EachOperationUsesItsCounter) {
    const std::string file = exported.dir.WriteFile("f", "hello"), sub = exported.dir / "sub";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    auto object = Object(file);
    auto subObject = Object(sub);
    struct stat st;
    struct statfs fs;
    timeval times[2] = {{1, 0}, {1, 0}};
    char buf[16];
    DIR* dir = nullptr;
    int fd = -1;
    ctx.SetTargetObject(rootObject);
    CountingPerfCounter off(false);  // counting off: no call at either end
    object->lstat(&ctx, nullptr, &st);
    EXPECT_TRUE(off.calls.empty());

    struct Case {
        const char* name;
        int counter;
        std::function<void()> run;
        unsigned long long bytes = 0;  // as the stop reports them
    };
    const std::vector<Case> cases = {
        {"lstat", 34, [&] { object->lstat(&ctx, nullptr, &st); }},
        {"access", 43, [&] { object->access(&ctx, nullptr, F_OK); }},
        {"open", 42, [&] { fd = object->open(&ctx, nullptr, O_RDWR, 0); }},
        {"write", 2, [&] { object->write(&ctx, fd, "abcdefg", 3, 7, BKEND_SYNC_NONE); }, 7},
        {"read", 1, [&] { object->read(&ctx, fd, buf, 0, sizeof(buf)); }, 10},
        {"failed write", 2, [&] { object->write(&ctx, -1, "abc", 0, 3, BKEND_SYNC_NONE); }},
        {"failed read", 1, [&] { object->read(&ctx, -1, buf, 0, sizeof(buf)); }},
        {"lseek", kUntimed, [&] { object->lseek(&ctx, fd, 0, SEEK_SET); }},
        {"fdatasync", 2, [&] { object->fdatasync(&ctx, fd); }},
        {"fsync", 2, [&] { object->fsync(&ctx, fd); }},
        {"close", kUntimed, [&] { object->close(&ctx, fd); }},
        {"truncate", 2, [&] { object->truncate(&ctx, nullptr, 5); }},
        {"chmod", 41, [&] { object->chmod(&ctx, nullptr, 0644); }},
        {"utimes", 41, [&] { object->utimes(&ctx, nullptr, times); }},
        {"chown", 41, [&] { object->chown(&ctx, nullptr, geteuid(), getegid()); }},
        {"statfs", 45, [&] { object->statfs(&ctx, nullptr, &fs); }},
        {"pathconf", kUntimed, [&] { object->pathconf(&ctx, nullptr, _PC_NAME_MAX); }},
        {"opendir", 46, [&] { dir = rootObject->opendir(&ctx, nullptr); }},
        {"readdir", 39, [&] { rootObject->readdir(&ctx, dir); }},
        {"telldir", kUntimed, [&] { rootObject->telldir(&ctx, dir); }},
        {"seekdir", kUntimed, [&] { rootObject->seekdir(&ctx, dir, 0); }},
        {"closedir", kUntimed, [&] { rootObject->closedir(&ctx, dir); }},
        {"link", 30, [&] { rootObject->link(&ctx, file.c_str(), "hard"); }},
        {"symlink", 30, [&] { rootObject->symlink(&ctx, "f", "soft"); }},
        {"readlink", kUntimed,
         [&] { Object(exported.dir / "soft")->readlink(&ctx, nullptr, buf, sizeof(buf)); }},
        {"mknod", kUntimed, [&] { subObject->mknod(&ctx, nullptr, 0, NF3FIFO, S_IFIFO); }},
        {"CreateChildFile", 30, [&] { rootObject->CreateChildFile(&ctx, "new", 0, 0644); }},
        {"CreateChildDir", 30, [&] { rootObject->CreateChildDir(&ctx, "newdir", 0755); }},
        {"FindChild", 44, [&] { rootObject->FindChild(&ctx, "f"); }},
        {"GetParent", kUntimed, [&] { object->GetParent(&ctx); }},
        {"rename", kUntimed, [&] { Object(exported.dir / "new")->rename(&ctx, nullptr, "n2"); }},
        {"unlink", 40, [&] { Object(exported.dir / "hard")->unlink(&ctx, nullptr); }},
        {"rmdir", 40, [&] { Object(exported.dir / "newdir")->rmdir(&ctx, nullptr); }},
    };
    for (const Case& c : cases) {
        CountingPerfCounter counter(true);
        c.run();
        if (c.counter == kUntimed) {
            EXPECT_TRUE(counter.calls.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(counter.calls.size(), 2u) << c.name;
        EXPECT_TRUE(counter.calls[0].start && !counter.calls[1].start) << c.name;
        EXPECT_EQ(counter.calls[1].bytes, c.bytes) << c.name;
        for (const CountingPerfCounter::Call& call : counter.calls) {
            EXPECT_EQ(call.category, "LUME") << c.name;
            EXPECT_EQ(call.counter, c.counter) << c.name;
        }
    }
}

}  // namespace
