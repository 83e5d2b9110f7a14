// An OpenSSL context for RPC-with-TLS (RFC 9289): TLS 1.3 only, both ends
// proved by certificates. A server context demands a client certificate
// issued under its CA; a client context checks the server's certificate
// against its CA (and, per connection, the server's name: RpcTls.h).
// Immutable once made; shared by any number of connections and threads.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

class TlsContext {
  public:
    enum Role { Server, Client };

    // certificate and key: PEM files of this end's certificate (chain) and
    // private key; a client may give neither (the server will then refuse
    // it). ca: PEM file of the certificates the peer's must chain to. Null
    // and error set (naming the file and OpenSSL's reason) on failure.
    static std::shared_ptr<const TlsContext> Make(Role role, const std::string& certificate,
                                                  const std::string& key, const std::string& ca,
                                                  std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    Role GetRole() const { return m_role; }
    SSL_CTX* Get() const { return m_context; }

  private:
    TlsContext(Role role, SSL_CTX* context) : m_role(role), m_context(context) {}

    const Role m_role;
    SSL_CTX* const m_context;
};

// OpenSSL's reason for the last failure on this thread ("" if none), and the
// thread's error queue emptied.
std::string TlsErrorText();
