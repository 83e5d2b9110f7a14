// A client of lumed's configuration program over TCP (libtirpc), connected
// to an explicit address and port: no port mapper. Calls carry AUTH_SYS
// credentials with the given machine name (the caller's client name as the
// server sees it) and this process's uid and gid.
// Not thread-safe: one thread makes its calls.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>

// libtirpc takes every XDR routine as one variadic pointer type.
template <typename Routine>
xdrproc_t XdrProc(Routine routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}

class ConfigClient {
  public:
    ConfigClient() = default;
    ~ConfigClient();
    ConfigClient(const ConfigClient&) = delete;
    ConfigClient& operator=(const ConfigClient&) = delete;

    // True when connected; else false and error says why.
    bool Connect(const std::string& host, uint16_t port, const std::string& machineName,
                 std::string& error);
    // One call; on RPC_SUCCESS the result is decoded (release it with
    // xdr_free). Otherwise error holds libtirpc's text.
    clnt_stat Call(uint32_t procedure, xdrproc_t encodeArgs, void* args, xdrproc_t decodeResult,
                   void* result, std::string& error);

  private:
    CLIENT* m_client = nullptr;
};
