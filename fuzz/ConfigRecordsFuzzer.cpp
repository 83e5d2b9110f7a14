// Fuzzes the module's configuration requests as the host hands them over:
// SinkFSM::GenericConfigRPCHandler with a request record built from the
// input, then ReleaseConfigRPCMem of what it answered. One request per
// input, against the fixture's export (see FuzzFixture).
//
// Input, read from the front (missing bytes read as zero):
//   1 byte  request: create, unexport, keep-alive, lock, drill hole, a
//           response type, or (6) any type from the next 4 bytes
//   caller  1 byte: 0 this machine, 1 empty, else a text
//   fields  in record order; integers little-endian at their width;
//           each string 1 byte: 0 null, 1 the export's path, 2 that path,
//           '/' and a text, 3 a text; a text runs to a NUL byte or the end
//           of the input, at most kMaxText bytes
// Each string is its own allocation of exactly its length and NUL, so a
// read past it is caught. Besides the sanitizers' checks: every request
// type but keep-alive answers with its own response record, others with
// none, and every text in a response is readable to its NUL.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzFixture.h"
#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "host/ExportRecords.h"
#include "host/LumeLockRecords.h"
#include "module/SinkFSM.h"

namespace {

constexpr size_t kMaxInput = 16 * 1024;
constexpr size_t kMaxText = 512;

class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_at(data), m_end(data + size) {}

    template <typename T>
    T Integer() {
        uint64_t value = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            value |= uint64_t(m_at < m_end ? *m_at++ : 0) << (8 * i);
        return static_cast<T>(value);
    }

    std::string Text() {
        std::string text;
        while (m_at < m_end && *m_at != 0 && text.size() < kMaxText)
            text += static_cast<char>(*m_at++);
        if (m_at < m_end && *m_at == 0)
            ++m_at;
        return text;
    }

    // A string field as described above; owned by this input.
    char* String() {
        std::string text;
        switch (Integer<uint8_t>() % 4) {
            case 0:
                return nullptr;
            case 1:
                text = FuzzFixture::Get().ExportPath();
                break;
            case 2:
                text = FuzzFixture::Get().ExportPath() + "/" + Text();
                break;
            default:
                text = Text();
                break;
        }
        m_strings.emplace_back(new char[text.size() + 1]);
        std::memcpy(m_strings.back().get(), text.c_str(), text.size() + 1);
        return m_strings.back().get();
    }

  private:
    const uint8_t* m_at;
    const uint8_t* const m_end;
    std::vector<std::unique_ptr<char[]>> m_strings;
};

void ReadExportPath(Input& in, LumeExportPath& request) {
    request.reserved = in.Integer<uint32_t>();
    request.timeout = in.Integer<uint32_t>();
    request.path = in.String();
    request.clients = in.String();
    request.perms = in.Integer<int32_t>();
    request.jobId = in.Integer<uint64_t>();
    request.uniqueName = in.Integer<int32_t>();
}

[[noreturn]] void Wrong(const char* what, unsigned rpcType) {
    std::fprintf(stderr, "fuzz: request 0x%x: %s\n", rpcType, what);
    std::abort();
}

// Kept so that the reads of the response's texts are not left out.
volatile size_t g_read;

size_t Touch(const char* text) {
    return text ? std::strlen(text) : 0;
}

// Checks the answer to rpcType as described above, reading every text.
void CheckResponse(unsigned rpcType, const char* response, size_t length, int type) {
    unsigned expected = 0;
    size_t size = 0;
    switch (rpcType) {
        case RPC_CREATE_EXPORT:
            expected = RPC_CREATE_EXPORT_RESP;
            size = sizeof(LumeExportPathResp);
            break;
        case RPC_UNEXPORT:
            expected = RPC_UNEXPORT_RESP;
            size = sizeof(LumeUnExportResp);
            break;
        case RPC_FILE_LOCK:
            expected = RPC_FILE_LOCK_RESP;
            size = sizeof(LumeLockResp);
            break;
        case RPC_DRILL_HOLE:
            expected = RPC_DRILL_HOLE_RESP;
            size = sizeof(LumeSinkFSMDrillHoleResp);
            break;
        default:
            break;
    }
    if (static_cast<unsigned>(type) != expected || (response != nullptr) != (expected != 0) ||
        length != size)
        Wrong("an answer of another type or size", rpcType);
    size_t read = 0;
    switch (expected) {
        case RPC_CREATE_EXPORT_RESP: {
            auto* record = reinterpret_cast<const LumeExportPathResp*>(response);
            read = Touch(record->message) + Touch(record->share.path);
            break;
        }
        case RPC_UNEXPORT_RESP: {
            auto* record = reinterpret_cast<const LumeUnExportResp*>(response);
            read = Touch(record->message) + Touch(record->share.path);
            break;
        }
        case RPC_FILE_LOCK_RESP: {
            auto* record = reinterpret_cast<const LumeLockResp*>(response);
            read = Touch(record->exportPath) + Touch(record->filePath) + Touch(record->message);
            break;
        }
        case RPC_DRILL_HOLE_RESP: {
            auto* record = reinterpret_cast<const LumeSinkFSMDrillHoleResp*>(response);
            read = Touch(record->sharePath) + Touch(record->filePath) + Touch(record->errorText);
            break;
        }
        default:
            break;
    }
    g_read = read;
}

// LUME_FUZZ_TRACE=1: the status of each answer, for checking what seeds reach.
void Trace(unsigned rpcType, const char* response, int type) {
    long status = -1;
    switch (static_cast<unsigned>(type)) {
        case RPC_CREATE_EXPORT_RESP:
            status = reinterpret_cast<const LumeExportPathResp*>(response)->status;
            break;
        case RPC_UNEXPORT_RESP:
            status = reinterpret_cast<const LumeUnExportResp*>(response)->status;
            break;
        case RPC_FILE_LOCK_RESP:
            status = reinterpret_cast<const LumeLockResp*>(response)->status;
            break;
        case RPC_DRILL_HOLE_RESP:
            status = reinterpret_cast<const LumeSinkFSMDrillHoleResp*>(response)->status;
            break;
        default:
            break;
    }
    std::fprintf(stderr, "fuzz: request 0x%x: answer 0x%x, status %ld\n", rpcType,
                 static_cast<unsigned>(type), status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return -1;
    FuzzFixture& fixture = FuzzFixture::Get();
    fixture.Prepare();

    static const unsigned kTypes[] = {RPC_CREATE_EXPORT, RPC_UNEXPORT,   RPC_KEEP_ALIVE,
                                      RPC_FILE_LOCK,     RPC_DRILL_HOLE, RPC_CREATE_EXPORT_RESP};
    Input in(data, size);
    uint8_t pick = in.Integer<uint8_t>() % 7;
    unsigned rpcType = pick < 6 ? kTypes[pick] : in.Integer<uint32_t>();
    std::string caller;
    switch (in.Integer<uint8_t>() % 3) {
        case 0:
            caller = FuzzFixture::kClient;
            break;
        case 1:
            break;
        default:
            caller = in.Text();
            break;
    }

    LumeExportPath exportRequest{};
    LumeLockRequest lockRequest{};
    LumeSinkFSMDrillHoleReq drillRequest{};
    void* request = &exportRequest;
    switch (rpcType) {
        case RPC_FILE_LOCK:
            lockRequest.reserved = in.Integer<uint32_t>();
            lockRequest.operation = in.Integer<int32_t>();
            lockRequest.exportPath = in.String();
            lockRequest.lockOwner = in.Integer<uint64_t>();
            lockRequest.filePath = in.String();
            request = &lockRequest;
            break;
        case RPC_DRILL_HOLE:
            drillRequest.reserved = in.Integer<uint64_t>();
            drillRequest.sharePath = in.String();
            drillRequest.filePath = in.String();
            drillRequest.offset = in.Integer<uint64_t>();
            drillRequest.size = in.Integer<uint64_t>();
            request = &drillRequest;
            break;
        default:
            ReadExportPath(in, exportRequest);
            break;
    }

    if (rpcType == RPC_CREATE_EXPORT && !fixture.Confined(exportRequest.path))
        return -1;
    SinkFSM* fsm = SinkFSM::GetFSM();
    char* response = nullptr;
    size_t length = 0;
    int type = 0;
    if (!fsm->GenericConfigRPCHandler(request, caller, rpcType, response, length, type))
        Wrong("not handled", rpcType);
    CheckResponse(rpcType, response, length, type);
    static const bool trace = std::getenv("LUME_FUZZ_TRACE") != nullptr;
    if (trace)
        Trace(rpcType, response, type);
    fsm->ReleaseConfigRPCMem(type, response);
    fixture.Finish();
    return 0;
}
