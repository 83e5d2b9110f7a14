// Handles that outlive what used to end them: a restart of lumed (clean or
// killed), a rename of a directory above, the loss of the name a hard link
// was known by. A handle whose object is gone, moved out of the export, or
// replaced by a new file on the same inode is stale, never another file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "tests/server/LumedProcess.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/NfsClient.h"
#include "tests/support/DirectoryChain.h"
#include "tests/support/TempDir.h"

namespace {

class HandlesSurvive : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(m_export.Path().c_str(), 0777);  // squashed root may write
        StartLumed({});
    }
    void StartLumed(std::vector<std::string> extra) {
        ASSERT_TRUE(m_lumed.Start({{m_export.Path()}, m_state.Path(), extra})) << m_lumed.Output();
        std::string error;
        m_client.reset(new Nfs3RawClient);
        ASSERT_TRUE(m_client->Mount(m_lumed.Port(), m_export.Path(), error)) << error;
    }
    // lumed stopped by signal and started again on its port.
    void Restart(int signal) {
        const uint16_t port = m_lumed.Port();
        m_lumed.Stop(signal);
        ASSERT_NO_FATAL_FAILURE(StartLumed({"--port", std::to_string(port)}));
    }
    // A client mounted on the export that reconnects without end.
    void MountReconnecting(NfsClient& client) {
        std::string error;
        nfs_set_autoreconnect(client.Context(), -1);
        ASSERT_TRUE(client.Mount(m_lumed.Port(), m_export.Path(), error)) << error;
    }
    // A handle by LOOKUP along path from the export's root.
    Nfs3RawClient::Fh Walk(const std::string& path) {
        Nfs3RawClient::Fh fh = m_client->Root();
        for (const auto& name : std::filesystem::path(path)) {
            Nfs3RawClient::Fh next;
            EXPECT_EQ(m_client->Lookup(fh, name.string(), &next), NFS3_OK) << path;
            fh = next;
        }
        return fh;
    }
    // The file's data; "" when the READ fails.
    std::string Read(const Nfs3RawClient::Fh& fh) {
        std::string data;
        m_client->Read(fh, 0, 4096, &data);
        return data;
    }
    std::string At(const std::string& relative) const { return m_export / relative; }

    // A chain of directories made over NFS, one in the other: the name of
    // each level, and its handle (levels[0] the export's root).
    struct Chain {
        std::vector<std::string> names;
        std::vector<Nfs3RawClient::Fh> levels;
        std::vector<uint64_t> fileids;
    };
    // Names of 9 bytes: paths pass PATH_MAX near level 400.
    static std::string LevelName(size_t level) {
        char name[16];
        std::snprintf(name, sizeof name, "level%04zu", level);
        return name;
    }
    void MakeChain(size_t depth, Chain& chain) {
        chain.levels = {m_client->Root()};
        chain.names = {""};
        fattr3 attrs{};
        ASSERT_EQ(m_client->Getattr(m_client->Root(), &attrs), NFS3_OK);
        chain.fileids = {attrs.fileid};
        for (size_t level = 1; level <= depth; ++level) {
            Nfs3RawClient::Fh made;
            ASSERT_EQ(m_client->Mkdir(chain.levels.back(), LevelName(level), &made), NFS3_OK)
                << "level " << level;
            ASSERT_EQ(m_client->Getattr(made, &attrs), NFS3_OK) << "level " << level;
            chain.names.push_back(LevelName(level));
            chain.levels.push_back(made);
            chain.fileids.push_back(attrs.fileid);
        }
    }
    // Levels every stride deep, and the last few: the most a test asks of
    // lumed to find again, each at its own depth.
    static std::vector<size_t> Sample(size_t from, size_t to, size_t stride = 50) {
        std::vector<size_t> levels;
        for (size_t level = from; level <= to; level += stride)
            levels.push_back(level);
        for (size_t level = to > 3 ? to - 3 : from; level <= to; ++level)
            if (levels.back() < level)
                levels.push_back(level);
        return levels;
    }
    // The statuses of GETATTR on the sampled levels, with a fileid other
    // than the level's own taken as a failure.
    std::map<size_t, int> Getattrs(const Chain& chain, const std::vector<size_t>& levels) {
        std::map<size_t, int> statuses;
        for (size_t level : levels) {
            fattr3 attrs{};
            int status = m_client->Getattr(chain.levels[level], &attrs);
            if (status == NFS3_OK && attrs.fileid != chain.fileids[level])
                status = -1;
            statuses[level] = status;
        }
        return statuses;
    }
    static std::map<size_t, int> All(const std::vector<size_t>& levels, int status) {
        std::map<size_t, int> statuses;
        for (size_t level : levels)
            statuses[level] = status;
        return statuses;
    }
    // An O_PATH descriptor of the chain's level, opened a name at a time.
    int OpenLevel(const Chain& chain, size_t level) const {
        int fd = ::open(m_export.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        for (size_t at = 1; at <= level && fd >= 0; ++at) {
            const int next =
                ::openat(fd, chain.names[at].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        return fd;
    }
    TempDir m_export, m_outside, m_state;
    LumedProcess m_lumed;
    std::unique_ptr<Nfs3RawClient> m_client;
};

TEST_F(HandlesSurvive, RenamesAboveAndALostLinkNameKeepHandlesLiveOthersGoStale) {
    std::filesystem::create_directories(At("a/b/sub"));
    m_export.WriteFile("a/b/f", "file f");
    ::chmod(At("a/b/f").c_str(), 0666);  // squashed root writes it
    m_export.WriteFile("a/b/g", "file g");
    m_export.WriteFile("h1", "linked");
    ASSERT_EQ(::link(At("h1").c_str(), At("h2").c_str()), 0);
    m_export.WriteFile("leaves", "moved out");
    const Nfs3RawClient::Fh f = Walk("a/b/f"), g = Walk("a/b/g"), sub = Walk("a/b/sub"),
                            h1 = Walk("h1"), h2 = Walk("h2"), leaves = Walk("leaves");
    EXPECT_EQ(h1, h2);

    std::filesystem::rename(At("a"), At("z"));
    m_export.WriteFile("z/b/sub/new", "new");
    ASSERT_EQ(::unlink(At("h1").c_str()), 0);
    std::filesystem::rename(At("leaves"), m_outside / "leaves");

    EXPECT_EQ(Read(f), "file f");
    EXPECT_EQ(m_client->Write(f, 0, "FILE"), NFS3_OK);
    EXPECT_EQ(Read(f), "FILE f");
    fattr3 attrs{};
    EXPECT_EQ(m_client->Getattr(g, &attrs), NFS3_OK);
    EXPECT_EQ(m_client->Lookup(sub, "new", nullptr), NFS3_OK);
    EXPECT_EQ(Read(h2), "linked");
    EXPECT_EQ(m_client->Read(leaves, 0, 4096, nullptr), NFS3ERR_STALE);
}

// A handle or a name used once is not walked to again while nothing on its
// way changes; the moment its object leaves the export, or the caller may no
// longer reach it, the handle fails and the name finds something else or
// nothing, whichever way that happened, and even while another
// connection's calls read the news of the change first.
TEST_F(HandlesSurvive, AHandleUsedAgainFailsTheMomentItsObjectIsOutOfReach) {
    constexpr int kRounds = 25;
    std::filesystem::create_directories(At("d"));
    m_export.WriteFile("d/f", "in");
    m_outside.WriteFile("x", "outside");
    const std::string in = At("d/f"), out = m_outside / "f";
    auto move = [](const std::string& from, const std::string& to) {
        ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
    };
    auto swap = [&] {
        ASSERT_EQ(
            ::renameat2(AT_FDCWD, in.c_str(), AT_FDCWD, (m_outside / "x").c_str(), RENAME_EXCHANGE),
            0);
    };
    auto relink = [](const std::string& from, const std::string& to) {
        ASSERT_EQ(::link(from.c_str(), to.c_str()), 0);
        ASSERT_EQ(::unlink(from.c_str()), 0);
    };
    const struct {
        const char* how;
        std::function<void()> leave, back;
    } ways[] = {
        {"renamed out", [&] { move(in, out); }, [&] { move(out, in); }},
        {"its directory renamed out", [&] { move(At("d"), m_outside / "d"); },
         [&] { move(m_outside / "d", At("d")); }},
        {"its name inside removed, a link outside kept", [&] { relink(in, out); },
         [&] { relink(out, in); }},
        {"exchanged with a file outside", swap, swap},
        {"its directory closed to the caller", [&] { ::chmod(At("d").c_str(), 0700); },
         [&] { ::chmod(At("d").c_str(), 0755); }},
    };
    const Nfs3RawClient::Fh d = Walk("d"), f = Walk("d/f");
    Nfs3RawClient other;
    std::string error;
    ASSERT_TRUE(other.Mount(m_lumed.Port(), m_export.Path(), error)) << error;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        fattr3 attrs{};
        for (int i = 0; i < 1000000 && !done; ++i)
            other.Getattr(other.Root(), &attrs);
    });
    fattr3 attrs{};
    Nfs3RawClient::Fh found;
    for (const auto& way : ways)
        for (int round = 0; round < kRounds; ++round) {
            ASSERT_EQ(m_client->Getattr(f, &attrs), NFS3_OK) << way.how;
            ASSERT_EQ(m_client->Lookup(d, "f", &found), NFS3_OK) << way.how;
            ASSERT_EQ(found, f) << way.how;
            way.leave();
            EXPECT_NE(m_client->Getattr(f, &attrs), NFS3_OK) << way.how;
            found.clear();
            m_client->Lookup(d, "f", &found);
            EXPECT_NE(found, f) << way.how;
            way.back();
        }
    done = true;
    reader.join();
}

// Every handle a client holds works after lumed restarts on its state
// directory, cleanly or killed; one whose file was replaced meanwhile on
// the same inode is stale.
TEST_F(HandlesSurvive, ARestartCleanOrKilledChangesNoHandle) {
    std::filesystem::create_directories(At("d"));
    m_export.WriteFile("d/kept", "kept data");
    m_export.WriteFile("gone", "old data");
    const Nfs3RawClient::Fh dir = Walk("d"), kept = Walk("d/kept"), gone = Walk("gone");
    struct stat old {};
    ASSERT_EQ(::stat(At("gone").c_str(), &old), 0);
    for (int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal == SIGKILL ? "killed" : "stopped");
        ASSERT_NO_FATAL_FAILURE(Restart(signal));
        EXPECT_EQ(Read(kept), "kept data");
        EXPECT_EQ(m_client->Lookup(dir, "kept", nullptr), NFS3_OK);
    }
    // The removed file's inode taken by a new file while lumed is down.
    const uint16_t port = m_lumed.Port();
    m_lumed.Stop(SIGKILL);
    ASSERT_EQ(::unlink(At("gone").c_str()), 0);
    bool reused = false;
    for (int i = 0; i < 2000 && !reused; ++i) {
        const std::string name = m_export.WriteFile("new" + std::to_string(i), "new data");
        struct stat now {};
        reused = ::stat(name.c_str(), &now) == 0 && now.st_ino == old.st_ino;
        if (!reused)
            ::unlink(name.c_str());
    }
    StartLumed({"--port", std::to_string(port)});
    if (!reused)
        GTEST_SKIP() << "the file system did not reuse the inode";
    EXPECT_EQ(m_client->Read(gone, 0, 4096, nullptr), NFS3ERR_STALE);
}

// A client reading a file through its handle without pause while lumed is
// killed and started again, over and over, only ever waits: lumed answers
// no call before the exports the handles belong to are back.
TEST_F(HandlesSurvive, AReaderRunningThroughKillsNeverFails) {
    m_export.WriteFile("data", "data");
    NfsClient client;
    ASSERT_NO_FATAL_FAILURE(MountReconnecting(client));
    nfsfh* file = nullptr;
    ASSERT_EQ(nfs_open(client.Context(), "/data", O_RDONLY, &file), 0);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, failures{0};
    std::thread reader([&] {
        char buffer[8];
        for (int i = 0; i < 1000000 && !done; ++i)
            ++(nfs_pread(client.Context(), file, 0, 4, buffer) == 4 ? reads : failures);
    });
    for (int round = 0; round < 16; ++round)
        Restart(SIGKILL);
    done = true;
    reader.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(failures, 0);
    nfs_close(client.Context(), file);
}

// A client writing a file while lumed is killed and started again just
// waits and goes on: the file ends up whole.
TEST_F(HandlesSurvive, ACopyRunningThroughAKillFinishesIntact) {
    NfsClient client;
    ASSERT_NO_FATAL_FAILURE(MountReconnecting(client));
    nfsfh* file = nullptr;
    ASSERT_EQ(nfs_creat(client.Context(), "/copy", 0666, &file), 0)
        << nfs_get_error(client.Context());
    constexpr size_t kChunk = 128 * 1024, kChunks = 64;
    std::string data(kChunk * kChunks, '\0');
    for (size_t i = 0; i < data.size(); ++i)  // no chunk like another
        data[i] = static_cast<char>(i * 7919 % 251);
    for (size_t chunk = 0; chunk < kChunks; ++chunk) {
        if (chunk == kChunks / 2)
            Restart(SIGKILL);
        ASSERT_EQ(nfs_pwrite(client.Context(), file, chunk * kChunk, kChunk,
                             data.data() + chunk * kChunk),
                  static_cast<int>(kChunk))
            << "chunk " << chunk << ": " << nfs_get_error(client.Context());
    }
    EXPECT_EQ(nfs_fsync(client.Context(), file), 0);
    EXPECT_EQ(nfs_close(client.Context(), file), 0);
    const std::string onDisk = ReadFile(At("copy"));
    EXPECT_TRUE(onDisk == data) << "the copy differs (" << onDisk.size() << " bytes)";
}

// Deep enough that most paths of the chain are longer than PATH_MAX.
constexpr size_t kDepth = 2000;

// 2,000 directories one in the other, made over NFS, and a file at the
// bottom: after lumed is killed and started again, the handles of every
// depth find their objects, though the kernel names none of them past
// level 400 or so. Once, while lumed is down, the bottom is removed and
// the chain from level 1,000 moved out of the export, those handles are
// stale and the ones above still live.
TEST_F(HandlesSurvive, HandlesOfObjectsDeeperThanAPathMayOutliveAKill) {
    Chain chain;
    ASSERT_NO_FATAL_FAILURE(MakeChain(kDepth, chain));
    // Level 500's path, and the 1,500 below it, are longer than PATH_MAX.
    ASSERT_GT(m_export.Path().size() + 10 * 500, size_t(PATH_MAX));
    Nfs3RawClient::Fh file;
    ASSERT_EQ(m_client->Create(chain.levels.back(), "file", GUARDED, 0, &file), NFS3_OK);
    ASSERT_EQ(m_client->Write(file, 0, "deep data"), NFS3_OK);
    ASSERT_NO_FATAL_FAILURE(Restart(SIGKILL));
    const std::vector<size_t> levels = Sample(1, kDepth);
    EXPECT_EQ(Getattrs(chain, levels), All(levels, NFS3_OK));
    EXPECT_EQ(Read(file), "deep data");

    const uint16_t port = m_lumed.Port();
    m_lumed.Stop(SIGKILL);
    constexpr size_t kMovedOut = 1000;
    const int bottom = OpenLevel(chain, kDepth), above = OpenLevel(chain, kDepth - 1),
              holder = OpenLevel(chain, kMovedOut - 1),
              outside = ::open(m_outside.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(::unlinkat(bottom, "file", 0), 0);
    EXPECT_EQ(::unlinkat(above, chain.names[kDepth].c_str(), AT_REMOVEDIR), 0);
    EXPECT_EQ(::renameat(holder, chain.names[kMovedOut].c_str(), outside, "moved"), 0);
    ASSERT_NO_FATAL_FAILURE(StartLumed({"--port", std::to_string(port)}));
    const std::vector<size_t> inside = Sample(1, kMovedOut - 1), out = Sample(kMovedOut, kDepth);
    EXPECT_EQ(Getattrs(chain, inside), All(inside, NFS3_OK));
    EXPECT_EQ(Getattrs(chain, out), All(out, NFS3ERR_STALE));
    EXPECT_EQ(m_client->Read(file, 0, 4096, nullptr), NFS3ERR_STALE);

    std::vector<std::string> moved(chain.names.begin() + kMovedOut, chain.names.end() - 1);
    moved[0] = "moved";
    RemoveDirectoryChain(outside, moved);
    const int root = OpenLevel(chain, 0);
    RemoveDirectoryChain(root, {chain.names.begin() + 1, chain.names.end()});
    for (int fd : {root, bottom, above, holder, outside})
        ::close(fd);
}

// Without a restart: level 1 renamed on the server to a name 200 bytes
// longer, every handle below it still finds its object, the file at the
// bottom too; renamed back, too; and once level 2 moved up beside level 1,
// so that every level below is one less deep. The 2,000 levels cost lumed
// what 2,000 objects do, not their paths: under 12 MB of memory (about 5
// here) and 2 MB of store (0.5), where whole paths cost 65 and 24.
TEST_F(HandlesSurvive, HandlesOfDeepObjectsFollowARenameAboveThem) {
    Chain chain;
    const size_t memory = m_lumed.AnonymousKiB(), store = m_lumed.StoreBytes();
    ASSERT_NO_FATAL_FAILURE(MakeChain(kDepth, chain));
    if (!kSanitized) {
        EXPECT_LT(m_lumed.AnonymousKiB(), memory + 12 * 1024) << "KiB before: " << memory;
    }
    EXPECT_LT(m_lumed.StoreBytes(), store + 2 * 1024 * 1024) << "before: " << store;
    Nfs3RawClient::Fh file;
    ASSERT_EQ(m_client->Create(chain.levels.back(), "file", GUARDED, 0, &file), NFS3_OK);
    ASSERT_EQ(m_client->Write(file, 0, "deep data"), NFS3_OK);
    const std::vector<size_t> levels = Sample(1, kDepth);
    EXPECT_EQ(Getattrs(chain, levels), All(levels, NFS3_OK));
    const std::string first = At(chain.names[1]), longer = At(std::string(200, 'r'));
    ASSERT_EQ(::rename(first.c_str(), longer.c_str()), 0);
    EXPECT_EQ(Getattrs(chain, levels), All(levels, NFS3_OK)) << "renamed";
    EXPECT_EQ(Read(file), "deep data") << "renamed";
    ASSERT_EQ(::rename(longer.c_str(), first.c_str()), 0);
    EXPECT_EQ(Getattrs(chain, levels), All(levels, NFS3_OK)) << "renamed back";
    EXPECT_EQ(Read(file), "deep data") << "renamed back";
    const int root = OpenLevel(chain, 0), one = OpenLevel(chain, 1),
              bottom = OpenLevel(chain, kDepth);
    ASSERT_EQ(::renameat(one, chain.names[2].c_str(), root, chain.names[2].c_str()), 0);
    EXPECT_EQ(Getattrs(chain, levels), All(levels, NFS3_OK)) << "moved up";
    EXPECT_EQ(Read(file), "deep data") << "moved up";
    ::unlinkat(bottom, "file", 0);
    ::unlinkat(root, chain.names[1].c_str(), AT_REMOVEDIR);
    RemoveDirectoryChain(root, {chain.names.begin() + 2, chain.names.end()});
    for (int fd : {root, one, bottom})
        ::close(fd);
}

}  // namespace
