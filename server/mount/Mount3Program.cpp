// The MOUNT v3 procedures: MNT's path checks and handle, UMNT, UMNTALL, DUMP and the bounded EXPORT
// list.
#include "server/mount/Mount3Program.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "host/LumeCtxt.h"
#include "platform/LogWriter.h"
#include "platform/PathContainment.h"
#include "server/handles/IssuedHandles.h"
#include "server/stats/CallStats.h"

namespace {

// DUMP and UMNT name a client by the machine name it gives, else its address.
std::string HostOf(const RpcCaller& caller) {
    return caller.machineName.empty() ? caller.address.ToString() : caller.machineName;
}

// The path's bytes as sent: decoded as an opaque (the same wire form as a
// string), so that a NUL inside it is seen rather than ending it. Runs of
// '/' are folded into one, as the kernel reads them.
bool DecodePath(XDR* args, std::string& path) {
    char buffer[MNTPATHLEN];
    char* p = buffer;  // preset: xdr_bytes fills it instead of allocating
    u_int length = 0;
    if (!xdr_bytes(args, &p, &length, MNTPATHLEN))
        return false;
    path.clear();
    for (u_int i = 0; i < length; ++i)
        if (buffer[i] != '/' || path.empty() || path.back() != '/')
            path.push_back(buffer[i]);
    return true;
}

// The export whose directory is path or holds it, the deepest one first.
bool FindEnclosingExport(const std::string& path, ExportPtr& found) {
    if (gAllExports->FindExport(path, found))
        return true;
    size_t best = 0;
    for (const ExportPtr& exp : gAllExports->GetAllExports()) {
        std::string root = exp->GetPath();
        bool below = root == "/" || (path.compare(0, root.size(), root) == 0 &&
                                     path.size() > root.size() && path[root.size()] == '/');
        if (below && root.size() >= best) {
            best = root.size();
            found = exp;
        }
    }
    return found.get() != nullptr;
}

mnt_stat3 StatusOfErrno(int error) {
    switch (error) {
        case ENOENT:
            return MNT3ERR_NOENT;
        case ENOTDIR:
            return MNT3ERR_NOTDIR;
        case EACCES:
        case ELOOP:  // a link swapped in on the way
        case EXDEV:
            return MNT3ERR_ACCES;
        case ENAMETOOLONG:
            return MNT3ERR_NAMETOOLONG;
        default:
            return MNT3ERR_IO;
    }
}

// The non-empty parts of text between separators.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

// The EXPORT reply has no pages: it stops short of this many bytes, well
// inside what the transport carries, and lists the exports that fit.
constexpr size_t kExportListBytes = 1 << 20;

// An export node's XDR bytes: each string with its length word and padding,
// and a presence word per list link.
size_t EncodedSize(const std::string& dir, const std::vector<std::string>& groups) {
    auto text = [](const std::string& s) { return 4 + (s.size() + 3) / 4 * 4; };
    size_t size = 4 + text(dir) + 4;
    for (const std::string& group : groups)
        size += text(group) + 4;
    return size;
}

}  // namespace

const char* Mount3Program::ProcedureName(uint32_t procedure) const {
    static const char* const kNames[] = {"NULL", "MNT", "DUMP", "UMNT", "UMNTALL", "EXPORT"};
    return procedure < sizeof kNames / sizeof kNames[0] ? kNames[procedure] : nullptr;
}

accept_stat Mount3Program::Call(const RpcCall& call, XDR* args, XDR* results) {
    switch (call.procedure) {
        case MOUNTPROC3_NULL:
            return SUCCESS;
        case MOUNTPROC3_MNT:
            return Mnt(call.caller, args, results);
        case MOUNTPROC3_DUMP:
            return Dump(results);
        case MOUNTPROC3_UMNT:
            return Umnt(call.caller, args);
        case MOUNTPROC3_UMNTALL:
            m_mounts.RemoveHost(HostOf(call.caller));
            return SUCCESS;
        case MOUNTPROC3_EXPORT:
            return ExportList(results);
        default:
            return PROC_UNAVAIL;
    }
}

accept_stat Mount3Program::Mnt(const RpcCaller& caller, XDR* args, XDR* results) {
    std::string path;
    if (!DecodePath(args, path))
        return GARBAGE_ARGS;
    nfs_fh3 fh{};
    mnt_mountres3 result{};
    // Cut at the NUL, the path would name another directory than the client's.
    result.fhs_status =
        path.find('\0') != std::string::npos ? MNT3ERR_INVAL : Lookup(path, caller, fh);
    int flavors[] = {AUTH_SYS, AUTH_NONE};
    if (result.fhs_status == MNT3_OK) {
        mnt_mountres3_ok& ok = result.mnt_mountres3_u.mountinfo;
        ok.fhandle.mnt_fhandle3_len = fh.len;
        ok.fhandle.mnt_fhandle3_val = reinterpret_cast<char*>(fh.data);
        ok.auth_flavors.auth_flavors_len = 2;
        ok.auth_flavors.auth_flavors_val = flavors;
        m_mounts.Add(HostOf(caller), path);
    }
    OXLOG(3, 0, "MNT %s from %s:%u: status %d.", path.c_str(), caller.address.ToString().c_str(),
          caller.port, static_cast<int>(result.fhs_status));
    CallStats::NoteStatus(static_cast<uint32_t>(result.fhs_status));
    return xdr_mnt_mountres3(results, &result) ? SUCCESS : SYSTEM_ERR;
}

mnt_stat3 Mount3Program::Lookup(const std::string& clientPath, const RpcCaller& caller,
                                nfs_fh3& fh) {
    std::string path;
    ReverseNormalizeExportPath(clientPath, path);
    ExportPtr exp;
    if (path.empty() || path[0] != '/' || !FindEnclosingExport(path, exp))
        return MNT3ERR_NOENT;
    if (!exp->Authorize(caller.address, caller.hostName)) {
        OXLOG(1, 0, "Client %s (%s) may not mount %s.", caller.address.ToString().c_str(),
              caller.machineName.c_str(), path.c_str());
        return MNT3ERR_ACCES;
    }
    if (path == exp->GetPath()) {
        exp->GetFileHandle(caller.address, fh);
        boost::shared_ptr<BkEndProc> root = m_fsm->GetFSObject(exp, fh);
        unsigned long id = 0;
        struct stat attributes;
        if (!root || root->GetIdentity(id, attributes) != 0)
            return StatusOfErrno(errno);
        IssuedHandles::Process().Record(fh, id);
        return MNT3_OK;
    }
    return LookupBelow(exp, path, caller, fh);
}

mnt_stat3 Mount3Program::LookupBelow(ExportPtr& exp, const std::string& path,
                                     const RpcCaller& caller, nfs_fh3& fh) {
    // A symbolic link inside the export may lead anywhere; judge where it lands.
    if (!ResolvesWithin(path, exp->GetPath())) {
        OXLOG(1, 0, "%s resolves outside the export %s.", path.c_str(), exp->GetPath().c_str());
        return MNT3ERR_ACCES;
    }
    std::string resolved = ResolveExistingPart(path);
    std::string root = ResolveExistingPart(exp->GetPath());

    nfs_fh3 rootFh{};
    exp->GetFileHandle(caller.address, rootFh);
    boost::shared_ptr<BkEndProc> object = m_fsm->GetFSObject(exp, rootFh);
    LumeCtxt context(IdInfo(), exp, boost::shared_ptr<BkEndProc>());
    // Walk the resolved path, which holds no links, one component at a time
    // beneath the export (a link swapped in meanwhile ends the walk).
    std::string relative = root == "/" ? resolved : resolved.substr(root.size());
    for (const std::string& name : Split(relative, '/')) {
        if (!object)
            break;
        object = object->FindChild(&context, name);
    }
    if (!object)
        return StatusOfErrno(errno);
    unsigned long id = 0;
    struct stat attributes;
    if (object->GetIdentity(id, attributes) != 0)
        return StatusOfErrno(errno);
    if (!S_ISDIR(attributes.st_mode))
        return MNT3ERR_NOTDIR;
    object->GetFileHandle(fh);
    IssuedHandles::Process().Record(fh, id);
    return MNT3_OK;
}

accept_stat Mount3Program::Umnt(const RpcCaller& caller, XDR* args) {
    std::string path;
    if (!DecodePath(args, path))
        return GARBAGE_ARGS;
    m_mounts.Remove(HostOf(caller), path);
    return SUCCESS;
}

accept_stat Mount3Program::Dump(XDR* results) {
    std::vector<MountTable::Entry> entries = m_mounts.Snapshot();
    std::vector<mnt_mountbody> nodes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        nodes[i].ml_hostname = const_cast<char*>(entries[i].first.c_str());
        nodes[i].ml_directory = const_cast<char*>(entries[i].second.c_str());
        nodes[i].ml_next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
    }
    mnt_mountlist head = nodes.empty() ? nullptr : &nodes[0];
    return xdr_mnt_mountlist(results, &head) ? SUCCESS : SYSTEM_ERR;
}

accept_stat Mount3Program::ExportList(XDR* results) {
    std::vector<ExportPtr> all = gAllExports->GetAllExports();
    std::vector<std::string> dirs;
    std::vector<std::vector<std::string>> clients;
    size_t bytes = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        std::string dir, text;
        NormalizeExportPath(all[i]->GetPath(), dir);
        all[i]->GetAllowedClients(text);
        if (dir.size() > MNTPATHLEN)
            continue;  // no MNT could name it either
        std::vector<std::string> groups = Split(text, ',');
        // A name the protocol cannot carry would fail the whole reply.
        groups.erase(std::remove_if(groups.begin(), groups.end(),
                                    [](const std::string& g) { return g.size() > MNTNAMLEN; }),
                     groups.end());
        bytes += EncodedSize(dir, groups);
        if (bytes > kExportListBytes) {
            OXLOG(1, 0, "EXPORT lists %zu of %zu exports: the reply would not fit.", i, all.size());
            break;
        }
        dirs.push_back(dir);
        clients.push_back(groups);
    }
    // Node storage is sized before any pointer into it is taken.
    std::vector<mnt_exportnode> nodes(dirs.size());
    std::vector<std::vector<mnt_groupnode>> groups(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i) {
        groups[i].resize(clients[i].size());
        for (size_t g = 0; g < groups[i].size(); ++g) {
            groups[i][g].gr_name = const_cast<char*>(clients[i][g].c_str());
            groups[i][g].gr_next = g + 1 < groups[i].size() ? &groups[i][g + 1] : nullptr;
        }
        nodes[i].ex_dir = const_cast<char*>(dirs[i].c_str());
        nodes[i].ex_groups = groups[i].empty() ? nullptr : &groups[i][0];
        nodes[i].ex_next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
    }
    mnt_exports head = nodes.empty() ? nullptr : &nodes[0];
    return xdr_mnt_exports(results, &head) ? SUCCESS : SYSTEM_ERR;
}
