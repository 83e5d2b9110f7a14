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
// An empty set admits no client. Entries that are neither an address, a range
// nor a valid host name are ignored. Not thread-safe: Export guards it.
#pragma once

#include <string>
#include <vector>

#include "platform/CRaIPAddr.h"

class AllowedClients {
  public:
    // Adds the entries of text that are not there yet.
    void Fill(const std::string& text);
    // Removes the entries of text that are there.
    void Remove(const std::string& text);
    // The entries in the order they were added, joined by ",".
    std::string ToString() const;
    // True when an entry admits the address or the host name (either may be
    // empty: an unspecified address or "" matches only "*").
    bool Admits(const CRaIPAddr& address, const std::string& hostName) const;

  private:
    std::vector<std::string> m_entries;  // canonical text of each entry
};
