// Directory listings: a directory's entries read a batch at a time from a
// stream (Nfs3Listing), and the listings a reply ended, kept open at the
// place the listing's next call resumes at (Nfs3KeptListings). That call
// reads on from the same stream, without opening the directory again or
// the file system finding its place anew, and the entries read but not yet
// given are not read twice.
//
// A place is a listing's verifier and a cookie; the verifier stands for
// the directory (Nfs3ProcDirectory.cpp), the cookie for the directory's own
// position after the last entry given (its d_off), and a kept listing is
// taken only for the directory (device and inode) it was opened on. What a
// kept listing read ahead is given only while the directory has not changed
// since; else it reads afresh from its place.
// A listing is taken by one call at a time; at most the capacity are kept,
// each holding its stream's descriptor and the directory's object, the
// least lately kept closed first.
// Thread-safe; m_mutex is the only lock taken, and never held while a
// stream is closed.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "platform/ThreadSafety.h"
#include "server/protocol/nfs3.h"

typedef std::pair<uint64_t, cookie3> Nfs3Place;  // (verifier, cookie)
struct Nfs3PlaceHash {
    size_t operator()(const Nfs3Place& place) const {
        return static_cast<size_t>(place.first ^ (place.second * 0x9e3779b97f4a7c15ull));
    }
};

// A directory's entries, read from its stream a batch at a time; while the
// host counts the module's operations, through the module's readdir of the
// stream instead, which times each. Closes the stream when destroyed.
class Nfs3Listing {
  public:
    typedef boost::shared_ptr<BkEndProc> Object;

    // bytes: the batch size, at least one entry of the longest name; st:
    // the directory's attributes.
    Nfs3Listing(const Object& dir, const struct stat& st, DIR* stream, size_t bytes);
    ~Nfs3Listing();
    Nfs3Listing(const Nfs3Listing&) = delete;
    Nfs3Listing& operator=(const Nfs3Listing&) = delete;

    int Fd() const { return m_fd; }
    bool Of(const struct stat& st) const { return st.st_dev == m_device && st.st_ino == m_inode; }

    // Places the stream at position, an entry's d_off (0: the start),
    // dropping what was read ahead: 0, or -1 with errno (EINVAL when the
    // file system has no such position).
    int Seek(LumeCtxt* ctx, cookie3 position);
    // Takes the listing up at position for the directory now with
    // attributes st: on from what was read ahead while the directory's
    // change time is the one it had then, else placed afresh. As Seek.
    int Resume(LumeCtxt* ctx, const struct stat& st, cookie3 position);

    // The next entry (after Unread, the last one again); null at the end
    // (errno 0) or on failure (errno set).
    const struct dirent64* Next(LumeCtxt* ctx);
    // The entry Next gave last was not taken: the next Next gives it again.
    void Unread() { m_again = m_last != nullptr; }

  private:
    const struct dirent64* Read(LumeCtxt* ctx);

    const Object m_dir;
    const dev_t m_device;
    const ino_t m_inode;
    DIR* const m_stream;
    const bool m_viaModule;
    const int m_fd;
    std::vector<char> m_buffer;
    size_t m_filled = 0, m_at = 0;
    const struct dirent64* m_last = nullptr;  // valid until the next read
    bool m_again = false;
    struct timespec m_changed;  // the directory's change time when last taken up
};

class Nfs3KeptListings {
  public:
    typedef std::unique_ptr<Nfs3Listing> Listing;

    explicit Nfs3KeptListings(size_t capacity) : m_capacity(capacity) {}

    // The listing of the directory with attributes st kept at place; null
    // when none is.
    Listing Take(const Nfs3Place& place, const struct stat& st);
    // Keeps listing at place, closing the least lately kept one when that
    // makes more than the capacity; a place already taken keeps its own, and
    // listing is closed instead.
    void Keep(const Nfs3Place& place, Listing listing);

  private:
    typedef std::list<Nfs3Place> Order;  // oldest first
    const size_t m_capacity;
    Mutex m_mutex;
    Order m_order GUARDED_BY(m_mutex);
    std::unordered_map<Nfs3Place, std::pair<Listing, Order::iterator>, Nfs3PlaceHash> m_byPlace
        GUARDED_BY(m_mutex);
};
