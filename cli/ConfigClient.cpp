// The configuration program's client: connecting over TCP, over TLS or to the
// local socket, and making one call.
#include "cli/ConfigClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "server/protocol/lumecfg.h"
#include "server/tls/TlsContext.h"

namespace {

// Large enough for a drill hole on a slow disk, bounded so lumectl never hangs.
const timeval kCallTimeout = {60, 0};

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    std::memcpy(&address, found->ai_addr, sizeof(address));
    address.sin_port = htons(port);
    ::freeaddrinfo(found);
    return true;
}

}  // namespace

ConfigClient::~ConfigClient() {
    if (m_client) {
        if (m_client->cl_auth)
            auth_destroy(m_client->cl_auth);
        clnt_destroy(m_client);  // closes the plain end: the relay ends
    }
}

bool ConfigClient::Connect(const std::string& host, uint16_t port, std::string& error) {
    sockaddr_in address{};
    if (!Resolve(host, port, address, error))
        return false;
    int socket = RPC_ANYSOCK;
    m_client = clnttcp_create(&address, LUMECFG_PROGRAM, LUMECFG_V1, &socket, 0, 0);
    return Created("cannot reach " + host + " port " + std::to_string(port), error);
}

bool ConfigClient::ConnectLocal(const std::string& socketPath, std::string& error) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof(address.sun_path)) {
        error = "socket path too long: " + socketPath;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int socket = RPC_ANYSOCK;
    m_client = clntunix_create(&address, LUMECFG_PROGRAM, LUMECFG_V1, &socket, 0, 0);
    return Created("cannot reach " + socketPath, error);
}

bool ConfigClient::ConnectTls(const std::string& host, uint16_t port,
                              const std::string& certificate, const std::string& key,
                              const std::string& ca, std::string& error) {
    std::shared_ptr<const TlsContext> context =
        TlsContext::Make(TlsContext::Client, certificate, key, ca, error);
    if (!context) {
        m_tlsContextFailed = true;
        return false;
    }
    sockaddr_in address{};
    if (!Resolve(host, port, address, error))
        return false;
    const std::string where = host + " port " + std::to_string(port);
    const int plain = m_tls.Open(address, *context, host, LUMECFG_PROGRAM, LUMECFG_V1,
                                 std::chrono::seconds(kCallTimeout.tv_sec), error);
    if (plain < 0) {
        error =
            (m_tls.Failed() ? "cannot take up TLS with " : "cannot reach ") + where + ": " + error;
        return false;
    }
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    netbuf peer{sizeof(local), sizeof(local), &local};
    m_client = clnt_vc_create(plain, &peer, LUMECFG_PROGRAM, LUMECFG_V1, 0, 0);
    if (m_client)
        clnt_control(m_client, CLSET_FD_CLOSE, nullptr);
    else
        ::close(plain);
    return Created("cannot call " + where, error);
}

bool ConfigClient::TlsFailed() const {
    return m_tlsContextFailed || m_tls.Failed();
}

bool ConfigClient::Created(const std::string& what, std::string& error) {
    if (!m_client) {
        // libtirpc's text begins with the prefix it is given and ": ".
        error = what + clnt_spcreateerror("");
        return false;
    }
    m_client->cl_auth = authnone_create();
    return true;
}

clnt_stat ConfigClient::Call(uint32_t procedure, xdrproc_t encodeArgs, void* args,
                             xdrproc_t decodeResult, void* result, std::string& error) {
    clnt_stat status = clnt_call(m_client, procedure, encodeArgs, static_cast<char*>(args),
                                 decodeResult, static_cast<char*>(result), kCallTimeout);
    if (status != RPC_SUCCESS) {
        const std::string end = m_tls.End();
        error =
            end.empty() ? clnt_sperror(m_client, "call failed") : "the server ended TLS: " + end;
    }
    return status;
}
