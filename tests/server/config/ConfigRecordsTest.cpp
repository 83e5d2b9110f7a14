// The conversion between the configuration program's XDR structures and the
// module's records, and that what it produces travels through XDR intact.
#include <gtest/gtest.h>

#include <tuple>
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
    unsigned timeout = 30;
    int perms = 5;
    lumecfg_export_args args{&timeout, path, &clientsField, &perms, 0x1234567890ull, TRUE};

    // Pointers compared, not texts: the record holds the arguments' own text.
    LumeExportPath record = ExportRequestRecord(args);
    EXPECT_EQ(std::tie(record.timeout, record.path, record.clients, record.perms, record.jobId),
              std::make_tuple(30u, path, clients, 5, 0x1234567890ull));
    EXPECT_NE(record.uniqueName, 0);

    // Left out: a new export's defaults, read-write and never expiring.
    args = {nullptr, path, nullptr, nullptr, 0, FALSE};
    record = ExportRequestRecord(args);
    EXPECT_EQ(std::tie(record.clients, record.uniqueName, record.perms, record.timeout),
              std::make_tuple(nullptr, 0, 3, 0u));
}

TEST(ConfigRequestRecords, ShareLockAndDrillHoleArgumentsKeepTheirFieldsApart) {
    char share[] = "/data/x";
    char file[] = "dir/file";
    lumecfg_share_args shareArgs{share};
    LumeExportPath byShare = ShareRequestRecord(shareArgs);
    EXPECT_EQ(std::tie(byShare.path, byShare.clients, byShare.timeout),
              std::make_tuple(share, nullptr, 0u));

    char* sharePointer = share;
    char* filePointer = file;
    lumecfg_lock_args lockArgs{3, &sharePointer, 77, &filePointer};
    LumeLockRequest lock = LockRequestRecord(lockArgs);
    EXPECT_EQ(std::tie(lock.operation, lock.exportPath, lock.filePath, lock.lockOwner),
              std::make_tuple(3, share, file, 77ull));
    lockArgs.export_path = nullptr;
    lockArgs.file_path = nullptr;
    lock = LockRequestRecord(lockArgs);
    // The module refuses it as invalid.
    EXPECT_EQ(std::tie(lock.exportPath, lock.filePath), std::make_tuple(nullptr, nullptr));

    lumecfg_drill_hole_args holeArgs{share, file, 4096, 65536};
    LumeSinkFSMDrillHoleReq hole = DrillHoleRequestRecord(holeArgs);
    EXPECT_EQ(std::tie(hole.sharePath, hole.filePath, hole.offset, hole.size),
              std::make_tuple(share, file, 4096u, 65536u));
}

TEST(ConfigResponseResults, ExportResponsesTravelWithTheirShareAndAbsentTexts) {
    char share[] = "/data/x";
    LumeExportPathResp created;
    created.share = {share, 0, 0, 3};
    Decoded<lumecfg_export_res> decoded(XdrProc(xdr_lumecfg_export_res), ExportResult(created));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(std::tie(decoded.back.status, decoded.back.message, decoded.back.share.ref_count),
              std::make_tuple(0, nullptr, 3u));
    ASSERT_NE(decoded.back.share.path, nullptr);
    EXPECT_STREQ(*decoded.back.share.path, "/data/x");

    char text[] = "This path is not in allowed paths.";
    LumeUnExportResp refused{{}, 11, text};  // no share
    Decoded<lumecfg_unexport_res> unexport(XdrProc(xdr_lumecfg_unexport_res),
                                           UnexportResult(refused));
    ASSERT_TRUE(unexport.ok);
    EXPECT_EQ(unexport.back.status, 11);
    ASSERT_NE(unexport.back.message, nullptr);
    EXPECT_STREQ(*unexport.back.message, text);
    EXPECT_EQ(std::tie(unexport.back.share.path, unexport.back.share.ref_count),
              std::make_tuple(nullptr, 0u));
}

TEST(ConfigResponseResults, LockAndDrillHoleResponsesKeepPathsStatusAndOwner) {
    char share[] = "/data/x";
    char file[] = "f";
    LumeLockResp lock{21, share, file, 7};  // and no message
    Decoded<lumecfg_lock_res> locked(XdrProc(xdr_lumecfg_lock_res), LockResult(lock));
    ASSERT_TRUE(locked.ok);
    EXPECT_EQ(std::tie(locked.back.status, locked.back.owner, locked.back.message),
              std::make_tuple(21, 7u, nullptr));
    EXPECT_STREQ(*locked.back.export_path, share);
    EXPECT_STREQ(*locked.back.file_path, file);

    // The module's failure before the platform call: no error text.
    LumeSinkFSMDrillHoleResp hole{-1, share, file};
    Decoded<lumecfg_drill_hole_res> drilled(XdrProc(xdr_lumecfg_drill_hole_res),
                                            DrillHoleResult(hole));
    ASSERT_TRUE(drilled.ok);
    EXPECT_EQ(std::tie(drilled.back.status, drilled.back.error_text), std::make_tuple(-1, nullptr));
    EXPECT_STREQ(*drilled.back.share_path, share);
    EXPECT_STREQ(*drilled.back.file_path, file);
}

}  // namespace
