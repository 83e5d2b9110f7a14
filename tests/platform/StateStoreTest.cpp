// The state store: tables, whole-or-nothing transactions, batches of one
// thread's writes, and what a process killed with SIGKILL leaves behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "tests/support/TempDir.h"

namespace {

TEST(StateStore, TablesKeepTheirOwnKeysAndATransactionIsWholeOrAbsent) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    auto store = StateStore::Get();
    ASSERT_TRUE(store);
    unsigned a = 0, b = 0;
    ASSERT_TRUE(store->Table("a", a));
    ASSERT_TRUE(store->Table("b", b));
    ASSERT_TRUE(store->Put(a, std::string("k\0ey", 4), "one"));
    std::string value;
    EXPECT_TRUE(store->Find(a, std::string("k\0ey", 4), value));
    EXPECT_EQ(value, "one");
    EXPECT_FALSE(store->Find(b, std::string("k\0ey", 4), value));
    // A body that says no leaves nothing of what it wrote.
    EXPECT_FALSE(store->Write([&](StateStore::Writer& w) {
        return w.Put(a, "x", "1") && w.Erase(a, std::string("k\0ey", 4)) && false;
    }));
    EXPECT_FALSE(store->Find(a, "x", value));
    EXPECT_TRUE(store->Find(a, std::string("k\0ey", 4), value));
    ASSERT_TRUE(store->Write([&](StateStore::Writer& w) {
        std::string seen;
        return w.Put(a, "x", "1") && w.Find(a, "x", seen) && seen == "1" && w.Put(b, "y", "2");
    }));
    std::vector<std::string> keys;
    store->ForEach(a, [&](const std::string& key, const std::string&) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{std::string("k\0ey", 4), "x"}));
}

TEST(StateStore, WhatAKilledProcessCommittedIsThere) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    constexpr int kKeys = 500;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto store = StateStore::Get();
        unsigned table = 0;
        if (!store || !store->Table("t", table))
            ::_exit(1);
        for (int i = 0; i < kKeys; ++i)
            if (!store->Put(table, std::to_string(i), std::string(100, 'a' + i % 26)))
                ::_exit(1);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed before it was killed";
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
TEST(StateStore, ABatchIsOneTransactionOfItsThreadsWrites) {
    TempDir state;
    SetPlatformStateDir(state.Path());
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

}  // namespace
