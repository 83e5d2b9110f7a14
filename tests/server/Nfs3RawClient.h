// NFSv3 procedures on handles, one call at a time, over a libnfs connection
// to lumed: for tests that must pick the exact procedure and arguments
// (CREATE modes and verifiers, SETATTR or LOOKUP on a handle held across
// changes to the names). Handles are their raw bytes. Each call answers the
// NFS status, or kRpcFailed when no reply came within 30 seconds.
// One thread drives one client; races use one client per thread.
#pragma once

// libnfs.h first: the raw headers rely on what it defines.
#include <nfsc/libnfs.h>

#include <nfsc/libnfs-raw-nfs.h>
#include <nfsc/libnfs-raw.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/server/NfsClient.h"

class Nfs3RawClient {
  public:
    static constexpr int kRpcFailed = -1;
    using Fh = std::string;

    // Calls as uid and gid (AUTH_SYS).
    explicit Nfs3RawClient(int uid = 0, int gid = 0) : m_client(uid, gid) {}
    // Mounts dir (lumed serves MOUNT and NFS on one port) and keeps its handle.
    bool Mount(uint16_t port, const std::string& dir, std::string& error);
    const Fh& Root() const { return m_root; }
    // The libnfs context, for its own calls by path.
    nfs_context* Context() const { return m_client.Context(); }

    int Getattr(const Fh& fh, fattr3* attrs);
    int Lookup(const Fh& dir, const std::string& name, Fh* out, fattr3* attrs = nullptr);
    // UNCHECKED and GUARDED set size 0 and mode 0644; EXCLUSIVE sends verf.
    int Create(const Fh& dir, const std::string& name, createmode3 how, uint64_t verf = 0,
               Fh* out = nullptr);
    int Mkdir(const Fh& dir, const std::string& name, Fh* out);
    int Symlink(const Fh& dir, const std::string& name, const std::string& target);
    int Remove(const Fh& dir, const std::string& name);
    int Rmdir(const Fh& dir, const std::string& name);
    int Rename(const Fh& fromDir, const std::string& from, const Fh& toDir, const std::string& to);
    int Link(const Fh& file, const Fh& dir, const std::string& name);
    int Setattr(const Fh& fh, const sattr3& attrs);
    int SetMode(const Fh& fh, uint32_t mode);
    int SetSize(const Fh& fh, uint64_t size);
    // data, eof and got (the reply's count) are each optional.
    int Read(const Fh& fh, uint64_t offset, uint32_t count, std::string* data, bool* eof = nullptr,
             uint32_t* got = nullptr);
    int Write(const Fh& fh, uint64_t offset, const std::string& data);
    // The ACCESS bits granted of wanted; 0 when the call fails.
    uint32_t Access(const Fh& fh, uint32_t wanted);
    // Every entry of the first READDIR reply: name and file id.
    int Readdir(const Fh& dir, std::vector<std::pair<std::string, uint64_t>>* entries);

  private:
    template <typename Res, typename Args, typename Take = void (*)(Res&)>
    int Call(
        int (*send)(rpc_context*, rpc_cb, Args*, void*), Args args, Take take = [](Res&) {});

    NfsClient m_client;
    Fh m_root;
};
