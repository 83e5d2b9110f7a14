// A client of lumed's configuration program (libtirpc), over TCP to an
// explicit address and port (no port mapper), over TCP with TLS, or over
// the local server's Unix socket. Calls carry no credentials: the server
// learns who calls from the socket or the client certificate, never from
// what a client writes.
// Over TLS, libtirpc calls through a TlsClientChannel.
// Not thread-safe: one thread makes its calls.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>

#include "server/protocol/XdrProc.h"
#include "server/tls/TlsClientChannel.h"

class ConfigClient {
  public:
    ConfigClient() = default;
    ~ConfigClient();
    ConfigClient(const ConfigClient&) = delete;
    ConfigClient& operator=(const ConfigClient&) = delete;

    // True when connected; else false and error says why.
    bool Connect(const std::string& host, uint16_t port, std::string& error);
    bool ConnectLocal(const std::string& socketPath, std::string& error);
    // TLS as RFC 9289 takes it up, showing certificate and key (PEM files,
    // may be empty: none); the server's certificate must chain to the CA
    // certificates in ca and name host.
    bool ConnectTls(const std::string& host, uint16_t port, const std::string& certificate,
                    const std::string& key, const std::string& ca, std::string& error);
    // Whether taking up TLS failed, or the server ended it with a fault
    // (such as refusing this client's certificate).
    bool TlsFailed() const;
    // One call; on RPC_SUCCESS the result is decoded (release it with
    // xdr_free). Otherwise error holds libtirpc's text.
    clnt_stat Call(uint32_t procedure, xdrproc_t encodeArgs, void* args, xdrproc_t decodeResult,
                   void* result, std::string& error);

  private:
    // Finishes a connection attempt: false with error (what, then libtirpc's
    // reason) when there is no client.
    bool Created(const std::string& what, std::string& error);

    TlsClientChannel m_tls;  // destroyed after m_client, which closes its plain end
    CLIENT* m_client = nullptr;
    bool m_tlsContextFailed = false;
};
