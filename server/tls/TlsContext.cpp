// The OpenSSL contexts of RPC-with-TLS, and OpenSSL's error text.
#include "server/tls/TlsContext.h"

#include <openssl/err.h>

std::string TlsErrorText() {
    std::string text;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        const char* reason = ERR_reason_error_string(code);
        if (!text.empty())
            text += "; ";
        text += reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
    }
    return text;
}

std::shared_ptr<const TlsContext> TlsContext::Make(Role role, const std::string& certificate,
                                                   const std::string& key, const std::string& ca,
                                                   std::string& error) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(role == Server ? TLS_server_method() : TLS_client_method());
    std::shared_ptr<const TlsContext> made(context ? new TlsContext(role, context) : nullptr);
    auto fail = [&error](const std::string& what) {
        error = what + ": " + TlsErrorText();
        return nullptr;
    };
    if (!made)
        return fail("cannot make a TLS context");
    if (role == Server && (certificate.empty() || key.empty()))
        return fail("a TLS server needs a certificate and a key");
    if (!certificate.empty() &&
        SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1)
        return fail("cannot use the certificate " + certificate);
    if (!key.empty() && SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail("cannot use the private key " + key);
    if (!certificate.empty() && SSL_CTX_check_private_key(context) != 1)
        return fail("the key " + key + " does not match the certificate " + certificate);
    if (SSL_CTX_load_verify_locations(context, ca.c_str(), nullptr) != 1)
        return fail("cannot load the CA certificates " + ca);
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const int verify =
        role == Server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER;
    SSL_CTX_set_verify(context, verify, nullptr);
    if (role == Server) {
        // No resumption: every connection proves its certificate afresh.
        SSL_CTX_set_num_tickets(context, 0);
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    }
    return made;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_context);
}
