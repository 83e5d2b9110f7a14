// A peer's host name as access rules may use it: the name the reverse
// lookup of its address gives, and only when that name resolves back to the
// address (forward-confirmed). Whoever controls the reverse records of an
// address could otherwise claim any name for it, a trusted one included. A
// name that is itself a numeric address counts as none.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/CRaIPAddr.h"

struct HostNameLookup {
    // The name the reverse lookup of the address gives; "" when none.
    std::function<std::string(const CRaIPAddr&)> reverse;
    // The addresses a name resolves to; none when it does not resolve.
    std::function<std::vector<CRaIPAddr>(const std::string&)> forward;

    // The system's resolver (getnameinfo, getaddrinfo). Tests put their own
    // functions in its place.
    static HostNameLookup System();
};

// The confirmed host name of address; "" when there is none.
std::string ConfirmedHostName(const CRaIPAddr& address, const HostNameLookup& lookup);
