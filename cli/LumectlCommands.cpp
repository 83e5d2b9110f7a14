// The lumectl commands on one export (export, unexport, keepalive, the lock
// commands, drill-hole), and the choice of a command's runner.
#include "cli/LumectlCommands.h"

#include <initializer_list>
#include <vector>

#include "cli/LumectlListings.h"
#include "cli/LumectlStats.h"
#include "server/protocol/lumecfg.h"

namespace {

// Lock operation codes of the configuration program.
enum : int { kLockWrite = 0, kUnlock = 1, kLockStatus = 2, kLockRead = 3 };
enum : int { kGranted = 20, kUnlocked = 22, kFileLocked = 26, kFileNotLocked = 27 };

std::string Text(const lumecfg_opttext text) {
    return text && *text ? *text : "";
}

// Writable copies for the request, which libtirpc takes by non-const pointer.
struct RequestText {
    explicit RequestText(const std::string& text) : bytes(text.begin(), text.end()) {
        bytes.push_back('\0');
        pointer = bytes.data();
    }
    std::vector<char> bytes;
    char* pointer;
};

// Makes the call; a report of Unreachable (Untrusted when TLS failed) when
// it did not complete.
template <typename Args, typename Result>
bool Call(ConfigClient& client, uint32_t procedure, xdrproc_t encode, Args& args, xdrproc_t decode,
          Result& result, LumectlReport& report) {
    std::string error;
    if (client.Call(procedure, encode, &args, decode, &result, error) == RPC_SUCCESS)
        return true;
    report.outcome = client.TlsFailed() ? LumectlReport::Untrusted : LumectlReport::Unreachable;
    report.message = error;
    return false;
}

void Judge(LumectlReport& report, int status, const std::string& message,
           std::initializer_list<int> success) {
    report.status = status;
    report.message = message;
    report.outcome = LumectlReport::Refused;
    for (int good : success)
        if (status == good)
            report.outcome = LumectlReport::Done;
}

LumectlReport Export(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = "export";
    RequestText path(command.path), clients(command.clients.value_or(""));
    lumecfg_export_args args{};
    uint32_t timeout = command.timeoutMinutes.value_or(0);
    int32_t perms = command.perms.value_or(0);
    args.timeout = command.timeoutMinutes ? &timeout : nullptr;
    args.path = path.pointer;
    args.clients = command.clients ? &clients.pointer : nullptr;
    args.perms = command.perms ? &perms : nullptr;
    args.job_id = command.jobId;
    args.unique_name = command.unique;
    lumecfg_export_res result{};
    auto decode = XdrProc(xdr_lumecfg_export_res);
    if (!Call(client, LUMECFG_CREATE_EXPORT, XdrProc(xdr_lumecfg_export_args), args, decode, result,
              report))
        return report;
    Judge(report, result.status, Text(result.message), {0});
    std::string share = Text(result.share.path);
    report.fields = {
        {"path", command.path}, {"share", share}, {"references", result.share.ref_count}};
    report.line = "exported " + command.path + " as " + share +
                  " (references: " + std::to_string(result.share.ref_count) + ")";
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return report;
}

LumectlReport Unexport(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = "unexport";
    RequestText path(command.path);
    lumecfg_share_args args{path.pointer};
    lumecfg_unexport_res result{};
    auto decode = XdrProc(xdr_lumecfg_unexport_res);
    if (!Call(client, LUMECFG_UNEXPORT, XdrProc(xdr_lumecfg_share_args), args, decode, result,
              report))
        return report;
    Judge(report, result.status, Text(result.message), {0});
    uint64_t references = result.share.ref_count;
    report.fields = {{"share", command.path}, {"references", references}};
    report.line = "unexported " + command.path + " (references: " + std::to_string(references) +
                  (references == 0 ? ", removed)" : ")");
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return report;
}

LumectlReport KeepAlive(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = "keepalive";
    RequestText path(command.path);
    lumecfg_share_args args{path.pointer};
    if (!Call(client, LUMECFG_KEEP_ALIVE, XdrProc(xdr_lumecfg_share_args), args, XdrProc(xdr_void),
              args, report))
        return report;
    report.fields = {{"share", command.path}};
    report.line = "sent keepalive for " + command.path;
    return report;
}

int LockOperation(const LumectlCommand& command) {
    switch (command.verb) {
        case LumectlVerb::Lock:
            return command.read ? kLockRead : kLockWrite;
        case LumectlVerb::Unlock:
            return kUnlock;
        default:
            return kLockStatus;
    }
}

std::string LockLine(const LumectlCommand& command, int status, uint64_t owner) {
    const std::string target = command.path + ":" + command.file;
    const std::string tail = " (status " + std::to_string(status) + ")";
    switch (command.verb) {
        case LumectlVerb::Lock:
            return std::string(command.read ? "read-" : "") + "locked " + target + " for owner " +
                   std::to_string(command.owner) + tail;
        case LumectlVerb::Unlock:
            return "unlocked " + target + " for owner " + std::to_string(command.owner) + tail;
        default:
            return status == kFileLocked
                       ? target + " is locked by owner " + std::to_string(owner) + tail
                       : target + " is not locked" + tail;
    }
}

std::initializer_list<int> LockSuccess(LumectlVerb verb) {
    static const std::initializer_list<int> lock = {kGranted};
    static const std::initializer_list<int> unlock = {kUnlocked, kFileNotLocked};
    static const std::initializer_list<int> status = {kFileLocked, kFileNotLocked};
    return verb == LumectlVerb::Lock ? lock : verb == LumectlVerb::Unlock ? unlock : status;
}

LumectlReport Lock(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = command.verb == LumectlVerb::Lock     ? "lock"
                     : command.verb == LumectlVerb::Unlock ? "unlock"
                                                           : "lock-status";
    RequestText share(command.path), file(command.file);
    lumecfg_lock_args args{};
    args.operation = LockOperation(command);
    args.export_path = &share.pointer;
    args.owner = command.owner;
    args.file_path = &file.pointer;
    lumecfg_lock_res result{};
    auto decode = XdrProc(xdr_lumecfg_lock_res);
    if (!Call(client, LUMECFG_FILE_LOCK, XdrProc(xdr_lumecfg_lock_args), args, decode, result,
              report))
        return report;
    Judge(report, result.status, Text(result.message), LockSuccess(command.verb));
    report.fields = {{"share", command.path}, {"file", command.file}, {"owner", result.owner}};
    report.line = LockLine(command, result.status, result.owner);
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return report;
}

LumectlReport DrillHole(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = "drill-hole";
    RequestText share(command.path), file(command.file);
    lumecfg_drill_hole_args args{share.pointer, file.pointer, command.offset, command.length};
    lumecfg_drill_hole_res result{};
    auto decode = XdrProc(xdr_lumecfg_drill_hole_res);
    if (!Call(client, LUMECFG_DRILL_HOLE, XdrProc(xdr_lumecfg_drill_hole_args), args, decode,
              result, report))
        return report;
    Judge(report, result.status, Text(result.error_text), {0});
    report.fields = {{"share", command.path},
                     {"file", command.file},
                     {"offset", command.offset},
                     {"length", command.length}};
    report.line = "drilled a hole in " + command.path + ":" + command.file + " at offset " +
                  std::to_string(command.offset) + ", length " + std::to_string(command.length);
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return report;
}

}  // namespace

LumectlReport RunLumectlCommand(const LumectlCommand& command, ConfigClient& client) {
    switch (command.verb) {
        case LumectlVerb::Export:
            return Export(command, client);
        case LumectlVerb::Unexport:
            return Unexport(command, client);
        case LumectlVerb::KeepAlive:
            return KeepAlive(command, client);
        case LumectlVerb::DrillHole:
            return DrillHole(command, client);
        case LumectlVerb::List:
            return RunListExports(client);
        case LumectlVerb::Locks:
            return RunListLocks(command, client);
        case LumectlVerb::Stats:
            return RunLumectlStats(command, client);
        default:
            return Lock(command, client);
    }
}
