// One export's memory of which path belongs to which handle checksum.
//
// Handles carry only a share id and a checksum (a unique file id); the path
// behind a checksum is added here whenever a handle is written out and found
// here when the handle comes back. Memory only, and bounded: at most
// Capacity() entries, the least recently added or found one dropped to make
// room. A checksum the cache does not know is not an error: lumed finds the
// object again by its id in the state store and has the handle written out
// anew. Entries of objects removed through the module are dropped at once.
// The hash of a checksum is its own value.
//
// Paths are kept as shared name nodes, so that a level of a deep tree costs
// one node, not a copy of every name above it. A path is split at every '/'
// (empty names kept, so joining the names with '/' gives back exactly the
// string added); a node is one name under its parent node, interned by
// (parent, name), and counts the entries and child nodes that hold it; it
// goes when the count drops to 0. Nodes form a tree (a node is made under a
// node that already exists), so walking up from any node ends. Invariants:
// every node alive lies on the chain of an entry; at most Capacity() entries
// and NodeBound() = 4 x Capacity() nodes, least recently used entries dropped
// while either is exceeded; a path of more names than NodeBound() is not kept.
// Thread safety: every operation holds the cache's lock for O(names of the
// path) hash operations, plus one per node its evictions free, and never
// calls out while holding it (a leaf lock, see platform/ThreadSafety.h).
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <utility>

#include <boost/unordered_map.hpp>
#include <boost/unordered_set.hpp>

#include "platform/OxCriticalSection.h"

class SinkFSMPathCache {
  public:
    // 64k entries, more than the objects clients commonly work on at once.
    // An entry costs some 100 bytes and a node some 90 bytes plus its name
    // beyond 15 characters, so at most 64k x 100 + 256k x 90 bytes, about
    // 30 MB per export for names of up to 15 characters (some 100 MB were
    // all 255), however deep the tree: a path shares the nodes of the names
    // above it with its parent directory's, so a new level costs one entry
    // and one node.
    static constexpr std::size_t kDefaultCapacity = 65536;

    // capacity 0 counts as 1.
    explicit SinkFSMPathCache(std::size_t capacity = kDefaultCapacity);
    SinkFSMPathCache(const SinkFSMPathCache&) = delete;
    SinkFSMPathCache& operator=(const SinkFSMPathCache&) = delete;

    // Creates the entry or replaces the path it held; either way the entry
    // becomes the most recently used. A path too deep to keep drops the entry.
    void Add(unsigned long cksum, const std::string& path);
    // True and path set to a copy of the entry's path, which becomes the
    // most recently used; false, path untouched.
    bool Find(unsigned long cksum, std::string& path);
    void Remove(unsigned long cksum);
    void Empty();
    std::size_t Size();
    std::size_t Nodes();
    std::size_t Capacity() const { return m_capacity; }
    std::size_t NodeBound() const { return 4 * m_capacity; }

  private:
    // One name under its parent (nullptr: the path's first name). Elements
    // of the set do not move, so parents and entries point at them.
    struct Node {
        const Node* parent = nullptr;
        std::string name;
        std::size_t length = 0;           // of the path it ends: its names and separators
        mutable std::size_t holders = 0;  // entries and child nodes
    };
    struct NodeHash {
        std::size_t operator()(const Node& node) const;
    };
    struct NodeEqual {
        bool operator()(const Node& a, const Node& b) const {
            return a.parent == b.parent && a.name == b.name;
        }
    };
    struct IdentityHash {
        std::size_t operator()(unsigned long cksum) const { return cksum; }
    };
    using Entry = std::pair<unsigned long, const Node*>;
    using Order = std::list<Entry>;

    // The node of path, made with the nodes above it as needed, held once more.
    const Node* Intern(const std::string& path) REQUIRES(m_lock);
    // Whether node's path is path: the common Add, a handle written out again.
    static bool Spells(const Node* node, const std::string& path);
    // Holds node once less, and its parents once less for each node freed.
    void Release(const Node* node) REQUIRES(m_lock);
    void Erase(Order::iterator entry) REQUIRES(m_lock);
    // Drops the least recently used entries while over either bound.
    void Trim() REQUIRES(m_lock);

    const std::size_t m_capacity;
    OxCriticalSection m_lock;
    // Most recently used first; the index points into it.
    Order m_order GUARDED_BY(m_lock);
    boost::unordered_map<unsigned long, Order::iterator, IdentityHash> m_index GUARDED_BY(m_lock);
    boost::unordered_set<Node, NodeHash, NodeEqual> m_nodes GUARDED_BY(m_lock);
    Node m_probe GUARDED_BY(m_lock);  // the key looked up, its name's buffer reused
};
