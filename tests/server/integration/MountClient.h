// A MOUNT v3 client for the integration tests: libtirpc's TCP client with
// the XDR routines rpcgen made from our protocol description, pointed at
// lumed's port directly.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/protocol/XdrProc.h"
#include "server/protocol/mount3.h"

// libtirpc's TCP client of one program at a loopback port (MOUNT v3 unless
// told otherwise): AUTH_NONE, or AUTH_SYS (root) naming whatever machine it
// claims.
class MountClient {
  public:
    explicit MountClient(uint16_t port, uint32_t program = MOUNT_PROGRAM,
                         uint32_t version = MOUNT_V3);
    ~MountClient();
    MountClient(const MountClient&) = delete;
    MountClient& operator=(const MountClient&) = delete;
    bool Connected() const { return m_client != nullptr; }
    CLIENT* get() const { return m_client; }
    // Calls from here on carry AUTH_SYS credentials naming this machine.
    void ClaimMachineName(const std::string& name);

    struct MntResult {
        clnt_stat rpc = RPC_FAILED;
        mnt_stat3 status = MNT3ERR_SERVERFAULT;
        std::vector<uint8_t> handle;
        std::vector<int> flavors;
    };
    // path's bytes as they are, a NUL inside included (a dirpath is a
    // string, and a string's bytes are an opaque's).
    MntResult Mnt(const std::string& path);
    clnt_stat Umnt(const std::string& path);
    clnt_stat Null();
    // The mounted paths.
    std::vector<std::string> Dump();
    // (directory, groups) pairs.
    std::vector<std::pair<std::string, std::vector<std::string>>> Exports();

  private:
    CLIENT* m_client = nullptr;
};
