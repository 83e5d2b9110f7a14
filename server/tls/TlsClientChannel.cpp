// A client's TLS connection to lumed, relayed to a plain socket its RPC client calls through.
#include "server/tls/TlsClientChannel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "server/tls/RpcTls.h"
#include "server/tls/TlsRelay.h"

TlsClientChannel::~TlsClientChannel() {
    if (m_relay.joinable())
        m_relay.join();
}

int TlsClientChannel::Open(const sockaddr_in& address, const TlsContext& context,
                           const std::string& serverName, uint32_t program, uint32_t version,
                           std::chrono::seconds timeout, std::string& error) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (tcp < 0 ||
        ::connect(tcp, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = std::strerror(errno);
        if (tcp >= 0)
            ::close(tcp);
        return -1;
    }
    auto session = std::make_shared<TlsSession>();
    int pair[2] = {-1, -1};
    if (!ConnectRpcTls(tcp, context, serverName, program, version,
                       std::chrono::steady_clock::now() + timeout, *session, error) ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        if (error.empty())
            error = std::strerror(errno);
        MutexLock lock(m_mutex);
        m_failed = true;
        ::close(tcp);
        return -1;
    }
    const int plain = pair[1];
    m_relay = std::thread([this, session, tcp, plain, timeout] {
        const std::string why = RelayTls(*session, tcp, plain, timeout);
        {
            MutexLock lock(m_mutex);
            m_end = why;
        }
        session->ssl.reset();
        ::close(tcp);
        ::close(plain);  // after m_end: whoever sees the end finds why
    });
    return pair[0];
}

bool TlsClientChannel::Failed() const {
    MutexLock lock(m_mutex);
    return m_failed || !m_end.empty();
}

std::string TlsClientChannel::End() const {
    MutexLock lock(m_mutex);
    return m_end;
}
