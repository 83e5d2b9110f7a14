// Client entries brought to their canonical form, and callers matched
// against them.
#include "host/AllowedClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c));
}

std::vector<std::string> SplitEntries(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (!IsSeparator(c)) {
            current += c;
        } else if (!current.empty()) {
            out.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

std::string ToLower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c));
}

bool IsDigitOrDot(char c) {
    return c == '.' || IsDigit(c);
}

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Letters, digits, '-', '.', '_', no empty label. A name of digits and dots
// only is a mistyped address, not a host.
bool IsValidHostName(const std::string& name) {
    if (name.empty() || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string::npos)
        return false;
    if (!std::all_of(name.begin(), name.end(), IsHostNameChar))
        return false;
    return !std::all_of(name.begin(), name.end(), IsDigitOrDot);
}

bool ParsePrefixLength(const std::string& text, unsigned& bits) {
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), IsDigit))
        return false;
    bits = static_cast<unsigned>(std::stoul(text));
    return true;
}

// The address with every bit after the first prefixBits cleared.
CRaIPAddr MaskAddress(const CRaIPAddr& address, unsigned prefixBits) {
    uint8_t bytes[16] = {};
    std::memcpy(bytes, address.Bytes(), address.Length());
    for (unsigned i = 0; i < address.Length(); ++i) {
        unsigned keep =
            prefixBits >= 8 * (i + 1) ? 8 : (prefixBits > 8 * i ? prefixBits - 8 * i : 0);
        bytes[i] &= static_cast<uint8_t>(0xff00u >> keep);
    }
    if (address.Family() == AF_INET) {
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        std::memcpy(&sin.sin_addr, bytes, 4);
        return CRaIPAddr::FromSockaddr(reinterpret_cast<const sockaddr*>(&sin));
    }
    sockaddr_in6 sin6 = {};
    sin6.sin6_family = AF_INET6;
    std::memcpy(&sin6.sin6_addr, bytes, 16);
    return CRaIPAddr::FromSockaddr(reinterpret_cast<const sockaddr*>(&sin6));
}

// "network/bits" in canonical form, or "" when the range is not valid.
// A v4-mapped network (::ffff:a.b.c.d/bits) is held as the IPv4 range, as
// CRaIPAddr holds its addresses.
std::string CanonicalRange(const std::string& entry) {
    size_t slash = entry.find('/');
    CRaIPAddr network;
    unsigned bits = 0;
    if (!CRaIPAddr::Parse(entry.substr(0, slash), network) ||
        !ParsePrefixLength(entry.substr(slash + 1), bits))
        return "";
    bool written6 = entry.find(':') < slash;
    if (written6 && network.Family() == AF_INET) {
        if (bits < 96)
            return "";
        bits -= 96;
    }
    if (bits > 8 * network.Length())
        return "";
    return MaskAddress(network, bits).ToString() + "/" + std::to_string(bits);
}

// The canonical text of an entry, or "" when it is not a valid entry.
std::string Canonical(const std::string& entry) {
    if (entry == "*")
        return entry;
    if (entry.find('/') != std::string::npos)
        return CanonicalRange(entry);
    CRaIPAddr address;
    if (CRaIPAddr::Parse(entry, address))
        return address.ToString();
    if (entry.compare(0, 2, "*.") == 0)
        return IsValidHostName(entry.substr(2)) ? ToLower(entry) : "";
    return IsValidHostName(entry) ? ToLower(entry) : "";
}

std::vector<std::string> CanonicalEntries(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& entry : SplitEntries(text)) {
        std::string canonical = Canonical(entry);
        if (!canonical.empty())
            out.push_back(canonical);
    }
    return out;
}

bool RangeAdmits(const std::string& entry, const CRaIPAddr& address) {
    size_t slash = entry.find('/');
    CRaIPAddr network;
    if (!CRaIPAddr::Parse(entry.substr(0, slash), network))
        return false;
    unsigned bits = static_cast<unsigned>(std::stoul(entry.substr(slash + 1)));
    return address.Family() == network.Family() && address.InPrefix(network, bits);
}

bool SuffixAdmits(const std::string& entry, const std::string& lowerName) {
    const std::string suffix = entry.substr(1);  // ".example.com"
    return lowerName.size() > suffix.size() &&
           lowerName.compare(lowerName.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// entry is canonical; lowerName is the caller's host name in lower case.
bool EntryAdmits(const std::string& entry, const CRaIPAddr& address, const std::string& lowerName) {
    if (entry == "*")
        return true;
    bool hasAddress = address.Family() != AF_UNSPEC;
    if (entry.find('/') != std::string::npos)
        return hasAddress && RangeAdmits(entry, address);
    CRaIPAddr entryAddress;
    if (CRaIPAddr::Parse(entry, entryAddress))
        return hasAddress && entryAddress == address;
    if (lowerName.empty())
        return false;
    if (entry.compare(0, 2, "*.") == 0)
        return SuffixAdmits(entry, lowerName);
    return entry == lowerName;
}

}  // namespace

void AllowedClients::Fill(const std::string& text) {
    for (const std::string& entry : CanonicalEntries(text)) {
        if (std::find(m_entries.begin(), m_entries.end(), entry) == m_entries.end())
            m_entries.push_back(entry);
    }
}

void AllowedClients::Remove(const std::string& text) {
    for (const std::string& entry : CanonicalEntries(text))
        m_entries.erase(std::remove(m_entries.begin(), m_entries.end(), entry), m_entries.end());
}

std::string AllowedClients::ToString() const {
    std::string out;
    for (const std::string& entry : m_entries) {
        if (!out.empty())
            out += ",";
        out += entry;
    }
    return out;
}

bool AllowedClients::Admits(const CRaIPAddr& address, const std::string& hostName) const {
    const std::string lowerName = ToLower(hostName);
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const std::string& entry) {
        return EntryAdmits(entry, address, lowerName);
    });
}
