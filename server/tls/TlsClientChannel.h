// A client's RPC-with-TLS connection, seen as a plain stream socket: Open
// connects, takes up TLS (RpcTls.h) and starts a relay thread (TlsRelay.h)
// between the TLS stream and one end of a socket pair; a plain RPC client
// (libtirpc's) calls through the other end, which the caller takes and
// closes. Closing it ends the relay; the destructor joins the relay thread,
// so the plain end must be closed first (or never taken).
// Open and the destructor from one thread; Failed and End from any.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/ThreadSafety.h"
#include "server/tls/TlsContext.h"

class TlsClientChannel {
  public:
    TlsClientChannel() = default;
    ~TlsClientChannel();
    TlsClientChannel(const TlsClientChannel&) = delete;
    TlsClientChannel& operator=(const TlsClientChannel&) = delete;

    // The plain end, or -1 and error set; Failed() then says whether TLS
    // (rather than reaching the server) failed. timeout bounds taking up
    // TLS, and the relay's wait on a side that does not move.
    int Open(const sockaddr_in& address, const TlsContext& context, const std::string& serverName,
             uint32_t program, uint32_t version, std::chrono::seconds timeout, std::string& error);
    // Whether taking up TLS failed or the relay ended on a fault.
    bool Failed() const;
    // Why the relay ended on a fault (the TLS stream's, the plain side's, or
    // nothing moving for timeout); "" while it runs or after a clean end.
    // Set before the relay closes the plain end.
    std::string End() const;

  private:
    std::thread m_relay;
    mutable Mutex m_mutex;  // a leaf
    bool m_failed GUARDED_BY(m_mutex) = false;
    std::string m_end GUARDED_BY(m_mutex);
};
