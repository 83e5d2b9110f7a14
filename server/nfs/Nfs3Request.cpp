// One NFS v3 call: admission, identity, its handles resolved (again by unique file id when the
// module cannot), handles given out, reply storage.
#include "server/nfs/Nfs3Request.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"
#include "platform/OxException.h"
#include "platform/UniqueFileId.h"
#include "server/handles/IssuedHandles.h"
#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"

namespace {

constexpr uint32_t kNobody = 65534;
// How long a kept descriptor may stay unused.
constexpr std::chrono::milliseconds kOpenFileIdle(2000);

bool ToHostHandle(const w_nfs_fh3& wire, nfs_fh3& fh) {
    if (wire.data.data_len == 0 || wire.data.data_len > LUME_NFS3_FHSIZE)
        return false;
    fh.len = wire.data.data_len;
    std::memcpy(fh.data, wire.data.data_val, fh.len);
    return true;
}

bool SameHandle(const nfs_fh3& a, const nfs_fh3& b) {
    return a.len == b.len && std::memcmp(a.data, b.data, a.len) == 0;
}

// The module's handle for object; false when it gives none that fits.
bool ModuleHandle(const Nfs3Request::Object& object, nfs_fh3& fh) {
    object->GetFileHandle(fh);
    return fh.len > 0 && fh.len <= LUME_NFS3_FHSIZE;
}

// Files whose permission rules are kept; a few hundred bytes each at most.
constexpr size_t kKnownPermissions = 65536;

// Share id bytes 4-7 must be there for FindExport to read them.
constexpr uint32_t kShortestHandle = 8;
// Walks from the root to where an object was found by its identity.
constexpr int kRecoveryAttempts = 3;

}  // namespace

Nfs3Shared::Nfs3Shared(FSM* module, const Nfs3Limits& limits)
    : fsm(module),
      openFiles(kOpenFileIdle, limits.keptFiles, writeVerifier),
      permissions(kKnownPermissions),
      found(limits.foundObjects),
      listings(limits.keptListings) {}

Nfs3Request::Nfs3Request(Nfs3Shared& shared, const RpcCaller& caller, Nfs3Need need)
    : m_shared(shared), m_caller(caller), m_need(need) {}

nfsstat3 Nfs3Request::Enter(const w_nfs_fh3& wire, Object& object) {
    nfs_fh3 fh{};
    if (!ToHostHandle(wire, fh))
        return NFS3ERR_BADHANDLE;
    if (!m_shared.fsm->FindExport(fh, m_export))
        return fh.len < kShortestHandle ? NFS3ERR_BADHANDLE : NFS3ERR_STALE;
    m_export->GetFileHandle(m_caller.address, m_root);
    if (fh.len != m_root.len)
        return NFS3ERR_BADHANDLE;
    nfsstat3 status = Admit();
    if (status == NFS3_OK)
        status = TakeIdentity();
    if (status != NFS3_OK)
        return status;
    m_foundAt = NameChanges::Process().Now(m_export->GetPath());
    return Find(fh, object);
}

nfsstat3 Nfs3Request::Resolve(const w_nfs_fh3& wire, Object& object) {
    nfs_fh3 fh{};
    if (!ToHostHandle(wire, fh) || fh.len != m_root.len)
        return NFS3ERR_BADHANDLE;
    ExportPtr other;
    if (!m_shared.fsm->FindExport(fh, other))
        return NFS3ERR_STALE;
    if (other != m_export)
        return NFS3ERR_XDEV;
    return Find(fh, object);
}

nfsstat3 Nfs3Request::Admit() {
    if (!m_export->Authorize(m_caller.address, m_caller.hostName)) {
        OXLOG(1, 0, "Client [%s] is not allowed on export [%s]",
              m_caller.address.ToString().c_str(), m_export->GetPath().c_str());
        return NFS3ERR_ACCES;
    }
    SharePerms perms = m_export->GetSharePerms();
    switch (m_need) {
        case Nfs3Need::kAttributes:
            return perms & (SHARE_PERM_READ | SHARE_PERM_WRITE) ? NFS3_OK : NFS3ERR_ACCES;
        case Nfs3Need::kRead:
            return perms & SHARE_PERM_READ ? NFS3_OK : NFS3ERR_ACCES;
        case Nfs3Need::kWrite:
            return perms & SHARE_PERM_WRITE ? NFS3_OK : NFS3ERR_ROFS;
    }
    return NFS3ERR_ACCES;
}

nfsstat3 Nfs3Request::TakeIdentity() {
    // Without the root bit, root's uid and gid (also as a supplementary
    // group) count as nobody's, as native servers squash them.
    const bool anonymous = m_caller.flavor != AUTH_SYS;
    const bool squashRoot = !(m_export->GetSharePerms() & SHARE_PERM_ROOT);
    auto squashed = [&](uint32_t id) { return anonymous || (squashRoot && id == 0); };
    m_who.uid = squashed(m_caller.uid) ? kNobody : m_caller.uid;
    m_who.gid = squashed(m_caller.gid) ? kNobody : m_caller.gid;
    m_who.groups.clear();
    if (!anonymous) {
        for (uint32_t group : m_caller.gids)
            if (!squashed(group))
                m_who.groups.push_back(group);
    }
    m_whoKey.clear();
    for (uint32_t each : m_who.groups)
        m_whoKey.append(reinterpret_cast<const char*>(&each), sizeof each);
    m_whoKey.append(reinterpret_cast<const char*>(&m_who.uid), sizeof m_who.uid);
    m_whoKey.append(reinterpret_cast<const char*>(&m_who.gid), sizeof m_who.gid);
    IdInfo id;
    id.uid = m_who.uid;
    id.gid = m_who.gid;
    id.groups = m_who.groups;
    id.machineName = m_caller.machineName;
    m_ctx = std::make_unique<LumeCtxt>(id, m_export, Object());
    try {
        m_identity.emplace(m_who, false);
    } catch (const OxException& failure) {
        OXLOG(-1, 0, "Cannot take on uid [%u] gid [%u]: %s", m_who.uid, m_who.gid, failure.what());
        return NFS3ERR_SERVERFAULT;
    }
    return NFS3_OK;
}

nfsstat3 Nfs3Request::Find(const nfs_fh3& fh, Object& object) {
    const std::string key = FoundKey(fh);
    unsigned long id = 0;
    struct stat st;
    if (m_shared.found.Find(key, m_export, m_foundAt.era, object, id) && Stat(object, st) == 0) {
        m_found.push_back(Found{object, id, st, KeptFor(id, st)});
        return NFS3_OK;
    }
    object = m_shared.fsm->GetFSObject(m_export, fh);
    if (!object || object->GetIdentity(id, st) != 0) {
        object = Recover(fh);
        if (!object || object->GetIdentity(id, st) != 0) {
            object.reset();
            return NFS3ERR_STALE;
        }
    }
    m_shared.found.Keep(key, m_export, m_foundAt, object, id, st.st_dev);
    m_found.push_back(Found{object, id, st, KeptFor(id, st)});
    return NFS3_OK;
}

std::string Nfs3Request::FoundKey(const nfs_fh3& fh) const {
    return Nfs3FoundObjects::HandleKey(fh, m_whoKey);
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3Request::KeptFor(unsigned long id, const struct stat& st) {
    dev_t device = 0;
    ino_t inode = 0;
    std::unique_ptr<Nfs3OpenFiles::Use> open = m_shared.openFiles.Hold(id, device, inode);
    if (open && (st.st_dev != device || st.st_ino != inode))
        open.reset();
    return open;
}

Nfs3Request::Object Nfs3Request::Recover(const nfs_fh3& fh) {
    unsigned long id = 0;
    if (!IssuedHandles::Process().Lookup(fh, id))
        return Object();  // never given out by a server of this state directory
    // A rename may move the object between finding its path and walking
    // it; a few tries tell that from an object that is gone.
    for (int attempt = 0; attempt < kRecoveryAttempts; ++attempt) {
        std::string relative;
        if (!WhereNow(id, relative))
            return Object();
        Object object = WalkFromRoot(relative);
        unsigned long found = 0;
        struct stat st;
        nfs_fh3 fresh{};
        if (!object || object->GetIdentity(found, st) != 0 || found != id)
            continue;
        object->GetFileHandle(fresh);  // the module remembers where it is now
        if (!SameHandle(fresh, fh))
            return Object();
        OXLOG(3, 0, "Handle of id [%lx] found again at [%s].", id, relative.c_str());
        return object;
    }
    return Object();
}

bool Nfs3Request::WhereNow(unsigned long id, std::string& relative) {
    const std::string& root = m_export->GetPath();
    // Opening by kernel identity takes root's powers, which the caller's
    // identity does not carry: dropped for that call alone.
    // Should the caller's identity not come back, the exception drops the
    // call: nothing more of it runs with root's powers.
    m_identity.reset();
    const UniqueFd rootFd(OpenNoLinks(AT_FDCWD, root, O_RDONLY | O_DIRECTORY));
    const int found =
        rootFd.Valid() ? FindUniqueFileIdBeneath(id, rootFd.Get(), root, relative) : -1;
    m_identity.emplace(m_who, false);
    return found == 0;
}

Nfs3Request::Object Nfs3Request::WalkFromRoot(const std::string& relative) {
    // One resolution beneath the root, as the caller, however deep.
    Object root = m_shared.fsm->GetFSObject(m_export, m_root);
    return root && !relative.empty() ? root->FindChild(Ctx(), relative) : root;
}

bool Nfs3Request::IsExportRoot(const w_nfs_fh3& wire) const {
    nfs_fh3 fh{};
    return ToHostHandle(wire, fh) && SameHandle(fh, m_root);
}

Nfs3Request::Object Nfs3Request::Child(const Object& dir, const w_nfs_fh3& dirFh,
                                       const std::string& name) {
    if (name == "." || (name == ".." && IsExportRoot(dirFh)))
        return dir;
    if (Object known = FoundChild(dirFh, name))
        return known;
    if (errno != 0)
        return Object();
    Object child = name == ".." ? dir->GetParent(Ctx()) : dir->FindChild(Ctx(), name);
    unsigned long id = 0;
    struct stat st;
    if (child && child->GetIdentity(id, st) == 0)
        m_shared.found.Keep(ChildKey(dirFh, name), m_export, m_foundAt, child, id, st.st_dev);
    return child;
}

Nfs3Request::Object Nfs3Request::FoundChild(const w_nfs_fh3& dirFh, const std::string& name) {
    Object child;
    unsigned long id = 0;
    struct stat st;
    errno = 0;
    if (!m_shared.found.Find(ChildKey(dirFh, name), m_export, m_foundAt.era, child, id))
        return Object();
    if (Stat(child, st) != 0)
        return Object();
    m_found.push_back(Found{child, id, st, nullptr});
    return child;
}

std::string Nfs3Request::ChildKey(const w_nfs_fh3& dirFh, const std::string& name) const {
    return Nfs3FoundObjects::NameKey(dirFh.data.data_val, dirFh.data.data_len, name, m_whoKey);
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3Request::TakeOpenFile(const Object& object) {
    for (Found& found : m_found)
        if (found.object == object && found.open)
            return std::move(found.open);
    return nullptr;
}

const Nfs3Request::Found* Nfs3Request::FoundEntry(const Object& object) const {
    for (const Found& found : m_found)
        if (found.object == object)
            return &found;
    return nullptr;
}

bool Nfs3Request::Identify(const Object& object, unsigned long& id, struct stat& st) const {
    if (const Found* found = FoundEntry(object)) {
        id = found->id;
        st = found->st;
        return true;
    }
    return object->GetIdentity(id, st) == 0;
}

bool Nfs3Request::FileId(const Object& object, unsigned long& id) const {
    struct stat st;
    return Identify(object, id, st);
}

bool Nfs3Request::Issue(const Object& object, w_nfs_fh3& out) {
    post_op_attr unused;
    return Issue(object, out, unused);
}

bool Nfs3Request::Issue(const Object& object, w_nfs_fh3& out, post_op_attr& attrs) {
    return Hand(object, out, attrs, true);
}

bool Nfs3Request::IssueFound(const Object& object, w_nfs_fh3& out, post_op_attr& attrs) {
    return Hand(object, out, attrs, false);
}

bool Nfs3Request::Hand(const Object& object, w_nfs_fh3& out, post_op_attr& attrs, bool keep) {
    nfs_fh3 fh{};
    unsigned long id = 0;
    struct stat st;
    attrs.attributes_follow = FALSE;
    if (!ModuleHandle(object, fh) || !Identify(object, id, st))
        return false;
    Give(fh, id, out);
    if (keep)
        m_shared.found.Keep(FoundKey(fh), m_export, m_foundAt, object, id, st.st_dev);
    attrs.attributes_follow = TRUE;
    Nfs3FillAttributes(st, attrs.post_op_attr_u.attributes);
    return true;
}

bool Nfs3Request::IssueListed(const Object& dir, int dirFd, const std::string& name, w_nfs_fh3& out,
                              post_op_attr& attrs) {
    nfs_fh3 fh{};
    unsigned long id = 0;
    struct stat st;
    attrs.attributes_follow = FALSE;
    if (dir->ListedEntry(Ctx(), dirFd, name, fh, id, st) != 0 || fh.len == 0 ||
        fh.len > LUME_NFS3_FHSIZE)
        return false;
    Give(fh, id, out);
    attrs.attributes_follow = TRUE;
    Nfs3FillAttributes(st, attrs.post_op_attr_u.attributes);
    return true;
}

void Nfs3Request::Give(const nfs_fh3& fh, unsigned long id, w_nfs_fh3& out) {
    IssuedHandles::Process().Record(fh, id);
    out.data.data_len = fh.len;
    out.data.data_val = Keep(fh.data, fh.len);
}

void Nfs3Request::Issue(const Object& object, post_op_fh3& out) {
    out.handle_follows = Issue(object, out.post_op_fh3_u.handle);
}

int Nfs3Request::Stat(const Object& object, struct stat& st) {
    return object->lstat(Ctx(), object->GetClientPath().c_str(), &st);
}

int Nfs3Request::StatAsFound(const Object& object, struct stat& st) {
    if (const Found* found = FoundEntry(object)) {
        st = found->st;
        return 0;
    }
    return Stat(object, st);
}

void Nfs3Request::PostOp(const Object& object, post_op_attr& out) {
    struct stat st;
    out.attributes_follow = object && Stat(object, st) == 0;
    if (out.attributes_follow)
        Nfs3FillAttributes(st, out.post_op_attr_u.attributes);
}

void Nfs3Request::PreOp(const Object& object, pre_op_attr& out) {
    struct stat st;
    out.attributes_follow = object && Stat(object, st) == 0;
    if (out.attributes_follow)
        Nfs3FillWccAttributes(st, out.pre_op_attr_u.attributes);
}

bool Nfs3Request::ReadOnly() const {
    return !(m_export->GetSharePerms() & SHARE_PERM_WRITE);
}

char* Nfs3Request::Keep(const void* bytes, size_t length) {
    auto& kept = Make<std::vector<char>>();
    kept.assign(static_cast<const char*>(bytes), static_cast<const char*>(bytes) + length);
    return kept.data();
}
