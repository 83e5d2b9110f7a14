// The lock service's release of an export's locks when the export goes, and
// its copy of every lock for the host's listings.
#pragma once

#include <vector>

#include "host/HeldLock.h"
#include "module/SinkFSM.h"

class SinkFSMExport;

// Releases every lock taken through exp's path (write records first, then
// read records, one release per owner), gives each descriptor reference
// back to the descriptor cache and removes the records; a read record that
// also has readers through other exports keeps them and its shared lock. Release failures are
// logged and ignored. Takes SinkFSM::fileLockCSec, so callers must not hold
// the host's export-table lock. exp is never null.
void ReleaseAllLocks(SinkFSMExport* exp) EXCLUDES(SinkFSM::fileLockCSec);

// A copy of both tables, one entry per owner's grant, for the host's
// listings. Takes SinkFSM::fileLockCSec; changes nothing.
std::vector<HeldLock> SnapshotLocks() EXCLUDES(SinkFSM::fileLockCSec);
