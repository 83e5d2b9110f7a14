// Taking up TLS on an ONC RPC stream, as RFC 9289 has it: the client sends
// a NULL call whose credential is AUTH_TLS; the server answers it with the
// verifier "STARTTLS", and the TLS handshake follows on the same connection.
// A server that requires TLS answers any other first call with AUTH_ERROR /
// AUTH_TOOWEAK and closes.
//
// Both ends work on a connected stream socket, whatever its mode, waiting
// (in poll) at most until the deadline given. OpenSSL reads and writes it
// with MSG_DONTWAIT and MSG_NOSIGNAL: a peer that hangs up never raises
// SIGPIPE. Thread-safe (no shared state).
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

#include "server/tls/TlsContext.h"

struct TlsSession {
    struct Free {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };
    std::unique_ptr<SSL, Free> ssl;
    // Server side: the name the client certificate proves: its DNS
    // subjectAltName when it has one; with none, its subject's common name
    // when it has exactly one. Any other certificate proves no name, and
    // AcceptRpcTls refuses it.
    std::string peerName;
};

typedef std::chrono::steady_clock::time_point TlsDeadline;

// The server's side: the probe, then the handshake. False and why set
// (what the client did, or OpenSSL's reason) when the connection is to close.
bool AcceptRpcTls(int fd, const TlsContext& context, TlsDeadline deadline, TlsSession& session,
                  std::string& why);

// The client's side, for program and version; serverName is the name or
// address literal the server's certificate must carry.
bool ConnectRpcTls(int fd, const TlsContext& context, const std::string& serverName,
                   uint32_t program, uint32_t version, TlsDeadline deadline, TlsSession& session,
                   std::string& why);
