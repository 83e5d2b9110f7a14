// The conversion between the configuration program's XDR structures and the
// module's records, and that what it produces travels through XDR intact.
#include <gtest/gtest.h>

#include <vector>

#include "server/config/ConfigRecords.h"
#include "server/protocol/XdrProc.h"

namespace {

// value encoded and decoded into a fresh T, freed with the object.
template <typename T>
struct Decoded {
    Decoded(xdrproc_t proc, T value) : proc(proc) {
        std::vector<char> buffer(4096);
        XDR out, in;
        xdrmem_create(&out, buffer.data(), buffer.size(), XDR_ENCODE);
        ok = proc(&out, &value);
        xdrmem_create(&in, buffer.data(), xdr_getpos(&out), XDR_DECODE);  // no byte more
        ok = ok && proc(&in, &back);
    }
    ~Decoded() { xdr_free(proc, reinterpret_cast<char*>(&back)); }
    xdrproc_t proc;
    T back{};
    bool ok = false;
};

TEST(ConfigRequestRecords, ExportArgumentsFillEveryFieldOfTheRecordInPlace) {
    char path[] = "/data/x";
    char clients[] = "10.0.0.0/8";
    char* clientsField = clients;
    lumecfg_export_args args{30, path, &clientsField, 5, 0x1234567890ull, TRUE};

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
    created.share = {share, 0, 0, 3};
    Decoded<lumecfg_export_res> decoded(XdrProc(xdr_lumecfg_export_res), ExportResult(created));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.back.status, 0);
    EXPECT_EQ(decoded.back.message, nullptr);
    ASSERT_NE(decoded.back.share.path, nullptr);
    EXPECT_STREQ(*decoded.back.share.path, "/data/x");
    EXPECT_EQ(decoded.back.share.ref_count, 3u);

    char text[] = "This path is not in allowed paths.";
    LumeUnExportResp refused{{}, 11, text};  // no share
    Decoded<lumecfg_unexport_res> unexport(XdrProc(xdr_lumecfg_unexport_res),
                                           UnexportResult(refused));
    ASSERT_TRUE(unexport.ok);
    EXPECT_EQ(unexport.back.status, 11);
    ASSERT_NE(unexport.back.message, nullptr);
    EXPECT_STREQ(*unexport.back.message, text);
    EXPECT_EQ(unexport.back.share.path, nullptr);
    EXPECT_EQ(unexport.back.share.ref_count, 0u);
}

TEST(ConfigResponseResults, LockAndDrillHoleResponsesKeepPathsStatusAndOwner) {
    char share[] = "/data/x";
    char file[] = "f";
    LumeLockResp lock{21, share, file, 7};  // and no message
    Decoded<lumecfg_lock_res> locked(XdrProc(xdr_lumecfg_lock_res), LockResult(lock));
    ASSERT_TRUE(locked.ok);
    EXPECT_EQ(locked.back.status, 21);
    EXPECT_STREQ(*locked.back.export_path, share);
    EXPECT_STREQ(*locked.back.file_path, file);
    EXPECT_EQ(locked.back.owner, 7u);
    EXPECT_EQ(locked.back.message, nullptr);

    // The module's failure before the platform call: no error text.
    LumeSinkFSMDrillHoleResp hole{-1, share, file};
    Decoded<lumecfg_drill_hole_res> drilled(XdrProc(xdr_lumecfg_drill_hole_res),
                                            DrillHoleResult(hole));
    ASSERT_TRUE(drilled.ok);
    EXPECT_EQ(drilled.back.status, -1);
    EXPECT_STREQ(*drilled.back.share_path, share);
    EXPECT_STREQ(*drilled.back.file_path, file);
    EXPECT_EQ(drilled.back.error_text, nullptr);
}

}  // namespace
