// One worker's handling of ONC RPC calls (RFC 5531): decodes a call record's
// header and credential, picks the program by number and version, lets it
// run, and encodes the reply record (record mark included) into a buffer it
// owns and reuses for every call. A reply may end in data left in the
// dispatcher's pipe (RpcProgram.h): the record mark counts it and its
// padding, and whoever sends the reply takes them from the pipe (Piped).
//
// Answers: rpcvers other than 2 → RPC_MISMATCH; a credential longer than
// MAX_AUTH_BYTES (400) or cut short, or an undecodable AUTH_SYS body →
// AUTH_BADCRED; such a verifier → AUTH_BADVERF; a credential other than
// AUTH_NONE or AUTH_SYS → AUTH_TOOWEAK; unknown program → PROG_UNAVAIL;
// version outside the program's range → PROG_MISMATCH; a retransmitted
// non-idempotent call → the first reply again (dropped while the first
// still runs; ReplayCache.h); otherwise what the program says. A record
// that is not a call, or a version 2 call whose header ends before the
// credential, gets no answer.
// Not thread-safe: each worker thread has its own; the program table is
// read-only while calls run; the replay cache is shared and thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "server/rpc/ReplayCache.h"
#include "server/rpc/ReplyBuffers.h"
#include "server/rpc/ReplyPipe.h"
#include "server/rpc/RpcProgram.h"

typedef std::map<uint32_t, RpcProgram*> RpcProgramTable;

class RpcDispatcher {
  public:
    // maxRecord bounds the reply, as it bounds calls. Reply buffers come from
    // buffers when given (of maxRecord + 4 bytes at least), else are new.
    // Without replies, every call runs.
    RpcDispatcher(const RpcProgramTable& programs, size_t maxRecord,
                  ReplyBuffers* buffers = nullptr, ReplayCache* replies = nullptr);

    // Handles one call record from the peer, whose transport fields (address
    // on, see RpcCaller) every call's caller takes. True and reply/replyLength
    // set (valid until the next call) when there is something to send: the
    // whole record, of which the last Piped() bytes and their padding are
    // not in the buffer yet.
    // onReader: it runs on the connection's thread, and may find it would
    // wait (WouldWait; no reply then).
    bool Handle(const uint8_t* record, size_t length, const RpcCaller& peer, const uint8_t*& reply,
                size_t& replyLength, bool onReader = false);
    // The last call was not run: it would wait, and is to run on a worker.
    bool WouldWait() const { return m_wouldWait; }

    // Hands over the buffer the last reply lies in (the reply stays valid
    // there) and takes a fresh one: a reply the socket did not take need not
    // be copied.
    ReplyBuffers::Buffer TakeReply();

    // The last reply's data still in the pipe; its padding follows them.
    ReplyPipe& Piped() { return m_pipe; }
    // Moves the data still in the pipe, and its padding, into place in the
    // buffer of the last reply (of replyLength bytes, its data piped), which
    // is then whole there; false (errno) when the pipe failed.
    bool Land(size_t replyLength);

    // True when the record is a call of a procedure its program calls quick
    // (read from the header's fixed words; nothing is decoded).
    bool Quick(const uint8_t* record, size_t length) const;

  private:
    // The header after rpcvers into m_call, m_credential and m_verifier;
    // false when it ends before the credential, else why is left AUTH_OK or
    // set to what is wrong with them.
    bool DecodeHeader(XDR* in, auth_stat& why);
    bool DecodeCredential(const opaque_auth& credential);
    bool DecodeAuthSys(const opaque_auth& credential);
    // Runs the program (or replays its reply) and fills the reply; args is
    // positioned after the header. False: no answer.
    bool Dispatch(XDR* args, const uint8_t* record, size_t length);
    // A non-idempotent call: the reply kept for it, none while its first
    // run goes on, else it runs and its reply is kept.
    bool Replay(RpcProgram& program, XDR* args, const uint8_t* record, size_t length);
    // Runs the program and encodes its accepted reply.
    void Run(RpcProgram& program, XDR* args);
    // Encodes an accepted reply header with this status into m_out from the
    // start; PROG_MISMATCH carries the range.
    bool EncodeAccepted(accept_stat status, uint32_t low = 0, uint32_t high = 0);
    bool EncodeRejected(const rejected_reply& rejected);
    bool Finish(const uint8_t*& reply, size_t& replyLength);
    // Counts the call that ran (CallStats.h) since start.
    void Count(std::chrono::steady_clock::time_point start, size_t in, size_t out);

    const RpcProgramTable& m_programs;
    const size_t m_maxRecord;
    ReplyBuffers* const m_buffers;
    ReplayCache* const m_replies;
    std::vector<uint8_t> m_replayed;   // a reply replayed, reused
    ReplyBuffers::Buffer m_reply;      // record mark, then the reply message
    ReplyPipe m_pipe;                  // the data ending the last reply, if any
    size_t m_padding = 0;              // after the last reply's piped data
    bool m_onReader = false;           // the call runs on the connection's thread
    bool m_wouldWait = false;          // and found it would wait
    XDR m_out;                         // encodes into m_reply after the mark
    RpcCall m_call;                    // reused so its vectors keep capacity
    RpcProgram* m_ran = nullptr;       // the program the last call reached, if any
    accept_stat m_accepted = SUCCESS;  // and how it accepted the call
    opaque_auth m_credential, m_verifier;
    char m_credArea[2 * MAX_AUTH_BYTES];
    char m_machineName[MAX_MACHINE_NAME + 1];
    gid_t m_gids[NGRPS];
};
