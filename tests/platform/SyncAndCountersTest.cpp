#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/OxCriticalSection.h"
#include "platform/ThrdPerfCounter.h"
#include "tests/support/LogCapture.h"

namespace {

void RunThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (std::thread& th : threads)
        th.join();
}

}  // namespace

TEST(PlatformCriticalSection, ExcludesOtherThreadsAndNests) {
    OxCriticalSection section;
    long counter = 0;  // deliberately not atomic: the section must protect it
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    RunThreads(4, [&](int) {
        for (int i = 0; i < 5000; ++i) {
            OxCriticalSectionLock outer(&section);
            OxCriticalSectionLock nested(&section);  // the owner enters again
            if (inside.fetch_add(1) != 0)
                overlaps.fetch_add(1);
            ++counter;
            inside.fetch_sub(1);
        }
    });
    EXPECT_EQ(counter, 4 * 5000);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(PlatformPerfCounter, CountsEachCounterApartOnlyWhenEnabled) {
    ThrdPerfCounter counter;
    counter.StopPerfCounter("T", 1, 10);
    EXPECT_EQ(counter.GetTotals(1).calls, 0u);  // inert until enabled
    counter.Enable(true);
    for (int bad : {-1, ThrdPerfCounter::kMaxCounters}) {
        counter.StartPerfCounter("T", bad);
        counter.StopPerfCounter("T", bad, 10);
        EXPECT_EQ(counter.GetTotals(bad).calls, 0u);
    }
    counter.StartPerfCounter("IO", 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    counter.StopPerfCounter("IO", 2, 100);
    counter.StopPerfCounter("IO", 2, 50);
    counter.StopPerfCounter("IO", 3, 7);
    EXPECT_EQ(counter.GetTotals(2).calls, 2u);
    EXPECT_EQ(counter.GetTotals(2).bytes, 150u);
    EXPECT_GE(counter.GetTotals(2).nanoseconds, 2000000u);  // at least the sleep
    EXPECT_EQ(counter.GetTotals(3).bytes, 7u);
}

TEST(PlatformPerfCounter, SumsAcrossThreadsAndNewObjectsStartFromZero) {
    ThrdPerfCounter counter;
    counter.Enable(true);
    RunThreads(4, [&](int t) {
        for (int i = 0; i < 100; ++i)
            counter.StopPerfCounter("W", 5, static_cast<unsigned long long>(t + 1));
    });
    EXPECT_EQ(counter.GetTotals(5).calls, 400u);
    EXPECT_EQ(counter.GetTotals(5).bytes, 100u * (1 + 2 + 3 + 4));
    // A new counter may take a destroyed one's address: it must not get the old block.
    for (int round = 0; round < 3; ++round) {
        auto fresh = std::make_unique<ThrdPerfCounter>();
        fresh->Enable(true);
        fresh->StopPerfCounter("R", 0, 1);
        EXPECT_EQ(fresh->GetTotals(0).calls, 1u);
    }
}

TEST(PlatformPerfCounter, LogsHeadingAndUsedCounters) {
    LogCapture capture(1);
    ThrdPerfCounter counter;
    counter.Enable(true);
    counter.StopPerfCounter("NFS", 9, 4096);
    counter.LogAll();
    EXPECT_EQ(capture.Count(1, "For All The Files"), 1u);
    EXPECT_EQ(capture.CountContaining("[NFS] counter 9 calls 1 "), 1u);
    EXPECT_EQ(capture.CountContaining("bytes 4096"), 1u);
    EXPECT_EQ(capture.Records().size(), 2u);  // unused counters stay out

    capture.Clear();
    counter.SetLogEach(true);
    counter.StopPerfCounter("NFS", 9, 1);
    counter.StopPerfCounter("NFS", 9, 1);
    EXPECT_EQ(capture.Count(1, "For All The Files"), 2u);
}
