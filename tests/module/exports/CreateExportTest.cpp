#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "host/ShareIdToPathCache.h"
#include "module/exports/ExportRequests.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/Directory.h"
#include "platform/OXPlatformInfo.h"
#include "tests/module/ConfigCall.h"
#include "tests/module/exports/ExportedDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Threads.h"

namespace {

// A create request as a caller sends it; no client list when clients is
// unset.
struct Ask {
    std::string caller = "media01";
    std::optional<std::string> clients = std::string("*");
    SharePerms perms = SHARE_PERM_READ | SHARE_PERM_WRITE;
    unsigned timeout = 30;
};

class CreateExport : public ConfigRequestTest {
  protected:
    ConfigCall Send(const std::string& path, const Ask& ask) {
        std::string pathText = path, clientsText = ask.clients.value_or("");
        LumeExportPath request{
            0, ask.timeout, &pathText[0], ask.clients ? &clientsText[0] : nullptr, ask.perms, 7, 0};
        return ConfigCall(RPC_CREATE_EXPORT, &request, ask.caller);
    }
    // The export of sharePath has these clients, perms, interval and count.
    void ExpectSettings(const std::string& sharePath, const std::string& clients, SharePerms perms,
                        time_t interval, uint32_t references) {
        ExportPtr exp = Find(sharePath);
        ASSERT_TRUE(exp);
        std::string now;
        exp->GetAllowedClients(now);
        EXPECT_EQ(now, clients);
        EXPECT_EQ(exp->GetSharePerms(), perms);
        EXPECT_EQ(exp->GetExpiryInterval(), interval);
        EXPECT_EQ(exp->GetRefCount(), references);
    }
    // Lets a caller other than this machine export what lies under dir.
    void AllowUnder(const std::string& jobResults) {
        OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", jobResults);
    }

    // A refusal describes no share and leaves the table empty.
    void ExpectRefused(const ConfigCall& call, int status, const std::string& message) {
        EXPECT_EQ(call.Status(), status);
        EXPECT_EQ(TextOf(call.Export().message), message);
        EXPECT_EQ(call.Export().share.path, nullptr);
        EXPECT_EQ(gAllExports->Size(), 0u);
    }

    // Runs one management request on the export of dir (file "f") as
    // caller through the module's dispatcher; its status (0 for keep-alive).
    int Manage(unsigned int type, const std::string& caller) {
        ExportRequest exportRequest(dir);
        std::string file = "f";
        LumeLockRequest lock = {0, LUME_LOCK_WRITE, &exportRequest.path[0], 1, &file[0]};
        LumeSinkFSMDrillHoleReq hole = {0, &exportRequest.path[0], &file[0], 0, 4096};
        void* request = type == RPC_FILE_LOCK    ? static_cast<void*>(&lock)
                        : type == RPC_DRILL_HOLE ? static_cast<void*>(&hole)
                                                 : static_cast<void*>(&exportRequest.request);
        return ConfigCall(type, request, caller).Status();
    }
};

TEST_F(CreateExport, ANewExportIsDescribedAndRegistered) {
    LogCapture log(10);
    ConfigCall created = Create(dir + "/");
    ASSERT_NE(created.response, nullptr);
    EXPECT_EQ(created.length, 48u);
    EXPECT_EQ(created.type, static_cast<int>(RPC_CREATE_EXPORT_RESP));
    EXPECT_EQ(created.Status(), 0);
    EXPECT_EQ(created.Export().message, nullptr);
    EXPECT_EQ(TextOf(created.Export().share.path), dir);
    EXPECT_EQ(created.Export().share.refCount, 1u);
    EXPECT_EQ(created.Export().share.reserved64, 0u);

    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(dir));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), dir);
    EXPECT_EQ(sink->GetJobId(), sink->GetShareId());
    EXPECT_EQ(Find(dir)->GetExpiryInterval(), 30 * 60);
    EXPECT_EQ(Find(dir)->GetNfsVersions(), "3");

    EXPECT_TRUE(log.Has(  // the text's newline escaped: one entry, one line
        1,
        "Export Request [path: " + dir + "/ clients: * perms: 3 jobId: 7 " + "timeout: 30\\x0a]"));
    EXPECT_TRUE(log.Has(1, "Adding export [" + dir + "/ : " + dir + "] first time."));
    unsigned long threads = 0;
    EXPECT_TRUE(OXPlatformInfo().getNumber("Lume", "nMaxNFSRPCThread", &threads));
}

// Doubled slashes are collapsed, so these name one export; the second
// request is a use of the export like a keep-alive.
TEST_F(CreateExport, RepeatedRequestsShareOneExport) {
    EXPECT_EQ(TextOf(Create(disk.Path() + "//share", "media01", "hostA").Export().share.path), dir);
    Find(dir)->SetLastAccessTime(1);
    ConfigCall second = Create(dir + "//", "media01", "hostB");
    EXPECT_GT(Find(dir)->GetLastAccessTime(), 1);
    EXPECT_EQ(second.Status(), 0);
    EXPECT_EQ(second.Export().share.refCount, 2u);
    EXPECT_EQ(gAllExports->Size(), 1u);
    std::string clients;
    Find(dir)->GetAllowedClients(clients);
    EXPECT_EQ(clients, "hosta,hostb");
}

TEST_F(CreateExport, UniqueNamesMakeSeparateExportsOfOneDirectory) {
    unsigned long long draws = 0;
    PlatformSeam::SetRand64([&draws] { return 1000 + draws++; });
    const std::string first = TextOf(Create(dir, "media01", "*", 1).Export().share.path);
    const std::string second = TextOf(Create(dir, "media01", "*", 1).Export().share.path);
    unsigned long long r1, s1, r2, s2;
    ASSERT_EQ(sscanf(first.c_str(), (dir + "_%llu_%llu").c_str(), &r1, &s1), 2);
    ASSERT_EQ(sscanf(second.c_str(), (dir + "_%llu_%llu").c_str(), &r2, &s2), 2);
    EXPECT_EQ(r1, 1000u);
    EXPECT_EQ(r2, 1001u);
    EXPECT_GT(s2, s1);
    EXPECT_EQ(gAllExports->Size(), 2u);
    for (const std::string& share : {first, second}) {
        auto exp = boost::dynamic_pointer_cast<SinkFSMExport>(Find(share));
        ASSERT_TRUE(exp);
        EXPECT_EQ(exp->GetRealPath(), dir);
    }
}

// A missing directory, or an export user that cannot be taken on.
TEST_F(CreateExport, RefusedCreatesLeaveNothingInTheTable) {
    std::string missing = disk / "missing";
    ExpectRefused(Create(missing), 10, "Export path does not exist.");
    // The share id stays with the host's share-id cache.
    EXPECT_NE(ShareIdToPathCache::GetShareIdForPath(missing, false, false), 0u);

    LogCapture log(1);
    ExportUserOverride nobody{OxUserToken()};
    ExpectRefused(Create(dir), 50, "File Handle creation failed.");
    EXPECT_TRUE(log.Has(-1, "Impersonation failed."));
}

// Unexport, keep-alive, locks and holes are for this machine, for a client
// that asked for the export, and for one allowed to export its path; others
// (the unproved empty name among them) are refused and change nothing.
TEST_F(CreateExport, OnlyThisMachineCreatorsAndAllowedClientsManageAnExport) {
    disk.WriteFile("share/f", std::string(8192, 'x'));
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk.Path());
    // Allowed then, through the job results directory.
    ASSERT_EQ(Create(dir, "creator").Status(), 0);
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk / "elsewhere");
    ExportPtr exp = Find(dir);
    for (const char* name : {"stranger", "", "creator", "media01"}) {
        const std::string caller = name;
        SCOPED_TRACE("caller [" + caller + "]");
        const bool may = caller == "creator" || caller == "media01";
        exp->SetLastAccessTime(1);
        EXPECT_EQ(Manage(RPC_KEEP_ALIVE, caller), 0);
        EXPECT_EQ(exp->GetLastAccessTime() != 1, may);
        EXPECT_EQ(Manage(RPC_FILE_LOCK, caller), may ? 20 : 11);
        EXPECT_EQ(Manage(RPC_DRILL_HOLE, caller), may ? 0 : 11);
        EXPECT_EQ(Manage(RPC_UNEXPORT, caller), may ? 0 : 11);
        EXPECT_EQ(Find(dir) != nullptr, !may) << "removed only by one who may";
        if (may) {
            Create(dir);
            exp = Find(dir);
            ASSERT_TRUE(exp);
        }
    }
}

// Another client must be allowed to export the path. What is authorised is
// what is served: a path is resolved once, judged as resolved and exported
// as resolved, so "allowed/link/.." cannot reach the directory above the
// link's target.
TEST_F(CreateExport, AnotherClientMustBeAllowedThePathAsItResolves) {
    const std::string jobs = disk / "jobs", outside = disk / "outside";
    for (const std::string& made : {jobs, jobs + "/real", outside, outside + "/sub"})
        ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
    ASSERT_EQ(symlink((outside + "/sub").c_str(), (jobs + "/link").c_str()), 0);
    ASSERT_EQ(symlink("real", (jobs + "/alias").c_str()), 0);
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", jobs);

    LogCapture log(1);
    ExpectRefused(Create(jobs + "/link/..", "stranger"), 11, "This path is not in allowed paths.");
    EXPECT_TRUE(log.Has(1, "Export path [" + outside + "] is not in allowed paths."));
    ASSERT_EQ(Create(jobs + "/alias", "stranger").Status(), 0);
    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(jobs + "/alias"));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), jobs + "/real");
}

TEST_F(CreateExport, GaneshaFailures) {
    LumeServiceGlobals::isGanesha = true;
    GaneshaSeam::Set({[](ExportPtr&) { return 1; }, [](ExportPtr&) { return 1; }, nullptr});
    ExpectRefused(Create(dir), 17, "Creation of NFS export failed.");
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);

    // A change Ganesha refuses is taken back whole, and counts no
    // reference; one that changes nothing Ganesha has is not sent.
    int updates = 0;
    GaneshaSeam::Set(
        {[](ExportPtr&) { return 0; }, [&updates](ExportPtr&) { return ++updates; }, nullptr});
    ASSERT_EQ(Create(dir, "media01", "192.0.2.1").Status(), 0);
    EXPECT_EQ(Send(dir, {"media01", "192.0.2.1,192.0.2.2", SHARE_PERM_READ, 5}).Status(), 17);
    EXPECT_EQ(updates, 1);
    ExpectSettings(dir, "192.0.2.1", SHARE_PERM_READ | SHARE_PERM_WRITE, 30 * 60, 1);
    EXPECT_EQ(Create(dir, "media01", "192.0.2.1").Status(), 0);
    EXPECT_EQ(updates, 1);
    ExpectSettings(dir, "192.0.2.1", SHARE_PERM_READ | SHARE_PERM_WRITE, 30 * 60, 2);
}

TEST_F(CreateExport, RestoringSavedSharesIsDeclined) {
    LogCapture log(2);
    ExportPtr none;
    ExportPtr saved(new SinkFSMExport(dir, dir, SHARE_PERM_READ, "*", 99, none));
    ExportPtr output = saved;
    EXPECT_TRUE(SinkFSM::GetFSM()->CreateExport(saved, output));
    EXPECT_EQ(output, saved);
    EXPECT_TRUE(log.Has(
        2, "Loading shares across restart is not supported. Hence ignoring share [" + dir + "]."));
}

// Root keeps its identity on an export (perms bit 4) only when this machine
// or a proved peer asks; an unproved caller asking for it is refused before
// anything is made, even a share id, even a dumps directory.
TEST_F(CreateExport, RootIsKeptOnlyForProvedCallers) {
    AllowUnder(disk.Path());
    const std::string dumps = disk / "jobs/OX_APP_DUMPS/x";
    const struct {
        const char* caller;
        std::string path;
        SharePerms perms;
        int status;
    } cases[] = {
        {"", dir, 7, 11},       {"", dumps, 4, 11},      {"", dumps, -1, 11},       {"", dir, 3, 0},
        {"media01", dir, 7, 0}, {"tls-peer", dir, 7, 0}, {"tls-peer", dumps, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("caller [") + c.caller + "] " + c.path + " perms " +
                     std::to_string(c.perms));
        LogCapture log(1);
        ConfigCall call = Send(c.path, {c.caller, "*", c.perms});
        EXPECT_EQ(call.Status(), c.status);
        if (ExportPtr made = Find(c.path)) {
            EXPECT_EQ(made->GetSharePerms(), c.perms);
            RemoveExport(made);
            continue;
        }
        EXPECT_EQ(TextOf(call.Export().message), "This path is not in allowed paths.");
        EXPECT_EQ(call.Export().share.path, nullptr);
        EXPECT_TRUE(log.Has(
            1, "An unproved caller may not keep root (perms " + std::to_string(c.perms) + ")."));
        EXPECT_EQ(gAllExports->Size(), 0u);
        EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(c.path, false, false), 0u);
        EXPECT_FALSE(FXFolder::DoesFolderExist(disk / "jobs")) << "no dumps directory made";
    }
}

// Client lists are checked whole, never trimmed: a list with an entry that
// is not a client, or with none, fails the request naming it, whether the
// export is new or exists, and changes nothing.
TEST_F(CreateExport, ABadOrEmptyClientListFailsTheRequestNamingTheEntry) {
    const std::string notAClient = "] is not an address, CIDR range, host name or *.suffix.";
    const struct {
        const char* clients;
        std::string message;
    } cases[] = {
        {"evil}", "Bad client list: [evil}" + notAClient},
        {"127.0.0.1/33", "Bad client list: [127.0.0.1/33" + notAClient},
        {"", "Bad client list: no client is named."},
        {"300.1.1.1", "Bad client list: [300.1.1.1" + notAClient},
        {"10.0.0.1,bad!name", "Bad client list: [bad!name" + notAClient},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clients);
        ExpectRefused(Create(dir, "media01", c.clients), 3, c.message);
        EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);
    }
    ASSERT_EQ(Create(dir, "media01", "10.0.0.1").Status(), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clients);
        ConfigCall call = Create(dir, "media01", c.clients);
        EXPECT_EQ(call.Status(), 3);
        EXPECT_EQ(TextOf(call.Export().message), c.message);
        ExpectSettings(dir, "10.0.0.1", SHARE_PERM_READ | SHARE_PERM_WRITE, 30 * 60, 1);
    }
}

// A request that names no clients gives a new export every client, and an
// existing one none (see the next test).
TEST_F(CreateExport, AnOmittedClientListAddsNoClientToAnExport) {
    ASSERT_EQ(Send(dir, {"media01", std::nullopt}).Status(), 0);
    ExpectSettings(dir, "*", SHARE_PERM_READ | SHARE_PERM_WRITE, 30 * 60, 1);
}

// Only who may change an export (this machine, its creator) adds clients
// to it or changes its perms or timeout, and then all at once. Another
// caller who may export the path may add a reference asking for the
// export as it is, and is refused, naming what differs, when it asks for
// more; the export stays as it was. A request naming no clients adds
// none, whoever asks.
TEST_F(CreateExport, AReExportChangesAnExportOnlyForWhoMayChangeIt) {
    AllowUnder(disk.Path());
    Ask made;
    made.caller = "creator";
    made.clients = "10.0.0.0/8";
    ASSERT_EQ(Send(dir, made).Status(), 0);
    const SharePerms rw = SHARE_PERM_READ | SHARE_PERM_WRITE;
    const std::string tail = "; only this machine or its creator may change them.";
    const struct {
        Ask ask;
        std::string refusal;  // "" when allowed
    } asIs[] = {
        {{"stranger", std::nullopt, rw, 30}, ""},
        {{"tls-peer", std::nullopt, rw, 30}, ""},
        {{"", std::nullopt, rw, 30}, ""},
        {{"stranger", "10.0.0.0/8", rw, 30}, ""},
        {{"", "10.1.2.3/8", rw, 30}, ""},
        {{"stranger", "*", rw, 30}, "clients"},
        {{"stranger", std::nullopt, SHARE_PERM_READ, 30}, "perms"},
        {{"stranger", std::nullopt, rw, 0}, "timeout"},
        {{"", "10.0.0.0/8,192.0.2.1", SHARE_PERM_READ, 30}, "clients and perms"},
        {{"stranger", "*", SHARE_PERM_READ, 10}, "clients, perms and timeout"},
    };
    uint32_t references = 1;
    for (const auto& c : asIs) {
        SCOPED_TRACE("caller [" + c.ask.caller + "] refused for " + c.refusal);
        ConfigCall call = Send(dir, c.ask);
        if (c.refusal.empty()) {
            EXPECT_EQ(call.Status(), 0);
            ++references;
        } else {
            EXPECT_EQ(call.Status(), 11);
            EXPECT_EQ(TextOf(call.Export().message),
                      "Share [" + dir + "] is exported with other " + c.refusal + tail);
            EXPECT_EQ(call.Export().share.path, nullptr);
        }
        ExpectSettings(dir, "10.0.0.0/8", rw, 30 * 60, references);
    }
    OXIPAddr elsewhere;
    ASSERT_TRUE(OXIPAddr::Parse("192.0.2.1", elsewhere));
    EXPECT_FALSE(Find(dir)->Authorize(elsewhere, ""));

    const struct {
        Ask ask;
        std::string clientsAfter;
    } changes[] = {
        {{"creator", std::nullopt, rw, 30}, "10.0.0.0/8"},
        {{"media01", std::nullopt, rw, 30}, "10.0.0.0/8"},
        {{"creator", "192.0.2.1 10.0.0.0/8", SHARE_PERM_READ, 5}, "10.0.0.0/8,192.0.2.1"},
        {{"media01", "*", 7, 0}, "10.0.0.0/8,192.0.2.1,*"},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.ask.caller);
        EXPECT_EQ(Send(dir, c.ask).Status(), 0);
        ExpectSettings(dir, c.clientsAfter, c.ask.perms, c.ask.timeout * 60, ++references);
    }
}

// An unproved caller's dumps directory is made as nobody; this machine's
// and a proved peer's as the export user, as before.
TEST_F(CreateExport, ADumpsDirectoryIsMadeAsTheCaller) {
    if (geteuid() != 0)
        GTEST_SKIP() << "taking on another user's identity needs root";
    ASSERT_EQ(chmod(disk.Path().c_str(), 0755), 0);
    const std::string jobs = disk / "jobs";
    ASSERT_EQ(mkdir(jobs.c_str(), 0777), 0);
    ASSERT_EQ(chmod(jobs.c_str(), 01777), 0);
    AllowUnder(jobs);
    const struct {
        const char* caller;
        uid_t owner;
    } cases[] = {{"", 65534}, {"media01", geteuid()}, {"tls-peer", geteuid()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caller);
        const std::string made = jobs + "/" + (*c.caller ? c.caller : "nobody") + "/OX_APP_DUMPS";
        ASSERT_EQ(Send(made, {c.caller}).Status(), 0);
        for (const std::string& path : {made, made.substr(0, made.rfind('/'))}) {
            struct stat st;
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, c.owner) << path;
        }
    }
}

// A user of this machine with no rights of its own (uid 1000) that swaps
// its directory dir/name and its link beside it to target, without pause,
// until killed (or bounded); forked, so the swaps are a real user's. Its
// pid, or -1.
pid_t StartLinkSwapper(const std::string& dir, const std::string& name, const std::string& target) {
    constexpr uid_t kUser = 1000;
    const std::string real = dir + "/" + name, link = real + ".link";
    if (mkdir(real.c_str(), 0777) != 0 || chmod(real.c_str(), 0777) != 0 ||
        chown(real.c_str(), kUser, kUser) != 0 || symlink(target.c_str(), link.c_str()) != 0 ||
        lchown(link.c_str(), kUser, kUser) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(kUser, kUser, kUser) != 0 ||
        setresuid(kUser, kUser, kUser) != 0)
        _exit(2);
    for (long i = 0; i < 50000000; ++i)
        syscall(SYS_renameat2, AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    _exit(0);
}

// An unproved caller may have dumps directories made below the job results
// directory (mode 1777). A user there swaps "x" between its own directory
// and a link to a directory only root may enter, while creates of
// x/OX_APP_DUMPS/pwn run on two threads: whatever the link is doing when
// the path is judged or walked, nothing is ever made in root's directory.
TEST_F(CreateExport, ARacingLinkNeverCarriesADumpsDirectoryOutOfTheJobsDirectory) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the attacker is another user";
    constexpr int kThreads = 2, kTriesEach = 1000;
    ASSERT_EQ(chmod(disk.Path().c_str(), 0755), 0);
    const std::string jobs = disk / "jobs", secret = disk / "secret";
    ASSERT_EQ(mkdir(jobs.c_str(), 0777), 0);
    ASSERT_EQ(chmod(jobs.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    AllowUnder(jobs);
    const pid_t swapper = StartLinkSwapper(jobs, "x", secret);
    ASSERT_GT(swapper, 0);

    std::atomic<int> made{0};
    std::atomic<bool> escaped{false};
    RunThreads(kThreads, [&](int thread) {
        const std::string dumps = jobs + "/x/OX_APP_DUMPS/pwn" + std::to_string(thread);
        for (int i = 0; i < kTriesEach && !escaped; ++i) {
            if (Send(dumps, {""}).Status() == 0) {
                ++made;
                ExportPtr exp = Find(dumps);
                if (exp)
                    RemoveExport(exp);
            }
            escaped = escaped || !std::filesystem::is_empty(secret);
        }
    });
    ASSERT_EQ(kill(swapper, SIGKILL), 0);
    int status = 0;
    EXPECT_EQ(waitpid(swapper, &status, 0), swapper);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the user swapped until stopped: " << status;
    EXPECT_TRUE(std::filesystem::is_empty(secret)) << "made in root's directory";
    EXPECT_GT(made, 0) << "the directory was there often enough to be made";
}

}  // namespace
