// Field-by-field conversion between the configuration program's XDR structures and the module's
// request and response records.
#include "server/config/ConfigRecords.h"

namespace {

// An optional XDR text is a pointer to the string pointer; the record's own
// field serves, as long as it holds a text.
lumecfg_opttext Optional(char*& text) {
    return text ? &text : nullptr;
}

char* FromOptional(lumecfg_opttext text) {
    return text ? *text : nullptr;
}

lumecfg_share ShareResult(LumeShare& share) {
    lumecfg_share result{};
    result.path = Optional(share.path);
    result.ref_count = share.refCount;
    return result;
}

}  // namespace

LumeExportPath ExportRequestRecord(lumecfg_export_args& args) {
    LumeExportPath record{};
    record.timeout = args.timeout ? *args.timeout : 0;
    record.path = args.path;
    record.clients = FromOptional(args.clients);
    record.perms = args.perms ? *args.perms : SHARE_PERM_READ | SHARE_PERM_WRITE;
    record.jobId = args.job_id;
    record.uniqueName = args.unique_name ? 1 : 0;
    return record;
}

LumeExportPath ShareRequestRecord(lumecfg_share_args& args) {
    LumeExportPath record{};
    record.path = args.path;
    return record;
}

LumeLockRequest LockRequestRecord(lumecfg_lock_args& args) {
    LumeLockRequest record{};
    record.operation = args.operation;
    record.exportPath = FromOptional(args.export_path);
    record.lockOwner = args.owner;
    record.filePath = FromOptional(args.file_path);
    return record;
}

LumeSinkFSMDrillHoleReq DrillHoleRequestRecord(lumecfg_drill_hole_args& args) {
    LumeSinkFSMDrillHoleReq record{};
    record.sharePath = args.share_path;
    record.filePath = args.file_path;
    record.offset = args.offset;
    record.size = args.length;
    return record;
}

lumecfg_export_res ExportResult(LumeExportPathResp& record) {
    lumecfg_export_res result{};
    result.status = record.status;
    result.message = Optional(record.message);
    result.share = ShareResult(record.share);
    return result;
}

lumecfg_unexport_res UnexportResult(LumeUnExportResp& record) {
    lumecfg_unexport_res result{};
    result.status = record.status;
    result.message = Optional(record.message);
    result.share = ShareResult(record.share);
    return result;
}

lumecfg_lock_res LockResult(LumeLockResp& record) {
    lumecfg_lock_res result{};
    result.status = record.status;
    result.export_path = Optional(record.exportPath);
    result.file_path = Optional(record.filePath);
    result.owner = record.lockOwner;
    result.message = Optional(record.message);
    return result;
}

lumecfg_drill_hole_res DrillHoleResult(LumeSinkFSMDrillHoleResp& record) {
    lumecfg_drill_hole_res result{};
    result.status = record.status;
    result.share_path = Optional(record.sharePath);
    result.file_path = Optional(record.filePath);
    result.error_text = Optional(record.errorText);
    return result;
}
