// An export's checksum -> path map, least recently used dropped first, its
// paths kept as shared name nodes; each operation holds the cache's lock.
#include "module/filehandle/SinkFSMPathCache.h"

#include <algorithm>
#include <functional>
#include <iterator>

#include <boost/container_hash/hash.hpp>

std::size_t SinkFSMPathCache::NodeHash::operator()(const Node& node) const {
    std::size_t seed = std::hash<std::string>()(node.name);
    boost::hash_combine(seed, node.parent);
    return seed;
}

SinkFSMPathCache::SinkFSMPathCache(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1)) {}

void SinkFSMPathCache::Add(unsigned long cksum, const std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    // names = separators + 1; more than the nodes allowed could never stay.
    if (static_cast<std::size_t>(std::count(path.begin(), path.end(), '/')) >= NodeBound()) {
        if (found != m_index.end())
            Erase(found->second);  // its path is no longer the object's
        return;
    }
    if (found != m_index.end() && Spells(found->second->second, path)) {
        m_order.splice(m_order.begin(), m_order, found->second);
        return;
    }
    const Node* node = Intern(path);  // before the old path's release: it may share nodes
    if (found != m_index.end()) {
        Release(found->second->second);
        found->second->second = node;
        m_order.splice(m_order.begin(), m_order, found->second);
    } else {
        m_order.emplace_front(cksum, node);
        m_index.emplace(cksum, m_order.begin());
    }
    Trim();
}

bool SinkFSMPathCache::Find(unsigned long cksum, std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    if (found == m_index.end())
        return false;
    m_order.splice(m_order.begin(), m_order, found->second);
    // Copied under the lock, the names from the last one up: the caller
    // never points into the nodes.
    const Node* node = found->second->second;
    std::size_t at = node->length;
    path.resize(at);
    for (const Node* up = node; up; up = up->parent) {
        at -= up->name.size();
        up->name.copy(&path[at], up->name.size());
        if (up->parent)
            path[--at] = '/';
    }
    return true;
}

void SinkFSMPathCache::Remove(unsigned long cksum) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    if (found != m_index.end())
        Erase(found->second);
}

void SinkFSMPathCache::Empty() {
    OxCriticalSectionLock guard(&m_lock);
    m_index.clear();
    m_order.clear();
    m_nodes.clear();
}

std::size_t SinkFSMPathCache::Size() {
    OxCriticalSectionLock guard(&m_lock);
    return m_index.size();
}

std::size_t SinkFSMPathCache::Nodes() {
    OxCriticalSectionLock guard(&m_lock);
    return m_nodes.size();
}

// Each name between separators, the empty ones too, is one node under the
// node of the names before it.
const SinkFSMPathCache::Node* SinkFSMPathCache::Intern(const std::string& path) {
    const Node* node = nullptr;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = path.find('/', start);
        m_probe.parent = node;
        m_probe.name.assign(path, start, end - start);  // to the end when end is npos
        m_probe.length = (node ? node->length + 1 : 0) + m_probe.name.size();
        auto inserted = m_nodes.insert(m_probe);
        if (inserted.second && node)
            ++node->holders;
        node = &*inserted.first;
    }
    ++node->holders;
    return node;
}

bool SinkFSMPathCache::Spells(const Node* node, const std::string& path) {
    if (node->length != path.size())
        return false;
    // The lengths add up, so each name and separator lies within path.
    std::size_t end = path.size();
    for (const Node* up = node; up; up = up->parent) {
        end -= up->name.size();
        if (path.compare(end, up->name.size(), up->name) != 0)
            return false;
        if (up->parent && path[--end] != '/')
            return false;
    }
    return true;
}

void SinkFSMPathCache::Release(const Node* node) {
    while (node && --node->holders == 0) {
        const Node* parent = node->parent;
        m_nodes.erase(m_nodes.find(*node));
        node = parent;
    }
}

void SinkFSMPathCache::Erase(Order::iterator entry) {
    Release(entry->second);
    m_index.erase(entry->first);
    m_order.erase(entry);
}

void SinkFSMPathCache::Trim() {
    // Each turn drops an entry; the newest stays, its own chain being within
    // the node bound.
    while (m_order.size() > m_capacity || m_nodes.size() > NodeBound())
        Erase(std::prev(m_order.end()));
}
