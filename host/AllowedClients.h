// The set of clients an export admits, parsed from text.
//
// Text form: entries separated by commas, semicolons or white space. An
// entry is
//   *                  every client
//   an address         192.0.2.7, 2001:db8::1
//   a CIDR range       192.0.2.0/24, 2001:db8::/32
//   a host name        backup01 or backup01.example.com, matched whole and
//                      case-insensitively against the caller's host name
//   *.suffix           any host name ending in .suffix (case-insensitive)
// The caller's host name is the transport's forward-confirmed one
// (RpcCaller::hostName), never a name the client states (machineName); a
// name entry matches nothing else, and nothing when there is no such name.
// An empty set admits no client. A text is taken whole or not at all: one
// entry that is neither "*", an address, a range, a valid host name (labels
// of letters, digits, '-' and '_', at most 63 bytes each, 253 in all) nor
// "*." and such a name makes the whole text count for nothing, so lists
// from callers and configuration are checked (Check) before they are used.
// Not thread-safe: Export guards it.
#pragma once

#include <string>
#include <vector>

#include "platform/CRaIPAddr.h"

class AllowedClients {
  public:
    // True when text names at least one client and every entry is valid;
    // else false and reason says why, naming the first entry that is not
    // valid ("[bad!name] is not an address, CIDR range, host name or
    // *.suffix", or "no client is named").
    static bool Check(const std::string& text, std::string& reason);

    // Adds the entries of text that are not there yet; nothing when an
    // entry of text is not valid.
    void Fill(const std::string& text);
    // Removes the entries of text that are there; nothing when an entry of
    // text is not valid.
    void Remove(const std::string& text);
    // The entries in the order they were added, joined by ",".
    std::string ToString() const;
    // True when an entry admits the address or the host name (either may be
    // empty: an unspecified address or "" matches only "*").
    bool Admits(const CRaIPAddr& address, const std::string& hostName) const;

  private:
    std::vector<std::string> m_entries;  // canonical text of each entry
};
