#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Names.h"

TEST(Nfs3Errno, EveryListedErrnoHasItsStatus) {
    const std::pair<int, nfsstat3> expected[] = {
        {EPERM, NFS3ERR_PERM},
        {EACCES, NFS3ERR_ACCES},
        {EEXIST, NFS3ERR_EXIST},
        {EXDEV, NFS3ERR_XDEV},
        {ENODEV, NFS3ERR_NODEV},
        {ENOTDIR, NFS3ERR_NOTDIR},
        {EISDIR, NFS3ERR_ISDIR},
        {EINVAL, NFS3ERR_INVAL},
        {EFBIG, NFS3ERR_FBIG},
        {ENOSPC, NFS3ERR_NOSPC},
        {EROFS, NFS3ERR_ROFS},
        {EMLINK, NFS3ERR_MLINK},
        {ENAMETOOLONG, NFS3ERR_NAMETOOLONG},
        {ENOTEMPTY, NFS3ERR_NOTEMPTY},
        {EDQUOT, NFS3ERR_DQUOT},
        {ESTALE, NFS3ERR_STALE},
        {ELOOP, NFS3ERR_INVAL},
        {EOPNOTSUPP, NFS3ERR_NOTSUPP},
        {ENOSYS, NFS3ERR_NOTSUPP},
        {EAGAIN, NFS3ERR_JUKEBOX},
        {ENOMEM, NFS3ERR_JUKEBOX},
        {EIO, NFS3ERR_IO},
    };
    for (const auto& [err, status] : expected)
        EXPECT_EQ(Nfs3StatusOfErrno(err), status) << "errno " << err;
    EXPECT_EQ(Nfs3StatusOfErrno(EBUSY), NFS3ERR_IO) << "unlisted errno";
    EXPECT_EQ(Nfs3StatusOfErrno(0x7fff), NFS3ERR_IO);
}

TEST(Nfs3Errno, MissingNameIsNoentButMissingHandleObjectIsStale) {
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

TEST(Nfs3Names, BadNamesAreRefusedBeforeTheModule) {
    EXPECT_EQ(Check("", Nfs3NameUse::kLookup), NFS3ERR_INVAL);
    EXPECT_EQ(Check("a/b", Nfs3NameUse::kCreate), NFS3ERR_INVAL);
    EXPECT_EQ(Check(std::string("a\0b", 3), Nfs3NameUse::kCreate), NFS3ERR_INVAL);
    EXPECT_EQ(Check(std::string(255, 'x'), Nfs3NameUse::kCreate), NFS3_OK);
    EXPECT_EQ(Check(std::string(256, 'x'), Nfs3NameUse::kCreate), NFS3ERR_NAMETOOLONG);
}

TEST(Nfs3Names, DotNamesDependOnUse) {
    EXPECT_EQ(Check("..", Nfs3NameUse::kLookup), NFS3_OK);
    EXPECT_EQ(Check(".", Nfs3NameUse::kCreate), NFS3ERR_EXIST);
    EXPECT_EQ(Check("..", Nfs3NameUse::kRemove), NFS3ERR_INVAL);
    EXPECT_EQ(Check("...", Nfs3NameUse::kRemove), NFS3_OK);
}
