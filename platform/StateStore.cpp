// StateStore over LMDB: one environment per state directory, each thread's
// batch, and the thread that flushes each store.
#include "platform/StateStore.h"

#include <lmdb.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
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

MDB_val Val(const std::string& bytes) {
    return MDB_val{bytes.size(), const_cast<char*>(bytes.data())};
}

std::string Bytes(const MDB_val& val) {
    return std::string(static_cast<const char*>(val.mv_data), val.mv_size);
}

bool Failed(int rc, const char* what) {
    if (rc == 0)
        return false;
    OXLOG(-1, 0, "State store: %s failed: %s", what, mdb_strerror(rc));
    return true;
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
    tBatch.txn = nullptr;
    tBatch.env = nullptr;
    if (Failed(mdb_txn_commit(txn), "commit"))  // frees the transaction either way
        return false;
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
        failed = Failed(mdb_txn_begin(env, nullptr, 0, &tBatch.txn), "begin");
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
        return !Failed(mdb_put(m_txn, table, &k, &v, 0), "put");
    }
    bool Erase(unsigned table, const std::string& key) override {
        MDB_val k = Val(key);
        const int rc = mdb_del(m_txn, table, &k, nullptr);
        return rc == MDB_NOTFOUND || !Failed(rc, "erase");
    }

  private:
    MDB_txn* m_txn;
};

// A read-only snapshot for one lookup or walk.
class ReadTxn {
  public:
    explicit ReadTxn(MDB_env* env) {
        if (Failed(mdb_txn_begin(env, nullptr, MDB_RDONLY, &m_txn), "read"))
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
        OXLOG(-1, 0, "State store: cannot make [%s]: %s", directory.c_str(), std::strerror(errno));
        return nullptr;
    }
    // LMDB opens its files by name, following links: only a directory that
    // nobody else can change holds none but its own.
    std::string why;
    if (!ProveStateSubdir(directory, why)) {
        OXLOG(-1, 0, "State store: refusing %s.", why.c_str());
        return nullptr;
    }
    std::unique_ptr<Environment> environment(new Environment);
    MDB_env*& env = environment->env;
    if (Failed(mdb_env_create(&env), "create") ||
        Failed(mdb_env_set_mapsize(env, kMapBytes), "set the map size") ||
        Failed(mdb_env_set_maxdbs(env, kMostTables), "set the table count") ||
        Failed(mdb_env_set_maxreaders(env, 1024), "set the reader count") ||
        Failed(mdb_env_open(env, directory.c_str(), MDB_NOSYNC | MDB_NOTLS, 0600), "open")) {
        OXLOG(-1, 0, "State store: cannot open [%s].", directory.c_str());
        return nullptr;
    }
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
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    if (Failed(mdb_txn_begin(m_environment->env, nullptr, 0, &txn), "begin"))
        return false;
    if (Failed(mdb_dbi_open(txn, name.c_str(), MDB_CREATE, &dbi), "open a table")) {
        mdb_txn_abort(txn);
        return false;
    }
    if (Failed(mdb_txn_commit(txn), "commit"))  // frees the transaction either way
        return false;
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
    bool failed = false;
    MDB_txn* batch = BatchWrites(m_environment->env, failed);
    MDB_txn* txn = nullptr;
    // In a batch, a nested transaction: a body that says no leaves nothing.
    if (failed || Failed(mdb_txn_begin(m_environment->env, batch, 0, &txn), "begin"))
        return false;
    TxnWriter writer(txn);
    if (!body(writer)) {
        mdb_txn_abort(txn);
        return false;
    }
    return !Failed(mdb_txn_commit(txn), "commit");
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
    ReadTxn txn(m_environment->env);
    MDB_cursor* cursor = nullptr;
    if (!txn.get() || Failed(mdb_cursor_open(txn.get(), table, &cursor), "walk"))
        return;
    MDB_val k, v;
    for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT))
        visit(Bytes(k), Bytes(v));
    mdb_cursor_close(cursor);
}
