// Work from many sources (connections), taken in turn: each source with
// work has a line of its own, and Pop takes the first item of the next line
// in a round, so one source's many or long items hold up another's by one
// item per turn at most, never by their number.
// A line whose source is not ready (its replies wait for its client to read)
// is passed over and held until Resume finds it ready again; its items wait,
// costing no worker. Readiness is read from an atomic value, so no other
// lock is taken under the queue's. Nothing bounds the lines here: their
// producers bound what they push (calls in hand per connection).
// Thread-safe; m_mutex is a leaf lock. After Close, Push refuses and Pop
// drains what is ready.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <unordered_map>
#include <utility>

#include "platform/ThreadSafety.h"

template <typename Key, typename Item>
class FairQueue {
  public:
    // Whether key's items may be taken now; called under the queue's lock.
    typedef std::function<bool(const Key&)> Ready;

    explicit FairQueue(Ready ready) : m_ready(std::move(ready)) {}

    // Adds item at the end of key's line; false (item dropped) when closed.
    bool Push(const Key& key, Item&& item) {
        MutexLock lock(m_mutex);
        if (m_closed)
            return false;
        Line& line = m_lines[key];
        line.items.push_back(std::move(item));
        if (!line.queued && !line.held)
            Enqueue(key, line);
        return true;
    }

    // Waits for the first item of the next ready line; false when closed
    // and no ready line is left.
    bool Pop(Key& key, Item& item) {
        UniqueMutexLock lock(m_mutex);
        for (;;) {
            while (!m_turns.empty()) {
                Key next = std::move(m_turns.front());
                m_turns.pop_front();
                auto found = m_lines.find(next);
                Line& line = found->second;
                line.queued = false;
                if (!m_ready(next)) {
                    line.held = true;
                    continue;
                }
                item = std::move(line.items.front());
                line.items.pop_front();
                if (line.items.empty())
                    m_lines.erase(found);
                else
                    Enqueue(next, line);  // at the back: the others go first
                key = std::move(next);
                return true;
            }
            if (m_closed)
                return false;
            m_changed.wait(lock.Native());
        }
    }

    // key's line takes its turn again if it was held and is ready now.
    void Resume(const Key& key) {
        MutexLock lock(m_mutex);
        auto found = m_lines.find(key);
        if (found == m_lines.end() || !found->second.held || !m_ready(key))
            return;
        found->second.held = false;
        Enqueue(key, found->second);
    }

    // Forgets key's line (its source is gone).
    void Drop(const Key& key) {
        MutexLock lock(m_mutex);
        auto found = m_lines.find(key);
        if (found == m_lines.end())
            return;
        if (found->second.queued)
            m_turns.erase(std::find(m_turns.begin(), m_turns.end(), key));
        m_lines.erase(found);
    }

    void Close() {
        MutexLock lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

  private:
    struct Line {
        std::deque<Item> items;
        bool queued = false;  // its key is in m_turns
        bool held = false;    // passed over as not ready, until Resume
    };

    void Enqueue(const Key& key, Line& line) REQUIRES(m_mutex) {
        line.queued = true;
        m_turns.push_back(key);
        m_changed.notify_one();
    }

    const Ready m_ready;
    Mutex m_mutex;
    std::condition_variable m_changed;
    std::unordered_map<Key, Line> m_lines GUARDED_BY(m_mutex);  // none empty
    std::deque<Key> m_turns GUARDED_BY(m_mutex);                // lines to serve, in turn
    bool m_closed GUARDED_BY(m_mutex) = false;
};
