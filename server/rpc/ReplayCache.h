// The replies already sent to calls that must not run twice (a second
// REMOVE of a removed name answers NOENT), so a client retransmitting after
// a reconnect gets the first answer again.
//
// A call is known by its caller's address (not its port: a client that
// reconnects comes from a new one), xid, program, version, procedure and a
// checksum of its header and the start of its arguments (Key). Begin says
// whether the call is new (the caller runs it, then Complete or Abandon),
// still running (a retransmission: the caller drops it, the client will
// retransmit again and find the reply) or done (its reply is handed back).
// Bounded: at most maxEntries replies and maxBytes of their bytes, the least
// recently used going first; a reply larger than maxBytes / 16 is not kept.
// Running calls are not counted: there are at most as many as threads.
// Thread-safe; m_mutex is a leaf lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "platform/ThreadSafety.h"
#include "server/rpc/RpcProgram.h"

class ReplayCache {
  public:
    struct Key {
        int family = 0;
        uint8_t address[16] = {};
        uint32_t xid = 0, program = 0, version = 0, procedure = 0;
        uint64_t checksum = 0;
        bool operator==(const Key& other) const;
    };
    // The key of call, whose record holds argsOffset bytes of header before
    // its arguments. Only the first kSummedArgs bytes of arguments are
    // summed (with their length): a WRITE's data need not be read twice.
    static constexpr size_t kSummedArgs = 256;
    static Key KeyOf(const RpcCall& call, const uint8_t* record, size_t length, size_t argsOffset);

    enum class Seen { kNew, kRunning, kDone };

    ReplayCache(size_t maxEntries, size_t maxBytes);
    ReplayCache(const ReplayCache&) = delete;
    ReplayCache& operator=(const ReplayCache&) = delete;

    // kDone: reply holds the reply message sent the first time.
    Seen Begin(const Key& key, std::vector<uint8_t>& reply);
    // The call begun with key was answered with these bytes.
    void Complete(const Key& key, const uint8_t* reply, size_t length);
    // The call begun with key ended without a reply: it may run again.
    void Abandon(const Key& key);

    size_t Entries() const;
    size_t Bytes() const;

  private:
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    typedef std::list<Key> Recency;  // most recently used first
    struct Slot {
        bool done = false;
        std::vector<uint8_t> reply;
        Recency::iterator used;  // valid once done
    };

    void Trim() REQUIRES(m_mutex);

    const size_t m_maxEntries;
    const size_t m_maxBytes;
    mutable Mutex m_mutex;
    std::unordered_map<Key, Slot, KeyHash> m_slots GUARDED_BY(m_mutex);
    Recency m_recency GUARDED_BY(m_mutex);  // the done slots' keys
    size_t m_bytes GUARDED_BY(m_mutex) = 0;
};
