// An IPv4 or IPv6 address. An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is
// held as the IPv4 address, so one client has one form whatever socket it
// came through.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

class CRaIPAddr {
  public:
    CRaIPAddr() = default;  // no address: Family() is AF_UNSPEC

    // True and out filled when text is a numeric IPv4 or IPv6 address.
    static bool Parse(const std::string& text, CRaIPAddr& out);
    // From a socket address (AF_INET or AF_INET6; anything else gives none).
    static CRaIPAddr FromSockaddr(const sockaddr* address);

    int Family() const { return m_family; }
    // The address bytes in network order: 4 for IPv4, 16 for IPv6.
    const uint8_t* Bytes() const { return m_bytes; }
    unsigned Length() const;
    std::string ToString() const;
    // True when the first prefixBits bits equal those of network (same family).
    bool InPrefix(const CRaIPAddr& network, unsigned prefixBits) const;

    bool operator==(const CRaIPAddr& other) const;
    bool operator!=(const CRaIPAddr& other) const { return !(*this == other); }

  private:
    int m_family = AF_UNSPEC;
    uint8_t m_bytes[16] = {};
};

typedef CRaIPAddr OXIPAddr;
