// Requests run through a module: the caller's name reaches the handler, and
// every response record goes back to the module, whatever it held.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "host/ConfigRPCTypes.h"
#include "host/ExportRecords.h"
#include "server/config/ConfigRequests.h"
#include "tests/host/RemovingFsm.h"

namespace {

using Released = std::vector<std::pair<int, void*>>;

// A module that answers each request with a canned record and notes what
// the host did with it.
class RecordingFsm : public RemovingFsm {
  public:
    bool GenericConfigRPCHandler(void* request, const std::string& caller, unsigned rpcType,
                                 char*& response, size_t& length, int& type) override {
        seenPath = static_cast<LumeExportPath*>(request)->path;
        seenCaller = caller;
        seenType = rpcType;
        response = answer ? reinterpret_cast<char*>(answer) : nullptr;
        length = answer ? sizeof(LumeExportPathResp) : 0;
        type = answerType;
        return true;
    }
    void ReleaseConfigRPCMem(int type, void* response) override {
        released.emplace_back(type, response);
    }

    LumeExportPathResp* answer = nullptr;
    int answerType = 0;
    std::string seenPath, seenCaller;
    unsigned seenType = 0;
    Released released;
};

// A create-export request of /data/x, which the module answers with record.
class ConfigRequests : public ::testing::Test {
  protected:
    ConfigRequests() {
        fsm.answer = &record;
        args.path = path;
    }
    RecordingFsm fsm;
    LumeExportPathResp record;
    char path[8] = "/data/x";
    lumecfg_export_args args{};
};

TEST_F(ConfigRequests, AnExportAnswerIsUsedThenReleasedWithItsType) {
    char share[] = "/data/x";
    record.share = {share, 0, 0, 2};
    fsm.answerType = RPC_CREATE_EXPORT_RESP;

    uint64_t references = 0;
    bool releasedBeforeUse = true;
    ASSERT_TRUE(RequestCreateExport(&fsm, args, "host1", [&](lumecfg_export_res& result) {
        references = result.share.ref_count;
        releasedBeforeUse = !fsm.released.empty();
    }));
    EXPECT_EQ(references, 2u);
    EXPECT_FALSE(releasedBeforeUse);
    EXPECT_EQ(std::tie(fsm.seenPath, fsm.seenCaller, fsm.seenType),
              std::make_tuple("/data/x", "host1", unsigned{RPC_CREATE_EXPORT}));
    EXPECT_EQ(fsm.released, (Released{{RPC_CREATE_EXPORT_RESP, &record}}));
}

TEST_F(ConfigRequests, AnAnswerOfAnotherTypeIsNotUsedButStillReleased) {
    fsm.answerType = RPC_UNEXPORT_RESP;  // same size, wrong record
    bool used = false;
    EXPECT_FALSE(RequestCreateExport(&fsm, args, "", [&](lumecfg_export_res&) { used = true; }));
    EXPECT_FALSE(used);

    fsm.answer = nullptr;  // no record at all, as for a keep-alive
    fsm.answerType = 0;
    lumecfg_share_args share{path};
    RequestKeepAlive(&fsm, share, "host2");
    EXPECT_EQ(std::tie(fsm.seenCaller, fsm.seenType),
              std::make_tuple("host2", unsigned{RPC_KEEP_ALIVE}));
    EXPECT_EQ(fsm.released, (Released{{RPC_UNEXPORT_RESP, &record}, {0, nullptr}}));
}

}  // namespace
