// The export requests of the configuration channel.
//
// CreateNewExport makes a directory of this server an export, or adds a
// reference to the export that already serves it, and always answers with a
// LumeExportPathResp (status and text, or the share described). Exports are
// counted: every create raises the count, every unexport lowers it, and the
// export goes when it reaches 0 (or when the host removes it).
// What a request may ask: root kept (perms bit 4) only by a proved caller
// (this machine, a TLS peer), else status 11; a client list only when every
// entry is a client and there is one, else status 3 naming the entry. An
// omitted list gives a new export every client ("*") and an existing one
// none. A request for an existing export that adds clients or changes its
// perms or timeout is applied whole (or, when Ganesha refuses, not at all:
// status 17 and no reference) for this machine and the export's creator,
// and refused (status 11, naming what differs) for anyone else.
// A create over a quota (ExportQuota.h) is refused with that quota's own
// status and text before anything is made or a share id drawn.
//
// Locks: exportSerializeCs guards shareSequencer only. exportLifetimeCs is
// held while a create or unexport request, or the host's removal, finds,
// creates, counts or removes an export, so that an export's reference count
// and its presence in the host's table change together (two creates of one
// new share make one export; a create never counts an export that a
// concurrent removal is taking out of the table). Keep-alive takes no lock.
// Order: exportLifetimeCs before the host's export table and before the lock
// service's fileLockCSec (see platform/ThreadSafety.h). A create's
// authorisation (which may pull from HQ) runs before exportLifetimeCs is
// taken; an unexport's (MayManageExport) runs under it.
#pragma once

#include <cstddef>
#include <string>

#include "host/Export.h"
#include "platform/OxCriticalSection.h"

extern OxCriticalSection exportSerializeCs;
extern OxCriticalSection exportLifetimeCs;
extern unsigned long long shareSequencer GUARDED_BY(exportSerializeCs);

class SinkFSMExport;

// request: a LumeExportPath; caller: the proved client name the RPC came
// from ("" when unproved). The requested path is resolved on disk once (no
// "..", no symbolic link left): authorisation judges the resolved path and
// the export serves exactly it.
void CreateNewExport(void* request, const std::string& caller, char*& response,
                     size_t& responseLength, int& responseType) EXCLUDES(exportLifetimeCs);
// Lowers the count of the export named by the request's path; at 0 takes it
// down (share id freed, its locks released, out of the table). Always
// answers with a LumeUnExportResp; status 11 when caller may not manage the
// export (MayManageExport), changing nothing.
void UnExport(void* request, const std::string& caller, char*& response, size_t& responseLength,
              int& responseType) EXCLUDES(exportLifetimeCs);
// Moves the export's last access time to now, when caller may manage it;
// answers with no record.
void KeepAlive(void* request, const std::string& caller, char*& response, size_t& responseLength,
               int& responseType);
// The host's removal of an export, whatever its count (SinkFSM::UnExport).
void RemoveExport(ExportPtr& exp) EXCLUDES(exportLifetimeCs);
