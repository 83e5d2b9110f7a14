#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

}  // namespace
