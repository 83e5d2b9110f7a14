// The NFS v3 program: the procedure table, the checks the decoders leave undone, and one call's
// decode, run and encode.
#include "server/nfs/Nfs3Program.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include "host/PerfCounters.h"
#include "platform/LogWriter.h"
#include "server/nfs/Nfs3Procedures.h"
#include "server/protocol/XdrProc.h"
#include "server/stats/CallStats.h"

namespace {

// The generated decoders store an XDR enum's word in the C enum as it came.
// A value the enum lacks does not decode (and loading it as the enum is
// undefined), so the word is read as an integer.
template <class Enum>
bool InRange(const Enum& field, Enum first, Enum last) {
    static_assert(sizeof(Enum) == sizeof(int32_t), "xdr_enum stores 32 bits");
    int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value >= first && value <= last;
}

bool KnownEnums(const sattr3& attrs) {
    return InRange(attrs.atime.set_it, DONT_CHANGE, SET_TO_CLIENT_TIME) &&
           InRange(attrs.mtime.set_it, DONT_CHANGE, SET_TO_CLIENT_TIME);
}

// The enums of each procedure's arguments. createhow3's mode needs no
// check: its union has no default arm, so its decoder refuses the rest.
template <class Args>
bool KnownEnums(const Args&) {
    return true;
}

bool KnownEnums(const SETATTR3args& args) {
    return KnownEnums(args.new_attributes);
}

bool KnownEnums(const WRITE3args& args) {
    return InRange(args.stable, UNSTABLE, FILE_SYNC);
}

bool KnownEnums(const CREATE3args& args) {
    return args.how.mode == EXCLUSIVE || KnownEnums(args.how.createhow3_u.obj_attributes);
}

bool KnownEnums(const MKDIR3args& args) {
    return KnownEnums(args.attributes);
}

bool KnownEnums(const SYMLINK3args& args) {
    return KnownEnums(args.symlink.symlink_attributes);
}

bool KnownEnums(const MKNOD3args& args) {
    const mknoddata3& what = args.what;
    if (!InRange(what.type, W_NF3REG, W_NF3FIFO))
        return false;
    switch (what.type) {
        case W_NF3CHR:
        case W_NF3BLK:
            return KnownEnums(what.mknoddata3_u.device.dev_attributes);
        case W_NF3SOCK:
        case W_NF3FIFO:
            return KnownEnums(what.mknoddata3_u.pipe_attributes);
        default:
            return true;
    }
}

// How the transport may treat a procedure's calls (RpcProgram): quick ones
// (work of one object, no flush) may run on the connection's reader thread;
// a non-idempotent one retransmitted gets its first reply again; one whose
// result is a Read3Result may leave its data in the call's pipe, and may
// find it would wait.
enum Traits : unsigned { kPlain = 0, kQuick = 1, kNonIdempotent = 2, kPiped = 4 };

// One table row: the procedure's name (for logs), its XDR routines, the
// sizes of its decoded arguments and result, its handler, the check of
// what the decoder leaves unchecked, its traits, and what it needs of the
// export's share permissions.
struct Nfs3Procedure {
    const char* name;
    xdrproc_t decodeArgs;
    size_t argsSize;
    xdrproc_t encodeResult;
    size_t resultSize;
    void (*handler)(Nfs3Request& req, void* args, void* result);
    bool (*decodable)(const void* args);
    unsigned traits;
    Nfs3Need need;
};

template <class Args, class Result, void (*Handler)(Nfs3Request&, Args&, Result&)>
void Typed(Nfs3Request& req, void* args, void* result) {
    Handler(req, *static_cast<Args*>(args), *static_cast<Result*>(result));
}

template <class Args>
bool Decodable(const void* args) {
    return KnownEnums(*static_cast<const Args*>(args));
}

template <class Args, class Result, void (*Handler)(Nfs3Request&, Args&, Result&)>
Nfs3Procedure Row(const char* name, bool_t (*decode)(XDR*, Args*), xdrproc_t encode,
                  unsigned traits, Nfs3Need need) {
    return {name,
            XdrProc(decode),
            sizeof(Args),
            encode,
            sizeof(Result),
            &Typed<Args, Result, Handler>,
            &Decodable<Args>,
            traits,
            need};
}

template <class Args, class Result, void (*Handler)(Nfs3Request&, Args&, Result&)>
Nfs3Procedure Row(const char* name, bool_t (*decode)(XDR*, Args*), bool_t (*encode)(XDR*, Result*),
                  unsigned traits, Nfs3Need need) {
    return Row<Args, Result, Handler>(name, decode, XdrProc(encode), traits, need);
}

void Null(Nfs3Request&, void*, void*) {}
// NULL's arguments and result: nothing on the wire. In libtirpc's own
// form, as it is called through that type.
bool_t NoData(XDR*, ...) {
    return TRUE;
}
bool NoArgs(const void*) {
    return true;
}

const Nfs3Procedure kProcedures[] = {
    {"NULL", NoData, 0, NoData, 0, &Null, &NoArgs, kQuick, Nfs3Need::kAttributes},
    Row<GETATTR3args, GETATTR3res, Nfs3Getattr>("GETATTR", xdr_GETATTR3args, xdr_GETATTR3res,
                                                kQuick, Nfs3Need::kAttributes),
    Row<SETATTR3args, SETATTR3res, Nfs3Setattr>("SETATTR", xdr_SETATTR3args, xdr_SETATTR3res,
                                                kNonIdempotent, Nfs3Need::kWrite),
    Row<LOOKUP3args, LOOKUP3res, Nfs3Lookup>("LOOKUP", xdr_LOOKUP3args, xdr_LOOKUP3res, kQuick,
                                             Nfs3Need::kAttributes),
    Row<ACCESS3args, ACCESS3res, Nfs3Access>("ACCESS", xdr_ACCESS3args, xdr_ACCESS3res, kQuick,
                                             Nfs3Need::kAttributes),
    Row<READLINK3args, READLINK3res, Nfs3Readlink>("READLINK", xdr_READLINK3args, xdr_READLINK3res,
                                                   kQuick, Nfs3Need::kRead),
    Row<READ3args, Read3Result, Nfs3Read>("READ", xdr_READ3args, EncodeRead3Result, kQuick | kPiped,
                                          Nfs3Need::kRead),
    Row<WRITE3args, WRITE3res, Nfs3Write>("WRITE", xdr_WRITE3args, xdr_WRITE3res, kNonIdempotent,
                                          Nfs3Need::kWrite),
    Row<CREATE3args, CREATE3res, Nfs3Create>("CREATE", xdr_CREATE3args, xdr_CREATE3res,
                                             kNonIdempotent, Nfs3Need::kWrite),
    Row<MKDIR3args, MKDIR3res, Nfs3Mkdir>("MKDIR", xdr_MKDIR3args, xdr_MKDIR3res, kNonIdempotent,
                                          Nfs3Need::kWrite),
    Row<SYMLINK3args, SYMLINK3res, Nfs3Symlink>("SYMLINK", xdr_SYMLINK3args, xdr_SYMLINK3res,
                                                kNonIdempotent, Nfs3Need::kWrite),
    Row<MKNOD3args, MKNOD3res, Nfs3Mknod>("MKNOD", xdr_MKNOD3args, xdr_MKNOD3res, kNonIdempotent,
                                          Nfs3Need::kWrite),
    Row<REMOVE3args, REMOVE3res, Nfs3Remove>("REMOVE", xdr_REMOVE3args, xdr_REMOVE3res,
                                             kNonIdempotent, Nfs3Need::kWrite),
    Row<RMDIR3args, RMDIR3res, Nfs3Rmdir>("RMDIR", xdr_RMDIR3args, xdr_RMDIR3res, kNonIdempotent,
                                          Nfs3Need::kWrite),
    Row<RENAME3args, RENAME3res, Nfs3Rename>("RENAME", xdr_RENAME3args, xdr_RENAME3res,
                                             kNonIdempotent, Nfs3Need::kWrite),
    Row<LINK3args, LINK3res, Nfs3Link>("LINK", xdr_LINK3args, xdr_LINK3res, kNonIdempotent,
                                       Nfs3Need::kWrite),
    Row<READDIR3args, READDIR3res, Nfs3Readdir>("READDIR", xdr_READDIR3args, xdr_READDIR3res,
                                                kPlain, Nfs3Need::kRead),
    Row<READDIRPLUS3args, READDIRPLUS3res, Nfs3Readdirplus>(
        "READDIRPLUS", xdr_READDIRPLUS3args, xdr_READDIRPLUS3res, kPlain, Nfs3Need::kRead),
    Row<FSSTAT3args, FSSTAT3res, Nfs3Fsstat>("FSSTAT", xdr_FSSTAT3args, xdr_FSSTAT3res, kQuick,
                                             Nfs3Need::kAttributes),
    Row<FSINFO3args, FSINFO3res, Nfs3Fsinfo>("FSINFO", xdr_FSINFO3args, xdr_FSINFO3res, kQuick,
                                             Nfs3Need::kAttributes),
    Row<PATHCONF3args, PATHCONF3res, Nfs3Pathconf>("PATHCONF", xdr_PATHCONF3args, xdr_PATHCONF3res,
                                                   kQuick, Nfs3Need::kAttributes),
    Row<COMMIT3args, COMMIT3res, Nfs3Commit>("COMMIT", xdr_COMMIT3args, xdr_COMMIT3res, kPlain,
                                             Nfs3Need::kWrite),
};

constexpr size_t kProcedureCount = sizeof kProcedures / sizeof kProcedures[0];
static_assert(kProcedureCount == NFSPROC3_COMMIT + 1, "one row per procedure, in order");

// Zeroed storage for one decoded argument or result record, every byte of
// it (max_align_t would leave a long double's padding unset). The records
// hold nothing aligned wider than 8 bytes.
std::unique_ptr<uint64_t[]> Record(size_t size) {
    size_t count = (size + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    return std::unique_ptr<uint64_t[]>(new uint64_t[count ? count : 1]());
}

// Runs the handler; an exception it throws answers SYSTEM_ERR. Call encodes
// the result while the request still lives: what the result points into,
// and the caller's identity (READ reads its data then).
accept_stat Run(const Nfs3Procedure& procedure, Nfs3Request& req, void* args, void* result) {
    try {
        procedure.handler(req, args, result);
        return SUCCESS;
    } catch (const std::exception& failure) {
        OXLOG(-1, 0, "NFS %s failed: %s", procedure.name, failure.what());
        return SYSTEM_ERR;
    }
}

// Every result but NULL's begins with its nfsstat3.
void Note(const Nfs3Request& req, const Nfs3Procedure& procedure, const void* result) {
    if (procedure.resultSize >= sizeof(nfsstat3)) {
        nfsstat3 status;
        std::memcpy(&status, result, sizeof status);
        CallStats::NoteStatus(static_cast<uint32_t>(status));
    }
    if (const ExportPtr& exp = req.GetExport())
        CallStats::Process().NoteExport(exp->GetShareId(), [&] { return exp->GetPath(); });
}

}  // namespace

Nfs3Program::Nfs3Program(FSM* fsm, const Nfs3Limits& limits) : m_shared(fsm, limits) {}

uint32_t Nfs3Program::Number() const {
    return NFS_PROGRAM;
}

uint32_t Nfs3Program::LowVersion() const {
    return NFS_V3;
}

uint32_t Nfs3Program::HighVersion() const {
    return NFS_V3;
}

bool Nfs3Program::Quick(uint32_t, uint32_t procedure) const {
    return procedure < kProcedureCount && (kProcedures[procedure].traits & kQuick);
}

bool Nfs3Program::NonIdempotent(uint32_t, uint32_t procedure) const {
    return procedure < kProcedureCount && (kProcedures[procedure].traits & kNonIdempotent);
}

const char* Nfs3Program::ProcedureName(uint32_t procedure) const {
    return procedure < kProcedureCount ? kProcedures[procedure].name : nullptr;
}

accept_stat Nfs3Program::Call(const RpcCall& call, XDR* args, XDR* results) {
    if (call.procedure >= kProcedureCount)
        return PROC_UNAVAIL;
    const Nfs3Procedure& procedure = kProcedures[call.procedure];
    auto decoded = Record(procedure.argsSize);
    auto result = Record(procedure.resultSize);
    if (!procedure.decodeArgs(args, decoded.get()) || !procedure.decodable(decoded.get())) {
        xdr_free(procedure.decodeArgs, reinterpret_cast<char*>(decoded.get()));
        OXLOG(1, 0, "NFS %s: arguments from [%s] do not decode", procedure.name,
              call.caller.address.ToString().c_str());
        return GARBAGE_ARGS;
    }
    accept_stat status = SYSTEM_ERR;
    {
        Nfs3Request req(m_shared, call.caller, procedure.need);
        status = Run(procedure, req, decoded.get(), result.get());
        Note(req, procedure, result.get());
        // While the host counts the module's operations, READ reads through
        // the module's own read, which times it; else past it, zero-copy.
        if ((procedure.traits & kPiped) && !gPerfFlag.load()) {
            auto* read = static_cast<Read3Result*>(static_cast<void*>(result.get()));
            read->pipe = call.pipe;
            read->wouldWait = call.wouldWait;
        }
        if (status == SUCCESS && !procedure.encodeResult(results, static_cast<void*>(result.get())))
            status = SYSTEM_ERR;
    }
    xdr_free(procedure.decodeArgs, reinterpret_cast<char*>(decoded.get()));
    return status;
}
