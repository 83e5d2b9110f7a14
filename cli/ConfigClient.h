// A client of lumed's configuration program (libtirpc), over TCP to an
// explicit address and port (no port mapper) or over the local server's
// Unix socket. Calls carry no credentials: the server learns who calls from
// the socket itself, never from what a client writes.
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
    bool Connect(const std::string& host, uint16_t port, std::string& error);
    bool ConnectLocal(const std::string& socketPath, std::string& error);
    // One call; on RPC_SUCCESS the result is decoded (release it with
    // xdr_free). Otherwise error holds libtirpc's text.
    clnt_stat Call(uint32_t procedure, xdrproc_t encodeArgs, void* args, xdrproc_t decodeResult,
                   void* result, std::string& error);

  private:
    // Finishes a connection attempt: false with error (what, then libtirpc's
    // reason) when there is no client.
    bool Created(const std::string& what, std::string& error);

    CLIENT* m_client = nullptr;
};
