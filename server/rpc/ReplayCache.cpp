// The replies kept for retransmitted non-idempotent calls, bounded, the least recently used going
// first.
#include "server/rpc/ReplayCache.h"

#include <algorithm>
#include <cstring>

namespace {
// FNV-1a: the bytes summed are few, and a collision needs the same address
// and xid besides.
uint64_t Fnv1a(const uint8_t* data, size_t length, uint64_t sum = 14695981039346656037ull) {
    for (size_t i = 0; i < length; ++i)
        sum = (sum ^ data[i]) * 1099511628211ull;
    return sum;
}
}  // namespace

bool ReplayCache::Key::operator==(const Key& other) const {
    return family == other.family && std::memcmp(address, other.address, sizeof address) == 0 &&
           xid == other.xid && program == other.program && version == other.version &&
           procedure == other.procedure && checksum == other.checksum;
}

size_t ReplayCache::KeyHash::operator()(const Key& key) const {
    return static_cast<size_t>(key.checksum ^ (uint64_t(key.xid) << 32) ^
                               Fnv1a(key.address, sizeof key.address));
}

ReplayCache::Key ReplayCache::KeyOf(const RpcCall& call, const uint8_t* record, size_t length,
                                    size_t argsOffset) {
    Key key;
    key.family = call.caller.address.Family();
    std::memcpy(key.address, call.caller.address.Bytes(), call.caller.address.Length());
    key.xid = call.xid;
    key.program = call.program;
    key.version = call.version;
    key.procedure = call.procedure;
    // The credential is summed too: another user's call never gets this reply.
    const size_t summed = std::min(length, argsOffset + kSummedArgs);
    const uint64_t size = length;
    key.checksum =
        Fnv1a(record, summed, Fnv1a(reinterpret_cast<const uint8_t*>(&size), sizeof size));
    return key;
}

ReplayCache::ReplayCache(size_t maxEntries, size_t maxBytes)
    : m_maxEntries(maxEntries), m_maxBytes(maxBytes) {}

ReplayCache::Seen ReplayCache::Begin(const Key& key, std::vector<uint8_t>& reply) {
    MutexLock lock(m_mutex);
    auto found = m_slots.find(key);
    if (found == m_slots.end()) {
        m_slots.emplace(key, Slot());
        return Seen::kNew;
    }
    Slot& slot = found->second;
    if (!slot.done)
        return Seen::kRunning;
    m_recency.splice(m_recency.begin(), m_recency, slot.used);
    reply = slot.reply;
    return Seen::kDone;
}

void ReplayCache::Complete(const Key& key, const uint8_t* reply, size_t length) {
    MutexLock lock(m_mutex);
    auto found = m_slots.find(key);
    if (found == m_slots.end() || found->second.done)
        return;
    if (length > m_maxBytes / 16) {
        m_slots.erase(found);
        return;
    }
    Slot& slot = found->second;
    slot.done = true;
    slot.reply.assign(reply, reply + length);
    slot.used = m_recency.insert(m_recency.begin(), key);
    m_bytes += length;
    Trim();
}

void ReplayCache::Abandon(const Key& key) {
    MutexLock lock(m_mutex);
    auto found = m_slots.find(key);
    if (found != m_slots.end() && !found->second.done)
        m_slots.erase(found);
}

void ReplayCache::Trim() {
    while (!m_recency.empty() && (m_recency.size() > m_maxEntries || m_bytes > m_maxBytes)) {
        auto oldest = m_slots.find(m_recency.back());
        m_bytes -= oldest->second.reply.size();
        m_slots.erase(oldest);
        m_recency.pop_back();
    }
}

size_t ReplayCache::Entries() const {
    MutexLock lock(m_mutex);
    return m_recency.size();
}

size_t ReplayCache::Bytes() const {
    MutexLock lock(m_mutex);
    return m_bytes;
}
