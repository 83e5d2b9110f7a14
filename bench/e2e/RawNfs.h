// Single NFSv3 calls by handle (libnfs's raw interface), for the rows that
// must send exactly one LOOKUP or GETATTR per operation. Handles are kept as
// byte strings; a call's arguments are encoded when it is queued, so they
// may live on the stack.
#pragma once

#include <nfsc/libnfs.h>

#include <stdexcept>
#include <string>

#include <nfsc/libnfs-raw-nfs.h>
#include <nfsc/libnfs-raw.h>

// libnfs 4.0 keeps an open file's handle as {len, val} (nfs_get_fh returns it).
struct nfs_fh {
    int len;
    char* val;
};

namespace lumebench {

using Handle = std::string;

// The handle of a file libnfs opened; throws when it cannot be one.
inline Handle HandleOf(nfsfh* file) {
    const nfs_fh* fh = nfs_get_fh(file);
    if (fh == nullptr || fh->len <= 0 || fh->len > NFS3_FHSIZE)
        throw std::runtime_error("libnfs gave no usable file handle");
    return Handle(fh->val, fh->len);
}

inline nfs_fh3 AsFh3(const Handle& handle) {
    return nfs_fh3{{static_cast<u_int>(handle.size()), const_cast<char*>(handle.data())}};
}

inline int LookupAsync(rpc_context* rpc, const Handle& dir, const std::string& name, rpc_cb cb,
                       void* tag) {
    LOOKUP3args args{{AsFh3(dir), const_cast<char*>(name.c_str())}};
    return rpc_nfs3_lookup_async(rpc, cb, &args, tag);
}

inline int GetattrAsync(rpc_context* rpc, const Handle& object, rpc_cb cb, void* tag) {
    GETATTR3args args{AsFh3(object)};
    return rpc_nfs3_getattr_async(rpc, cb, &args, tag);
}

// The handle a LOOKUP answered, or why there is none.
inline Handle LookedUp(const void* data, std::string& error) {
    const auto* res = static_cast<const LOOKUP3res*>(data);
    if (res->status != NFS3_OK) {
        error = "LOOKUP answered status " + std::to_string(res->status);
        return {};
    }
    const nfs_fh3& fh = res->LOOKUP3res_u.resok.object;
    return Handle(fh.data.data_val, fh.data.data_len);
}

}  // namespace lumebench
