// Clang's thread-safety attributes (checked by `make build-tsa`; empty for
// other compilers), and lock types that carry them: Mutex and SharedMutex
// with their scoped holders, UniqueMutexLock for condition variables.
//
// The lock order of the whole project. A lock is taken only while no lock
// later in this list is held (-> marks the nestings the code has; "the
// store's" are 7, 8 and StateStore's Environment::mutex):
//   1 SavedExports::Lock()            -> exportLifetimeCs, the store's
//   2 exportLifetimeCs                -> fileLockCSec, ProcessMutex(), 5, 6, the store's
//   3 SinkFSM::fileLockCSec           -> 6, the store's, the descriptor cache
//   4 Nfs3OpenFiles::m_mutex          -> 6, the store's, the descriptor cache
//   5 ShareIdToPathCache's Table::mutex -> the store's
//   6 UniqueFileId's Bindings::mutex  -> the store's
//   7 LMDB's writer lock (StateStore::Write and Table; a Batch holds it from
//     its first write to its commit)  -> 8, 9, Environment::mutex
//   8 StateStore's Stores::mutex      -> StateDirSetting::mutex
//   9 Nfs3FoundObjects::m_eraMutex    -> NameChanges::m_namesMutex, a shard
//  10 OXPlatformInfo's ProcessMutex() -> StateDirSetting::mutex
//  11 NameChanges::m_drainMutex, NameChanges::m_watchMutex (never together)
//                                     -> NameChanges::m_namesMutex
//  12 RpcServer::m_mutex               -> RpcConnection::m_mutex
//  13 RpcConnection::m_sendMutex, then RpcConnection::m_mutex
//  14 CLogWriter::m_mutex: last of all (OXLOG runs under any lock)
// Leaves (only the log's lock is taken under them): ExportCache::m_mutex,
// Export::m_mutex, SinkFSMExport::m_creatorsMutex, LogThrottle::m_mutex,
// Ganesha's adoptionMutex, exportSerializeCs, SinkFSMPathCache::m_lock,
// SinkFSMFileDescriptorCache::m_lock, SinkFSMFileDescriptorInfo::lock,
// ClockCache's Shard::mutex, UniqueFileId's Binding::sweepMutex,
// IssuedHandles::m_sweepMutex, ThrdPerfCounter::m_mutex,
// StateStore::Environment::mutex and ::flushMutex, StateDirSetting::mutex,
// NameChanges::m_namesMutex, ExportSweeper::m_mutex, MountTable::m_mutex,
// Nfs3KeptListings::m_mutex, FairQueue::m_mutex, ReplayCache::m_mutex,
// ReplyBuffers::m_mutex, CallStats::m_mutex and ::m_connectionsMutex,
// TlsClientChannel::m_mutex.
// OxCriticalSection may be entered again by its holder; the analysis takes
// it for a plain mutex, so no annotated path enters one twice.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define LUME_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUME_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) LUME_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY LUME_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) LUME_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) LUME_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) LUME_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) LUME_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) LUME_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) LUME_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) LUME_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) LUME_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRED_AFTER(...) LUME_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS LUME_THREAD_ANNOTATION(no_thread_safety_analysis)

// std::mutex with the attributes.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

  private:
    friend class UniqueMutexLock;
    std::mutex m_mutex;
};

// std::shared_mutex with the attributes.
class CAPABILITY("mutex") SharedMutex {
  public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

  private:
    std::shared_mutex m_mutex;
};

// Holds a Mutex or SharedMutex (exclusively) for its scope.
template <class M>
class SCOPED_CAPABILITY ScopedLock {
  public:
    explicit ScopedLock(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { mutex.lock(); }
    ~ScopedLock() RELEASE() { m_mutex.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    M& m_mutex;
};
using MutexLock = ScopedLock<Mutex>;
using WriterLock = ScopedLock<SharedMutex>;

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
  public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        mutex.lock_shared();
    }
    ~ReaderLock() RELEASE() { m_mutex.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

  private:
    SharedMutex& m_mutex;
};

// Holds a Mutex for its scope, but may let it go and take it again, and a
// std::condition_variable waits on Native().
class SCOPED_CAPABILITY UniqueMutexLock {
  public:
    explicit UniqueMutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~UniqueMutexLock() RELEASE() {}
    UniqueMutexLock(const UniqueMutexLock&) = delete;
    UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

    void lock() ACQUIRE() { m_lock.lock(); }
    void unlock() RELEASE() { m_lock.unlock(); }
    std::unique_lock<std::mutex>& Native() { return m_lock; }

  private:
    std::unique_lock<std::mutex> m_lock;
};
