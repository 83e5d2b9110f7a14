// Buffers for replies, each as large as the largest reply, kept for reuse:
// a reply a connection takes over from the dispatcher that made it
// (RpcDispatcher::TakeReply) then costs neither fresh memory nor the page
// faults of touching it. Thread-safe; m_mutex is a leaf lock.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/ThreadSafety.h"

class ReplyBuffers {
  public:
    // Gives a buffer back to its pool, or frees it when it has none.
    struct Return {
        ReplyBuffers* pool = nullptr;
        void operator()(char* buffer) const;
    };
    typedef std::unique_ptr<char[], Return> Buffer;

    // Buffers of size bytes; at most keep of them are kept when given back.
    ReplyBuffers(size_t size, size_t keep);
    ~ReplyBuffers();
    ReplyBuffers(const ReplyBuffers&) = delete;
    ReplyBuffers& operator=(const ReplyBuffers&) = delete;

    // A kept buffer, else a new one; throws std::bad_alloc.
    Buffer Get();
    // From pool when there is one (its size), else a new buffer of size bytes.
    static Buffer Make(ReplyBuffers* pool, size_t size);

  private:
    void Put(char* buffer);

    const size_t m_size;
    const size_t m_keep;
    Mutex m_mutex;
    std::vector<char*> m_kept GUARDED_BY(m_mutex);
};
