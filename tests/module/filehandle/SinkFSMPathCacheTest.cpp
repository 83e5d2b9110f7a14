#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "module/filehandle/SinkFSMPathCache.h"

namespace {

TEST(PathCache, AddFindReplaceRemoveWithExtremeKeys) {
    SinkFSMPathCache cache;
    std::string path = "untouched";
    EXPECT_FALSE(cache.Find(1, path));
    EXPECT_EQ(path, "untouched");
    cache.Add(1, "/a");
    cache.Add(1, "/b");  // replaces
    cache.Add(0, "/zero");
    cache.Add(~0UL, "/ones");
    ASSERT_TRUE(cache.Find(1, path));
    EXPECT_EQ(path, "/b");
    ASSERT_TRUE(cache.Find(~0UL, path));
    EXPECT_EQ(path, "/ones");
    cache.Remove(2);  // absent: no effect
    cache.Remove(1);
    EXPECT_FALSE(cache.Find(1, path));
    ASSERT_TRUE(cache.Find(0, path));
    cache.Empty();
    EXPECT_FALSE(cache.Find(0, path));
    EXPECT_FALSE(cache.Find(~0UL, path));
}

// Writers and readers on one cache: every entry a reader finds is whole, and
// every entry written is there at the end.
TEST(PathCache, ConcurrentAddsAndFinds) {
    SinkFSMPathCache cache;
    constexpr unsigned long kPerThread = 2000;
    constexpr int kWriters = 4;
    std::vector<std::thread> threads;
    std::atomic<int> torn{0};
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (unsigned long i = 0; i < kPerThread; ++i) {
                unsigned long key = w * kPerThread + i;
                cache.Add(key, "/dir/" + std::to_string(key));
            }
        });
        threads.emplace_back([&, w] {
            std::string path;
            for (unsigned long i = 0; i < kPerThread; ++i) {
                unsigned long key = w * kPerThread + i;
                if (cache.Find(key, path) && path != "/dir/" + std::to_string(key))
                    ++torn;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    std::string path;
    for (unsigned long key = 0; key < kWriters * kPerThread; ++key) {
        ASSERT_TRUE(cache.Find(key, path));
        EXPECT_EQ(path, "/dir/" + std::to_string(key));
    }
}

}  // namespace
