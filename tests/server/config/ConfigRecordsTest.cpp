// The conversion between the configuration program's XDR structures and the
// module's records, and that what it produces travels through XDR intact.
#include <gtest/gtest.h>

#include <vector>

#include "server/config/ConfigRecords.h"
#include "server/protocol/XdrProc.h"

namespace {

// Encodes value and decodes it into a fresh T (free it with xdr_free).
template <typename T>
bool RoundTrip(xdrproc_t proc, T& value, T& decoded) {
    std::vector<char> buffer(4096);
    XDR out;
    xdrmem_create(&out, buffer.data(), buffer.size(), XDR_ENCODE);
    if (!proc(&out, &value))
        return false;
    XDR in;
    xdrmem_create(&in, buffer.data(), xdr_getpos(&out), XDR_DECODE);
    return proc(&in, &decoded);
}

TEST(ConfigRequestRecords, ExportArgumentsFillEveryFieldOfTheRecordInPlace) {
    char path[] = "/data/x";
    char clients[] = "10.0.0.0/8";
    char* clientsField = clients;
    lumecfg_export_args args{};
    args.timeout = 30;
    args.path = path;
    args.clients = &clientsField;
    args.perms = 5;
    args.job_id = 0x1234567890ull;
    args.unique_name = TRUE;

    LumeExportPath record = ExportRequestRecord(args);
    EXPECT_EQ(record.timeout, 30u);
    EXPECT_EQ(record.path, path);  // the arguments' own text, not a copy
    EXPECT_EQ(record.clients, clients);
    EXPECT_EQ(record.perms, 5);
    EXPECT_EQ(record.jobId, 0x1234567890ull);
    EXPECT_NE(record.uniqueName, 0);

    args.clients = nullptr;
    args.unique_name = FALSE;
    record = ExportRequestRecord(args);
    EXPECT_EQ(record.clients, nullptr);
    EXPECT_EQ(record.uniqueName, 0);
}

TEST(ConfigRequestRecords, ShareLockAndDrillHoleArgumentsKeepTheirFieldsApart) {
    char share[] = "/data/x";
    char file[] = "dir/file";
    lumecfg_share_args shareArgs{share};
    LumeExportPath byShare = ShareRequestRecord(shareArgs);
    EXPECT_EQ(byShare.path, share);
    EXPECT_EQ(byShare.clients, nullptr);
    EXPECT_EQ(byShare.timeout, 0u);

    char* sharePointer = share;
    char* filePointer = file;
    lumecfg_lock_args lockArgs{3, &sharePointer, 77, &filePointer};
    LumeLockRequest lock = LockRequestRecord(lockArgs);
    EXPECT_EQ(lock.operation, 3);
    EXPECT_EQ(lock.exportPath, share);
    EXPECT_EQ(lock.filePath, file);
    EXPECT_EQ(lock.lockOwner, 77u);
    lockArgs.export_path = nullptr;
    lockArgs.file_path = nullptr;
    lock = LockRequestRecord(lockArgs);
    EXPECT_EQ(lock.exportPath, nullptr);  // the module refuses it as invalid
    EXPECT_EQ(lock.filePath, nullptr);

    lumecfg_drill_hole_args holeArgs{share, file, 4096, 65536};
    LumeSinkFSMDrillHoleReq hole = DrillHoleRequestRecord(holeArgs);
    EXPECT_EQ(hole.sharePath, share);
    EXPECT_EQ(hole.filePath, file);
    EXPECT_EQ(hole.offset, 4096u);
    EXPECT_EQ(hole.size, 65536u);
}

TEST(ConfigResponseResults, ExportResponsesTravelWithTheirShareAndAbsentTexts) {
    char share[] = "/data/x";
    LumeExportPathResp created;
    created.share.path = share;
    created.share.refCount = 3;
    lumecfg_export_res result = ExportResult(created);
    lumecfg_export_res decoded{};
    ASSERT_TRUE(RoundTrip(XdrProc(xdr_lumecfg_export_res), result, decoded));
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.message, nullptr);
    ASSERT_NE(decoded.share.path, nullptr);
    EXPECT_STREQ(*decoded.share.path, "/data/x");
    EXPECT_EQ(decoded.share.ref_count, 3u);
    xdr_free(XdrProc(xdr_lumecfg_export_res), reinterpret_cast<char*>(&decoded));

    char text[] = "This path is not in allowed paths.";
    LumeUnExportResp refused;
    refused.status = 11;
    refused.message = text;
    lumecfg_unexport_res unexport = UnexportResult(refused);
    lumecfg_unexport_res back{};
    ASSERT_TRUE(RoundTrip(XdrProc(xdr_lumecfg_unexport_res), unexport, back));
    EXPECT_EQ(back.status, 11);
    ASSERT_NE(back.message, nullptr);
    EXPECT_STREQ(*back.message, text);
    EXPECT_EQ(back.share.path, nullptr);
    EXPECT_EQ(back.share.ref_count, 0u);
    xdr_free(XdrProc(xdr_lumecfg_unexport_res), reinterpret_cast<char*>(&back));
}

TEST(ConfigResponseResults, LockAndDrillHoleResponsesKeepPathsStatusAndOwner) {
    char share[] = "/data/x";
    char file[] = "f";
    LumeLockResp lock;
    lock.status = 21;
    lock.exportPath = share;
    lock.filePath = file;
    lock.lockOwner = 7;
    lumecfg_lock_res lockResult = LockResult(lock);
    lumecfg_lock_res lockBack{};
    ASSERT_TRUE(RoundTrip(XdrProc(xdr_lumecfg_lock_res), lockResult, lockBack));
    EXPECT_EQ(lockBack.status, 21);
    EXPECT_STREQ(*lockBack.export_path, share);
    EXPECT_STREQ(*lockBack.file_path, file);
    EXPECT_EQ(lockBack.owner, 7u);
    EXPECT_EQ(lockBack.message, nullptr);
    xdr_free(XdrProc(xdr_lumecfg_lock_res), reinterpret_cast<char*>(&lockBack));

    LumeSinkFSMDrillHoleResp hole;
    hole.status = -1;  // the module's failure before the platform call
    hole.sharePath = share;
    hole.filePath = file;
    lumecfg_drill_hole_res holeResult = DrillHoleResult(hole);
    lumecfg_drill_hole_res holeBack{};
    ASSERT_TRUE(RoundTrip(XdrProc(xdr_lumecfg_drill_hole_res), holeResult, holeBack));
    EXPECT_EQ(holeBack.status, -1);
    EXPECT_STREQ(*holeBack.share_path, share);
    EXPECT_STREQ(*holeBack.file_path, file);
    EXPECT_EQ(holeBack.error_text, nullptr);
    xdr_free(XdrProc(xdr_lumecfg_drill_hole_res), reinterpret_cast<char*>(&holeBack));
}

}  // namespace
