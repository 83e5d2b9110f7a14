// The exports the configuration channel made, kept in the state store
// (table "exports", keyed by share path in stored form) so that lumed makes
// them again when it starts.
//
// A record holds the export's clients, permissions and expiry interval as
// they were at its latest change, the job id of its first create, the
// directory it serves (the export's "RealPath", and its "RootIdentity": the
// root's device and file system handle), and one creator per reference the
// channel holds on it: the caller who asked (this machine's client name, a
// TLS subject, or "" for nobody in particular), so that a restart makes each
// reference again as its creator, authorised as that creator would be today.
// Records are CBOR maps; one that does not decode, or lacks a field (a
// record of an earlier version), reads with no creator, and is not made
// again.
// ConfigProgram records each create and unexport it served, the expiry
// sweeper each removal, and the restart drops a record it cannot make again
// (and the references it cannot make again); lumed --export, a restart's
// own creates and the removal of every export at shutdown are not recorded,
// so a clean stop keeps the records. A record goes with its last reference,
// or once its share path has no export (expired, or removed at count 0).
// Unique-name exports are not recorded: the module draws a new suffix on
// every create, so one cannot be made again under its name.
// Lock() is held across the module's call and the record, so records follow
// the module's order. Lock order: Lock(), then the module's locks and the
// host's export table, the state store last (see platform/ThreadSafety.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/SharePerms.h"
#include "platform/ThreadSafety.h"

struct SavedExport {
    std::string sharePath;  // stored form
    std::string realPath;
    std::string rootIdentity;  // ReadDescriptorIdentityText's form
    std::string clients;
    SharePerms perms = 0;
    unsigned timeoutMinutes = 0;
    uint64_t jobId = 0;
    // The caller of each reference, oldest first; none in a record that
    // cannot be read.
    std::vector<std::string> creators;
};

class SavedExports {
  public:
    static Mutex& Lock();
    // sharePath in caller's form. After a create through the channel by
    // caller: one more reference; directory, clients, permissions and
    // interval as the export is.
    static void Referenced(const std::string& sharePath, uint64_t jobId, const std::string& caller)
        REQUIRES(Lock());
    // After an unexport through the channel by caller, or a reference a
    // restart could not make again: one reference fewer, caller's own when
    // it holds one, else the latest.
    static void Unreferenced(const std::string& sharePath, const std::string& caller)
        REQUIRES(Lock());
    // After the host removed the export (expiry): erased when it is gone.
    static void Removed(const std::string& sharePath) REQUIRES(Lock());
    // Every record, in share path order.
    static std::vector<SavedExport> All();
    // Erases the record of a share that cannot be made again.
    static void Drop(const std::string& sharePath) REQUIRES(Lock());
};
