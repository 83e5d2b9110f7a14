// What lumed keeps of objects follows the objects that exist. The module's
// path cache, kept small by the registry: a handle whose entry was pushed out
// still serves its calls (lumed finds the object again by its id), and
// objects removed over NFS leave no entry behind to push out the entries of
// the files still there. Its memory and state store after many files made
// and removed, over NFS or beside it, stay where they were.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "tests/server/LumedProcess.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kUid = 1000, kReaderUid = 2000;
constexpr char kFoundAgain[] = "found again at";

class PathCacheBound : public ::testing::Test {
  protected:
    void SetUp() override { ::chmod(m_export.Path().c_str(), 0777); }
    // lumed on the export with a path cache of entries, logging each handle
    // it had to find again; a client mounted as kUid, and one as kReaderUid.
    void Start(unsigned entries) {
        std::ofstream(m_state / "registry.json")
            << "{\"Lume\": {\"PathCacheEntries\": " << entries << "}}\n";
        ASSERT_TRUE(m_lumed.Start({{m_export.Path()}, m_state.Path(), {"--log-level", "3"}}))
            << m_lumed.Output();
        std::string error;
        ASSERT_TRUE(m_client.Mount(m_lumed.Port(), m_export.Path(), error)) << error;
        ASSERT_TRUE(m_reader.Mount(m_lumed.Port(), m_export.Path(), error)) << error;
    }
    // Lines of lumed's log (read once it stopped) that contain text.
    size_t LoggedAfterStop(const std::string& text) {
        m_lumed.Stop();
        const std::string log = ReadFile(m_state / "lumed.log");
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }
    // A file made over NFS holding its own name, and its handle.
    Nfs3RawClient::Fh Made(const std::string& name) {
        Nfs3RawClient::Fh fh;
        EXPECT_EQ(m_client.Create(m_client.Root(), name, UNCHECKED, 0, &fh), NFS3_OK) << name;
        EXPECT_EQ(m_client.Write(fh, 0, name), NFS3_OK) << name;
        return fh;
    }
    // Read by the other caller: what lumed keeps of the maker's calls (its
    // objects by handle, per caller) cannot answer for it, so each handle
    // goes through the path cache.
    void ExpectServed(const Nfs3RawClient::Fh& fh, const std::string& name) {
        std::string data;
        EXPECT_EQ(m_reader.Read(fh, 0, 64, &data), NFS3_OK) << name;
        EXPECT_EQ(data, name);
        fattr3 attrs{};
        ASSERT_EQ(m_reader.Getattr(fh, &attrs), NFS3_OK) << name;
        EXPECT_EQ(attrs.uid, static_cast<uint32_t>(kUid)) << name;
    }

    TempDir m_export, m_state;
    LumedProcess m_lumed;
    Nfs3RawClient m_client{kUid, kUid};
    Nfs3RawClient m_reader{kReaderUid, kReaderUid};
};

// The ids the state store holds, read beside lumed, as a store may be.
size_t StoredIds(const std::string& stateDir) {
    SetPlatformStateDir(stateDir);
    std::shared_ptr<StateStore> store = StateStore::Get();
    unsigned table = 0;
    size_t count = 0;
    if (store && store->Table("unique-ids.by-id", table))
        store->ForEach(table, [&count](const std::string&, const std::string&) { ++count; });
    return count;
}

// 40 files through a cache of 8: the handles of the first 32 were pushed
// out, and each still reads and answers as its own file.
TEST_F(PathCacheBound, HandlesPushedOutOfTheCacheStillServeTheirCalls) {
    ASSERT_NO_FATAL_FAILURE(Start(8));
    std::vector<Nfs3RawClient::Fh> handles;
    for (int i = 0; i < 40; ++i)
        handles.push_back(Made("f" + std::to_string(i)));
    for (int i = 0; i < 40; ++i)
        ExpectServed(handles[i], "f" + std::to_string(i));
    EXPECT_GE(LoggedAfterStop(kFoundAgain), 32u) << "the handles were found again, not cached";
}

// 10 files kept and 5,000 made and removed again beside them, at most 50
// alive at once, through a cache of 64: the removed files' entries go with
// them, so the kept files' entries are never pushed out and no handle needs
// finding again.
TEST_F(PathCacheBound, RemovedFilesLeaveNoEntryBehind) {
    constexpr int kKept = 10, kChurned = 5000, kAlive = 40;
    ASSERT_NO_FATAL_FAILURE(Start(64));
    std::vector<Nfs3RawClient::Fh> kept;
    for (int i = 0; i < kKept; ++i)
        kept.push_back(Made("kept" + std::to_string(i)));
    for (int i = 0; i < kChurned; ++i) {
        const std::string made = "c" + std::to_string(i % kAlive);
        ASSERT_EQ(m_client.Create(m_client.Root(), made, UNCHECKED), NFS3_OK) << i;
        // The oldest of the churned files goes once kAlive - 1 are there.
        const std::string oldest = "c" + std::to_string((i + 1) % kAlive);
        if (i >= kAlive - 1) {
            ASSERT_EQ(m_client.Remove(m_client.Root(), oldest), NFS3_OK) << i;
        }
    }
    for (int i = 0; i < kKept; ++i)
        ExpectServed(kept[i], "kept" + std::to_string(i));
    EXPECT_EQ(LoggedAfterStop(kFoundAgain), 0u);
}

// 50,000 files made and removed over NFS, at most 50 at once: after a first
// 1,000, lumed's memory grows by less than 4 MiB (about 1.5 here) and its
// store by less than 1 MiB (pages it reuses; its ids as many as files
// exist), where each file ever made cost about 400 bytes of memory and 60
// of store.
TEST_F(PathCacheBound, MemoryAndStoreStayFlatAsFilesComeAndGo) {
    constexpr int kWarm = 1000, kCycles = kSanitized ? 5000 : 50000, kAlive = 50;
    ASSERT_NO_FATAL_FAILURE(Start(65536));
    const auto cycle = [this](int i) {
        ASSERT_EQ(m_client.Create(m_client.Root(), "c" + std::to_string(i % kAlive), UNCHECKED),
                  NFS3_OK)
            << i;
        if (i >= kAlive - 1) {
            ASSERT_EQ(m_client.Remove(m_client.Root(), "c" + std::to_string((i + 1) % kAlive)),
                      NFS3_OK)
                << i;
        }
    };
    for (int i = 0; i < kWarm; ++i)
        ASSERT_NO_FATAL_FAILURE(cycle(i));
    const size_t rss = m_lumed.AnonymousKiB(), data = m_lumed.StoreBytes();
    for (int i = kWarm; i < kWarm + kCycles; ++i)
        ASSERT_NO_FATAL_FAILURE(cycle(i));
    if (!kSanitized) {
        EXPECT_LT(m_lumed.AnonymousKiB(), rss + 4096) << "KiB before: " << rss;
    }
    EXPECT_LE(m_lumed.StoreBytes(), data + 1024 * 1024) << "before: " << data;
    EXPECT_LE(StoredIds(m_state.Path()), size_t(kAlive) + 2);  // and the root's, the export's
}

// 2,000 files made over NFS and removed beside lumed: its sweeps let go of
// their ids within seconds, and not of the files that are still there.
TEST_F(PathCacheBound, TheStoreLetsGoOfFilesRemovedBesideIt) {
    constexpr int kFiles = 2000, kKept = 10;
    ASSERT_NO_FATAL_FAILURE(Start(65536));
    std::vector<Nfs3RawClient::Fh> kept;
    for (int i = 0; i < kKept; ++i)
        kept.push_back(Made("kept" + std::to_string(i)));
    for (int i = 0; i < kFiles; ++i)
        ASSERT_EQ(m_client.Create(m_client.Root(), "gone" + std::to_string(i), UNCHECKED), NFS3_OK);
    const size_t made = StoredIds(m_state.Path());
    EXPECT_GE(made, size_t(kFiles + kKept));
    for (int i = 0; i < kFiles; ++i)
        ASSERT_EQ(::unlink((m_export / ("gone" + std::to_string(i))).c_str()), 0);
    size_t left = made;
    for (int wait = 0; wait < 100 && left > made - kFiles; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        left = StoredIds(m_state.Path());
    }
    EXPECT_EQ(left, made - kFiles);
    for (int i = 0; i < kKept; ++i)
        ExpectServed(kept[i], "kept" + std::to_string(i));
}

}  // namespace
