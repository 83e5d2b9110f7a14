#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Names.h"

// The choices of the table, not its one-to-one rows: transient errors ask
// the client to retry, unsupported ones say so, anything unknown is IO; a
// missing object is NOENT by name but STALE by handle.
TEST(Nfs3Errno, TransientUnsupportedUnknownAndMissingErrors) {
    EXPECT_EQ(Nfs3StatusOfErrno(EAGAIN), NFS3ERR_JUKEBOX);
    EXPECT_EQ(Nfs3StatusOfErrno(ENOMEM), NFS3ERR_JUKEBOX);
    EXPECT_EQ(Nfs3StatusOfErrno(EOPNOTSUPP), NFS3ERR_NOTSUPP);
    EXPECT_EQ(Nfs3StatusOfErrno(ENOSYS), NFS3ERR_NOTSUPP);
    EXPECT_EQ(Nfs3StatusOfErrno(ELOOP), NFS3ERR_INVAL);
    EXPECT_EQ(Nfs3StatusOfErrno(EBUSY), NFS3ERR_IO);
    // Lasting, so never JUKEBOX: a running program, a descriptor of the wrong mode.
    EXPECT_EQ(Nfs3StatusOfErrno(ETXTBSY), NFS3ERR_IO);
    EXPECT_EQ(Nfs3StatusOfErrno(EBADF), NFS3ERR_IO);
    EXPECT_EQ(Nfs3StatusOfErrno(0x7fff), NFS3ERR_IO);
    EXPECT_EQ(Nfs3StatusOfErrno(ENOENT, Nfs3ErrnoSite::kName), NFS3ERR_NOENT);
    EXPECT_EQ(Nfs3StatusOfErrno(ENOENT, Nfs3ErrnoSite::kHandle), NFS3ERR_STALE);
    EXPECT_EQ(Nfs3StatusOfErrno(EACCES, Nfs3ErrnoSite::kHandle), NFS3ERR_ACCES);
}

namespace {

nfsstat3 Check(const std::string& bytes, Nfs3NameUse use) {
    filename3 wire{static_cast<u_int>(bytes.size()), const_cast<char*>(bytes.data())};
    std::string name;
    nfsstat3 status = Nfs3CheckName(wire, use, name);
    if (status == NFS3_OK) {
        EXPECT_EQ(name, bytes);
    }
    return status;
}

}  // namespace

// Bad names are refused before the module; dot names by their use.
TEST(Nfs3Names, BadNamesRefusedDotNamesByUse) {
    EXPECT_EQ(Check("", Nfs3NameUse::kLookup), NFS3ERR_INVAL);
    EXPECT_EQ(Check("a/b", Nfs3NameUse::kCreate), NFS3ERR_INVAL);
    EXPECT_EQ(Check(std::string("a\0b", 3), Nfs3NameUse::kCreate), NFS3ERR_INVAL);
    EXPECT_EQ(Check(std::string(255, 'x'), Nfs3NameUse::kCreate), NFS3_OK);
    EXPECT_EQ(Check(std::string(256, 'x'), Nfs3NameUse::kCreate), NFS3ERR_NAMETOOLONG);
    EXPECT_EQ(Check("..", Nfs3NameUse::kLookup), NFS3_OK);
    EXPECT_EQ(Check(".", Nfs3NameUse::kCreate), NFS3ERR_EXIST);
    EXPECT_EQ(Check("..", Nfs3NameUse::kRemove), NFS3ERR_INVAL);
    EXPECT_EQ(Check("...", Nfs3NameUse::kRemove), NFS3_OK);
}
