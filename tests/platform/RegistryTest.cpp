// The state directory's stores: the registry, and the state store's tables,
// whole-or-nothing transactions, batches of one thread's writes, and what a
// process killed with SIGKILL leaves behind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "tests/support/Child.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SmallFileSystem.h"
#include "tests/support/TempDir.h"
#include "tests/support/Threads.h"

namespace {

class PlatformRegistry : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(m_dir.Path()); }

    std::string FilePath() const { return m_dir / "registry.json"; }
    nlohmann::json FileContent() const {
        return nlohmann::json::parse(ReadFile(FilePath()));  // throws when not valid JSON
    }
    // The value read, else "-" when none is read and the output is left.
    template <typename T = unsigned long>
    std::string Number(const std::string& section, const std::string& key) {
        T value = 123;
        const bool found = m_info.getNumber(section, key, &value);
        return found ? std::to_string(value) : value == 123 ? "-" : "touched";
    }
    std::string Directory(const std::string& section, const std::string& key) {
        std::string value = "-";
        const bool found = m_info.getDirectory(section, key, &value);
        return found || value == "-" ? value : "touched";
    }

    TempDir m_dir;
    OXPlatformInfo m_info;
};

// The state store lives in the same state directory.
class StateStores : public PlatformRegistry {};

}  // namespace

// Values round-trip through the file; an absent, mistyped or removed value
// leaves the caller's output as it was.
TEST_F(PlatformRegistry, ValuesRoundTripAndAbsentOnesLeaveTheOutputUntouched) {
    ASSERT_NE(m_info.setNumber("Cache", "Size", 18446744073709551615UL), 0);
    ASSERT_NE(m_info.setNumber("Cache", "Wide", 0x100000005UL), 0);
    ASSERT_NE(m_info.setDirectory("Paths", "Root", "/data/\"quoted\" dir"), 0);
    EXPECT_EQ(Number("Cache", "Size"), "18446744073709551615");
    EXPECT_EQ(Number<unsigned>("Cache", "Wide"), "5");
    EXPECT_EQ(Directory("Paths", "Root"), "/data/\"quoted\" dir");
    EXPECT_TRUE(FileContent()["Cache"]["Size"].is_number_unsigned());
    std::set<std::string> names;  // no temporary file left behind
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"registry.json", "registry.lock"}));

    EXPECT_EQ(Number("Cache", "Missing") + Number("NoSection", "Size") + Number("Paths", "Root") +
                  Directory("Cache", "Size"),
              "----");
    EXPECT_NE(m_info.removeValue("Cache", "Size"), 0);
    EXPECT_EQ(m_info.removeValue("Cache", "Size"), 0);
    EXPECT_EQ(Number("Cache", "Size"), "-");
    std::ofstream(FilePath()) << R"({"S": {"A": 2}})";  // changed behind its back
    EXPECT_EQ(Number("S", "A"), "2");
}

TEST_F(PlatformRegistry, CorruptFileReadsAsEmptyAndIsReplacedOnWrite) {
    std::ofstream(FilePath()) << "{\"S\": {\"A\": 1";
    LogCapture capture(1);
    EXPECT_EQ(Number("S", "A"), "-");
    EXPECT_EQ(capture.CountContaining("corrupt"), 1u);
    EXPECT_EQ(capture.Records().at(0).level, -1);
    EXPECT_NE(m_info.setNumber("S", "B", 4), 0);
    EXPECT_EQ(FileContent(), nlohmann::json::parse(R"({"S": {"B": 4}})"));

    SetPlatformStateDir(m_dir / "deeper/state");  // made when missing
    EXPECT_NE(m_info.setNumber("S", "A", 1), 0);
    EXPECT_TRUE(std::filesystem::exists(m_dir / "deeper/state/registry.json"));
    SetPlatformStateDir(m_dir.WriteFile("plain-file", "x"));
    capture.Clear();
    EXPECT_EQ(m_info.setNumber("S", "A", 1), 0);
    EXPECT_EQ(capture.Records().size(), 1u);
}

// Links in the registry's places are neither read nor written through: the
// registry reads as empty and a write puts a file of its own, 0600, in the
// link's place; a linked lock file stops the write. The linked file stays
// as it was.
TEST_F(PlatformRegistry, LinksInItsPlacesAreNeverFollowed) {
    TempDir elsewhere;
    const std::string text = "{\"S\": {\"A\": 7}}";
    const std::string target = elsewhere.WriteFile("registry.json", text);
    ASSERT_EQ(::symlink(target.c_str(), FilePath().c_str()), 0);
    LogCapture capture(1);
    EXPECT_EQ(Number("S", "A"), "-");
    EXPECT_EQ(capture.CountContaining("cannot read registry " + FilePath()), 1u);
    EXPECT_NE(m_info.setNumber("S", "B", 4), 0);
    EXPECT_EQ(FileContent(), nlohmann::json::parse(R"({"S": {"B": 4}})"));
    for (const std::string& file : {FilePath(), m_dir / "registry.lock"}) {
        struct stat found {};
        ASSERT_EQ(::lstat(file.c_str(), &found), 0);
        EXPECT_TRUE(S_ISREG(found.st_mode)) << file;
        EXPECT_EQ(found.st_mode & 07777, 0600u) << file;
    }

    ASSERT_EQ(::unlink((m_dir / "registry.lock").c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), (m_dir / "registry.lock").c_str()), 0);
    capture.Clear();
    EXPECT_EQ(m_info.setNumber("S", "C", 5), 0);
    EXPECT_EQ(capture.CountContaining("cannot lock registry"), 1u);
    EXPECT_EQ(ReadFile(target), text);
}

TEST_F(PlatformRegistry, ConcurrentWritersLoseNoUpdate) {
    // Threads of this process and of two children, each on its own keys.
    const int kThreads = 4, kKeys = 15;
    auto writeKeys = [](const std::string& prefix) {
        OXPlatformInfo info;
        for (int k = 0; k < kKeys; ++k)
            info.setNumber("Load", prefix + std::to_string(k), static_cast<unsigned long>(k));
    };
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            writeKeys("child" + std::to_string(c) + "-"), _exit(0);
        children.push_back(pid);
    }
    RunThreads(kThreads, [&](int t) { writeKeys("thread" + std::to_string(t) + "-"); });
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(FileContent()["Load"].size(), static_cast<size_t>((kThreads + 2) * kKeys));
    EXPECT_EQ(FileContent()["Load"]["child1-14"], 14);
}

TEST_F(StateStores, TablesKeepTheirOwnKeysAndATransactionIsWholeOrAbsent) {
    auto store = StateStore::Get();
    unsigned a = 0, b = 0;
    ASSERT_TRUE(store && store->Table("a", a) && store->Table("b", b));
    const auto find = [&](unsigned table, const std::string& key) {
        std::string value;
        return store->Find(table, key, value) ? value : "-";
    };
    const std::string key("k\0ey", 4);
    ASSERT_TRUE(store->Put(a, key, "one"));
    EXPECT_EQ(find(a, key) + find(b, key), "one-");
    // A body that says no leaves nothing of what it wrote.
    EXPECT_FALSE(store->Write(
        [&](StateStore::Writer& w) { return w.Put(a, "x", "1") && w.Erase(a, key) && false; }));
    EXPECT_EQ(find(a, "x") + find(a, key), "-one");
    ASSERT_TRUE(store->Write([&](StateStore::Writer& w) {
        std::string seen;
        return w.Put(a, "x", "1") && w.Find(a, "x", seen) && seen == "1" && w.Put(b, "y", "2");
    }));
    std::vector<std::string> keys;
    store->ForEach(a, [&](const std::string& k, const std::string&) { keys.push_back(k); });
    EXPECT_EQ(keys, (std::vector<std::string>{key, "x"}));
}

// LMDB opens its files by name: a store directory that is a link, or
// that another user owns, is refused before any of them is opened.
TEST_F(StateStores, AStoreDirectoryOthersCouldChangeIsRefused) {
    TempDir elsewhere;
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), (m_dir / "store").c_str()), 0);
    LogCapture capture(-1);
    EXPECT_EQ(StateStore::Get(), nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));

    TempDir theirs;
    SetPlatformStateDir(theirs.Path());
    ASSERT_EQ(::mkdir((theirs / "store").c_str(), 0700), 0);
    ASSERT_EQ(::chown((theirs / "store").c_str(), 1000, 1000), 0);
    EXPECT_EQ(StateStore::Get(), nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(theirs / "store"));
    EXPECT_EQ(capture.CountContaining("State store: refusing "), 2u);
}

TEST_F(StateStores, WhatAKilledProcessCommittedIsThere) {
    constexpr int kKeys = 500;
    EXPECT_TRUE(FromChild<bool>(true, [] {
        auto store = StateStore::Get();
        unsigned table = 0;
        bool ok = store && store->Table("t", table);
        for (int i = 0; ok && i < kKeys; ++i)
            ok = store->Put(table, std::to_string(i), std::string(100, 'a' + i % 26));
        return ok;
    })) << "the child failed before it was killed";
    auto store = StateStore::Get();
    unsigned table = 0;
    ASSERT_TRUE(store && store->Table("t", table));
    int found = 0;
    std::string value;
    for (int i = 0; i < kKeys; ++i)
        found +=
            store->Find(table, std::to_string(i), value) && value == std::string(100, 'a' + i % 26);
    EXPECT_EQ(found, kKeys);
}

// What a thread writes in a batch is one transaction: other threads see
// none of it before the commit, then all of it but a body that said no;
// what waits for the commit runs then, and a new table commits it early.
TEST_F(StateStores, ABatchIsOneTransactionOfItsThreadsWrites) {
    auto store = StateStore::Get();
    unsigned t = 0;
    ASSERT_TRUE(store && store->Table("t", t));
    const auto elsewhere = [&](const std::string& key) {
        std::string value;
        bool found = false;
        std::thread([&] { found = store->Find(t, key, value); }).join();
        return found ? value : "-";
    };
    bool ran = false;
    StateStore::AfterCommit([&] { ran = true; });
    EXPECT_TRUE(ran);  // nothing to wait for outside a batch
    {
        StateStore::Batch batch;
        ASSERT_TRUE(store->Put(t, "a", "1"));
        EXPECT_FALSE(
            store->Write([&](StateStore::Writer& w) { return w.Put(t, "b", "2") && false; }));
        ASSERT_TRUE(store->Put(t, "c", "3"));
        ran = false;
        StateStore::AfterCommit([&] { ran = true; });
        std::string value;
        EXPECT_TRUE(store->Find(t, "a", value));  // its own writes at once
        EXPECT_EQ(elsewhere("a") + elsewhere("c") + std::to_string(ran), "--0");
        EXPECT_TRUE(batch.Commit());
        EXPECT_EQ(elsewhere("a") + elsewhere("b") + elsewhere("c") + std::to_string(ran), "1-31");
        ASSERT_TRUE(store->Put(t, "d", "4"));
        unsigned u = 0;
        ASSERT_TRUE(store->Table("u", u));
        EXPECT_EQ(elsewhere("d"), "4");
        ASSERT_TRUE(store->Put(t, "e", "5"));
    }
    EXPECT_EQ(elsewhere("e"), "5");  // the end of the batch commits
}

// A store whose file system is full: a commit that needs room fails with
// ENOSPC, in a batch or not, and keeps nothing; the store has no room until
// its file system has some again; the log says so once however many
// commits fail, and once more when one succeeds again.
TEST(StateStoreRoom, AFullStoreFailsWithNoSpaceSaysSoOnceAndCommitsAgainOnceThereIsRoom) {
    SmallFileSystem small(size_t(4) << 20);
    std::string why;
    ASSERT_TRUE(small.Mounted(why)) << why;
    SetPlatformStateDir(small.Path() + "/state");
    auto store = StateStore::Get();
    unsigned t = 0;
    ASSERT_TRUE(store && store->Table("t", t));
    ASSERT_TRUE(small.Fill());
    LogCapture log(10);
    const std::string value(1000, 'v');
    std::string key;
    for (int i = 0; i < 20000 && key.empty(); ++i) {
        errno = 0;
        if (!store->Put(t, std::to_string(i), value)) {
            key = std::to_string(i);
            EXPECT_EQ(errno, ENOSPC);
        }
    }
    ASSERT_FALSE(key.empty()) << "the store never ran out of room";
    std::string found;
    for (int again = 0; again < 50; ++again) {
        errno = 0;
        EXPECT_FALSE(store->Put(t, key, value));
        EXPECT_EQ(errno, ENOSPC);
        StateStore::Batch batch;
        EXPECT_TRUE(store->Put(t, key, value));  // in the batch, not yet written out
        errno = 0;
        EXPECT_FALSE(batch.Commit());
        EXPECT_EQ(errno, ENOSPC);
        errno = 0;
        EXPECT_FALSE(store->HasRoom());
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_FALSE(store->Find(t, key, found));
    }
    EXPECT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.CountContaining("State store full"), 1u);

    small.Free();
    EXPECT_TRUE(store->HasRoom());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(store->Put(t, key + "-" + std::to_string(i), value));
    EXPECT_TRUE(store->Find(t, key + "-9", found));
    EXPECT_EQ(log.Records().size(), 2u);
    EXPECT_EQ(log.CountContaining("commits again"), 1u);
}
