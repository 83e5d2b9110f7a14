// A MOUNT v3 client for the integration tests: libtirpc's TCP client with
// the XDR routines rpcgen made from our protocol description, pointed at
// lumed's port directly.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/protocol/mount3.h"

// libtirpc takes every XDR routine as one variadic pointer type.
template <typename F>
xdrproc_t XdrProc(F f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

class MountClient {
  public:
    MountClient(uint16_t port, uint32_t program = MOUNT_PROGRAM, uint32_t version = MOUNT_V3);
    ~MountClient();
    bool Connected() const { return m_client != nullptr; }
    // Calls from here on carry AUTH_SYS credentials naming this machine.
    void ClaimMachineName(const std::string& name);

    struct MntResult {
        clnt_stat rpc = RPC_FAILED;
        mnt_stat3 status = MNT3ERR_SERVERFAULT;
        std::vector<uint8_t> handle;
        std::vector<int> flavors;
    };
    MntResult Mnt(const std::string& path);
    clnt_stat Umnt(const std::string& path);
    clnt_stat Null();
    // (host, path) pairs.
    std::vector<std::pair<std::string, std::string>> Dump();
    // (directory, groups) pairs.
    std::vector<std::pair<std::string, std::vector<std::string>>> Exports();

  private:
    CLIENT* m_client = nullptr;
};
