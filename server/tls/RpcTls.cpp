// The STARTTLS probe of RPC-with-TLS and the TLS handshake, for both ends, over a socket BIO that
// never raises SIGPIPE.
#include "server/tls/RpcTls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

constexpr uint32_t kAuthNone = 0;
constexpr uint32_t kAuthTls = 7;
constexpr uint32_t kCall = 0, kReply = 1;
constexpr uint32_t kAccepted = 0, kDenied = 1;
constexpr uint32_t kAuthError = 1, kAuthTooWeak = 5;
constexpr uint32_t kLastFragment = 0x80000000u;
// The probe is a bare NULL call: its record is far below this.
constexpr size_t kLongestProbe = 1024;
const char kStartTls[] = "STARTTLS";  // the verifier body, 8 bytes, no padding

// Waits for events on fd until deadline; false (why set) when time ran out.
bool Await(int fd, short events, TlsDeadline deadline, std::string& why) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            why = "it took too long to take up TLS";
            return false;
        }
        pollfd one{fd, events, 0};
        const int ready =
            ::poll(&one, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            why = std::string("poll failed: ") + std::strerror(errno);
            return false;
        }
    }
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes, TlsDeadline deadline, std::string& why) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t put =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put > 0) {
            sent += static_cast<size_t>(put);
        } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!Await(fd, POLLOUT, deadline, why))
                return false;
        } else {
            why = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Exactly length bytes: never more, so that what follows (the TLS
// handshake) stays in the socket for OpenSSL.
bool ReceiveExactly(int fd, uint8_t* into, size_t length, TlsDeadline deadline, std::string& why) {
    for (size_t got = 0; got < length;) {
        const ssize_t read = ::recv(fd, into + got, length - got, MSG_DONTWAIT);
        if (read > 0) {
            got += static_cast<size_t>(read);
        } else if (read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!Await(fd, POLLIN, deadline, why))
                return false;
        } else {
            why = read == 0 ? "the peer closed the connection"
                            : std::string("receive failed: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// One whole record of at most kLongestProbe bytes, as 32-bit words (a
// record whose length is not a multiple of 4 is no RPC message).
bool ReceiveRecord(int fd, TlsDeadline deadline, std::vector<uint32_t>& words, std::string& why) {
    uint32_t mark;
    if (!ReceiveExactly(fd, reinterpret_cast<uint8_t*>(&mark), 4, deadline, why))
        return false;
    mark = ntohl(mark);
    const size_t length = mark & ~kLastFragment;
    if (!(mark & kLastFragment) || length > kLongestProbe || length % 4 != 0 || length == 0) {
        why = "its first record is not an RPC message";
        return false;
    }
    words.resize(length / 4);
    if (!ReceiveExactly(fd, reinterpret_cast<uint8_t*>(words.data()), length, deadline, why))
        return false;
    for (uint32_t& word : words)
        word = ntohl(word);
    return true;
}

std::vector<uint8_t> Record(const std::vector<uint32_t>& words, const char* opaque8 = nullptr,
                            size_t opaqueAt = 0) {
    std::vector<uint8_t> bytes;
    auto put = [&bytes](uint32_t word) {
        word = htonl(word);
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&word);
        bytes.insert(bytes.end(), raw, raw + 4);
    };
    const size_t length = words.size() * 4 + (opaque8 ? 8 : 0);
    put(kLastFragment | static_cast<uint32_t>(length));
    for (size_t i = 0; i < words.size(); ++i) {
        if (opaque8 && i == opaqueAt)
            bytes.insert(bytes.end(), opaque8, opaque8 + 8);
        put(words[i]);
    }
    return bytes;
}

// A client's probe: xid, CALL, RPC version 2, program, version, NULL,
// credential AUTH_TLS with an empty body, verifier AUTH_NONE.
bool IsProbe(const std::vector<uint32_t>& call) {
    return call.size() == 10 && call[1] == kCall && call[2] == 2 && call[5] == 0 &&
           call[6] == kAuthTls && call[7] == 0 && call[8] == kAuthNone && call[9] == 0;
}

// Drives the handshake to its end; false with OpenSSL's reason.
bool Handshake(SSL* ssl, int fd, TlsDeadline deadline, std::string& why) {
    for (;;) {
        ERR_clear_error();
        const int done = SSL_is_server(ssl) ? SSL_accept(ssl) : SSL_connect(ssl);
        if (done == 1)
            return true;
        const int error = SSL_get_error(ssl, done);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            const long verified = SSL_get_verify_result(ssl);
            std::string reason = TlsErrorText();
            if (verified != X509_V_OK)
                reason += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
            if (reason.empty())
                reason = "the peer closed the connection";
            why = "TLS handshake failed: " + reason;
            return false;
        }
        if (!Await(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, why))
            return false;
    }
}

// An ASN.1 text as UTF-8; "" when it is not text or holds a NUL, and so
// could not stand for a client name.
std::string Utf8(const ASN1_STRING* text) {
    unsigned char* converted = nullptr;
    const int length = text ? ASN1_STRING_to_UTF8(&converted, text) : -1;
    std::string name;
    if (length > 0)
        name.assign(reinterpret_cast<char*>(converted), static_cast<size_t>(length));
    OPENSSL_free(converted);
    return name.find('\0') == std::string::npos ? name : std::string();
}

// The certificate's DNS subjectAltNames; false when it carries the
// extension more than once or in a form that does not decode.
bool DnsNames(X509* certificate, std::vector<std::string>& dns) {
    int found = 0;  // -1 none, -2 more than one, else its criticality
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, &found, nullptr));
    const bool decoded = found == -1 || names;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type == GEN_DNS)
            dns.push_back(Utf8(entry->d.dNSName));
    }
    GENERAL_NAMES_free(names);
    return decoded;
}

// The name the peer certificate proves: its DNS subjectAltName when it has
// exactly one; with none, its subject's common name when the subject has
// exactly one. "" otherwise: a certificate naming two hosts proves
// neither, as one with two common names does.
std::string CertifiedName(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    std::vector<std::string> dns;
    if (!certificate || !DnsNames(certificate, dns) || dns.size() > 1)
        return std::string();
    if (dns.size() == 1)
        return dns[0];
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, at) >= 0)
        return std::string();
    return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
}

// After a refusal: lets the client read the alert that says why. Closing
// with its bytes unread would reset the connection and lose the alert.
void Linger(int fd) {
    ::shutdown(fd, SHUT_WR);
    const TlsDeadline until = Clock::now() + std::chrono::seconds(1);
    char sink[4096];
    std::string ignored;
    for (int rounds = 0; rounds < 64 && Await(fd, POLLIN, until, ignored); ++rounds)
        if (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) == 0)
            break;
}

// OpenSSL's socket BIO writes with write(2): a peer that closed would raise
// SIGPIPE and end the process. This one sends with MSG_NOSIGNAL, and never
// waits (callers poll).
int SocketWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t put = ::send(fd, data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(put);
}

int SocketRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t got = ::recv(fd, data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long SocketControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered here
}

BIO* NewSocketBio(int fd) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rpc socket");
        if (made) {
            BIO_meth_set_write(made, SocketWrite);
            BIO_meth_set_read(made, SocketRead);
            BIO_meth_set_ctrl(made, SocketControl);
        }
        return made;
    }();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (bio) {
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        BIO_set_init(bio, 1);
    }
    return bio;
}

bool Start(int fd, const TlsContext& context, TlsSession& session, std::string& why) {
    session.ssl.reset(SSL_new(context.Get()));
    BIO* bio = session.ssl ? NewSocketBio(fd) : nullptr;
    if (!bio) {
        why = "cannot start TLS: " + TlsErrorText();
        return false;
    }
    SSL_set_bio(session.ssl.get(), bio, bio);  // the session owns it now
    return true;
}

}  // namespace

bool AcceptRpcTls(int fd, const TlsContext& context, TlsDeadline deadline, TlsSession& session,
                  std::string& why) {
    if (!Start(fd, context, session, why))
        return false;
    std::vector<uint32_t> call;
    if (!ReceiveRecord(fd, deadline, call, why))
        return false;
    if (call.size() < 2 || call[1] != kCall) {
        why = "its first record is not an RPC call";
        return false;
    }
    if (!IsProbe(call)) {
        std::string ignored;
        SendAll(fd, Record({call[0], kReply, kDenied, kAuthError, kAuthTooWeak}), deadline,
                ignored);
        why = "it called without taking up TLS";
        return false;
    }
    // xid, REPLY, accepted, verifier AUTH_NONE of 8 bytes "STARTTLS", SUCCESS.
    if (!SendAll(fd, Record({call[0], kReply, kAccepted, kAuthNone, 8, 0}, kStartTls, 5), deadline,
                 why))
        return false;
    if (!Handshake(session.ssl.get(), fd, deadline, why)) {
        Linger(fd);
        return false;
    }
    session.peerName = CertifiedName(session.ssl.get());
    if (session.peerName.empty()) {
        why = "its certificate names no one client (not one DNS name, nor one common name)";
        return false;
    }
    return true;
}

bool ConnectRpcTls(int fd, const TlsContext& context, const std::string& serverName,
                   uint32_t program, uint32_t version, TlsDeadline deadline, TlsSession& session,
                   std::string& why) {
    if (!Start(fd, context, session, why))
        return false;
    SSL* ssl = session.ssl.get();
    // The server's certificate must name it: an address literal as an IP
    // address, anything else as a DNS name.
    in6_addr ignored;
    const bool literal = inet_pton(AF_INET, serverName.c_str(), &ignored) == 1 ||
                         inet_pton(AF_INET6, serverName.c_str(), &ignored) == 1;
    const bool named =
        literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName.c_str()) == 1
                : SSL_set1_host(ssl, serverName.c_str()) == 1 &&
                      SSL_set_tlsext_host_name(ssl, serverName.c_str()) == 1;
    if (!named) {
        why = "cannot check the server's certificate against " + serverName;
        return false;
    }
    const uint32_t xid = std::random_device()();
    std::vector<uint32_t> reply;
    if (!SendAll(fd, Record({xid, kCall, 2, program, version, 0, kAuthTls, 0, kAuthNone, 0}),
                 deadline, why) ||
        !ReceiveRecord(fd, deadline, reply, why))
        return false;
    // xid, REPLY, accepted, AUTH_NONE, 8, "STARTTLS" (two words), SUCCESS.
    char verifier[8] = {};
    if (reply.size() == 8) {
        const uint32_t body[2] = {htonl(reply[5]), htonl(reply[6])};
        std::memcpy(verifier, body, sizeof(verifier));
    }
    const bool offered = reply.size() == 8 && reply[0] == xid && reply[1] == kReply &&
                         reply[2] == kAccepted && reply[3] == kAuthNone && reply[4] == 8 &&
                         std::memcmp(verifier, kStartTls, 8) == 0 && reply[7] == 0;
    if (!offered) {
        why = "the server does not offer TLS";
        return false;
    }
    return Handshake(ssl, fd, deadline, why);
}
