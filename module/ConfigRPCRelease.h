// Release of configuration RPC response records: each frees the record's
// strings (free) and the record (delete) and writes a level-10 trace; a null
// record is ignored. SinkFSM::ReleaseConfigRPCMem picks one by response type.
#pragma once

void FreeExportPathResp(void* response);
void FreeUnExportResp(void* response);
void FreeFileLockResp(void* response);
void FreeDrillHoleResp(void* response);
