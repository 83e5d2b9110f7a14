// Registration of lumed's programs with a local rpcbind, so clients that ask
// the port mapper find them. Optional: without a running rpcbind lumed
// serves all the same (clients then name the port). Sets
// LumeServiceGlobals::portMapperRegistered.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

class RpcBindRegistration {
  public:
    // (program, version) pairs, all served over TCP on port.
    RpcBindRegistration(std::vector<std::pair<uint32_t, uint32_t>> programs, uint16_t port);
    // Unregisters what was registered.
    ~RpcBindRegistration();
    RpcBindRegistration(const RpcBindRegistration&) = delete;
    RpcBindRegistration& operator=(const RpcBindRegistration&) = delete;

    bool Registered() const { return m_registered; }

  private:
    std::vector<std::pair<uint32_t, uint32_t>> m_programs;
    bool m_attempted = false;  // rpcbind was there at start
    bool m_registered = false;
};
