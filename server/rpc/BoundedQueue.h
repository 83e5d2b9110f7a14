// A bounded first-in first-out queue between one or more producers and
// consumers. Push waits while the queue is full, which slows the producing
// connection down rather than growing memory without limit; Pop waits while
// it is empty. After Close, Push refuses and Pop drains what is left.
// Thread-safe; m_mutex is a leaf lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>

#include "platform/ThreadSafety.h"

template <typename T>
class BoundedQueue {
  public:
    explicit BoundedQueue(size_t capacity) : m_capacity(capacity) {}

    // False (item dropped) when the queue is closed.
    bool Push(T&& item) {
        UniqueMutexLock lock(m_mutex);
        m_notFull.wait(lock.Native(), [this]() REQUIRES(m_mutex) {
            return m_closed || m_items.size() < m_capacity;
        });
        if (m_closed)
            return false;
        m_items.push_back(std::move(item));
        m_notEmpty.notify_one();
        return true;
    }

    // False when the queue is closed and empty.
    bool Pop(T& out) {
        UniqueMutexLock lock(m_mutex);
        m_notEmpty.wait(lock.Native(),
                        [this]() REQUIRES(m_mutex) { return m_closed || !m_items.empty(); });
        if (m_items.empty())
            return false;
        out = std::move(m_items.front());
        m_items.pop_front();
        m_notFull.notify_one();
        return true;
    }

    void Close() {
        MutexLock lock(m_mutex);
        m_closed = true;
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

  private:
    const size_t m_capacity;
    Mutex m_mutex;
    std::condition_variable m_notFull;
    std::condition_variable m_notEmpty;
    std::deque<T> m_items GUARDED_BY(m_mutex);
    bool m_closed GUARDED_BY(m_mutex) = false;
};
