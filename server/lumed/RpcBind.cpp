// Registration of lumed's programs with a local rpcbind, tried only when one listens.
#include "server/lumed/RpcBind.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"

namespace {
// pmap_set retries for a long time when nothing listens; a refused
// connection to the port mapper's port answers at once on loopback.
bool RpcBindListening() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(PMAPPORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool listening = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return listening;
}
}  // namespace

RpcBindRegistration::RpcBindRegistration(std::vector<std::pair<uint32_t, uint32_t>> programs,
                                         uint16_t port)
    : m_programs(std::move(programs)) {
    if (!RpcBindListening()) {
        OXLOG(1, 0, "No rpcbind on this machine: not registered; clients must name port %u.", port);
        return;
    }
    m_attempted = true;
    m_registered = true;
    for (const auto& program : m_programs) {
        pmap_unset(program.first, program.second);  // a stale entry of an earlier run
        if (!pmap_set(program.first, program.second, IPPROTO_TCP, port))
            m_registered = false;
    }
    LumeServiceGlobals::portMapperRegistered = m_registered;
    OXLOG(1, 0, "Registration with rpcbind on port %u %s.", port,
          m_registered ? "succeeded" : "failed");
}

RpcBindRegistration::~RpcBindRegistration() {
    if (!m_attempted)
        return;
    for (const auto& program : m_programs)
        pmap_unset(program.first, program.second);
    LumeServiceGlobals::portMapperRegistered = false;
}
