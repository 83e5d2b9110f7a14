// Carries a TLS stream to and from a plain stream socket, so that an RPC
// transport built for plain sockets (lumed's server, libtirpc's client) can
// serve or call over TLS through the other end of a socket pair.
//
// Each direction holds at most 64 KiB. RelayTls returns when either side
// ends (after passing on what the other still had for it, within stall), when
// bytes wait and neither side has moved for stall, or on a TLS or socket
// fault. It neither closes nor shuts down either descriptor, and sends TLS
// close_notify when the plain side ended.
#pragma once

#include <chrono>
#include <string>

#include "server/tls/RpcTls.h"

// Both descriptors must be connected stream sockets (used without waiting,
// whatever their mode); the session's must be tlsFd. The reason the relay
// stopped: "" when the plain side ended or the TLS stream ended with
// close_notify.
std::string RelayTls(TlsSession& session, int tlsFd, int plainFd, std::chrono::milliseconds stall);
