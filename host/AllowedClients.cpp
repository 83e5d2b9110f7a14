// Client entries brought to their canonical form, and callers matched
// against them.
#include "host/AllowedClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

constexpr size_t kMaxHostName = 253, kMaxLabel = 63;

// Letters, digits, '-', '.', '_', no empty or over-long label. A name of
// digits and dots only is a mistyped address, not a host.
bool IsValidHostName(const std::string& name) {
    if (name.empty() || name.size() > kMaxHostName ||
        !std::all_of(name.begin(), name.end(), IsHostNameChar))
        return false;
    size_t begin = 0;
    for (;;) {
        size_t dot = std::min(name.find('.', begin), name.size());
        if (dot == begin || dot - begin > kMaxLabel)
            return false;
        if (dot == name.size())
            break;
        begin = dot + 1;
    }
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

// The canonical entries of text; false, with bad set to the first entry
// that is not valid, when there is one.
bool CanonicalEntries(const std::string& text, std::vector<std::string>& out, std::string& bad) {
    for (const std::string& entry : SplitEntries(text)) {
        std::string canonical = Canonical(entry);
        if (canonical.empty()) {
            bad = entry;
            return false;
        }
        out.push_back(canonical);
    }
    return true;
}

// The canonical entries of text; none when one is not valid.
std::vector<std::string> ValidEntries(const std::string& text) {
    std::vector<std::string> out;
    std::string bad;
    if (!CanonicalEntries(text, out, bad))
        out.clear();
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

// entry as a reason may quote it: bytes that are not printable ASCII as
// \xNN, so that no control byte reaches a terminal or a log.
std::string Quoted(const std::string& entry) {
    std::string out;
    for (unsigned char c : entry) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += escaped;
    }
    return out;
}

}  // namespace

bool AllowedClients::Check(const std::string& text, std::string& reason) {
    std::vector<std::string> entries;
    std::string bad;
    if (!CanonicalEntries(text, entries, bad)) {
        reason = "[" + Quoted(bad) + "] is not an address, CIDR range, host name or *.suffix";
        return false;
    }
    if (entries.empty()) {
        reason = "no client is named";
        return false;
    }
    return true;
}

void AllowedClients::Fill(const std::string& text) {
    for (const std::string& entry : ValidEntries(text)) {
        if (std::find(m_entries.begin(), m_entries.end(), entry) == m_entries.end())
            m_entries.push_back(entry);
    }
}

void AllowedClients::Remove(const std::string& text) {
    for (const std::string& entry : ValidEntries(text))
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
