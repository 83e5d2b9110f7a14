// One NFS v3 call in progress: who made it, the export its handles belong
// to, the identity it runs under, and the storage its reply points into.
//
// Enter resolves the call's first handle: the export named by the handle
// must admit the caller's address (else ACCES) and allow what the procedure
// needs (its Nfs3Need, from the procedure table: READ for reads, WRITE for
// changes; else ACCES / ROFS); then the calling thread takes on the
// caller's identity until the request is destroyed (uid 0 squashed to
// 65534 unless the export has SHARE_PERM_ROOT, AUTH_NONE as 65534), and the
// object is found. The module resolves a handle to the
// object of its unique id beneath the export's root, or not at all; when it
// cannot (after a restart, or when the path it remembers was renamed away),
// the object is found again by the kernel identity of that id (Recover).
// A handle this server never gave out (IssuedHandles), or whose object is
// gone or outside the export, is STALE: never another object. The host
// never walks a path itself: it asks the objects for their identity
// (BkEndProc::GetIdentity). An object found before is used again while
// nothing on its way changed since (Nfs3FoundObjects), with fresh
// attributes.
// Thread safety: a request belongs to the one thread running the
// call. State shared between calls lives in Nfs3Shared, which is
// thread-safe member by member.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/FSM.h"
#include "host/LumeCtxt.h"
#include "platform/CImpersonator.h"
#include "server/nfs/Nfs3FoundObjects.h"
#include "server/nfs/Nfs3Listings.h"
#include "server/nfs/Nfs3OpenFiles.h"
#include "server/nfs/Nfs3Permissions.h"
#include "server/nfs/Nfs3WriteVerifier.h"
#include "server/protocol/nfs3.h"
#include "server/rpc/RpcProgram.h"

// How many descriptors the caches of one program may keep: files kept open
// (each holds two), objects kept as found, listings kept open. lumed
// derives them from its descriptor budget (server/lumed/DescriptorBudget.h);
// the defaults are for a program made without one.
struct Nfs3Limits {
    size_t keptFiles = 128;
    size_t foundObjects = 512;
    size_t keptListings = 16;
};

// What every call of one program shares.
struct Nfs3Shared {
    Nfs3Shared(FSM* module, const Nfs3Limits& limits);

    FSM* const fsm;
    Nfs3WriteVerifier writeVerifier;  // before openFiles, which renews it
    Nfs3OpenFiles openFiles;
    Nfs3Permissions permissions;
    Nfs3FoundObjects found;
    Nfs3KeptListings listings;
};

// What a procedure needs of the export's share permissions.
enum class Nfs3Need {
    kAttributes,  // READ or WRITE share permission (attributes, ACCESS, FSINFO)
    kRead,        // SHARE_PERM_READ: file data and directory contents
    kWrite,       // SHARE_PERM_WRITE: any change
};

class Nfs3Request {
  public:
    typedef boost::shared_ptr<BkEndProc> Object;

    Nfs3Request(Nfs3Shared& shared, const RpcCaller& caller, Nfs3Need need);
    Nfs3Request(const Nfs3Request&) = delete;
    Nfs3Request& operator=(const Nfs3Request&) = delete;

    // The call's first handle; see above.
    nfsstat3 Enter(const w_nfs_fh3& fh, Object& object);
    // A further handle of the same call: XDEV when of another export.
    nfsstat3 Resolve(const w_nfs_fh3& fh, Object& object);
    // The entry name of directory dir: "." is dir, ".." its parent but never
    // above the export's root; empty (errno set) when there is none.
    Object Child(const Object& dir, const w_nfs_fh3& dirFh, const std::string& name);
    // The entry name of directory dirFh as a call found it before, while
    // that still stands (see Nfs3FoundObjects); else null, with errno 0
    // when none stands, else why the one found cannot serve.
    Object FoundChild(const w_nfs_fh3& dirFh, const std::string& name);
    bool IsExportRoot(const w_nfs_fh3& fh) const;

    // A handle for object, recorded as given out; false when the module
    // gives none or the object has no identity.
    bool Issue(const Object& object, w_nfs_fh3& out);
    void Issue(const Object& object, post_op_fh3& out);
    // Issue, also giving the object's attributes from when it was resolved.
    bool Issue(const Object& object, w_nfs_fh3& out, post_op_attr& attrs);
    // Issue for an object FoundChild gave, not kept again by its handle:
    // what a name found is held (and so, most likely, kept by handle).
    bool IssueFound(const Object& object, w_nfs_fh3& out, post_op_attr& attrs);
    // The same for the entry name of directory dir, open on dirFd, as a
    // listing finds it (BkEndProc::ListedEntry): no object is made for it.
    bool IssueListed(const Object& dir, int dirFd, const std::string& name, w_nfs_fh3& out,
                     post_op_attr& attrs);

    // lstat of object: 0, or -1 with errno.
    int Stat(const Object& object, struct stat& st);
    // Stat, but for an object this call found by handle, the attributes it
    // had then: for the attributes from before the call changes anything.
    int StatAsFound(const Object& object, struct stat& st);
    void PostOp(const Object& object, post_op_attr& out);
    void PreOp(const Object& object, pre_op_attr& out);
    // The unique file id of object; false when none.
    bool FileId(const Object& object, unsigned long& id) const;
    // The kept descriptor that vouched for object when this call found it,
    // if any (taken once).
    std::unique_ptr<Nfs3OpenFiles::Use> TakeOpenFile(const Object& object);

    // act() run with the server's own file-system identity instead of the
    // caller's, for what the caller was found entitled to but the kernel
    // would refuse its identity (an owner writing its read-only file).
    // Should the caller's identity not come back, the exception drops the
    // call: nothing more of it runs with the server's powers.
    template <class Act>
    auto AsServer(Act act) -> decltype(act()) {
        m_identity.reset();
        auto result = act();
        const int err = errno;
        m_identity.emplace(m_who, false);
        errno = err;
        return result;
    }

    LumeCtxt* Ctx() { return m_ctx.get(); }
    const OxUserToken& Who() const { return m_who; }
    const ExportPtr& GetExport() const { return m_export; }
    bool ReadOnly() const;
    Nfs3Shared& Shared() { return m_shared; }

    // Storage that lives as long as the request (the reply points into it).
    char* Keep(const void* bytes, size_t length);
    template <class T>
    T& Make() {
        auto made = std::make_shared<T>();
        m_kept.push_back(made);
        return *made;
    }

  private:
    // Issue, keeping the object by its handle or not.
    bool Hand(const Object& object, w_nfs_fh3& out, post_op_attr& attrs, bool keep);
    nfsstat3 Admit();
    nfsstat3 TakeIdentity();
    nfsstat3 Find(const nfs_fh3& fh, Object& object);
    // The key of fh's object, found under this call's identity.
    std::string FoundKey(const nfs_fh3& fh) const;
    std::string ChildKey(const w_nfs_fh3& dirFh, const std::string& name) const;
    // Unique id and attributes of object: as found by this call, else its
    // own.
    bool Identify(const Object& object, unsigned long& id, struct stat& st) const;
    // Records fh as given out for the object with id and writes it to out.
    void Give(const nfs_fh3& fh, unsigned long id, w_nfs_fh3& out);
    // The object of a handle the module no longer resolves (after a
    // restart, or when the path it remembers names another object or none):
    // found again by the kernel identity of the handle's unique id, walked
    // to from the export's root, and given the same handle afresh. Null
    // when it is gone, outside the export, or the handle was never ours.
    Object Recover(const nfs_fh3& fh);
    // Where the object with id is now, relative to the export's root.
    bool WhereNow(unsigned long id, std::string& relative);
    Object WalkFromRoot(const std::string& relative);

    Nfs3Shared& m_shared;
    const RpcCaller& m_caller;
    const Nfs3Need m_need;
    ExportPtr m_export;
    nfs_fh3 m_root{};
    OxUserToken m_who;
    std::string m_whoKey;           // m_who's ids, as bytes
    NameChanges::Moment m_foundAt;  // from before anything was found
    std::unique_ptr<LumeCtxt> m_ctx;
    std::optional<CImpersonator> m_identity;
    // The objects found by handle, with the unique id and attributes they
    // had, and the kept descriptor that vouched for the id, if one did.
    struct Found {
        Object object;
        unsigned long id;
        struct stat st;
        std::unique_ptr<Nfs3OpenFiles::Use> open;
    };
    // The kept descriptor of the file with id, if it is open on what st
    // shows.
    std::unique_ptr<Nfs3OpenFiles::Use> KeptFor(unsigned long id, const struct stat& st);
    const Found* FoundEntry(const Object& object) const;
    std::vector<Found> m_found;
    std::vector<std::shared_ptr<void>> m_kept;
};
