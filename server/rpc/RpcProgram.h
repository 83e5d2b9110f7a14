// The seam between the ONC RPC transport and the programs it serves (MOUNT,
// NFS, the configuration channel).
//
// The transport reads a call, decodes its header and credential, and hands
// the program the call and two XDR streams: the arguments (positioned after
// the header) and the results (positioned after the reply header, the whole
// reply bounded by RpcServer::Options::maxRecord bytes). The program decodes its
// arguments, runs the procedure and encodes its results, then says how the
// call was accepted; for anything but SUCCESS the transport discards what
// was encoded and sends the accept status alone.
// Programs are called from the transport's threads, any number at once; they
// keep their own state thread-safe. A call the program calls quick may run on
// the connection's reader thread (see RpcServer); all others run on workers.
// A call it calls non-idempotent is answered from the transport's replay
// cache when retransmitted (ReplayCache.h).
// A reply may end in data the program leaves in the call's pipe (ReplyPipe.h)
// instead of encoding it: the results then end where that opaque's bytes
// would begin, its length word included; the transport sends the pipe's
// bytes and their padding after them.
#pragma once

#include <rpc/rpc.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CRaIPAddr.h"

class ReplyPipe;

// Who made the call. AUTH_SYS carries uid, gid, groups and the machine name;
// AUTH_NONE carries nothing (uid and gid are then the nobody ids, 65534).
// Those are the client's word; the fields from address on are the
// transport's, which the client cannot choose.
struct RpcCaller {
    uint32_t flavor = AUTH_NONE;
    uint32_t uid = 65534;
    uint32_t gid = 65534;
    std::vector<uint32_t> gids;
    std::string machineName;
    CRaIPAddr address;     // the peer's address; 127.0.0.1 for a local caller
    uint16_t port = 0;     // the peer's source port; 0 for a local caller
    std::string hostName;  // the name the peer's address resolves to and that
                           // resolves back to it, "" if none (HostNameLookup.h)
    // A local caller came through the server's Unix socket; the kernel vouches
    // for its process's ids (SO_PEERCRED, SO_PEERGROUPS). Others keep nobody.
    bool local = false;
    uint32_t peerUid = 65534, peerGid = 65534;
    std::vector<uint32_t> peerGroups;  // supplementary groups
    // A caller over TLS proved this name: the common name of the subject of
    // a client certificate issued under the CA the server trusts. "" else.
    std::string certifiedName;
};

struct RpcCall {
    uint32_t xid = 0;
    uint32_t program = 0;
    uint32_t version = 0;
    uint32_t procedure = 0;
    RpcCaller caller;
    // Empty, for the reply's last opaque data; null when the reply must be
    // whole in the results (it is kept for replay).
    ReplyPipe* pipe = nullptr;
    // Set while a quick call runs on the connection's thread: a program that
    // finds the call would wait (its data is not in memory) sets it and
    // returns having changed nothing; the call then runs again on a worker,
    // where this is null.
    bool* wouldWait = nullptr;
};

class RpcProgram {
  public:
    virtual ~RpcProgram() = default;
    virtual uint32_t Number() const = 0;
    virtual uint32_t LowVersion() const = 0;
    virtual uint32_t HighVersion() const = 0;
    // SUCCESS, PROC_UNAVAIL, GARBAGE_ARGS or SYSTEM_ERR (version mismatches
    // are the transport's). Must not throw.
    virtual accept_stat Call(const RpcCall& call, XDR* args, XDR* results) = 0;
    // True for procedures that never wait long (no flush to disk, no walk of
    // a large directory): the transport may run them on the connection's
    // reader thread, which saves handing them to a worker (see wouldWait
    // for one that finds it would wait after all).
    virtual bool Quick(uint32_t version, uint32_t procedure) const {
        (void)version;
        (void)procedure;
        return false;
    }
    // The procedure's name for statistics (static storage), null when the
    // program has none.
    virtual const char* ProcedureName(uint32_t procedure) const {
        (void)procedure;
        return nullptr;
    }
    // True for procedures whose second run answers otherwise than the first
    // (REMOVE of a removed name): the transport replays the first reply to a
    // retransmission instead of running them again.
    virtual bool NonIdempotent(uint32_t version, uint32_t procedure) const {
        (void)version;
        (void)procedure;
        return false;
    }
};
