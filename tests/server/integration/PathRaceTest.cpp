// Clients that change names while other calls are under way, and paths
// longer than the system takes in one piece, must never reach beyond the
// export. The export is TMP/export; TMP/outside is a sibling nobody exports,
// holding root's files that must stay as they were. lumed keeps root
// (--perms 7), so a call that escapes has the rights to do harm.
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "tests/server/LumedProcess.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using Fh = Nfs3RawClient::Fh;
constexpr int kRounds = 10000;
constexpr auto kRaceTime = std::chrono::seconds(3);
const std::string kVictimData = "root's own data, not for clients";

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs each body on its own thread, round after round, until the first (the
// calls under test) has run kRounds rounds, kRaceTime passes, or harmed()
// tells that a call already escaped. The others (the attackers, some far
// quicker) keep going until then.
void Race(std::vector<std::function<void(int)>> bodies, std::function<bool()> harmed) {
    const auto deadline = Clock::now() + kRaceTime;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (size_t b = 0; b < bodies.size(); ++b)
        threads.emplace_back([&, b] {
            const int rounds = b == 0 ? kRounds : kRounds * 1000;
            for (int i = 0; i < rounds && !stop && Clock::now() < deadline; ++i) {
                bodies[b](i);
                if (harmed())
                    stop = true;
            }
            if (b == 0)
                stop = true;
        });
    for (auto& thread : threads)
        thread.join();
}

class PathRace : public ::testing::Test {
  protected:
    void SetUp() override {
        m_export = m_tmp.RealPath() + "/export";
        m_outside = m_tmp.RealPath() + "/outside";
        ASSERT_EQ(::mkdir(m_export.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir(m_outside.c_str(), 0755), 0);
        m_victim = m_outside + "/victim";
        ASSERT_NO_FATAL_FAILURE(ResetOutside());
        ASSERT_TRUE(m_lumed.Start({{m_export}, m_state.Path(), {"--perms", "7"}}))
            << m_lumed.Output();
    }
    void Connect(Nfs3RawClient& client) {
        std::string error;
        ASSERT_TRUE(client.Mount(m_lumed.Port(), m_export, error)) << error;
    }
    // The victim as it was, and no other file outside.
    void ResetOutside() {
        ::unlink((m_outside + "/fresh").c_str());
        std::ofstream(m_victim, std::ios::trunc) << kVictimData;
        ASSERT_EQ(::chmod(m_victim.c_str(), 0600), 0);
    }
    bool VictimHarmed() const {
        struct stat st;
        return ::stat(m_victim.c_str(), &st) != 0 || (st.st_mode & 07777) != 0600 ||
               st.st_size != static_cast<off_t>(kVictimData.size());
    }
    void ExpectVictimIntact() const {
        EXPECT_FALSE(VictimHarmed());
        EXPECT_EQ(ReadFile(m_victim), kVictimData);
    }

    TempDir m_tmp, m_state;
    std::string m_export, m_outside, m_victim;
    LumedProcess m_lumed;
};

// A name turned into a link to outside, between the server's look at it and
// its create, must not make the create land outside: no new file there, and
// UNCHECKED's size 0 must not truncate the file the link names.
TEST_F(PathRace, CreateNeverFollowsALinkMadeMidCall) {
    const std::string fresh = m_outside + "/fresh";
    for (createmode3 how : {UNCHECKED, GUARDED, EXCLUSIVE}) {
        SCOPED_TRACE("create mode " + std::to_string(how));
        ASSERT_NO_FATAL_FAILURE(ResetOutside());
        Nfs3RawClient creator, attacker;
        ASSERT_NO_FATAL_FAILURE(Connect(creator));
        ASSERT_NO_FATAL_FAILURE(Connect(attacker));
        std::atomic<int> created{0}, linked{0};
        Race({[&](int i) { created += creator.Create(creator.Root(), "x", how, i + 1) == NFS3_OK; },
              [&](int i) {
                  linked +=
                      attacker.Symlink(attacker.Root(), "x", i % 2 ? m_victim : fresh) == NFS3_OK;
                  attacker.Remove(attacker.Root(), "x");
              }},
             [&] { return VictimHarmed() || Exists(fresh); });
        EXPECT_FALSE(Exists(fresh));
        ExpectVictimIntact();
        EXPECT_GT(created, 0);
        EXPECT_GT(linked, 0);
        ::unlink((m_export + "/x").c_str());
    }
}

// A held handle stays valid while its name is swapped between the file (a
// second link keeps it) and a link to outside: SETATTR acts on the file the
// handle names, never on what the name points at.
TEST_F(PathRace, SetattrOnAHeldHandleNeverFollowsALinkRenamedOverIt) {
    const std::string f = m_export + "/f", hard = m_export + "/f.hard", s = m_export + "/s";
    std::ofstream(f) << "file data";
    for (bool size : {false, true}) {
        SCOPED_TRACE(size ? "SETATTR size 0" : "SETATTR mode 0666");
        ASSERT_NO_FATAL_FAILURE(ResetOutside());
        // Wherever the last race left off: f and f.hard are the file.
        ::unlink(s.c_str());
        ::rename(hard.c_str(), f.c_str());
        ::link(f.c_str(), hard.c_str());
        struct stat st;
        ASSERT_EQ(::lstat(f.c_str(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 2);
        Nfs3RawClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(client));
        Fh fh;
        ASSERT_EQ(client.Lookup(client.Root(), "f", &fh), NFS3_OK);
        std::atomic<int> applied{0};
        Race({[&](int) {
                  applied += (size ? client.SetSize(fh, 0) : client.SetMode(fh, 0666)) == NFS3_OK;
              },
              [&](int) {
                  // f: the file, then the link to outside, then the file again.
                  ::symlink(m_victim.c_str(), s.c_str());
                  ::rename(s.c_str(), f.c_str());
                  ::rename(hard.c_str(), f.c_str());
                  ::link(f.c_str(), hard.c_str());
              }},
             [&] { return VictimHarmed(); });
        ExpectVictimIntact();
        EXPECT_GT(applied, 0);
    }
}

// A directory handle held while its name is exchanged with a link to an
// outside directory must never lead a LOOKUP below it outside: neither the
// attributes it answers nor a READ of the handle it gives.
TEST_F(PathRace, LookupInAHeldDirectoryNeverCrossesALinkSwappedIn) {
    const std::string marker = "MARKER-outside-secret";
    ASSERT_EQ(::mkdir((m_outside + "/dir").c_str(), 0755), 0);
    std::ofstream(m_outside + "/dir/secret") << marker;
    ASSERT_EQ(::mkdir((m_export + "/d").c_str(), 0755), 0);
    std::ofstream(m_export + "/d/secret") << "inside";
    ASSERT_EQ(::symlink((m_outside + "/dir").c_str(), (m_export + "/d.link").c_str()), 0);
    Nfs3RawClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    Fh dir;
    ASSERT_EQ(client.Lookup(client.Root(), "d", &dir), NFS3_OK);
    std::atomic<int> readInside{0}, outsideFound{0}, outsideRead{0};
    Race({[&](int) {
              Fh file;
              fattr3 attrs{};
              std::string data;
              if (client.Lookup(dir, "secret", &file, &attrs) != NFS3_OK)
                  return;
              outsideFound += attrs.size == marker.size();
              if (client.Read(file, 0, 4096, &data) == NFS3_OK)
                  ++(data == marker ? outsideRead : readInside);
          },
          [&](int) {
              ::renameat2(AT_FDCWD, (m_export + "/d").c_str(), AT_FDCWD,
                          (m_export + "/d.link").c_str(), RENAME_EXCHANGE);
          }},
         [&] { return outsideFound + outsideRead > 0; });
    EXPECT_EQ(outsideFound, 0);
    EXPECT_EQ(outsideRead, 0);
    EXPECT_GT(readInside, 0);
}

// Two clients create one fresh name at once, round after round: GUARDED and
// EXCLUSIVE (with different verifiers) let exactly one win, the other gets
// NFS3ERR_EXIST. EXCLUSIVE retried with the winner's verifier is the same
// file again.
TEST_F(PathRace, GuardedAndExclusiveCreatesHaveOneWinner) {
    constexpr int kCreateRounds = 300;
    for (createmode3 how : {GUARDED, EXCLUSIVE}) {
        SCOPED_TRACE("create mode " + std::to_string(how));
        Nfs3RawClient clients[2];
        ASSERT_NO_FATAL_FAILURE(Connect(clients[0]));
        ASSERT_NO_FATAL_FAILURE(Connect(clients[1]));
        pthread_barrier_t together;  // each round's two calls start at once
        pthread_barrier_init(&together, nullptr, 2);
        std::vector<int> statuses[2];
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < kCreateRounds; ++round) {
                    pthread_barrier_wait(&together);
                    statuses[t].push_back(clients[t].Create(
                        clients[t].Root(), std::to_string(how) + "-" + std::to_string(round), how,
                        t + 1));
                }
            });
        for (auto& thread : threads)
            thread.join();
        pthread_barrier_destroy(&together);
        for (int round = 0; round < kCreateRounds; ++round)
            ASSERT_EQ(std::multiset<int>({statuses[0][round], statuses[1][round]}),
                      std::multiset<int>({NFS3_OK, NFS3ERR_EXIST}))
                << "round " << round;
    }
    Nfs3RawClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    Fh first, again;
    ASSERT_EQ(client.Create(client.Root(), "retried", EXCLUSIVE, 77, &first), NFS3_OK);
    EXPECT_EQ(client.Create(client.Root(), "retried", EXCLUSIVE, 77, &again), NFS3_OK);
    EXPECT_EQ(again, first);
    EXPECT_EQ(client.Create(client.Root(), "retried", EXCLUSIVE, 78), NFS3ERR_EXIST);
}

// Each name is short, but the path below the export grows beyond what the
// system takes in one piece: every procedure still works there.
TEST_F(PathRace, PathsLongerThanTheSystemLimitWork) {
    constexpr int kLevels = 20;
    Nfs3RawClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    std::vector<Fh> dirs = {client.Root()};
    const auto name = [](int level) { return std::string(250, static_cast<char>('a' + level)); };
    for (int level = 0; level < kLevels; ++level) {
        Fh made;
        ASSERT_EQ(client.Mkdir(dirs.back(), name(level), &made), NFS3_OK) << "level " << level;
        dirs.push_back(made);
    }
    const Fh& deep = dirs.back();
    Fh file, linked;
    std::string data;
    fattr3 attrs{}, linkedAttrs{};
    ASSERT_EQ(client.Create(deep, "file", GUARDED, 0, &file), NFS3_OK);
    EXPECT_EQ(client.Write(file, 0, "deep data"), NFS3_OK);
    EXPECT_EQ(client.Read(file, 0, 100, &data), NFS3_OK);
    EXPECT_EQ(data, "deep data");
    EXPECT_EQ(client.SetMode(file, 0600), NFS3_OK);
    EXPECT_EQ(client.Getattr(file, &attrs), NFS3_OK);
    EXPECT_EQ(attrs.mode & 07777, 0600u);
    EXPECT_EQ(client.Rename(deep, "file", dirs[1], "moved"), NFS3_OK);
    EXPECT_EQ(client.Link(file, deep, "linked"), NFS3_OK);
    EXPECT_EQ(client.Lookup(deep, "linked", &linked, &linkedAttrs), NFS3_OK);
    EXPECT_EQ(linkedAttrs.fileid, attrs.fileid);
    EXPECT_EQ(client.Remove(deep, "linked"), NFS3_OK);
    EXPECT_EQ(client.Remove(dirs[1], "moved"), NFS3_OK);
    for (int level = kLevels - 1; level >= 0; --level)
        EXPECT_EQ(client.Rmdir(dirs[level], name(level)), NFS3_OK) << "level " << level;
}

// The export root is its own parent: READDIR's ".." there names the root,
// never the directory that holds it.
TEST_F(PathRace, ExportRootIsItsOwnParent) {
    Nfs3RawClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    fattr3 root{};
    ASSERT_EQ(client.Getattr(client.Root(), &root), NFS3_OK);
    std::vector<std::pair<std::string, uint64_t>> entries;
    ASSERT_EQ(client.Readdir(client.Root(), &entries), NFS3_OK);
    int dots = 0;
    for (const auto& [entryName, fileid] : entries)
        if (entryName == "." || entryName == "..") {
            ++dots;
            EXPECT_EQ(fileid, root.fileid) << "entry " << entryName;
        }
    EXPECT_EQ(dots, 2);
}

}  // namespace
