#include "tests/server/config/LumectlRun.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/TempDir.h"

LumectlRun RunLumectl(const std::vector<std::string>& args,
                      std::optional<std::pair<uid_t, gid_t>> asUser) {
    TempDir outputs;
    const std::string out = outputs / "out", err = outputs / "err";
    std::vector<std::string> all = {LUMECTL_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(asUser->second) != 0 ||
                       ::setuid(asUser->first) != 0))
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    LumectlRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}
