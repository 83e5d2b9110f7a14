// One call handled: its header and credential decoded, its program run (or its reply replayed), the
// reply record encoded.
#include "server/rpc/RpcDispatcher.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/LogWriter.h"
#include "server/stats/CallStats.h"

namespace {
constexpr uint32_t kLastFragment = 0x80000000u;
constexpr size_t kMarkSize = 4;
constexpr uint32_t kNobody = 65534;

// A credential or verifier: flavor, then at most MAX_AUTH_BYTES into area.
bool DecodeAuth(XDR* in, opaque_auth& auth, char* area) {
    u_int flavor = 0, length = 0;
    if (!xdr_u_int(in, &flavor) || !xdr_u_int(in, &length) || length > MAX_AUTH_BYTES)
        return false;
    auth.oa_flavor = static_cast<enum_t>(flavor);
    auth.oa_length = length;
    auth.oa_base = area;
    return xdr_opaque(in, area, length);
}

// The results of a SUCCESS header: the program encodes them afterwards.
bool_t NoResults(XDR*, ...) {
    return TRUE;
}
}  // namespace

RpcDispatcher::RpcDispatcher(const RpcProgramTable& programs, size_t maxRecord,
                             ReplyBuffers* buffers, ReplayCache* replies)
    : m_programs(programs),
      m_maxRecord(maxRecord),
      m_buffers(buffers),
      m_replies(replies),
      m_reply(ReplyBuffers::Make(buffers, maxRecord + kMarkSize)) {
    xdrmem_create(&m_out, m_reply.get() + kMarkSize, static_cast<u_int>(maxRecord), XDR_ENCODE);
}

ReplyBuffers::Buffer RpcDispatcher::TakeReply() {
    ReplyBuffers::Buffer taken = ReplyBuffers::Make(m_buffers, m_maxRecord + kMarkSize);
    taken.swap(m_reply);
    xdrmem_create(&m_out, m_reply.get() + kMarkSize, static_cast<u_int>(m_maxRecord), XDR_ENCODE);
    return taken;
}

bool RpcDispatcher::Land(size_t replyLength) {
    char* const padding = m_reply.get() + replyLength - m_padding;
    if (!m_pipe.Drain(padding - m_pipe.Held()))
        return false;
    std::memset(padding, 0, m_padding);
    return true;
}

bool RpcDispatcher::Handle(const uint8_t* record, size_t length, const RpcCaller& peer,
                           const uint8_t*& reply, size_t& replyLength, bool onReader) {
    m_pipe.Clear();  // what a dropped reply left there
    m_onReader = onReader;
    m_wouldWait = false;
    XDR in;
    // XDR_DECODE only reads the buffer.
    xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(record)),
                  static_cast<u_int>(length), XDR_DECODE);
    uint32_t xid = 0, direction = 0, rpcvers = 0;
    if (!xdr_u_int32_t(&in, &xid) || !xdr_u_int32_t(&in, &direction) || direction != CALL ||
        !xdr_u_int32_t(&in, &rpcvers)) {
        OXLOG(2, 0, "Dropping a record of %zu bytes from %s that is no call.", length,
              peer.address.ToString().c_str());
        return false;
    }
    m_call.xid = xid;
    if (rpcvers != RPC_MSG_VERSION) {
        rejected_reply rejected{};
        rejected.rj_stat = RPC_MISMATCH;
        rejected.rj_vers.low = RPC_MSG_VERSION;
        rejected.rj_vers.high = RPC_MSG_VERSION;
        return EncodeRejected(rejected) && Finish(reply, replyLength);
    }
    auth_stat why = AUTH_OK;
    if (!DecodeHeader(&in, why)) {
        OXLOG(2, 0, "Dropping call xid %u from %s: its header is cut short.", xid,
              peer.address.ToString().c_str());
        return false;
    }
    // Assignment reuses the caller's buffers; DecodeCredential then sets the
    // client's own fields.
    m_call.caller = peer;
    if (why == AUTH_OK && !DecodeCredential(m_credential))
        why = m_credential.oa_flavor == AUTH_SYS ? AUTH_BADCRED : AUTH_TOOWEAK;
    if (why != AUTH_OK) {
        rejected_reply rejected{};
        rejected.rj_stat = AUTH_ERROR;
        rejected.rj_why = why;
        return EncodeRejected(rejected) && Finish(reply, replyLength);
    }
    const auto start = std::chrono::steady_clock::now();
    CallStats::BeginCall();
    m_ran = nullptr;
    if (!Dispatch(&in, record, length) || m_wouldWait || !Finish(reply, replyLength)) {
        m_pipe.Clear();
        return false;
    }
    Count(start, length, replyLength);
    return true;
}

void RpcDispatcher::Count(std::chrono::steady_clock::time_point start, size_t in, size_t out) {
    if (!m_ran)
        return;
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    CallStats::Process().Record(
        {m_call.program, m_call.procedure, m_ran->ProcedureName(m_call.procedure),
         static_cast<uint32_t>(m_accepted), static_cast<uint64_t>(nanos.count()), in, out});
}

bool RpcDispatcher::Quick(const uint8_t* record, size_t length) const {
    // xid, direction, rpcvers, program, version, procedure
    uint32_t word[6];
    if (length < sizeof word)
        return false;
    std::memcpy(word, record, sizeof word);
    for (uint32_t& w : word)
        w = ntohl(w);
    if (word[1] != CALL || word[2] != RPC_MSG_VERSION)
        return false;
    auto found = m_programs.find(word[3]);
    if (found == m_programs.end())
        return false;
    const RpcProgram& program = *found->second;
    return word[4] >= program.LowVersion() && word[4] <= program.HighVersion() &&
           program.Quick(word[4], word[5]);
}

bool RpcDispatcher::DecodeHeader(XDR* in, auth_stat& why) {
    uint32_t program = 0, version = 0, procedure = 0;
    if (!xdr_u_int32_t(in, &program) || !xdr_u_int32_t(in, &version) ||
        !xdr_u_int32_t(in, &procedure))
        return false;
    m_call.program = program;
    m_call.version = version;
    m_call.procedure = procedure;
    // Decoded here rather than by xdr_callmsg, which refuses an oversized
    // credential without saying which part failed, leaving nothing to answer.
    if (!DecodeAuth(in, m_credential, m_credArea))
        why = AUTH_BADCRED;
    else if (!DecodeAuth(in, m_verifier, m_credArea + MAX_AUTH_BYTES))
        why = AUTH_BADVERF;
    return true;
}

bool RpcDispatcher::DecodeCredential(const opaque_auth& credential) {
    RpcCaller& caller = m_call.caller;
    caller.flavor = credential.oa_flavor;
    caller.uid = kNobody;
    caller.gid = kNobody;
    caller.gids.clear();
    caller.machineName.clear();
    if (credential.oa_flavor == AUTH_NONE)
        return true;
    return credential.oa_flavor == AUTH_SYS && DecodeAuthSys(credential);
}

bool RpcDispatcher::DecodeAuthSys(const opaque_auth& credential) {
    XDR body;
    xdrmem_create(&body, credential.oa_base, credential.oa_length, XDR_DECODE);
    // Preset buffers: xdr_authunix_parms then fills them instead of allocating.
    authunix_parms parms{};
    parms.aup_machname = m_machineName;
    parms.aup_gids = m_gids;
    if (!xdr_authunix_parms(&body, &parms))
        return false;
    RpcCaller& caller = m_call.caller;
    caller.uid = parms.aup_uid;
    caller.gid = parms.aup_gid;
    caller.gids.assign(m_gids, m_gids + parms.aup_len);
    caller.machineName.assign(m_machineName);
    return true;
}

bool RpcDispatcher::Dispatch(XDR* args, const uint8_t* record, size_t length) {
    auto found = m_programs.find(m_call.program);
    if (found == m_programs.end())
        return EncodeAccepted(PROG_UNAVAIL);
    RpcProgram& program = *found->second;
    if (m_call.version < program.LowVersion() || m_call.version > program.HighVersion())
        return EncodeAccepted(PROG_MISMATCH, program.LowVersion(), program.HighVersion());
    m_ran = &program;
    m_accepted = SUCCESS;
    const bool kept = m_replies && program.NonIdempotent(m_call.version, m_call.procedure);
    m_call.pipe = kept ? nullptr : &m_pipe;  // a kept reply must be whole
    m_call.wouldWait = m_onReader && !kept ? &m_wouldWait : nullptr;
    if (kept)
        return Replay(program, args, record, length);
    Run(program, args);
    return true;
}

bool RpcDispatcher::Replay(RpcProgram& program, XDR* args, const uint8_t* record, size_t length) {
    const ReplayCache::Key key = ReplayCache::KeyOf(m_call, record, length, xdr_getpos(args));
    char* message = m_reply.get() + kMarkSize;
    switch (m_replies->Begin(key, m_replayed)) {
        case ReplayCache::Seen::kRunning:
            // The first one's reply answers it; waiting would hold a worker.
            OXLOG(3, 0, "Dropping call xid %u from %s: it is still running.", m_call.xid,
                  m_call.caller.address.ToString().c_str());
            return false;
        case ReplayCache::Seen::kDone:
            std::memcpy(message, m_replayed.data(), m_replayed.size());
            return xdr_setpos(&m_out, static_cast<u_int>(m_replayed.size()));
        case ReplayCache::Seen::kNew:
            break;
    }
    try {
        Run(program, args);
    } catch (...) {
        m_replies->Abandon(key);
        throw;
    }
    m_replies->Complete(key, reinterpret_cast<const uint8_t*>(message), xdr_getpos(&m_out));
    return true;
}

void RpcDispatcher::Run(RpcProgram& program, XDR* args) {
    if (!EncodeAccepted(SUCCESS))
        return;
    accept_stat status = program.Call(m_call, args, &m_out);
    m_accepted = status;
    if (status != SUCCESS) {
        m_pipe.Clear();
        EncodeAccepted(status);
    }
}

bool RpcDispatcher::EncodeAccepted(accept_stat status, uint32_t low, uint32_t high) {
    xdr_setpos(&m_out, 0);
    rpc_msg msg{};
    msg.rm_xid = m_call.xid;
    msg.rm_direction = REPLY;
    msg.rm_reply.rp_stat = MSG_ACCEPTED;
    msg.acpted_rply.ar_verf = _null_auth;
    msg.acpted_rply.ar_stat = status;
    if (status == SUCCESS) {
        msg.acpted_rply.ar_results.where = nullptr;
        msg.acpted_rply.ar_results.proc = NoResults;
    } else if (status == PROG_MISMATCH) {
        msg.acpted_rply.ar_vers.low = low;
        msg.acpted_rply.ar_vers.high = high;
    }
    return xdr_replymsg(&m_out, &msg);
}

bool RpcDispatcher::EncodeRejected(const rejected_reply& rejected) {
    xdr_setpos(&m_out, 0);
    rpc_msg msg{};
    msg.rm_xid = m_call.xid;
    msg.rm_direction = REPLY;
    msg.rm_reply.rp_stat = MSG_DENIED;
    msg.rjcted_rply = rejected;
    return xdr_replymsg(&m_out, &msg);
}

bool RpcDispatcher::Finish(const uint8_t*& reply, size_t& replyLength) {
    m_padding = ReplyPipe::Padding(m_pipe.Held());
    const uint32_t length = xdr_getpos(&m_out) + static_cast<uint32_t>(m_pipe.Held() + m_padding);
    uint32_t mark = htonl(kLastFragment | length);
    std::memcpy(m_reply.get(), &mark, sizeof(mark));
    reply = reinterpret_cast<const uint8_t*>(m_reply.get());
    replyLength = kMarkSize + length;
    return true;
}
