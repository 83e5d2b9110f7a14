#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/LumeLockRecords.h"
#include "module/ConfigRPCRelease.h"
#include "module/locks/SinkFSMLockInfo.h"

namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace

TEST(LockRecords, ALaterFillReplacesWhatItNamesAndKeepsWhatItLeavesNull) {
    auto* response = new LumeLockResp();
    PopulateFileLockResponse(response, LUME_STATUS_LOCKED_BY_OTHER, "a", "/share", "first", 5);
    PopulateFileLockResponse(response, LUME_STATUS_FAILURE, "b", nullptr, "second", 0);
    EXPECT_EQ(response->status, LUME_STATUS_FAILURE);
    EXPECT_EQ(response->lockOwner, 0u);
    EXPECT_STREQ(response->filePath, "b");
    EXPECT_STREQ(response->exportPath, "/share");
    EXPECT_STREQ(response->message, "second");

    // A text that is the field's own copy must survive its replacement.
    PopulateFileLockResponse(response, LUME_STATUS_UNLOCKED, response->filePath,
                             response->exportPath, response->message, 9);
    EXPECT_STREQ(response->filePath, "b");
    EXPECT_STREQ(response->exportPath, "/share");
    EXPECT_STREQ(response->message, "second");
    EXPECT_EQ(response->lockOwner, 9u);
    FreeFileLockResp(response);  // replaced copies were freed: the leak checker sees none
}

TEST(LockRecords, RecordsLeaveTheirDescriptorsOpen) {
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    { SinkFSMLockInfo writer(fd, 42, "/share", "/share/f"); }
    EXPECT_TRUE(IsOpen(fd));
    {
        SinkFSMReadLockInfo readers("/share");
        readers.owners[1] = {fd, "/share", "/share/f"};
        readers.owners[2] = {fd, "/share", "/share/g"};
    }
    EXPECT_TRUE(IsOpen(fd));
    close(fd);
}
