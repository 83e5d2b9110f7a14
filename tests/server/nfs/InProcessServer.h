// lumed's RPC transport with MOUNT and NFS over the module, in this
// process, on a free loopback port; and exports made through the module's
// create-export call. Kept apart from libnfs, whose headers clash with the
// system's RPC headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/SharePerms.h"

class InProcessServer {
  public:
    // Starts serving; stateDir holds the platform state (registry).
    explicit InProcessServer(const std::string& stateDir);
    // Stops the transport, then removes every export.
    ~InProcessServer();
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    bool Started() const;
    uint16_t Port() const;
    // Makes the directory path, writable by anyone, and exports it with
    // perms to every client; false when either fails.
    bool Export(const std::string& path, SharePerms perms);

  private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};
