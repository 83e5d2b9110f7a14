// The module's export: building it, its root handle and root descriptor, and
// its creators.
#include "module/exports/SinkFSMExport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include <boost/make_shared.hpp>

#include "module/SinkFSM.h"
#include "module/filehandle/SinkFSMFileHandle.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/BeneathPath.h"
#include "platform/CImpersonator.h"
#include "platform/Directory.h"
#include "platform/FileIdentity.h"
#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OxException.h"

namespace {

// Application-dump directories are made on demand; every other export
// directory must exist already.
bool IsAppDumpsPath(const std::string& path) {
    return path.find("/OX_APP_DUMPS") != std::string::npos;
}

std::size_t PathCacheCapacity() {
    unsigned long entries = 0;
    if (!OXPlatformInfo().getNumber("Lume", "PathCacheEntries", &entries) || entries == 0)
        return SinkFSMPathCache::kDefaultCapacity;
    return entries;
}

}  // namespace

SinkFSMExport::SinkFSMExport(const std::string& sharePath, const std::string& realPath,
                             SharePerms perms, std::string clients, uint32_t shareId,
                             ExportPtr& saved)
    : Export(sharePath, perms, clients, shareId, saved), m_realPath(realPath) {
    SetOptionalParam("RealPath", m_realPath);
    m_pathCache = boost::make_shared<SinkFSMPathCache>(PathCacheCapacity());
    OXLOG(10, 0, "SinkFSMExport [%p] created", static_cast<void*>(this));
}

SinkFSMExport::SinkFSMExport(const Export& other) : Export(other) {
    GetOptionalParam("RealPath", m_realPath);
    std::string jobId;
    GetOptionalParam("JobId", jobId);
    // Read as atoi would for every id it can hold, and whole beyond INT_MAX.
    m_jobId = std::strtoul(jobId.c_str(), nullptr, 10);

    unsigned long noFdCache = 0;
    OXPlatformInfo().getNumber("Lume", "NoFdCache", &noFdCache);
    m_fdCacheSupported = noFdCache != 0;

    OpenRoot();
    OXLOG(10, 0, "SinkFSMExport [%p] created", static_cast<void*>(this));
}

SinkFSMExport::~SinkFSMExport() {
    OXLOG(10, 0, "SinkFSMExport [%p] deleted", static_cast<void*>(this));
}

void SinkFSMExport::GetFileHandle(const CRaIPAddr&, nfs_fh3& fh) {
    if (!m_rootHandle) {
        // Not initialised, so never in the export table: hand out nothing.
        fh.len = 0;
        return;
    }
    m_rootHandle->ToNfsFH(fh);
}

int SinkFSMExport::GetFSModuleType() const {
    return SinkFSM::kFSMType;
}

int SinkFSMExport::InitExportFileHandle(std::string& error) {
    error = "File Handle creation failed.";
    try {
        CImpersonator asExportUser(GetImpersUserToken(), false);
        if (IsAppDumpsPath(m_realPath)) {
            CRaError err = MakeDumpsDirectory();
            if (err.IsError()) {
                OXLOG(1, 0, "Failed to create export path [%s]. Error [%s]", m_realPath.c_str(),
                      err.AsString().c_str());
                error = "Failed to create export path." + err.AsString();
                return 10;
            }
        } else if (!FXFolder::DoesFolderExist(m_realPath)) {
            OXLOG(1, 0, "Export path [%s] does not exist.", m_realPath.c_str());
            error = "Export path does not exist.";
            return 10;
        }
        return OpenRoot() ? 0 : 50;
    } catch (const OxException&) {
        OXLOG(-1, 0, "Impersonation failed.");
        errno = EACCES;
        return 50;
    }
}

CRaError SinkFSMExport::MakeDumpsDirectory() const {
    if (!m_directoryMaker)
        return CRaDirectory::Create(m_realPath, true);
    CImpersonator asMaker(*m_directoryMaker, false);
    return CRaDirectory::Create(m_realPath, true);
}

bool SinkFSMExport::OpenRoot() {
    auto root = boost::make_shared<BeneathRoot>(m_realPath);
    m_rootHandle = boost::make_shared<SinkFSMFileHandle>(GetShareId(), m_realPath, root->Fd());
    if (root->Valid())
        m_root = root;
    // What the host compares, across restarts, with the directory it meant.
    std::string identity;
    if (root->Valid() && ReadDescriptorIdentityText(root->Fd(), identity) == 0)
        SetOptionalParam("RootIdentity", identity);
    return m_rootHandle->IsInitSuccess();
}

void SinkFSMExport::AddCreator(const std::string& client) {
    if (client.empty())
        return;
    MutexLock guard(m_creatorsMutex);
    m_creators.insert(client);
}

bool SinkFSMExport::HasCreator(const std::string& client) const {
    MutexLock guard(m_creatorsMutex);
    return !client.empty() && m_creators.count(client) != 0;
}

void SinkFSMExport::AddReference(const std::string& caller) {
    MutexLock guard(m_creatorsMutex);
    m_referenceHolders.push_back(caller);
}

void SinkFSMExport::DropReference(const std::string& caller) {
    MutexLock guard(m_creatorsMutex);
    auto own = std::find(m_referenceHolders.rbegin(), m_referenceHolders.rend(), caller);
    if (own != m_referenceHolders.rend())
        m_referenceHolders.erase(std::next(own).base());
    else if (!m_referenceHolders.empty())
        m_referenceHolders.pop_back();
}

size_t SinkFSMExport::ReferencesOf(const std::string& caller) const {
    MutexLock guard(m_creatorsMutex);
    return static_cast<size_t>(
        std::count(m_referenceHolders.begin(), m_referenceHolders.end(), caller));
}

void SinkFSMExport::SetJobId(unsigned long id) {
    m_jobId = id;
    SetOptionalParam("JobId", std::to_string(id));
}

std::string SinkFSMExport::ToStr() const {
    return "MountPath: " + GetPath() + "RealPath: " + m_realPath;
}

SinkFSMExport* AsSinkFSMExport(const ExportPtr& exp) {
    return dynamic_cast<SinkFSMExport*>(exp.get());
}

unsigned long JobIdOf(const ExportPtr& exp) {
    SinkFSMExport* sinkExport = AsSinkFSMExport(exp);
    return sinkExport ? sinkExport->GetJobId() : 0;
}
