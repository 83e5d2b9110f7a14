// Checks of the file names and symbolic link targets clients send.
#include "server/nfs/Nfs3Names.h"

nfsstat3 Nfs3CheckName(const filename3& wire, Nfs3NameUse use, std::string& name) {
    if (wire.filename3_len == 0)
        return NFS3ERR_INVAL;
    if (wire.filename3_len > kNfs3NameMax)
        return NFS3ERR_NAMETOOLONG;
    name.assign(wire.filename3_val, wire.filename3_len);
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        return NFS3ERR_INVAL;
    if (Nfs3IsDotName(name) && use == Nfs3NameUse::kCreate)
        return NFS3ERR_EXIST;
    if (Nfs3IsDotName(name) && use == Nfs3NameUse::kRemove)
        return NFS3ERR_INVAL;
    return NFS3_OK;
}

nfsstat3 Nfs3CheckPath(const nfspath3& wire, std::string& path) {
    if (wire.nfspath3_len == 0)
        return NFS3ERR_INVAL;
    if (wire.nfspath3_len > kNfs3PathMax)
        return NFS3ERR_NAMETOOLONG;
    path.assign(wire.nfspath3_val, wire.nfspath3_len);
    return path.find('\0') == std::string::npos ? NFS3_OK : NFS3ERR_INVAL;
}
