// The state directory's store: named tables of byte-string keys and values
// in one LMDB environment (STATE_DIR/store/). Readers share it without locks
// (memory-mapped, each in a snapshot of its own); one writer at a time
// changes it by transactions that are whole or absent, whatever happens to
// the process. Commits are not flushed one by one: a thread flushes the
// store every second, so a process killed (even by SIGKILL) loses nothing
// committed, and an OS crash may lose about the last second of changes.
//
// Get() opens the store of the current state directory at first use, and
// again when the state directory changes (an environment once opened is
// never closed, so tables handed out stay usable). The store's directory is
// made 0700 and its files 0600; one that others may change, or a link in
// its place, is refused (StateDir.h). Thread-safe.
// Failures (cannot open, disk full) are reported as false with errno
// ENOSPC when the store is out of room (its disk, a quota or its map), else
// EIO. They are logged once per change, not once per failure: a line when
// a failure of another kind begins ("State store full: ..." for want of
// room), a line when a commit succeeds again ("State store [DIR] commits
// again."; out of room, once its disk has room). A store out of room says
// so (HasRoom) until its disk has room again, so that callers refuse work
// before they make what it would need to record.
//
// A Batch groups what its thread writes into one transaction, so that a
// call drawing a new id and recording the handle given for it pays one
// commit. From its first write to its commit the thread holds the store's
// writer lock (shared with other processes), so a thread with a batch
// written to takes only locks that come after that lock in
// platform/ThreadSafety.h, and commits before anything slow. Other writers
// wait for the commit; readers see the batch's writes once it is
// committed, its own thread's Find at once (ForEach reads what is
// committed).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class StateStore {
  public:
    // One transaction's view, handed to Write's body: reads see its writes.
    class Writer {
      public:
        virtual ~Writer() = default;
        virtual bool Find(unsigned table, const std::string& key, std::string& value) = 0;
        virtual bool Put(unsigned table, const std::string& key, const std::string& value) = 0;
        virtual bool Erase(unsigned table, const std::string& key) = 0;
    };

    // This thread's writes, from construction to Commit() or destruction,
    // in one transaction (a failed Write's body still leaves nothing).
    // Nested batches join the outermost, which commits. Table, the first
    // time it names a table, or a write to another store commits it early.
    class Batch {
      public:
        Batch();
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        // Commits what the thread wrote so far; later writes start anew.
        // False (errno as above) when the commit failed: nothing of it is
        // kept.
        bool Commit();
    };
    // Runs act once what this thread wrote is committed: at once when no
    // batch of its holds uncommitted writes, else when that batch commits,
    // never when that commit fails (for caches that must not know
    // uncommitted entries).
    static void AfterCommit(std::function<void()> act);

    // The store of the current state directory; null (logged) when it
    // cannot be opened.
    static std::shared_ptr<StateStore> Get();
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // False (errno ENOSPC) while the store is full: a commit failed for
    // want of room and its file system has had no room (1 MiB) since.
    // Cheap while it has room.
    bool HasRoom() const;

    // The table of this name, made when missing; false (logged) on failure.
    bool Table(const std::string& name, unsigned& table);
    // A read of one key; false when absent (or the store failed).
    bool Find(unsigned table, const std::string& key, std::string& value) const;
    // One transaction: committed when body returns true (in a batch, into
    // the batch's), else nothing of it is kept. False when the body said no
    // or the store failed.
    bool Write(const std::function<bool(Writer&)>& body);
    bool Put(unsigned table, const std::string& key, const std::string& value);
    bool Erase(unsigned table, const std::string& key);
    // Every entry of a table, in key order, from one committed snapshot.
    void ForEach(unsigned table,
                 const std::function<void(const std::string&, const std::string&)>& visit) const;
    // At most count entries of a table whose keys come after from, in key
    // order, from one committed snapshot: a walk in steps.
    void Scan(unsigned table, const std::string& from, size_t count,
              const std::function<void(const std::string&, const std::string&)>& visit) const;
    const std::string& Directory() const { return m_directory; }

  private:
    struct Environment;
    StateStore(const std::string& directory, std::unique_ptr<Environment> environment);

    const std::string m_directory;
    std::unique_ptr<Environment> m_environment;
};
