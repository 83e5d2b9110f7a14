// The relay between a TLS stream and a plain socket, each direction holding at most 64 KiB.
#include "server/tls/TlsRelay.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

typedef std::chrono::steady_clock Clock;

constexpr size_t kHeld = 64 * 1024;  // per direction

// One relay: the bytes on their way each way, and what each side waits for.
class Relay {
  public:
    Relay(SSL* ssl, int tls, int plain) : m_ssl(ssl), m_tls(tls), m_plain(plain) {}

    std::string Run(std::chrono::milliseconds stall) {
        Clock::time_point moved = Clock::now();
        for (;;) {
            m_tlsEvents = m_plainEvents = 0;
            // Every step runs each round, whatever the others did.
            const bool fromTls = FromTls(), toPlain = ToPlain();
            const bool fromPlain = FromPlain(), toTls = ToTls();
            const bool progress = fromTls || toPlain || fromPlain || toTls;
            if (!m_why.empty())
                return m_why;
            if (!m_plainOpen && m_toTls.empty()) {
                SSL_shutdown(m_ssl);  // close_notify, best effort
                return std::string();
            }
            if (!m_tlsOpen && m_toPlain.empty())
                return m_tlsEnd;
            const Clock::time_point now = Clock::now();
            if (progress) {
                moved = now;
                continue;
            }
            const bool waiting = !m_toTls.empty() || !m_toPlain.empty();
            if (waiting && now - moved >= stall)
                return "nothing moved for " + std::to_string(stall.count()) + " ms";
            const int timeout =
                waiting
                    ? static_cast<int>(
                          std::chrono::ceil<std::chrono::milliseconds>(moved + stall - now).count())
                    : -1;
            pollfd fds[2] = {{m_tls, m_tlsEvents, 0}, {m_plain, m_plainEvents, 0}};
            if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
                return std::string("poll failed: ") + std::strerror(errno);
        }
    }

  private:
    // Records what OpenSSL waits for; false when the TLS stream is done.
    bool Wants(int result) {
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ) {
            m_tlsEvents |= POLLIN;
            return true;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            m_tlsEvents |= POLLOUT;
            return true;
        }
        return false;
    }

    // OpenSSL's reason for a failed read or write, else the socket's.
    static std::string Fault() {
        const int error = errno;
        std::string text = TlsErrorText();
        if (text.empty())
            text = error ? std::strerror(error) : "the peer closed the connection";
        return text;
    }

    bool FromTls() {
        bool moved = false;
        char chunk[16 * 1024];
        while (m_tlsOpen && m_toPlain.size() < kHeld) {
            ERR_clear_error();
            errno = 0;
            const int got = SSL_read(
                m_ssl, chunk, static_cast<int>(std::min(sizeof(chunk), kHeld - m_toPlain.size())));
            if (got > 0) {
                m_toPlain.append(chunk, static_cast<size_t>(got));
                moved = true;
                continue;
            }
            if (Wants(got))
                break;
            // close_notify ends the stream cleanly; anything else is the reason.
            if (SSL_get_error(m_ssl, got) != SSL_ERROR_ZERO_RETURN)
                m_tlsEnd = Fault();
            m_tlsOpen = false;
            moved = true;
        }
        return moved;
    }

    bool ToPlain() {
        if (m_toPlain.empty())
            return false;
        const ssize_t put =
            ::send(m_plain, m_toPlain.data(), m_toPlain.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put > 0) {
            m_toPlain.erase(0, static_cast<size_t>(put));
            return true;
        }
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            m_plainEvents |= POLLOUT;
        else
            m_why = std::string("the plain side failed: ") + std::strerror(errno);
        return false;
    }

    bool FromPlain() {
        bool moved = false;
        char chunk[16 * 1024];
        while (m_plainOpen && m_toTls.size() < kHeld) {
            const ssize_t got = ::recv(
                m_plain, chunk, std::min(sizeof(chunk), kHeld - m_toTls.size()), MSG_DONTWAIT);
            if (got > 0) {
                m_toTls.append(chunk, static_cast<size_t>(got));
                moved = true;
            } else if (got < 0 && errno == EINTR) {
                continue;
            } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                m_plainEvents |= POLLIN;
                break;
            } else {
                m_plainOpen = false;  // its end closed (or failed): nothing more to carry
                moved = true;
            }
        }
        return moved;
    }

    bool ToTls() {
        if (m_toTls.empty() || !m_tlsOpen)
            return false;  // an ended TLS stream takes nothing more
        // A write OpenSSL could not finish is retried with the same length.
        const size_t length = m_retry ? m_retry : std::min(m_toTls.size(), kHeld);
        ERR_clear_error();
        errno = 0;
        const int put = SSL_write(m_ssl, m_toTls.data(), static_cast<int>(length));
        if (put > 0) {
            m_toTls.erase(0, static_cast<size_t>(put));
            m_retry = 0;
            return true;
        }
        if (Wants(put)) {
            m_retry = length;
        } else {
            m_why = Fault();
        }
        return false;
    }

    SSL* const m_ssl;
    const int m_tls, m_plain;
    std::string m_toPlain, m_toTls;
    bool m_tlsOpen = true, m_plainOpen = true;
    size_t m_retry = 0;
    short m_tlsEvents = 0, m_plainEvents = 0;
    std::string m_tlsEnd;  // why the TLS stream ended ("" for close_notify)
    std::string m_why;     // set: a fault ends the relay now
};

}  // namespace

std::string RelayTls(TlsSession& session, int tlsFd, int plainFd, std::chrono::milliseconds stall) {
    return Relay(session.ssl.get(), tlsFd, plainFd).Run(stall);
}
