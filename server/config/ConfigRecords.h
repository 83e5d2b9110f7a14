// Conversion between the configuration program's XDR structures and the
// module's request and response records, field by field.
//
// Nothing is copied: a request record points into the XDR arguments it was
// made from, and an XDR result points into the response record it was made
// from, so each must not outlive its source. An optional text that is absent
// is a null pointer in the record and the other way round. The module's
// 16-bit export statuses travel as signed ints.
#pragma once

#include "host/DrillHoleRecords.h"
#include "host/ExportRecords.h"
#include "host/LumeLockRecords.h"
#include "server/protocol/lumecfg.h"

// Requests: XDR arguments to module records. An omitted perms or timeout
// is a new export's default: read-write, never expiring.
LumeExportPath ExportRequestRecord(lumecfg_export_args& args);
// Unexport and keep-alive: a LumeExportPath of which only the path is set.
LumeExportPath ShareRequestRecord(lumecfg_share_args& args);
LumeLockRequest LockRequestRecord(lumecfg_lock_args& args);
LumeSinkFSMDrillHoleReq DrillHoleRequestRecord(lumecfg_drill_hole_args& args);

// Responses: module records to XDR results.
lumecfg_export_res ExportResult(LumeExportPathResp& record);
lumecfg_unexport_res UnexportResult(LumeUnExportResp& record);
lumecfg_lock_res LockResult(LumeLockResp& record);
lumecfg_drill_hole_res DrillHoleResult(LumeSinkFSMDrillHoleResp& record);
