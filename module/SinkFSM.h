// SinkFSM: the module object, through which the host reaches everything the
// module does. One process-wide object, made by the first LoadFSM (GetFSM)
// and remembered in SinkFSM::sinkFSM until UnloadFSM clears the pointer.
// It carries the module's descriptor cache; the work of each operation lives
// with the concept it serves.
// Thread safety: the first GetFSM is LoadFSM, made once by the host before
// any request can arrive; afterwards the pointer is only read. The pointer
// is atomic all the same, so racing first calls still agree on one object.
// The accessors keep no state; the descriptor cache does its own locking.
// The lock tables are guarded by fileLockCSec, which comes before the
// host's export table and the descriptor cache's lock (order: see
// platform/ThreadSafety.h).
#pragma once

#include <atomic>
#include <string>
#include <unordered_map>

#include <boost/shared_ptr.hpp>

#include "host/FSM.h"
#include "host/LumeLockRecords.h"
#include "host/LumeServiceGlobals.h"
#include "module/backend/SinkFSMFileDescriptorCache.h"
#include "module/locks/SinkFSMLockInfo.h"
#include "platform/OxCriticalSection.h"

class SinkFSM : public FSM {
  public:
    // The module type number: in every handle this module issues and
    // returned for every export it makes.
    static constexpr int kFSMType = 2;

    // The singleton, made on first call.
    static SinkFSM* GetFSM();

    SinkFSM() = default;
    // Leaves SinkFSM::sinkFSM alone.
    ~SinkFSM() override = default;

    std::string GetFSMName() override;
    int GetFSMType() override;
    std::string GetFSMDetails() override;
    // Clears the singleton pointer when called on the singleton; always true.
    // Destroys nothing: a later GetFSM makes a fresh object.
    bool UnloadFSM() override;
    bool GenericConfigRPCHandler(void* request, const std::string& caller, unsigned int rpcType,
                                 char*& response, size_t& responseLength,
                                 int& responseType) override;
    void ReleaseConfigRPCMem(int responseType, void* response) override;
    bool CreateExport(const ExportPtr& saved, ExportPtr& created) override;
    // The text of a client's handle for log messages; empty when its export
    // is unknown or the handle does not resolve.
    std::string FH2Str(const nfs_fh3& fh) override;
    // A backend object for a client's handle on exp; empty when the handle
    // does not resolve.
    boost::shared_ptr<BkEndProc> GetFSObject(ExportPtr& exp, const nfs_fh3& fh) override;
    void UnExport(ExportPtr& exp) override;
    // Every grant of both lock tables; always true.
    bool ListLocks(std::vector<HeldLock>& locks) override;

    // Whether a client's handle is this module's and resolves to a path.
    bool IsFHValid(const nfs_fh3& fh);

    SinkFSMFileDescriptorCache* GetFileDescriptorCache() { return &m_fdCache; }

    // The lock service: one request at a time, under fileLockCSec. Always
    // answers with a LumeLockResp; false when the request was refused before
    // an operation ran (status 11 when caller may not manage the export).
    // caller: the proved client name; by default this machine itself.
    bool HandleLockRequest(void* request, char*& response, size_t& responseLength,
                           int& responseType,
                           const std::string& caller = LumeServiceGlobals::clientName)
        EXCLUDES(fileLockCSec);
    // True when both paths are present; else the response says "invalid argument".
    bool ValidateLockRequest(LumeLockRequest* request, LumeLockResp* response);
    // Punches a hole in a file under an export; always answers with a
    // LumeSinkFSMDrillHoleResp. False when the share or the backend object
    // could not be had, the path leaves the export, caller may not manage
    // the export (status 11) or the export is not writable (status 1).
    bool HandleDrillHoleRequest(void* request, char*& response, size_t& responseLength,
                                int& responseType,
                                const std::string& caller = LumeServiceGlobals::clientName);

    typedef std::unordered_map<std::string, boost::shared_ptr<SinkFSMLockInfo>> FileLockMap;
    typedef std::unordered_map<std::string, boost::shared_ptr<SinkFSMReadLockInfo>> FileReadLockMap;
    // The process-wide tables, whatever object they are called on.
    FileLockMap& GetFileLockMap() REQUIRES(fileLockCSec) { return fileLockMap; }
    FileReadLockMap& GetFileReadLockMap() REQUIRES(fileLockCSec) { return fileReadLockMap; }

    // Built by the module's static initialisation, in this order, before
    // LoadFSM can be called; destroyed when the module is unloaded.
    static FileLockMap fileLockMap GUARDED_BY(fileLockCSec);          // write-locked files
    static FileReadLockMap fileReadLockMap GUARDED_BY(fileLockCSec);  // read-locked files
    static OxCriticalSection fileLockCSec;

  private:
    static std::atomic<SinkFSM*> sinkFSM;

    SinkFSMFileDescriptorCache m_fdCache;
};

// The module's entry point, the one symbol the host looks up.
extern "C" __attribute__((visibility("default"))) FSM* LoadFSM();
