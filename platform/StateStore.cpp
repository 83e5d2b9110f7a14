// StateStore over LMDB: one environment per state directory, each thread's
// batch, and the thread that flushes each store.
#include "platform/StateStore.h"

#include <lmdb.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/LogWriter.h"
#include "platform/StateDir.h"
#include "platform/ThreadSafety.h"

namespace {

// Address space reserved for the map; the file grows only as it is used.
constexpr size_t kMapBytes = size_t(64) << 30;
constexpr unsigned kMostTables = 16;
constexpr auto kFlushEvery = std::chrono::seconds(1);
// The free room a store that ran out of it waits for before it is tried
// again: enough for many commits.
constexpr uint64_t kRoomBytes = uint64_t(1) << 20;

MDB_val Val(const std::string& bytes) {
    return MDB_val{bytes.size(), const_cast<char*>(bytes.data())};
}

std::string Bytes(const MDB_val& val) {
    return std::string(static_cast<const char*>(val.mv_data), val.mv_size);
}

// Whether the file system of directory has less than kRoomBytes free (as
// the process, which the store is written as, may use them).
bool LittleRoom(const std::string& directory) {
    struct statvfs fs;
    return ::statvfs(directory.c_str(), &fs) == 0 &&
           static_cast<uint64_t>(fs.f_bfree) * fs.f_frsize < kRoomBytes;
}

// What keeps a store (in directory) from committing, told once: a line
// when a failure of another kind begins, none while it lasts, a line when
// a commit succeeds again. However many calls a client makes fail, the log
// grows by a line per change, not per call. Lock-free; one per
// environment (its user context), and one for opening stores.
class Trouble {
  public:
    // Notes that what failed with rc (LMDB's or an errno); errno becomes
    // ENOSPC when the store is out of room (its disk, a quota or its map;
    // or an I/O error where the disk has no room, as LMDB reports a write
    // cut short), else EIO.
    void Failed(const std::string& directory, int rc, const char* what) {
        const bool full = rc == ENOSPC || rc == EDQUOT || rc == MDB_MAP_FULL ||
                          (rc == EIO && LittleRoom(directory));
        const int condition = full ? kFull : rc;
        if (m_condition.exchange(condition) != condition) {
            if (full)
                OXLOG(-1, 0,
                      "State store full: [%s] %s failed: %s. Calls that need a new file id or "
                      "handle are refused until it has room.",
                      directory.c_str(), what, mdb_strerror(rc));
            else
                OXLOG(-1, 0, "State store: [%s] %s failed: %s", directory.c_str(), what,
                      mdb_strerror(rc));
        }
        errno = full ? ENOSPC : EIO;
    }
    bool Troubled() const { return m_condition.load(std::memory_order_relaxed) != 0; }
    // A commit (or an open) succeeded. A store out of room stays so while
    // its disk has little: a commit that found room in pages the store
    // freed must not make the log, and the calls refused, come and go.
    void Committed(const std::string& directory) {
        if (m_condition.load() == kFull && LittleRoom(directory))
            return;
        if (m_condition.exchange(0) != 0)
            OXLOG(-1, 0, "State store [%s] commits again.", directory.c_str());
    }
    // Out of room since its last failure, and its disk still without room.
    bool Full(const std::string& directory) const {
        return m_condition.load() == kFull && LittleRoom(directory);
    }

  private:
    static constexpr int kFull = ENOSPC;  // any want of room
    std::atomic<int> m_condition{0};      // 0, kFull, or the code of another failure
};

Trouble& TroubleOf(MDB_env* env) {
    return *static_cast<Trouble*>(mdb_env_get_userctx(env));
}

std::string DirectoryOf(MDB_env* env) {
    const char* path = nullptr;
    return mdb_env_get_path(env, &path) == 0 && path ? path : "";
}

// Opening stores has no environment to note its trouble in.
Trouble& OpenTrouble() {
    static auto* trouble = new Trouble;  // never freed, as the stores
    return *trouble;
}

// Failures after an environment is open, on it.
bool Failed(MDB_env* env, int rc, const char* what) {
    if (rc == 0)
        return false;
    TroubleOf(env).Failed(DirectoryOf(env), rc, what);
    return true;
}

void Committed(MDB_env* env) {
    Trouble& trouble = TroubleOf(env);
    if (trouble.Troubled())
        trouble.Committed(DirectoryOf(env));
}

struct Stores {
    Mutex mutex;
    // by directory, never closed
    std::map<std::string, std::shared_ptr<StateStore>> open GUARDED_BY(mutex);
    std::shared_ptr<StateStore> current GUARDED_BY(mutex);
};

// Never freed: the store outlives every static destructor that might use it.
Stores& AllStores() {
    static auto* stores = new Stores;
    return *stores;
}

// This thread's batch: how deeply nested, and the transaction its writes
// joined (begun at the first, on the environment env).
struct ThreadBatch {
    int depth = 0;
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    std::vector<std::function<void()>> afterCommit;
};

thread_local ThreadBatch tBatch;

bool CommitThreadBatch() {
    if (!tBatch.txn)
        return true;
    MDB_txn* txn = tBatch.txn;
    std::vector<std::function<void()>> after;
    after.swap(tBatch.afterCommit);
    MDB_env* env = tBatch.env;
    tBatch.txn = nullptr;
    tBatch.env = nullptr;
    if (Failed(env, mdb_txn_commit(txn), "commit"))  // frees the transaction either way
        return false;
    Committed(env);
    for (const std::function<void()>& act : after)
        act();
    return true;
}

// The batch's transaction on env when this thread is in a batch, begun
// here at its first write; null outside one (or, logged, when it cannot
// begin: failed is set then).
MDB_txn* BatchWrites(MDB_env* env, bool& failed) {
    failed = false;
    if (tBatch.depth == 0)
        return nullptr;
    if (tBatch.txn && tBatch.env != env)
        CommitThreadBatch();  // one writer lock at a time
    if (!tBatch.txn) {
        failed = Failed(env, mdb_txn_begin(env, nullptr, 0, &tBatch.txn), "begin");
        if (failed)
            tBatch.txn = nullptr;
        else
            tBatch.env = env;
    }
    return tBatch.txn;
}

}  // namespace

StateStore::Batch::Batch() {
    ++tBatch.depth;
}

StateStore::Batch::~Batch() {
    if (--tBatch.depth == 0)
        CommitThreadBatch();
}

bool StateStore::Batch::Commit() {
    return CommitThreadBatch();
}

void StateStore::AfterCommit(std::function<void()> act) {
    if (tBatch.txn)
        tBatch.afterCommit.push_back(std::move(act));
    else
        act();
}

struct StateStore::Environment {
    MDB_env* env = nullptr;
    Trouble trouble;  // env's user context
    // Never held while LMDB's writer lock is sought (see Table).
    Mutex mutex;
    std::map<std::string, MDB_dbi> tables GUARDED_BY(mutex);
    // The flusher: syncs the store every kFlushEvery until told to stop.
    Mutex flushMutex;
    std::condition_variable flushWake;
    bool stopping GUARDED_BY(flushMutex) = false;
    std::thread flusher;

    void Flush() {
        UniqueMutexLock lock(flushMutex);
        while (!flushWake.wait_for(lock.Native(), kFlushEvery,
                                   [this]() REQUIRES(flushMutex) { return stopping; }))
            mdb_env_sync(env, 1);
    }
    ~Environment() {
        {
            MutexLock lock(flushMutex);
            stopping = true;
        }
        flushWake.notify_all();
        if (flusher.joinable())
            flusher.join();
        if (env) {
            mdb_env_sync(env, 1);
            mdb_env_close(env);
        }
    }
};

namespace {

class TxnWriter : public StateStore::Writer {
  public:
    explicit TxnWriter(MDB_txn* txn) : m_txn(txn) {}
    bool Find(unsigned table, const std::string& key, std::string& value) override {
        MDB_val k = Val(key), v;
        if (mdb_get(m_txn, table, &k, &v) != 0)
            return false;
        value = Bytes(v);
        return true;
    }
    bool Put(unsigned table, const std::string& key, const std::string& value) override {
        MDB_val k = Val(key), v = Val(value);
        return !Failed(mdb_txn_env(m_txn), mdb_put(m_txn, table, &k, &v, 0), "put");
    }
    bool Erase(unsigned table, const std::string& key) override {
        MDB_val k = Val(key);
        const int rc = mdb_del(m_txn, table, &k, nullptr);
        return rc == MDB_NOTFOUND || !Failed(mdb_txn_env(m_txn), rc, "erase");
    }

  private:
    MDB_txn* m_txn;
};

// A read-only snapshot for one lookup or walk.
class ReadTxn {
  public:
    explicit ReadTxn(MDB_env* env) {
        if (Failed(env, mdb_txn_begin(env, nullptr, MDB_RDONLY, &m_txn), "read"))
            m_txn = nullptr;
    }
    ~ReadTxn() {
        if (m_txn)
            mdb_txn_abort(m_txn);
    }
    MDB_txn* get() const { return m_txn; }

  private:
    MDB_txn* m_txn = nullptr;
};

}  // namespace

std::shared_ptr<StateStore> StateStore::Get() {
    const std::string directory = GetPlatformStateDir() + "/store";
    Stores& stores = AllStores();
    MutexLock lock(stores.mutex);
    if (stores.current && stores.current->m_directory == directory)
        return stores.current;
    auto found = stores.open.find(directory);
    if (found != stores.open.end())
        return stores.current = found->second;
    ::mkdir(GetPlatformStateDir().c_str(), 0755);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        OpenTrouble().Failed(directory, errno, "making the directory");
        return nullptr;
    }
    // LMDB opens its files by name, following links: only a directory that
    // nobody else can change holds none but its own.
    std::string why;
    if (!ProveStateSubdir(directory, why)) {
        OXLOG(-1, 0, "State store: refusing %s.", why.c_str());
        return nullptr;
    }
    auto environment = std::make_unique<Environment>();
    MDB_env*& env = environment->env;
    const char* step = "create";
    int rc = mdb_env_create(&env);
    const auto next = [&](const char* what, const std::function<int()>& call) {
        if (rc == 0) {
            step = what;
            rc = call();
        }
    };
    next("set the user context", [&] { return mdb_env_set_userctx(env, &environment->trouble); });
    next("set the map size", [&] { return mdb_env_set_mapsize(env, kMapBytes); });
    next("set the table count", [&] { return mdb_env_set_maxdbs(env, kMostTables); });
    next("set the reader count", [&] { return mdb_env_set_maxreaders(env, 1024); });
    next("open",
         [&] { return mdb_env_open(env, directory.c_str(), MDB_NOSYNC | MDB_NOTLS, 0600); });
    if (rc != 0) {
        OpenTrouble().Failed(directory, rc, step);
        return nullptr;
    }
    if (OpenTrouble().Troubled())
        OpenTrouble().Committed(directory);
    Environment* raw = environment.get();
    raw->flusher = std::thread([raw] { raw->Flush(); });
    std::shared_ptr<StateStore> store(new StateStore(directory, std::move(environment)));
    stores.open[directory] = store;
    return stores.current = store;
}

StateStore::StateStore(const std::string& directory, std::unique_ptr<Environment> environment)
    : m_directory(directory), m_environment(std::move(environment)) {}

StateStore::~StateStore() = default;

bool StateStore::Table(const std::string& name, unsigned& table) {
    {
        MutexLock lock(m_environment->mutex);
        auto found = m_environment->tables.find(name);
        if (found != m_environment->tables.end()) {
            table = found->second;
            return true;
        }
    }
    // A table made in a batch would be lost with it, and the batch holds
    // the writer lock this needs. The mutex is not held meanwhile: another
    // thread's batch may hold that lock while it looks a table up.
    CommitThreadBatch();
    MDB_env* env = m_environment->env;
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    if (Failed(env, mdb_txn_begin(env, nullptr, 0, &txn), "begin"))
        return false;
    if (Failed(env, mdb_dbi_open(txn, name.c_str(), MDB_CREATE, &dbi), "open a table")) {
        mdb_txn_abort(txn);
        return false;
    }
    if (Failed(env, mdb_txn_commit(txn), "commit"))  // frees the transaction either way
        return false;
    Committed(env);
    MutexLock lock(m_environment->mutex);
    m_environment->tables[name] = table = dbi;
    return true;
}

bool StateStore::Find(unsigned table, const std::string& key, std::string& value) const {
    if (tBatch.txn && tBatch.env == m_environment->env)  // its own writes, not yet committed
        return TxnWriter(tBatch.txn).Find(table, key, value);
    ReadTxn txn(m_environment->env);
    MDB_val k = Val(key), v;
    if (!txn.get() || mdb_get(txn.get(), table, &k, &v) != 0)
        return false;
    value = Bytes(v);
    return true;
}

bool StateStore::Write(const std::function<bool(Writer&)>& body) {
    MDB_env* env = m_environment->env;
    bool failed = false;
    MDB_txn* batch = BatchWrites(env, failed);
    MDB_txn* txn = nullptr;
    // In a batch, a nested transaction: a body that says no leaves nothing.
    if (failed || Failed(env, mdb_txn_begin(env, batch, 0, &txn), "begin"))
        return false;
    TxnWriter writer(txn);
    if (!body(writer)) {
        mdb_txn_abort(txn);
        return false;
    }
    if (Failed(env, mdb_txn_commit(txn), "commit"))
        return false;
    if (!batch)  // a batch's own commit tells
        Committed(env);
    return true;
}

bool StateStore::HasRoom() const {
    if (!m_environment->trouble.Full(m_directory))
        return true;
    errno = ENOSPC;
    return false;
}

bool StateStore::Put(unsigned table, const std::string& key, const std::string& value) {
    return Write([&](Writer& w) { return w.Put(table, key, value); });
}

bool StateStore::Erase(unsigned table, const std::string& key) {
    return Write([&](Writer& w) { return w.Erase(table, key); });
}

void StateStore::ForEach(
    unsigned table,
    const std::function<void(const std::string&, const std::string&)>& visit) const {
    Scan(table, "", SIZE_MAX, visit);
}

void StateStore::Scan(
    unsigned table, const std::string& from, size_t count,
    const std::function<void(const std::string&, const std::string&)>& visit) const {
    ReadTxn txn(m_environment->env);
    MDB_cursor* cursor = nullptr;
    if (count == 0 || !txn.get() ||
        Failed(m_environment->env, mdb_cursor_open(txn.get(), table, &cursor), "walk"))
        return;
    MDB_val k{from.size(), const_cast<char*>(from.data())}, v;
    int rc = from.empty() ? mdb_cursor_get(cursor, &k, &v, MDB_FIRST)
                          : mdb_cursor_get(cursor, &k, &v, MDB_SET_RANGE);
    if (rc == 0 && !from.empty() && Bytes(k) == from)
        rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT);
    for (; rc == 0 && count > 0; --count, rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT))
        visit(Bytes(k), Bytes(v));
    mdb_cursor_close(cursor);
}
