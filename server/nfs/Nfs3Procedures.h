// The NFS v3 procedures, one short function each over its decoded
// arguments and the result it fills (zeroed before the call; every pointer
// left in it points into the request's storage). The program's table in
// Nfs3Program.cpp names each with its XDR routines.
//
// Every procedure enters through the request (export, admission, identity,
// handle), answers from the file's attributes as lstat gives them now, and
// maps an errno through Nfs3StatusOfErrno. A new object's id and handle are
// committed before the reply: while the state store is full
// (StateStore::HasRoom) the creating procedures answer NOSPC before they
// make anything, one whose commit still fails removes what it made, and a
// LOOKUP that needs a new id answers JUKEBOX. Thread safety: as the
// request.
#pragma once

#include <sys/stat.h>

#include "server/nfs/Nfs3Request.h"
#include "server/protocol/nfs3.h"
#include "server/rpc/ReplyPipe.h"

void Nfs3Getattr(Nfs3Request& req, GETATTR3args& args, GETATTR3res& res);
void Nfs3Setattr(Nfs3Request& req, SETATTR3args& args, SETATTR3res& res);
void Nfs3Lookup(Nfs3Request& req, LOOKUP3args& args, LOOKUP3res& res);
void Nfs3Access(Nfs3Request& req, ACCESS3args& args, ACCESS3res& res);
void Nfs3Readlink(Nfs3Request& req, READLINK3args& args, READLINK3res& res);
// READ's result. The handler checks and opens; the data is read while the
// reply is encoded (EncodeRead3Result): spliced into the transport's pipe
// when there is one and the read is large enough, else read straight into
// the reply. Either way the bytes read fix count and eof, so the reply
// agrees with itself however the file changes meanwhile. Offered wouldWait,
// it reads nothing that is not in memory: it sets it instead, and the
// transport drops what was encoded. The request keeps the object and
// descriptor alive.
struct Read3Result {
    READ3res res;
    BkEndProc* object;  // set when the data is still to be read
    LumeCtxt* ctx;
    int fd;
    uint64_t offset;  // with wanted, within a file's reach (Nfs3Offsets.h)
    count3 wanted;
    uint64_t size;    // the file's size, from the attributes
    ReplyPipe* pipe;  // the call's (RpcCall::pipe), null when none
    bool* wouldWait;  // the call's (RpcCall::wouldWait), null when none
};
void Nfs3Read(Nfs3Request& req, READ3args& args, Read3Result& result);
// In libtirpc's variadic form, as it is called through that type: a
// Read3Result* follows xdrs.
bool_t EncodeRead3Result(XDR* xdrs, ...);
void Nfs3Write(Nfs3Request& req, WRITE3args& args, WRITE3res& res);
void Nfs3Create(Nfs3Request& req, CREATE3args& args, CREATE3res& res);
void Nfs3Mkdir(Nfs3Request& req, MKDIR3args& args, MKDIR3res& res);
void Nfs3Symlink(Nfs3Request& req, SYMLINK3args& args, SYMLINK3res& res);
void Nfs3Mknod(Nfs3Request& req, MKNOD3args& args, MKNOD3res& res);
void Nfs3Remove(Nfs3Request& req, REMOVE3args& args, REMOVE3res& res);
void Nfs3Rmdir(Nfs3Request& req, RMDIR3args& args, RMDIR3res& res);
void Nfs3Rename(Nfs3Request& req, RENAME3args& args, RENAME3res& res);
void Nfs3Link(Nfs3Request& req, LINK3args& args, LINK3res& res);
void Nfs3Readdir(Nfs3Request& req, READDIR3args& args, READDIR3res& res);
void Nfs3Readdirplus(Nfs3Request& req, READDIRPLUS3args& args, READDIRPLUS3res& res);
void Nfs3Fsstat(Nfs3Request& req, FSSTAT3args& args, FSSTAT3res& res);
void Nfs3Fsinfo(Nfs3Request& req, FSINFO3args& args, FSINFO3res& res);
void Nfs3Pathconf(Nfs3Request& req, PATHCONF3args& args, PATHCONF3res& res);
void Nfs3Commit(Nfs3Request& req, COMMIT3args& args, COMMIT3res& res);

// Shared by the procedures that set attributes (SETATTR and the creators):
// applies what attrs asks to object, whose attributes were current; owner
// first (it clears set-id bits), then mode, size and times last (a size
// change moves mtime).
nfsstat3 Nfs3ApplyAttributes(Nfs3Request& req, const Nfs3Request::Object& object,
                             const sattr3& attrs, const struct stat& current);
