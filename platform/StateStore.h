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
// never closed, so tables handed out stay usable). Thread-safe.
// Failures (cannot open, disk full) are logged and reported as false.
#pragma once

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

    // The store of the current state directory; null (logged) when it
    // cannot be opened.
    static std::shared_ptr<StateStore> Get();
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // The table of this name, made when missing; false (logged) on failure.
    bool Table(const std::string& name, unsigned& table);
    // A read of one key; false when absent (or the store failed).
    bool Find(unsigned table, const std::string& key, std::string& value) const;
    // One transaction: committed when body returns true, else nothing of it
    // is kept. False when the body said no or the store failed.
    bool Write(const std::function<bool(Writer&)>& body);
    bool Put(unsigned table, const std::string& key, const std::string& value);
    bool Erase(unsigned table, const std::string& key);
    // Every entry of a table, in key order, from one snapshot.
    void ForEach(unsigned table,
                 const std::function<void(const std::string&, const std::string&)>& visit) const;
    const std::string& Directory() const { return m_directory; }

  private:
    struct Environment;
    StateStore(const std::string& directory, std::unique_ptr<Environment> environment);

    const std::string m_directory;
    std::unique_ptr<Environment> m_environment;
};
