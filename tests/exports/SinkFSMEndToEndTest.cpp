#include <fcntl.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <boost/shared_ptr.hpp>

#include "backend/SinkBkEndObj.h"
#include "backend/SinkFSMFileDescriptorCache.h"
#include "exports/SinkFSMExport.h"
#include "host/ExportCache.h"
#include "host/LumeCtxt.h"
#include "module/SinkFSM.h"
#include "platform/CRaIPAddr.h"
#include "tests/support/TempDir.h"

namespace {

// The host's road: export a directory, take its root handle, look a file up,
// take the file's handle, resolve it and do I/O through the resolved object.
TEST(SinkFSMEndToEnd, ExportLookUpResolveAndDoIO) {
    TempDir dir;
    dir.WriteFile("data", "0123456789");
    ExportPtr none;
    ExportPtr exp(
        new SinkFSMExport("/e2e", dir.Path(), SHARE_PERM_READ | SHARE_PERM_WRITE, "*", 61, none));
    std::string error;
    ASSERT_EQ(static_cast<SinkFSMExport&>(*exp).InitExportFileHandle(error), 0) << error;
    ASSERT_TRUE(gAllExports->AddExport(exp));
    SinkFSM* fsm = SinkFSM::GetFSM();
    LumeCtxt ctx(IdInfo(), exp, {});

    nfs_fh3 rootHandle;
    exp->GetFileHandle(CRaIPAddr(), rootHandle);
    boost::shared_ptr<BkEndProc> root = fsm->GetFSObject(exp, rootHandle);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetClientPath(), dir.Path());

    boost::shared_ptr<BkEndProc> found = root->FindChild(&ctx, "data");
    ASSERT_TRUE(found);
    nfs_fh3 fileHandle;
    found->GetFileHandle(fileHandle);
    found.reset();  // the client keeps only the handle
    boost::shared_ptr<BkEndProc> file = fsm->GetFSObject(exp, fileHandle);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->GetClientPath(), dir / "data");
    EXPECT_FALSE(fsm->FH2Str(fileHandle).empty());

    int fd = file->open(&ctx, nullptr, O_RDWR, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(file->write(&ctx, fd, "abc", 4, 3, BKEND_SYNC_FILE), 3);
    char buf[16] = {};
    EXPECT_EQ(file->read(&ctx, fd, buf, 0, sizeof(buf)), 10);
    EXPECT_EQ(std::string(buf, 10), "0123abc789");
    EXPECT_EQ(file->close(&ctx, fd), 0);

    SinkFSMFileDescriptorInfo* entry = nullptr;
    EXPECT_EQ(fsm->GetFileDescriptorCache()->GetFD(
                  static_cast<SinkBkEndObj&>(*file).GetFileChecksum(), entry),
              -1);
    EXPECT_EQ(entry, nullptr);
    EXPECT_TRUE(gAllExports->RemoveExport(exp));
}

}  // namespace
