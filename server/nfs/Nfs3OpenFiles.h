// Descriptors of regular files kept open across READ, WRITE and COMMIT.
//
// Opening and closing a file for every call costs more than the call, so
// when an export allows it a file's descriptors (from BkEndProc::open) stay
// open while calls keep coming: one read-only, one read-write, each kept
// under the file's id and its mode. A read never needs a writable
// descriptor (a running program cannot be opened for writing), so reads
// open read-only and use whichever descriptor is kept; writes open and use
// read-write only. A writer handed a read-only descriptor (a module sharing
// one descriptor per file whatever the mode) gives it back and retries once
// after closing an idle read-only entry of its own, else is told EAGAIN.
// An entry is
//   in use  while calls hold it (users > 0);
//   idle    once the last call released it; the reaper closes it after the
//           idle time has passed without a new call;
//   doomed  when Forget was called (the file was removed or renamed) while
//           in use: it leaves the table at once and is closed when its last
//           user releases it.
// A failed close of a read-write descriptor may have lost written data:
// it renews the write verifier, so that clients resend what they did not
// commit.
// Without the cache (keep false), or while maxKept descriptors are kept, a
// use opens and closes its own descriptor. An open refused for want of
// descriptors (EMFILE, ENFILE) gives back every idle kept one and is tried
// once more.
// A kept descriptor is checked, once opened, to be of the file with the id
// it is kept under; while it is open its inode cannot be reused, so a path
// whose lstat shows its device and inode names that very file (Hold).
// Thread safety: any thread may call any member. Lock order: m_mutex, then
// the module's descriptor table lock (taken inside open and close) and the
// unique file ids' (CheckKept); see platform/ThreadSafety.h. Destroy
// only once no call can reach the object; the destructor stops the reaper
// and closes every descriptor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <thread>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "platform/ThreadSafety.h"
#include "server/nfs/Nfs3WriteVerifier.h"

class Nfs3OpenFiles {
  public:
    typedef boost::shared_ptr<BkEndProc> Object;
    struct Entry;

    // One call's hold on a descriptor; gives it back when destroyed.
    class Use {
      public:
        Use(Nfs3OpenFiles* owner, std::shared_ptr<Entry> entry);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        int Fd() const;
        bool Writable() const;

      private:
        Nfs3OpenFiles* m_owner;
        std::shared_ptr<Entry> m_entry;
    };

    Nfs3OpenFiles(std::chrono::milliseconds idle, size_t maxKept, Nfs3WriteVerifier& verifier);
    ~Nfs3OpenFiles();
    Nfs3OpenFiles(const Nfs3OpenFiles&) = delete;
    Nfs3OpenFiles& operator=(const Nfs3OpenFiles&) = delete;

    // A use of object's descriptor (fileId: its unique file id), opened
    // under the calling thread's identity when needed. keep: the export
    // allows keeping it open. Null with errno set when it cannot be opened.
    std::unique_ptr<Use> Acquire(const Object& object, unsigned long fileId, const ExportPtr& exp,
                                 bool keep, bool forWrite) EXCLUDES(m_mutex);
    // A use of a kept descriptor of fileId (the read-write one first), if
    // there is one, with the device and inode it is open on; null when none
    // is kept.
    std::unique_ptr<Use> Hold(unsigned long fileId, dev_t& device, ino_t& inode) EXCLUDES(m_mutex);
    // The file was removed or renamed: close its descriptors once unused.
    void Forget(unsigned long fileId) EXCLUDES(m_mutex);

  private:
    void Release(const std::shared_ptr<Entry>& entry) EXCLUDES(m_mutex);
    void ReapIdle() REQUIRES(m_mutex);
    void Reaper() EXCLUDES(m_mutex);
    typedef std::pair<unsigned long, bool> Key;  // file id, writable
    static std::shared_ptr<Entry> Open(const Object& object, const ExportPtr& exp, bool forWrite);
    // Open for a writer, past a read-only descriptor the module shared.
    std::shared_ptr<Entry> OpenWritable(const Object& object, unsigned long fileId,
                                        const ExportPtr& exp) REQUIRES(m_mutex);
    // Checks a new descriptor to be of fileId and notes its device and inode;
    // false with errno ESTALE when the path named another file by now.
    bool CheckKept(Entry& entry, unsigned long fileId) REQUIRES(m_mutex);
    void Close(Entry& entry) REQUIRES(m_mutex);
    // A new entry for object, after giving back the idle ones when the
    // process is out of descriptors; null with errno set.
    std::shared_ptr<Entry> OpenEntry(const Object& object, unsigned long fileId,
                                     const ExportPtr& exp, bool forWrite) REQUIRES(m_mutex);
    // Closes every kept descriptor no call holds; how many.
    size_t GiveBackIdle() REQUIRES(m_mutex);

    const std::chrono::milliseconds m_idle;
    const size_t m_maxKept;
    Nfs3WriteVerifier& m_verifier;
    mutable Mutex m_mutex;  // guards the entries' fields too
    std::map<Key, std::shared_ptr<Entry>> m_entries GUARDED_BY(m_mutex);
    bool m_stopping GUARDED_BY(m_mutex) = false;
    std::condition_variable m_wake;
    std::thread m_reaper;
};
