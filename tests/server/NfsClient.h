// A libnfs client of lumed for tests: mounts
//   nfs://127.0.0.1/DIR?version=3&nfsport=P&mountport=P
// (both ports given so libnfs skips the port mapper). Calls time out after
// 30 seconds so a test cannot hang.
#pragma once

#include <cstdint>
#include <string>

struct nfs_context;

std::string LumedUrl(uint16_t port, const std::string& dir);

class NfsClient {
  public:
    // Calls as uid and gid (AUTH_SYS).
    explicit NfsClient(int uid = 0, int gid = 0);
    ~NfsClient();
    NfsClient(const NfsClient&) = delete;
    NfsClient& operator=(const NfsClient&) = delete;

    // True when mounted; else false and error holds libnfs's message.
    bool Mount(uint16_t port, const std::string& dir, std::string& error);
    nfs_context* Context() const { return m_context; }

  private:
    nfs_context* m_context;
};
