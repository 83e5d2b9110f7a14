// Forward-confirmed host names of peers, through the system's resolver.
#include "server/rpc/HostNameLookup.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace {

std::string ReverseLookup(const CRaIPAddr& address) {
    sockaddr_storage storage{};
    socklen_t length;
    if (address.Family() == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, address.Bytes(), 4);
        length = sizeof(in);
    } else if (address.Family() == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        std::memcpy(&in6.sin6_addr, address.Bytes(), 16);
        length = sizeof(in6);
    } else {
        return std::string();
    }
    char name[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return std::string();
    return name;
}

std::vector<CRaIPAddr> ForwardLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<CRaIPAddr> addresses;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (addrinfo* at = found; at; at = at->ai_next)
        addresses.push_back(CRaIPAddr::FromSockaddr(at->ai_addr));
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace

HostNameLookup HostNameLookup::System() {
    return HostNameLookup{ReverseLookup, ForwardLookup};
}

std::string ConfirmedHostName(const CRaIPAddr& address, const HostNameLookup& lookup) {
    const std::string name = lookup.reverse(address);
    CRaIPAddr numeric;
    if (name.empty() || CRaIPAddr::Parse(name, numeric))
        return std::string();
    const std::vector<CRaIPAddr> back = lookup.forward(name);
    return std::find(back.begin(), back.end(), address) != back.end() ? name : std::string();
}
