#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "module/SinkFSM.h"
#include "module/backend/SinkBkEndObj.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/support/LogCapture.h"

namespace {

constexpr long kMiB = 1 << 20;

// A drill-hole request as the host decodes it; the response is released as
// the host releases it.
struct DrillHole {
    std::string share, file;
    LumeSinkFSMDrillHoleReq request;
    char* response = nullptr;
    size_t length = 0;
    int type = 0;
    bool result = false;

    DrillHole(std::string sharePath, std::string filePath, uint64_t offset, uint64_t size)
        : share(std::move(sharePath)),
          file(std::move(filePath)),
          request{0, &share[0], &file[0], offset, size} {
        result = SinkFSM::GetFSM()->HandleDrillHoleRequest(&request, response, length, type);
        EXPECT_EQ(length, 32u);
        EXPECT_EQ(type, static_cast<int>(RPC_DRILL_HOLE_RESP));
    }
    ~DrillHole() { SinkFSM::GetFSM()->ReleaseConfigRPCMem(type, response); }
    const LumeSinkFSMDrillHoleResp& Resp() const {
        return *reinterpret_cast<LumeSinkFSMDrillHoleResp*>(response);
    }
};

class DrillHoleRequest : public BackendTest {
  protected:
    void SetUp() override {
        int fd = open(file.c_str(), O_RDONLY);
        fsync(fd);
        close(fd);
    }

    std::string sharePath = exported.exp->GetPath();
    std::string file = exported.dir.WriteFile("data", std::string(4 * kMiB, 'x'));
};

TEST_F(DrillHoleRequest, FreesTheRangeAndKeepsTheSize) {
    LogCapture log(4);
    struct stat before = Lstat(file);
    DrillHole call(sharePath + "/", "data", kMiB, 2 * kMiB);
    EXPECT_TRUE(call.result);
    EXPECT_EQ(call.Resp().status, 0);
    EXPECT_EQ(call.Resp().errorText, nullptr);
    EXPECT_STREQ(call.Resp().sharePath, sharePath.c_str());  // converted: no trailing '/'
    EXPECT_STREQ(call.Resp().filePath, "data");

    struct stat after = Lstat(file);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_LT(after.st_blocks, before.st_blocks);
    EXPECT_TRUE(log.Has(4, "INFO: Received DrillHole in [" + sharePath +
                               ":data]. Size [2097152] Offset [1048576]"));
    EXPECT_TRUE(log.Has(4, "INFO: Successfully drilled a hole in [" + sharePath +
                               ":data]. Absolute Path [" + file + "]"));
}

// A hole changes the file: an export that does not allow writing refuses
// it, as do an unknown share, a path leaving the export and an export user
// that cannot be taken on. A missing file fails, its failed id never cached.
TEST_F(DrillHoleRequest, RefusedRequestsPunchNothing) {
    TempDir outside;
    const std::string victim = outside.WriteFile("victim", std::string(kMiB, 'v'));
    const std::string climb =
        "../" + outside.Path().substr(outside.Path().rfind('/') + 1) + "/victim";
    ASSERT_EQ(symlink(outside.Path().c_str(), (exported.dir / "link").c_str()), 0);
    TableEntry broken(ExportForNobody("/broken", exported.dir.Path(), SHARE_PERM_WRITE, 42));
    const struct {
        std::string share, path;
        bool result;
        int status;
        const char* text;
    } cases[] = {
        {"/not/exported", "data", false, 28, "share not found for given share path"},
        {sharePath, climb, false, 3, "Given file path is outside the export"},
        {sharePath, "link/victim", false, 3, "Given file path is outside the export"},
        {"/broken", "data", true, 51, "Impersonation Failed"},
        {sharePath, "missing", true, -1, ""},
        {sharePath, "data", false, 1, "Share is not writable."},  // read-only from here on
    };
    const struct stat fileBefore = Lstat(file), victimBefore = Lstat(victim);
    LogCapture log(-1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.share + " " + c.path);
        if (c.status == 1)
            exported.exp->SetSharePerms(SHARE_PERM_READ);
        DrillHole call(c.share, c.path, 0, kMiB);
        EXPECT_EQ(call.result, c.result);
        EXPECT_EQ(call.Resp().status, c.status);
        EXPECT_STREQ(call.Resp().errorText, c.text);
        EXPECT_STREQ(call.Resp().sharePath, c.share.c_str());
        EXPECT_STREQ(call.Resp().filePath, c.path.c_str());
    }
    EXPECT_EQ(Lstat(file).st_blocks, fileBefore.st_blocks);
    EXPECT_EQ(Lstat(victim).st_blocks, victimBefore.st_blocks);
    const std::string missing = exported.dir / "missing";
    EXPECT_EQ(log.CountContaining("ERROR: Failed to drill hole in [" + sharePath + ":" + missing),
              1u);
    SinkFSMFileDescriptorInfo* entry = nullptr;
    EXPECT_EQ(SinkFSM::GetFSM()->GetFileDescriptorCache()->GetFD(~0UL, entry), -1);
}

// A client writing the file shares its descriptor with the hole punch; one
// reading it keeps its read-only descriptor, which could not punch. Either
// stays open with its count.
TEST_F(DrillHoleRequest, SharesAnOpenClientsWritableDescriptor) {
    SinkBkEndObj object(exported.exp, file);
    SinkFSMFileDescriptorCache& cache = *SinkFSM::GetFSM()->GetFileDescriptorCache();
    for (int mode : {O_RDWR, O_RDONLY}) {
        SCOPED_TRACE(mode);
        int fd = object.open(&ctx, nullptr, mode, 0);
        ASSERT_GE(fd, 0);
        {
            DrillHole call(sharePath, "data", 0, kMiB);
            EXPECT_EQ(call.Resp().status, 0);
        }
        SinkFSMFileDescriptorInfo* entry = nullptr;
        ASSERT_EQ(cache.GetFD(object.GetFileChecksum(), entry), 0);
        EXPECT_EQ(entry->fd, fd) << "the file has no other descriptor left";
        EXPECT_EQ(entry->refCount, 1);
        EXPECT_EQ(object.close(&ctx, fd), 0);
    }
}

}  // namespace
