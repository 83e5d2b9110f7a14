#include "bench/e2e/StoreSize.h"

#include <lmdb.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace lumebench {

namespace {

void Check(int rc, const std::string& what) {
    if (rc != 0)
        throw std::runtime_error(what + ": " + mdb_strerror(rc));
}

}  // namespace

Results StoreSize(const BenchConfig& config) {
    MDB_env* raw = nullptr;
    Check(mdb_env_create(&raw), "mdb_env_create");
    std::unique_ptr<MDB_env, decltype(&mdb_env_close)> env(raw, mdb_env_close);
    Check(mdb_env_open(env.get(), config.localDir.c_str(), MDB_RDONLY | MDB_NOLOCK, 0),
          "open " + config.localDir);
    MDB_stat stat{};
    MDB_envinfo info{};
    Check(mdb_env_stat(env.get(), &stat), "mdb_env_stat");
    Check(mdb_env_info(env.get(), &info), "mdb_env_info");
    PhaseResult r;
    r.name = "store";
    r.ops = info.me_last_pgno + 1;
    r.value = static_cast<double>(r.ops) * stat.ms_psize / kMiB;
    r.unit = "MiB";
    return {r};
}

}  // namespace lumebench
