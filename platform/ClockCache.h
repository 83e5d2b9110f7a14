// A bounded map from keys to values, for caches in front of slower truths.
//
// It holds at most its capacity (rounded up to a multiple of kShards), split
// over shards by the key's hash, each under its own mutex, so threads rarely
// meet. A full shard makes room by the CLOCK rule: its hand sweeps the
// entries, sparing once each one read since the hand last passed, and
// evicts the first one not read. Each entry costs its key and value, an
// unordered_map node (two pointers and the hash) and a pointer in the ring.
// Thread-safe; a shard's mutex is the only lock taken. Under it run the
// key's hash and equality, copies of keys and values, and the destructors
// of what Put overwrites or evicts (Clear destroys entries unlocked).
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "platform/ThreadSafety.h"

template <class Key, class Value, class Hash>
class ClockCache {
  public:
    static constexpr size_t kShards = 16;

    // capacity: at least 1.
    explicit ClockCache(size_t capacity) : m_perShard((capacity + kShards - 1) / kShards) {}
    ClockCache(const ClockCache&) = delete;
    ClockCache& operator=(const ClockCache&) = delete;

    bool Find(const Key& key, Value& value) {
        Shard& shard = ShardOf(key);
        MutexLock guard(shard.mutex);
        auto found = shard.entries.find(key);
        if (found == shard.entries.end())
            return false;
        found->second.read = true;
        value = found->second.value;
        return true;
    }

    void Put(const Key& key, const Value& value) {
        Shard& shard = ShardOf(key);
        MutexLock guard(shard.mutex);
        auto found = shard.entries.find(key);
        if (found != shard.entries.end()) {
            found->second.value = value;
            found->second.read = true;
            return;
        }
        const bool full = shard.ring.size() >= m_perShard;
        if (full)
            Evict(shard);
        const size_t at = full ? shard.hand : shard.ring.size();
        Entry* made = &*shard.entries.emplace(key, Slot{value, false, at}).first;
        if (!full) {
            shard.ring.push_back(made);
            return;
        }
        shard.ring[at] = made;
        shard.hand = (shard.hand + 1) % shard.ring.size();
    }

    // Drops the entry of key, if any.
    void Erase(const Key& key) {
        Shard& shard = ShardOf(key);
        MutexLock guard(shard.mutex);
        auto found = shard.entries.find(key);
        if (found == shard.entries.end())
            return;
        // The ring's last entry takes the erased one's place.
        const size_t at = found->second.at;
        shard.ring[at] = shard.ring.back();
        shard.ring[at]->second.at = at;
        shard.ring.pop_back();
        if (shard.hand >= shard.ring.size())
            shard.hand = 0;
        shard.entries.erase(found);
    }

    // Drops every entry; values are destroyed after their shard's mutex is
    // let go.
    void Clear() {
        for (Shard& shard : m_shards) {
            Map dropped;
            MutexLock guard(shard.mutex);
            dropped.swap(shard.entries);
            shard.ring.clear();
            shard.hand = 0;
        }
    }

  private:
    struct Slot {
        Value value;
        bool read;
        size_t at;  // its place in the ring
    };
    using Map = std::unordered_map<Key, Slot, Hash>;
    using Entry = typename Map::value_type;  // its address is stable while it is mapped
    struct Shard {
        Mutex mutex;
        Map entries GUARDED_BY(mutex);
        std::vector<Entry*> ring GUARDED_BY(mutex);
        size_t hand GUARDED_BY(mutex) = 0;
    };

    Shard& ShardOf(const Key& key) { return m_shards[Hash()(key) % kShards]; }

    // Removes the first entry under the hand not read since its last pass,
    // leaving the hand on its place in the ring. Two sweeps at most: the
    // first clears every mark.
    static void Evict(Shard& shard) REQUIRES(shard.mutex) {
        for (;;) {
            Entry* entry = shard.ring[shard.hand];
            if (!entry->second.read) {
                shard.entries.erase(shard.entries.find(entry->first));  // the key dies with it
                return;
            }
            entry->second.read = false;
            shard.hand = (shard.hand + 1) % shard.ring.size();
        }
    }

    const size_t m_perShard;
    Shard m_shards[kShards];
};
