// ACCESS of a regular file judged with its POSIX ACL, read from a descriptor of it; other objects
// by their mode bits.
#include "server/nfs/Nfs3FileAccess.h"

#include "server/nfs/Nfs3Attributes.h"

uint32_t Nfs3FileAccess(Nfs3Request& req, const Nfs3Request::Object& object, const struct stat& st,
                        uint32_t wanted) {
    unsigned long id = 0;
    if (!S_ISREG(st.st_mode) || req.Who().uid == 0 || !req.FileId(object, id))
        return Nfs3AllowedAccess(st, req.Who(), wanted, req.ReadOnly());
    std::unique_ptr<Nfs3OpenFiles::Use> use = req.TakeOpenFile(object);
    if (!use)
        use = req.AsServer([&] {
            return req.Shared().openFiles.Acquire(object, id, req.GetExport(),
                                                  req.GetExport()->isLumeFDCacheSupported(), false);
        });
    if (!use)
        return Nfs3AllowedAccess(st, req.Who(), wanted, req.ReadOnly());
    return req.Shared().permissions.Allowed(use->Fd(), id, st, req.Who(), wanted, req.ReadOnly());
}
