// Fuzzes the call dispatch: one call record per input (header, credential,
// arguments, no record mark) into the RpcDispatcher of lumed's programs
// (MOUNT, NFS v3, configuration) over the real module and one export (see
// FuzzFixture), as a worker thread runs it.
//
// Handles and the export's path are not known before the fixture exists, so
// an input names them by markers, put in place before the call:
//   an XDR opaque of length 20 starting "ROOT", "FILE", "SDIR" or "LINK"
//     becomes the handle of the export's root, "f", "d" or "l", as MOUNT
//     and LOOKUP gave them out;
//   an XDR string starting "@EXPORT" has that replaced by the export's path.
// The transport's side of the caller follows the xid's lowest bit: odd, a
// root process on the local socket (this machine to the configuration
// program); even, a TCP peer at 127.0.0.1 (nobody in particular).
// Checks beyond the sanitizers': a reply carries its record mark and the
// call's xid; nothing beside the export changes (FuzzFixture).
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzFixture.h"
#include "module/SinkFSM.h"
#include "platform/CRaIPAddr.h"
#include "server/config/ConfigProgram.h"
#include "server/mount/Mount3Program.h"
#include "server/nfs/Nfs3Program.h"
#include "server/rpc/RpcDispatcher.h"
#include "server/rpc/RpcServer.h"

namespace {

// Larger inputs are skipped: a call this size already reaches every decoder.
constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kHandleLength = 20;
constexpr uint32_t kLastFragment = 0x80000000u;
const char kPathMarker[] = "@EXPORT";
constexpr size_t kPathMarkerLength = sizeof kPathMarker - 1;
const char* const kHandleMarkers[] = {"ROOT", "FILE", "SDIR", "LINK"};
constexpr size_t kMarkers = sizeof kHandleMarkers / sizeof kHandleMarkers[0];

uint32_t Word(const uint8_t* at) {
    uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return ntohl(word);
}

void PutWord(std::vector<uint8_t>& out, uint32_t word) {
    word = htonl(word);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&word);
    out.insert(out.end(), bytes, bytes + sizeof word);
}

void PutOpaque(std::vector<uint8_t>& out, const void* data, size_t length) {
    PutWord(out, static_cast<uint32_t>(length));
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + length);
    out.resize(out.size() + (4 - length % 4) % 4, 0);
}

// A call as the fixture makes it: xid 1 (the local socket), AUTH_SYS as
// this machine, uid 0.
std::vector<uint8_t> Call(uint32_t program, uint32_t version, uint32_t procedure) {
    std::vector<uint8_t> call;
    for (uint32_t word : {1u, 0u, 2u, program, version, procedure})
        PutWord(call, word);
    std::vector<uint8_t> cred;
    PutWord(cred, 0);  // stamp
    PutOpaque(cred, FuzzFixture::kClient, std::strlen(FuzzFixture::kClient));
    for (uint32_t word : {0u, 0u, 0u})  // uid, gid, no groups
        PutWord(cred, word);
    PutWord(call, 1);  // AUTH_SYS
    PutOpaque(call, cred.data(), cred.size());
    PutWord(call, 0);  // verifier: AUTH_NONE
    PutWord(call, 0);
    return call;
}

struct Server {
    Mount3Program mount{SinkFSM::GetFSM()};
    Nfs3Program nfs{SinkFSM::GetFSM()};
    ConfigProgram config{SinkFSM::GetFSM()};
    RpcProgramTable programs{
        {mount.Number(), &mount}, {nfs.Number(), &nfs}, {config.Number(), &config}};
    RpcDispatcher dispatcher{programs, RpcServer::Options().maxRecord};
    RpcCaller tcpPeer, localPeer;
    std::vector<uint8_t> handles[kMarkers];

    Server() {
        if (!CRaIPAddr::Parse("127.0.0.1", tcpPeer.address))
            std::abort();
        tcpPeer.port = 1023;
        tcpPeer.hostName = "localhost";
        localPeer.address = tcpPeer.address;
        localPeer.local = true;
        localPeer.peerUid = 0;
        localPeer.peerGid = 0;
    }

    bool Handle(const std::vector<uint8_t>& record, const uint8_t*& reply, size_t& length) {
        const RpcCaller& peer = record.size() >= 4 && (record[3] & 1) ? localPeer : tcpPeer;
        return dispatcher.Handle(record.data(), record.size(), peer, reply, length);
    }

    // The results of a call that succeeded, after the reply header; empty
    // when there was no such reply.
    std::vector<uint8_t> Results(const std::vector<uint8_t>& call) {
        const uint8_t* reply = nullptr;
        size_t length = 0;
        if (!Handle(call, reply, length) || length < 4 + 24)
            return {};
        const uint8_t* at = reply + 4;
        const uint8_t* end = reply + length;
        // xid, REPLY, MSG_ACCEPTED, verifier flavor and length
        if (Word(at + 4) != 1 || Word(at + 8) != 0)
            return {};
        size_t verifier = (Word(at + 16) + 3) & ~3u;
        at += 20 + verifier;
        if (at + 4 > end || Word(at) != 0)  // SUCCESS
            return {};
        return std::vector<uint8_t>(at + 4, end);
    }

    // A handle from results that start with a zero status: empty when the
    // status is not zero or the handle is not the module's length.
    static std::vector<uint8_t> HandleOf(const std::vector<uint8_t>& results) {
        if (results.size() < 8 + kHandleLength || Word(&results[0]) != 0 ||
            Word(&results[4]) != kHandleLength)
            return {};
        return std::vector<uint8_t>(results.begin() + 8, results.begin() + 8 + kHandleLength);
    }

    // Takes the handles the markers stand for the way a client would: MOUNT,
    // then LOOKUP of each entry.
    void FetchHandles() {
        std::vector<uint8_t> mnt = Call(100005, 3, 1);
        const std::string& path = FuzzFixture::Get().ExportPath();
        PutOpaque(mnt, path.data(), path.size());
        handles[0] = HandleOf(Results(mnt));
        const char* const names[kMarkers] = {nullptr, "f", "d", "l"};
        for (size_t i = 1; i < kMarkers; ++i) {
            std::vector<uint8_t> lookup = Call(100003, 3, 3);
            PutOpaque(lookup, handles[0].data(), handles[0].size());
            PutOpaque(lookup, names[i], std::strlen(names[i]));
            handles[i] = HandleOf(Results(lookup));
        }
        for (size_t i = 0; i < kMarkers; ++i) {
            if (handles[i].size() != kHandleLength) {
                std::fprintf(stderr, "fuzz: no handle for %s of %s\n", kHandleMarkers[i],
                             path.c_str());
                std::abort();
            }
        }
    }

    // The input with its markers put in place (see above).
    std::vector<uint8_t> Substitute(const uint8_t* data, size_t size) const {
        std::vector<uint8_t> out;
        out.reserve(size + 1024);
        size_t i = 0;
        while (i < size) {
            if (i % 4 == 0) {
                size_t used = HandleAt(data + i, size - i, out);
                if (!used)
                    used = PathAt(data + i, size - i, out);
                if (used) {
                    i += used;
                    continue;
                }
            }
            out.push_back(data[i++]);
        }
        return out;
    }

    // How many bytes at data a handle marker takes (0: none); its handle
    // goes to out.
    size_t HandleAt(const uint8_t* data, size_t rest, std::vector<uint8_t>& out) const {
        if (rest < 4 + kHandleLength || Word(data) != kHandleLength)
            return 0;
        for (size_t m = 0; m < kMarkers; ++m) {
            if (std::memcmp(data + 4, kHandleMarkers[m], 4) == 0) {
                PutOpaque(out, handles[m].data(), handles[m].size());
                return 4 + kHandleLength;
            }
        }
        return 0;
    }

    // The same for a path marker; the path, with what followed the marker,
    // goes to out.
    static size_t PathAt(const uint8_t* data, size_t rest, std::vector<uint8_t>& out) {
        if (rest < 4 + kPathMarkerLength)
            return 0;
        size_t length = Word(data);
        if (length < kPathMarkerLength || length > rest - 4 ||
            std::memcmp(data + 4, kPathMarker, kPathMarkerLength) != 0)
            return 0;
        std::string text = FuzzFixture::Get().ExportPath();
        text.append(reinterpret_cast<const char*>(data) + 4 + kPathMarkerLength,
                    length - kPathMarkerLength);
        PutOpaque(out, text.data(), text.size());
        return std::min(rest, 4 + ((length + 3) & ~size_t(3)));
    }
};

Server* g_server = nullptr;

// LUME_FUZZ_TRACE=1: one line per reply, for checking what seeds reach.
void Trace(const uint8_t* reply, size_t length) {
    if (length < 16) {
        std::fprintf(stderr, "fuzz: no reply\n");
        return;
    }
    const uint8_t* end = reply + length;
    const uint8_t* at = reply + 12;  // mark, xid, REPLY
    if (Word(at) != 0) {
        std::fprintf(stderr, "fuzz: denied (%u)\n", at + 8 <= end ? Word(at + 4) : 0u);
        return;
    }
    at += 12 + ((Word(at + 8) + 3) & ~3u);  // reply_stat, verifier
    unsigned accepted = at + 4 <= end ? Word(at) : ~0u;
    unsigned status = at + 8 <= end ? Word(at + 4) : ~0u;
    std::fprintf(stderr, "fuzz: accept_stat %u, first result word %u\n", accepted, status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return -1;  // not added to the corpus
    // A path naming a dump directory, in an export request or anywhere a
    // later one could follow it (a link, a directory's name), could have
    // directories made anywhere (FuzzFixture::Confined): not sent.
    static const char kDumps[] = "OX_APP_DUMPS";
    if (memmem(data, size, kDumps, sizeof kDumps - 1))
        return -1;
    FuzzFixture& fixture = FuzzFixture::Get();
    bool remade = fixture.Prepare();
    if (!g_server) {
        g_server = new Server();  // kept until exit, like lumed's
        remade = true;
    }
    if (remade)
        g_server->FetchHandles();

    // Exactly the record's size, so that reading past it is caught.
    const std::vector<uint8_t> substituted = g_server->Substitute(data, size);
    const std::vector<uint8_t> record(substituted.begin(), substituted.end());
    const uint8_t* reply = nullptr;
    size_t length = 0;
    g_server->dispatcher.Quick(record.data(), record.size());
    static const bool trace = std::getenv("LUME_FUZZ_TRACE") != nullptr;
    bool replied = g_server->Handle(record, reply, length);
    if (trace)
        Trace(reply, replied ? length : 0);
    if (replied) {
        if (length < 8 || Word(reply) != (kLastFragment | (length - 4)) ||
            std::memcmp(reply + 4, record.data(), 4) != 0) {
            std::fprintf(stderr, "fuzz: a reply of %zu bytes without its mark or xid\n", length);
            std::abort();
        }
    }
    fixture.Finish();
    return 0;
}
