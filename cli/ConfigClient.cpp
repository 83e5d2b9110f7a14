#include "cli/ConfigClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "server/protocol/lumecfg.h"

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
    if (!m_client)
        return;
    if (m_client->cl_auth)
        auth_destroy(m_client->cl_auth);
    clnt_destroy(m_client);
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
    if (status != RPC_SUCCESS)
        error = clnt_sperror(m_client, "call failed");
    return status;
}
