// The host's base of a module's file handle object: it knows only the share
// id, which every module keeps in handle bytes 4 to 7.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "host/nfs_fh3.h"

class LumeFileHandle {
  public:
    explicit LumeFileHandle(unsigned shareId) : m_shareId(shareId) {}
    // The share id from handle bytes 4-7, whatever the rest of the handle says.
    explicit LumeFileHandle(const nfs_fh3& fh) { std::memcpy(&m_shareId, fh.data + 4, 4); }
    LumeFileHandle(const LumeFileHandle& other) : m_shareId(other.m_shareId) {}
    LumeFileHandle& operator=(const LumeFileHandle& other) = default;

    virtual void ToNfsFH(nfs_fh3& fh) const = 0;
    virtual void ToStr(std::string& out) const = 0;
    // Equal when the share ids are.
    virtual bool operator==(const LumeFileHandle& other) const {
        return m_shareId == other.m_shareId;
    }
    virtual ~LumeFileHandle() {}

    uint32_t GetShareId() const { return m_shareId; }

  protected:
    uint32_t m_shareId;
};
