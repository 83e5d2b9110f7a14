// CRaIPAddr: parsing, socket addresses (IPv4-mapped ones folded), text and
// prefix matching.
#include "platform/CRaIPAddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace {

const uint8_t kV4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool IsV4Mapped(const uint8_t* bytes16) {
    return std::memcmp(bytes16, kV4MappedPrefix, sizeof(kV4MappedPrefix)) == 0;
}

// Fills an address from 16 IPv6 bytes, folding the IPv4-mapped form.
void AssignV6(int& family, uint8_t* out, const uint8_t* bytes16) {
    std::memset(out, 0, 16);
    if (IsV4Mapped(bytes16)) {
        family = AF_INET;
        std::memcpy(out, bytes16 + 12, 4);
    } else {
        family = AF_INET6;
        std::memcpy(out, bytes16, 16);
    }
}

}  // namespace

bool CRaIPAddr::Parse(const std::string& text, CRaIPAddr& out) {
    uint8_t bytes[16] = {};
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        out = CRaIPAddr();
        out.m_family = AF_INET;
        std::memcpy(out.m_bytes, bytes, 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        AssignV6(out.m_family, out.m_bytes, bytes);
        return true;
    }
    return false;
}

CRaIPAddr CRaIPAddr::FromSockaddr(const sockaddr* address) {
    CRaIPAddr result;
    if (!address)
        return result;
    if (address->sa_family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, address, sizeof(sin));
        result.m_family = AF_INET;
        std::memcpy(result.m_bytes, &sin.sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, address, sizeof(sin6));
        AssignV6(result.m_family, result.m_bytes, sin6.sin6_addr.s6_addr);
    }
    return result;
}

unsigned CRaIPAddr::Length() const {
    switch (m_family) {
        case AF_INET:
            return 4;
        case AF_INET6:
            return 16;
        default:
            return 0;
    }
}

std::string CRaIPAddr::ToString() const {
    if (Length() == 0)
        return std::string();
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(m_family, m_bytes, text, sizeof(text)))
        return std::string();
    return text;
}

bool CRaIPAddr::InPrefix(const CRaIPAddr& network, unsigned prefixBits) const {
    if (m_family != network.m_family || Length() == 0)
        return false;
    unsigned bits = std::min(prefixBits, 8 * Length());
    unsigned whole = bits / 8;
    if (std::memcmp(m_bytes, network.m_bytes, whole) != 0)
        return false;
    unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (m_bytes[whole] & mask) == (network.m_bytes[whole] & mask);
}

bool CRaIPAddr::operator==(const CRaIPAddr& other) const {
    return m_family == other.m_family && std::memcmp(m_bytes, other.m_bytes, Length()) == 0;
}
