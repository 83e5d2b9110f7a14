#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/Ganesha.h"
#include "host/GaneshaBus.h"
#include "host/GaneshaExportBlock.h"
#include "platform/StateDir.h"
#include "tests/host/TestExport.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

// Stands in for Ganesha's export manager on the bus, on a thread of its own;
// its bus and export list are touched only by that thread once it runs.
class FakeGanesha {
  public:
    // mute: owns the name and never reads a call.
    explicit FakeGanesha(bool mute, std::map<uint16_t, std::string> exports = {})
        : m_exports(std::move(exports)) {
        Start(mute);
    }
    ~FakeGanesha() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        sd_bus_close_unref(m_bus);
    }
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

  private:
    // A failure to come up on the bus fails the test.
    void Start(bool mute) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("AddExport", "ss", "s", OnConfig, 0),
            SD_BUS_METHOD("UpdateExport", "ss", "s", OnConfig, 0),
            SD_BUS_METHOD("RemoveExport", "q", "", OnRemove, 0),
            SD_BUS_METHOD("ShowExports", "", "(tt)a(qsbbbbbbbb(tt))", OnShow, 0),
            SD_BUS_VTABLE_END};
        ASSERT_GE(sd_bus_open_system(&m_bus), 0);
        ASSERT_GE(sd_bus_add_object_vtable(m_bus, nullptr, "/org/ganesha/nfsd/ExportMgr",
                                           "org.ganesha.nfsd.exportmgr", vtable, this),
                  0);
        ASSERT_GE(sd_bus_request_name(m_bus, "org.ganesha.nfsd", 0), 0);
        if (!mute)
            m_thread = std::thread([this] { Serve(); });
    }
    void Serve() {
        // At most a minute idle: each idle turn waits 20 ms.
        for (int i = 0; i < 3000 && !m_stop; ++i) {
            const int r = sd_bus_process(m_bus, nullptr);
            if (r < 0)
                return;
            if (r == 0)
                sd_bus_wait(m_bus, 20000);
        }
    }
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }

    static int OnConfig(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* path = nullptr;
        const char* expression = nullptr;
        int r = sd_bus_message_read(m, "ss", &path, &expression);
        if (r < 0)
            return r;
        const std::string name = sd_bus_message_get_member(m);
        static_cast<FakeGanesha*>(self)->Record(name + " " + path + " " + expression);
        return sd_bus_reply_method_return(
            m, "s", name == "AddExport" ? "1 exports added" : "1 exports updated");
    }
    static int OnRemove(sd_bus_message* m, void* self, sd_bus_error* error) {
        FakeGanesha* fake = static_cast<FakeGanesha*>(self);
        uint16_t id = 0;
        int r = sd_bus_message_read(m, "q", &id);
        if (r < 0)
            return r;
        fake->Record("RemoveExport " + std::to_string(id));
        if (fake->m_exports.erase(id) == 0)
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS,
                                    "lookup_export failed with Export id not found");
        return sd_bus_reply_method_return(m, "");
    }
    // (tt) timestamp, then per export: id, path, eight protocol flags, (tt).
    static int OnShow(sd_bus_message* m, void* self, sd_bus_error*) {
        FakeGanesha* fake = static_cast<FakeGanesha*>(self);
        fake->Record("ShowExports");
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        r = r < 0 ? r : sd_bus_message_append(reply, "(tt)", uint64_t{1}, uint64_t{2});
        r = r < 0 ? r : sd_bus_message_open_container(reply, 'a', "(qsbbbbbbbb(tt))");
        for (const auto& [id, path] : fake->m_exports)
            r = r < 0 ? r
                      : sd_bus_message_append(reply, "(qsbbbbbbbb(tt))", id, path.c_str(), 1, 1, 0,
                                              0, 1, 1, 0, 0, uint64_t{3}, uint64_t{4});
        r = r < 0 ? r : sd_bus_message_close_container(reply);
        r = r < 0 ? r : sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }

    std::map<uint16_t, std::string> m_exports;
    sd_bus* m_bus = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

// Each test has a private bus: dbus-daemon started by PID, killed by PID. It
// prints its address once it listens.
class GaneshaBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string listen = "--address=" + m_address;
        const char* argv[] = {"dbus-daemon",     "--session",    "--nofork",
                              "--print-address", listen.c_str(), nullptr};
        pid_t pid = -1;
        const int spawnError =
            posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_pid = spawnError == 0 ? pid : -1;
        pollfd printed = {out[0], POLLIN, 0};
        const bool listens =
            m_pid > 0 && poll(&printed, 1, 10000) == 1 && (printed.revents & POLLIN);
        close(out[0]);
        if (spawnError == ENOENT)
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon); "
                            "the D-Bus client cannot be tested";
        ASSERT_TRUE(listens) << "the private dbus-daemon did not start";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

    TempDir m_dir;
    const std::string m_address = "unix:path=" + (m_dir / "bus");
    pid_t m_pid = -1;
};

// ShowExports lists every id with its path, in place of what the list held.
TEST_F(GaneshaBusTest, EachCallReachesGaneshaWithItsArgumentsAndBringsBackItsAnswer) {
    FakeGanesha fake(false, {{0, "/"}, {7, "/srv/seven"}, {65535, "/srv/b"}});
    const std::string conf = m_dir.WriteFile("export-12.conf", "EXPORT { Export_Id = 12; }\n");
    const std::string expr = GaneshaExportExpression(12);
    GaneshaBus bus;
    std::vector<GaneshaExportEntry> exports(1);
    // Braced initialisers run in order: the calls are made top to bottom.
    const struct {
        GaneshaBusResult result;
        bool ok;
        const char* text;  // contained in the result's text
    } rows[] = {
        {bus.AddExport(conf, expr), true, "1 exports added"},
        {bus.UpdateExport(conf, expr), true, "1 exports updated"},
        {bus.RemoveExport(7), true, ""},
        {bus.RemoveExport(7), false, "lookup_export failed with Export id not found"},
        {bus.ShowExports(exports), true, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.result.ok, row.ok) << row.result.text;
        EXPECT_NE(row.result.text.find(row.text), std::string::npos) << row.result.text;
    }
    EXPECT_EQ(fake.Calls(),
              (std::vector<std::string>{"AddExport " + conf + " EXPORT(Export_Id=12)",
                                        "UpdateExport " + conf + " " + expr, "RemoveExport 7",
                                        "RemoveExport 7", "ShowExports"}));
    ASSERT_EQ(exports.size(), 2u);
    EXPECT_EQ(std::to_string(exports[0].id) + " " + exports[0].path + ", " +
                  std::to_string(exports[1].id) + " " + exports[1].path,
              "0 /, 65535 /srv/b");
}

TEST_F(GaneshaBusTest, AnAbsentOrSilentGaneshaFailsWithinTheTimeout) {
    // A bus that accepts the connection and never says a word.
    const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, (m_dir / "silent").c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    const GaneshaBus bus(std::chrono::milliseconds(300));
    const struct {
        const char* what;
        bool mute;  // a service owns the name but never answers
        std::string address;
        std::string text;
    } rows[] = {
        {"nothing owns the name", false, m_address,
         "NFS-Ganesha is not running: nothing owns org.ganesha.nfsd"},
        {"no bus at the address", false, "unix:path=" + (m_dir / "none"),
         "NFS-Ganesha is not running: the system bus cannot be reached"},
        {"owner never answers", true, m_address, "no reply from NFS-Ganesha within 0.3 s"},
        {"bus never answers", false, "unix:path=" + (m_dir / "silent"),
         "no reply from NFS-Ganesha within 0.3 s"},
    };
    for (const auto& row : rows) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", row.address.c_str(), 1);
        const auto fake = row.mute ? std::make_unique<FakeGanesha>(true) : nullptr;
        std::vector<GaneshaExportEntry> exports;
        for (const GaneshaBusResult& result :
             {bus.AddExport(m_dir / "x.conf", "EXPORT(Export_Id=3)"), bus.RemoveExport(3),
              bus.ShowExports(exports)}) {
            EXPECT_FALSE(result.ok) << row.what;
            EXPECT_EQ(result.text.rfind(row.text, 0), 0u) << row.what << ": " << result.text;
        }
    }
    close(silent);
}

}  // namespace

// A start takes back only the exports its own block files describe, as
// Ganesha still serves them; a site's export of the same id is left alone.
TEST_F(GaneshaBusTest, AStartAdoptsItsOwnExportsAndDropsThoseNotMadeAgain) {
    SetPlatformStateDir(m_dir.Path());
    // Ganesha serves 3, 8 and 9: all adopted, 3 made again, 9 made again
    // with clients Ganesha cannot be given (so withdrawn); Ganesha's id 4 is
    // the site's own; Ganesha no longer has 5.
    for (uint32_t id : {3u, 8u, 9u, 4u, 5u}) {
        const std::string path = "/srv/" + std::to_string(id);
        std::string file, reason;
        ASSERT_TRUE(WriteGaneshaExportFile({id, path, path, SHARE_PERM_READ, "*"}, file, reason))
            << reason;
    }
    FakeGanesha fake(false,
                     {{0, "/"}, {3, "/srv/3"}, {4, "/site/4"}, {8, "/srv/8"}, {9, "/srv/9"}});

    std::string error;
    ASSERT_TRUE(AdoptGaneshaExports(error)) << error;
    ExportPtr three(new TestExport("/srv/3", 3, "*"));
    EXPECT_EQ(CreateGaneshaExport(three), 0);
    ExportPtr nine(new TestExport("/srv/9", 9, "2001:db8::/120"));
    EXPECT_EQ(CreateGaneshaExport(nine), -1);
    DropUnadoptedGaneshaExports();

    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{
                                "ShowExports",
                                "UpdateExport " + GaneshaExportFilePath(3) + " EXPORT(Export_Id=3)",
                                "RemoveExport 9", "RemoveExport 8"}));
    for (uint32_t id : {3u, 4u, 5u, 8u, 9u})
        EXPECT_EQ(access(GaneshaExportFilePath(id).c_str(), F_OK) == 0, id == 3) << id;
}
