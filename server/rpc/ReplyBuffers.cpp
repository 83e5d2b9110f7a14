// The pool of reply buffers kept for reuse.
#include "server/rpc/ReplyBuffers.h"

void ReplyBuffers::Return::operator()(char* buffer) const {
    if (pool)
        pool->Put(buffer);
    else
        delete[] buffer;
}

ReplyBuffers::ReplyBuffers(size_t size, size_t keep) : m_size(size), m_keep(keep) {
    m_kept.reserve(keep);
}

ReplyBuffers::~ReplyBuffers() {
    for (char* buffer : m_kept)
        delete[] buffer;
}

ReplyBuffers::Buffer ReplyBuffers::Get() {
    {
        MutexLock lock(m_mutex);
        if (!m_kept.empty()) {
            char* buffer = m_kept.back();
            m_kept.pop_back();
            return Buffer(buffer, Return{this});
        }
    }
    return Buffer(new char[m_size], Return{this});
}

ReplyBuffers::Buffer ReplyBuffers::Make(ReplyBuffers* pool, size_t size) {
    return pool ? pool->Get() : Buffer(new char[size], Return{nullptr});
}

void ReplyBuffers::Put(char* buffer) {
    {
        MutexLock lock(m_mutex);
        if (m_kept.size() < m_keep) {
            m_kept.push_back(buffer);  // capacity reserved: cannot throw
            return;
        }
    }
    delete[] buffer;
}
