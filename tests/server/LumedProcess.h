// Runs the built lumed binary for an integration test: on a free loopback
// port, with the given exports and state directory, and --no-rpcbind so a
// test never touches the machine's port mapper.
//
// Start waits (bounded) for lumed's ready line on its stdout,
//   lumed: serving on 127.0.0.1 port N
// and Stop sends SIGTERM (or the signal given) to that one process and
// waits (bounded) for it; only if it outlives the wait is it killed. The destructor stops it.
// Not thread-safe: one test thread drives it.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Under AddressSanitizer what is freed waits in quarantine, and every call
// is several times slower: memory bounds are judged only without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class LumedProcess {
  public:
    struct Config {
        std::vector<std::string> exports;
        std::string stateDir;
        std::vector<std::string> extraArgs;  // e.g. {"--clients", "10.0.0.1"}
    };

    LumedProcess() = default;
    ~LumedProcess();
    LumedProcess(const LumedProcess&) = delete;
    LumedProcess& operator=(const LumedProcess&) = delete;

    // True once lumed is serving; else false, and Output() tells why.
    bool Start(const Config& config);
    // The next Starts run lumed with this RLIMIT_NOFILE, soft and hard
    // (unset: the test's own).
    void SetDescriptorLimit(std::optional<unsigned long> limit) { m_descriptorLimit = limit; }
    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }  // -1 when not running
    // Its anonymous resident memory (RssAnon, not the store's mapped
    // pages), in KiB; 0 when not running.
    size_t AnonymousKiB() const;
    // The size of its state store's data file, in bytes (LMDB's pages in
    // use or free for reuse).
    size_t StoreBytes() const;
    // The signal, then waits. The wait status (see waitpid), or -1 when
    // nothing was running.
    int Stop(int signal = SIGTERM);
    // Everything lumed printed on stdout since Start (read up to Stop).
    const std::string& Output() const { return m_output; }

  private:
    // Reads stdout until the ready line or end of output; bounded.
    bool AwaitReady();

    pid_t m_pid = -1;
    int m_stdout = -1;
    uint16_t m_port = 0;
    std::string m_output;
    std::optional<unsigned long> m_descriptorLimit;
    std::string m_stateDir;
};

// A program run as a user would (arguments passed without a shell; a name
// without '/' looked up in PATH), as that uid and gid (no other groups) when
// asUser is given: its exit code (-1 when it did not exit normally, 127
// when it could not run) and what it printed on each stream.
struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProgramRun RunProgram(std::vector<std::string> args,
                      std::optional<std::pair<uid_t, gid_t>> asUser = std::nullopt);
