#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/ExportCache.h"
#include "module/SinkFSM.h"
#include "module/exports/SinkFSMExport.h"
#include "module/filehandle/SinkFSMFileHandle.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/StateDir.h"
#include "tests/host/TestExport.h"
#include "tests/module/exports/ExportedDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t kShareId = 31;

std::string Hex(unsigned long value) {
    char text[20];
    snprintf(text, sizeof(text), "%lx", value);
    return text;
}

// A client's handle of this module put together byte by byte, as the wire
// layout reads.
nfs_fh3 RawHandle(uint32_t shareId, uint64_t checksum) {
    nfs_fh3 fh{};
    const uint32_t type = 2;
    fh.len = 20;
    std::memcpy(fh.data + 0, &type, 4);
    std::memcpy(fh.data + 4, &shareId, 4);
    std::memcpy(fh.data + 8, &checksum, 8);
    return fh;
}

// The bytes a client is handed: the length's worth.
std::string Bytes(const nfs_fh3& fh) {
    return std::string(reinterpret_cast<const char*>(fh.data), fh.len);
}

// The job ids of the messages with this text, in order.
std::vector<unsigned long long> JobIdsOf(const LogCapture& log, const std::string& text) {
    std::vector<unsigned long long> ids;
    for (const LogRecord& r : log.Records())
        if (r.text == text)
            ids.push_back(r.jobId);
    return ids;
}

class SinkFSMFileHandleTest : public ::testing::Test {
  protected:
    // The handle the module would give a client for file.
    nfs_fh3 IssuedHandle() {
        nfs_fh3 fh;
        SinkFSMFileHandle(kShareId, file).ToNfsFH(fh);
        return fh;
    }

    ExportedDir exported{kShareId};
    std::string file = exported.dir.WriteFile("f", "data");
};

TEST_F(SinkFSMFileHandleTest, RoundTripThroughThePathCache) {
    LogCapture log(3);
    SinkFSMFileHandle written(kShareId, file);
    ASSERT_TRUE(written.IsInitSuccess());
    const std::string cksum = Hex(written.GetChecksum());

    nfs_fh3 fh;
    std::memset(&fh, 0xAB, sizeof(fh));  // what a caller's buffer may hold
    written.ToNfsFH(fh);
    // Bytes 16-19 must not carry memory contents.
    EXPECT_EQ(Bytes(fh), Bytes(RawHandle(kShareId, written.GetChecksum())));
    EXPECT_TRUE(log.Has(3, "path [" + file + "] cksum [" + cksum + "] added to cache."));

    EXPECT_TRUE(SinkFSM::GetFSM()->IsFHValid(fh));  // SinkFSMFileHandle::IsValid's answer
    SinkFSMFileHandle back(exported.exp, fh);
    ASSERT_TRUE(back.IsInitSuccess());
    EXPECT_EQ(back.GetPath(), file);
    EXPECT_EQ(back.GetChecksum(), written.GetChecksum());
    EXPECT_EQ(back.GetShareId(), kShareId);
    EXPECT_TRUE(log.Has(3, "path [" + file + "] cksum [" + cksum + "] got from cache."));
    EXPECT_EQ(SinkFSM::GetFSM()->FH2Str(fh),
              "ShareId:31 FSMType: 2 cksum: " + cksum + " Path: " + file);
}

TEST_F(SinkFSMFileHandleTest, HandlesOfAnotherFormAreNotOursSilentlyOfAnUnknownShareLoudly) {
    nfs_fh3 otherType = IssuedHandle(), otherLength = IssuedHandle();
    LogCapture log(10);
    otherType.data[0] = 1;
    otherLength.len = 24;
    for (const nfs_fh3& fh : {otherType, otherLength}) {
        EXPECT_FALSE(SinkFSMFileHandle::IsValid(fh));
        SinkFSMFileHandle rebuilt(exported.exp, fh);
        EXPECT_FALSE(rebuilt.IsInitSuccess());
        EXPECT_EQ(rebuilt.GetShareId(), kShareId);
        EXPECT_TRUE(rebuilt.GetPath().empty());
    }
    for (const LogRecord& r : log.Records())
        EXPECT_EQ(r.level, 10) << r.text;  // object traces only

    // An unknown share id is reported.
    const nfs_fh3 fh = RawHandle(999, SinkFSMFileHandle(kShareId, file).GetChecksum());
    log.Clear();
    EXPECT_FALSE(SinkFSMFileHandle::IsValid(fh));
    EXPECT_EQ(log.Count(-1, "Export not found for shareId [999]"), 1u);
    EXPECT_EQ(SinkFSM::GetFSM()->FH2Str(fh), "");
    EXPECT_EQ(log.Count(-1, "Export not found for shareId [999]"), 2u);

    // Written out for a share that has gone, the handle is still filled in.
    nfs_fh3 out{};
    SinkFSMFileHandle(999, file).ToNfsFH(out);
    EXPECT_EQ(Bytes(out), Bytes(fh));
    EXPECT_EQ(log.Count(-1, "Export not found for shareId [999]"), 3u);
}

TEST_F(SinkFSMFileHandleTest, ChecksumNoLongerCachedDoesNotResolve) {
    nfs_fh3 fh = IssuedHandle();
    unsigned long checksum = SinkFSMFileHandle(kShareId, file).GetChecksum();
    exported.Sink().SetJobId(77);
    exported.Sink().GetPathCache()->Empty();
    LogCapture log(1);

    SinkFSMFileHandle rebuilt(exported.exp, fh);
    EXPECT_FALSE(rebuilt.IsInitSuccess());
    EXPECT_TRUE(log.Has(1, "cksum [" + Hex(checksum) + "] not found."));
    EXPECT_FALSE(SinkFSMFileHandle::IsValid(fh));
    EXPECT_TRUE(log.Has(-1, "Path not found for cksum [" + std::to_string(checksum) + "]"));
    EXPECT_EQ(SinkFSM::GetFSM()->FH2Str(fh), "");
    EXPECT_EQ(JobIdsOf(log, "FH init failed"), std::vector<unsigned long long>{77});
}

TEST_F(SinkFSMFileHandleTest, ExportWithoutPathCacheResolvesNothing) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    nfs_fh3 fh = IssuedHandle();
    // The rebuilt export takes the original's place in the table.
    ExportPtr rebuilt(new SinkFSMExport(*exported.exp));
    static_cast<SinkFSMExport&>(*rebuilt).SetJobId(5);
    ASSERT_TRUE(gAllExports->RemoveExport(exported.exp));
    ASSERT_TRUE(gAllExports->AddExport(rebuilt));
    LogCapture log(1);

    EXPECT_FALSE(SinkFSMFileHandle::IsValid(fh));
    EXPECT_EQ(log.Count(-1, "Path Cache is NULL"), 1u);
    EXPECT_FALSE(SinkFSMFileHandle(rebuilt, fh).IsInitSuccess());
    EXPECT_EQ(log.Count(-1, "Path Cache is NULL"), 2u);
    nfs_fh3 out{};
    SinkFSMFileHandle(kShareId, file).ToNfsFH(out);
    EXPECT_EQ(out.len, 20u) << "the handle is written even without a cache";
    // IsValid tags its messages with no job; the others with the export's.
    EXPECT_EQ(JobIdsOf(log, "Path Cache is NULL"), (std::vector<unsigned long long>{0, 5, 5}));

    // Another module's export, or none, counts as one without a cache.
    ExportPtr none, foreign(new TestExport("/foreign", 4040));
    EXPECT_FALSE(SinkFSMFileHandle(foreign, fh).IsInitSuccess());
    EXPECT_FALSE(SinkFSMFileHandle(none, fh).IsInitSuccess());
    EXPECT_EQ(JobIdsOf(log, "Path Cache is NULL"),
              (std::vector<unsigned long long>{0, 5, 5, 0, 0}));
    ASSERT_TRUE(gAllExports->RemoveExport(rebuilt));
    ASSERT_TRUE(gAllExports->AddExport(exported.exp));
}

// Equality is checksum and share id, not path.
TEST_F(SinkFSMFileHandleTest, TextFormAndEquality) {
    SinkFSMPathCache& cache = *exported.Sink().GetPathCache();
    cache.Add(255, "/a/b");
    cache.Add(256, "/a/c");
    SinkFSMFileHandle share3(exported.exp, RawHandle(3, 255));
    ASSERT_TRUE(share3.IsInitSuccess());
    std::string text = "previous content";
    share3.ToStr(text);
    EXPECT_EQ(text, "ShareId:3 FSMType: 2 cksum: ff Path: /a/b");
    cache.Add(255, "/moved");
    SinkFSMFileHandle moved(exported.exp, RawHandle(3, 255));
    ASSERT_EQ(moved.GetPath(), "/moved");
    EXPECT_TRUE(share3 == moved);
    EXPECT_FALSE(share3 == SinkFSMFileHandle(exported.exp, RawHandle(4, 255)));
    EXPECT_FALSE(share3 == SinkFSMFileHandle(exported.exp, RawHandle(3, 256)));
}

TEST_F(SinkFSMFileHandleTest, PathWithoutIdentityFailsToInitialise) {
    std::string missing = exported.dir / "missing";
    LogCapture log(10);
    errno = 0;
    SinkFSMFileHandle handle(kShareId, missing);
    EXPECT_EQ(errno, ENOENT) << "the cause stays for the caller";
    EXPECT_FALSE(handle.IsInitSuccess());
    EXPECT_TRUE(log.Has(-1, "Failed to get unique ID for file [" + missing + "]"));
    EXPECT_EQ(log.CountContaining("created"), 0u);
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

// The cache holds its capacity's worth; to make room it drops the entry
// least recently added or found, and Remove and Empty give room back.
TEST(PathCache, BoundedLeastRecentlyUsedDroppedFirst) {
    struct Case {
        const char* what;
        std::function<void(SinkFSMPathCache&)> steps;  // on a full cache of 1, 2, 3
        std::vector<unsigned long> kept;
    };
    std::string scratch;
    const std::vector<Case> cases = {
        {"a fourth entry drops the first", [](SinkFSMPathCache& c) { c.Add(4, "/4"); }, {2, 3, 4}},
        {"finding the first keeps it",
         [&](SinkFSMPathCache& c) {
             ASSERT_TRUE(c.Find(1, scratch));
             c.Add(4, "/4");
         },
         {1, 3, 4}},
        {"adding the first again keeps it",
         [](SinkFSMPathCache& c) {
             c.Add(1, "/one");
             c.Add(4, "/4");
         },
         {1, 3, 4}},
        {"a miss changes no order",
         [&](SinkFSMPathCache& c) {
             ASSERT_FALSE(c.Find(9, scratch));
             c.Add(4, "/4");
         },
         {2, 3, 4}},
        {"a removal makes room",
         [](SinkFSMPathCache& c) {
             c.Remove(2);
             c.Add(4, "/4");
         },
         {1, 3, 4}},
        {"emptied, it fills again",
         [](SinkFSMPathCache& c) {
             c.Empty();
             for (unsigned long k = 4; k <= 7; ++k)
                 c.Add(k, "/" + std::to_string(k));
         },
         {5, 6, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SinkFSMPathCache cache(3);
        for (unsigned long k = 1; k <= 3; ++k)
            cache.Add(k, "/" + std::to_string(k));
        c.steps(cache);
        std::vector<unsigned long> kept;
        for (unsigned long k = 1; k <= 9; ++k)
            if (cache.Find(k, scratch))
                kept.push_back(k);
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(cache.Size(), c.kept.size());
    }
}

// A replaced path is the one found; the entry's place is taken, not a
// second one.
TEST(PathCache, ReplacingAPathKeepsOneEntry) {
    SinkFSMPathCache cache(2);
    cache.Add(1, "/a");
    cache.Add(1, "/b");
    cache.Add(2, "/c");
    std::string path;
    ASSERT_TRUE(cache.Find(1, path));
    EXPECT_EQ(path, "/b");
    EXPECT_EQ(cache.Size(), 2u);
}

// Every path comes back exactly as added, whether it shares nodes with
// another entry's or not, and the nodes go with the last entry holding them.
TEST(PathCache, PathsComeBackExactlyAndTheirNodesGoWithThem) {
    using namespace std::string_literals;  // "\0" inside a name
    const std::vector<std::string> paths = {"/",
                                            "/a",
                                            "/a/b",
                                            "",
                                            "a/b",
                                            "a",
                                            "//a//b",
                                            "/a/b/",
                                            "a/",
                                            "/a\0b/c"s,
                                            "///",
                                            std::string(300, 'n') + "/" + std::string(20, 'x'),
                                            "/a/b/c/d/e/f/g/h/i/j"};
    std::vector<std::function<void(SinkFSMPathCache&)>> clears = {
        [](SinkFSMPathCache& c) { c.Empty(); },
        [&](SinkFSMPathCache& c) {
            for (unsigned long k = 0; k < paths.size(); ++k)
                c.Remove(k);
        },
        [&](SinkFSMPathCache& c) {  // each replaced by a path of its own
            for (unsigned long k = 0; k < paths.size(); ++k)
                c.Add(k, "/other" + std::to_string(k));
            EXPECT_EQ(c.Nodes(), paths.size() + 1);
            c.Empty();
        },
    };
    for (auto& clear : clears) {
        SinkFSMPathCache cache(paths.size());
        for (unsigned long k = 0; k < paths.size(); ++k)
            cache.Add(k, paths[k]);
        std::string found;
        for (unsigned long k = 0; k < paths.size(); ++k) {
            ASSERT_TRUE(cache.Find(k, found)) << paths[k];
            EXPECT_EQ(found, paths[k]);
        }
        EXPECT_GT(cache.Nodes(), 0u);
        clear(cache);
        EXPECT_EQ(cache.Nodes(), 0u);
        EXPECT_EQ(cache.Size(), 0u);
    }
}

// A level of a deep tree costs one node, not its whole path.
TEST(PathCache, DeepTreeCostsANodePerLevel) {
    SinkFSMPathCache cache(3000);
    std::string path;
    for (unsigned long level = 0; level < 2000; ++level)
        cache.Add(level, path += "/level" + std::to_string(level));
    EXPECT_EQ(cache.Nodes(), 2001u);
    std::string found;
    ASSERT_TRUE(cache.Find(1999, found));
    EXPECT_EQ(found, path);
}

// More nodes than 4 x Capacity() push out the least recently used entries,
// and a path of more names than that is not kept at all.
TEST(PathCache, TheNodeBoundEvicts) {
    SinkFSMPathCache cache(4);     // 16 nodes
    cache.Add(1, "/a/b/c/d/e/f");  // 7 nodes
    cache.Add(2, "/p/q/r/s/t/u");  // 6 more
    cache.Add(3, "/a/b/c/d/e/g");  // 1 more: 14
    std::string found;
    ASSERT_TRUE(cache.Find(1, found));
    cache.Add(4, "/x/y/z");  // 3 more: 17, so 2 goes
    EXPECT_FALSE(cache.Find(2, found));
    EXPECT_EQ(cache.Size(), 3u);
    EXPECT_EQ(cache.Nodes(), 11u);
    cache.Add(4, "/" + std::string(15, '/'));  // 17 names: dropped, not kept stale
    EXPECT_FALSE(cache.Find(4, found));
    EXPECT_TRUE(cache.Find(3, found));
    EXPECT_EQ(cache.Nodes(), 8u);
}

// Many more objects than room, as a long churn of creations gives: the
// cache never holds more than its capacity, the default included.
TEST(PathCache, ManyEntriesStayWithinTheCapacity) {
    for (std::size_t capacity :
         {std::size_t{1}, std::size_t{100}, SinkFSMPathCache::kDefaultCapacity}) {
        SinkFSMPathCache cache(capacity);
        const unsigned long added = 2 * capacity + 10;
        for (unsigned long k = 0; k < added; ++k)
            cache.Add(k, "/f" + std::to_string(k));
        EXPECT_EQ(cache.Size(), capacity);
        std::string path;
        EXPECT_TRUE(cache.Find(added - 1, path));
        EXPECT_FALSE(cache.Find(added - 1 - capacity, path));
    }
    EXPECT_EQ(SinkFSMPathCache(0).Capacity(), 1u);
}

// Finds reorder the entries while writers fill a small cache past its
// bound: no entry is torn and the bound holds throughout.
TEST(PathCache, ConcurrentEvictionsKeepTheBound) {
    constexpr std::size_t kCapacity = 64;
    SinkFSMPathCache cache(kCapacity);
    std::atomic<int> torn{0}, over{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
        threads.emplace_back([&, w] {
            std::string path;
            for (unsigned long i = 0; i < 5000; ++i) {
                unsigned long key = (w * 5000 + i) % 200;
                cache.Add(key, "/k" + std::to_string(key));
                if (cache.Find((key * 7) % 200, path) &&
                    path != "/k" + std::to_string((key * 7) % 200))
                    ++torn;
                if (cache.Size() > kCapacity)
                    ++over;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(over.load(), 0);
    EXPECT_EQ(cache.Size(), kCapacity);
}

}  // namespace
