// NFS calls no ordinary client sends on purpose: the same xid again after a
// reconnect, READDIR cookies made up or kept across a change. Raw records
// over the real transport, MOUNT and NFS in process.
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/protocol/mount3.h"
#include "server/protocol/nfs3.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/server/rpc/RpcTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using rpctest::Proc;
using rpctest::RawSocket;
typedef std::vector<char> Reply;
typedef std::function<bool(XDR*)> Encode;

constexpr size_t kResults = 24;  // an accepted reply's header, null verifier

uint32_t Word(const Reply& reply, size_t offset) {
    uint32_t word = 0;
    if (reply.size() >= offset + 4)
        std::memcpy(&word, reply.data() + offset, 4);
    return ntohl(word);
}

// The whole reply record to one call (AUTH_NONE) whose arguments encode
// writes; empty when none came.
Reply Exchange(RawSocket& socket, uint32_t xid, uint32_t program, uint32_t version,
               uint32_t procedure, const Encode& encode) {
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_call = {2, program, version, procedure, _null_auth, _null_auth};
    std::vector<char> buffer(8192);
    XDR out;
    xdrmem_create(&out, buffer.data() + 4, static_cast<u_int>(buffer.size() - 4), XDR_ENCODE);
    Reply reply;
    if (!xdr_callmsg(&out, &call) || !encode(&out))
        return reply;
    const uint32_t mark = htonl(0x80000000u | xdr_getpos(&out));
    std::memcpy(buffer.data(), &mark, 4);
    if (socket.Send(buffer.data(), 4 + xdr_getpos(&out)))
        rpctest::ReplyXid(socket, &reply);
    return reply;
}

// Decodes the results of an accepted, successful reply into result.
template <class Result>
bool Results(const Reply& reply, bool_t (*decode)(XDR*, Result*), Result& result) {
    if (reply.size() < kResults || Word(reply, 20) != SUCCESS)
        return false;
    XDR in;
    xdrmem_create(&in, const_cast<char*>(reply.data()) + kResults,
                  static_cast<u_int>(reply.size() - kResults), XDR_DECODE);
    return decode(&in, &result);
}

struct Listing {
    nfsstat3 status = NFS3ERR_SERVERFAULT;
    std::vector<std::string> names;
    cookie3 last = 0;
    std::string verifier;
    bool eof = false;
};

class Nfs3RawCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
        ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
        server = std::make_unique<InProcessServer>(state.Path());
        ASSERT_TRUE(server->Started());
        ASSERT_TRUE(server->Export(dir, SHARE_PERM_READ | SHARE_PERM_WRITE));
        Reconnect();
        char* path = &dir[0];
        Reply reply = Exchange(*socket, 1, MOUNT_PROGRAM, MOUNT_V3, MOUNTPROC3_MNT,
                               [&](XDR* out) { return xdr_mnt_dirpath(out, &path); });
        mnt_mountres3 mounted{};
        ASSERT_TRUE(Results(reply, xdr_mnt_mountres3, mounted));
        ASSERT_EQ(mounted.fhs_status, MNT3_OK);
        const mnt_fhandle3& fh = mounted.mnt_mountres3_u.mountinfo.fhandle;
        root.assign(fh.mnt_fhandle3_val, fh.mnt_fhandle3_len);
        xdr_free(Proc(xdr_mnt_mountres3), reinterpret_cast<char*>(&mounted));
    }

    // A new connection, from a new source port.
    void Reconnect() {
        socket = std::make_unique<RawSocket>(server->Port());
        ASSERT_TRUE(socket->Connected());
    }
    w_nfs_fh3 Root() { return w_nfs_fh3{{static_cast<u_int>(root.size()), &root[0]}}; }
    Reply Nfs(uint32_t xid, uint32_t procedure, const Encode& encode) {
        return Exchange(*socket, xid, NFS_PROGRAM, NFS_V3, procedure, encode);
    }

    Listing Readdir(cookie3 cookie, const std::string& verifier, u_int count) {
        READDIR3args args{};
        args.dir = Root();
        args.cookie = cookie;
        std::memcpy(args.cookieverf, verifier.data(), NFS3_COOKIEVERFSIZE);
        args.count = count;
        Reply reply =
            Nfs(++xid, NFSPROC3_READDIR, [&](XDR* out) { return xdr_READDIR3args(out, &args); });
        READDIR3res res{};
        Listing listing;
        if (!Results(reply, xdr_READDIR3res, res))
            return listing;
        listing.status = res.status;
        if (res.status == NFS3_OK) {
            const READDIR3resok& ok = res.READDIR3res_u.resok;
            listing.verifier.assign(ok.cookieverf, NFS3_COOKIEVERFSIZE);
            listing.eof = ok.reply.eof;
            for (const entry3* entry = ok.reply.entries; entry; entry = entry->nextentry) {
                listing.names.emplace_back(entry->name.filename3_val, entry->name.filename3_len);
                listing.last = entry->cookie;
            }
        }
        xdr_free(Proc(xdr_READDIR3res), reinterpret_cast<char*>(&res));
        return listing;
    }

    TempDir disk, state;
    std::string dir = disk / "export";
    std::unique_ptr<InProcessServer> server;
    std::unique_ptr<RawSocket> socket;
    std::string root;
    uint32_t xid = 1000;
};

std::string Zeros() {
    return std::string(NFS3_COOKIEVERFSIZE, '\0');
}

// A call retransmitted after a reconnect gets the first answer, though
// running it again would now fail; a new call (new xid) does run again.
TEST_F(Nfs3RawCalls, NonIdempotentCallsRetransmittedAfterAReconnectGetTheFirstAnswer) {
    disk.WriteFile("export/doomed", "x");
    disk.WriteFile("export/from", "x");
    std::string doomed = "doomed", from = "from", to = "to", made = "made";
    auto name = [](std::string& text) {
        return filename3{static_cast<u_int>(text.size()), &text[0]};
    };
    REMOVE3args remove{{Root(), name(doomed)}};
    RENAME3args rename{{Root(), name(from)}, {Root(), name(to)}};
    MKDIR3args mkdir{{Root(), name(made)}, {}};
    const struct {
        const char* what;
        uint32_t procedure;
        Encode encode;
        nfsstat3 rerun;  // what running it again answers
    } cases[] = {
        {"REMOVE", NFSPROC3_REMOVE, [&](XDR* out) { return xdr_REMOVE3args(out, &remove); },
         NFS3ERR_NOENT},
        {"RENAME", NFSPROC3_RENAME, [&](XDR* out) { return xdr_RENAME3args(out, &rename); },
         NFS3ERR_NOENT},
        {"MKDIR", NFSPROC3_MKDIR, [&](XDR* out) { return xdr_MKDIR3args(out, &mkdir); },
         NFS3ERR_EXIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t first = ++xid;
        Reply answer = Nfs(first, c.procedure, c.encode);
        ASSERT_EQ(Word(answer, kResults), NFS3_OK);
        Reconnect();
        EXPECT_EQ(Nfs(first, c.procedure, c.encode), answer);
        EXPECT_EQ(Word(Nfs(++xid, c.procedure, c.encode), kResults), c.rerun);
    }
}

// Cookies hold with the verifier of the listing that gave them, while the
// directory stays as it was; a made-up cookie or a stale verifier answers
// BAD_COOKIE, and cookie 0 starts afresh whatever the verifier.
TEST_F(Nfs3RawCalls, ReaddirCookiesHoldOnlyWithTheirDirectorysVerifier) {
    const int kFiles = 40;
    for (int i = 0; i < kFiles; ++i)
        disk.WriteFile("export/file" + std::to_string(i), "");
    Listing first = Readdir(0, Zeros(), 512);
    ASSERT_EQ(first.status, NFS3_OK);
    ASSERT_FALSE(first.eof);
    ASSERT_NE(first.verifier, Zeros());
    std::multiset<std::string> names(first.names.begin(), first.names.end());
    Listing next = first;
    for (int round = 0; round < 100 && !next.eof; ++round) {
        next = Readdir(next.last, first.verifier, 512);
        ASSERT_EQ(next.status, NFS3_OK);
        EXPECT_EQ(next.verifier, first.verifier);
        names.insert(next.names.begin(), next.names.end());
    }
    EXPECT_TRUE(next.eof);
    EXPECT_EQ(names.size(), kFiles + 2u);  // each once, "." and ".." too
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());

    EXPECT_EQ(Readdir(0, "junk0000", 512).status, NFS3_OK);
    EXPECT_EQ(Readdir(first.last, first.verifier, 512).status, NFS3_OK);
    EXPECT_EQ(Readdir(cookie3{1} << 40, first.verifier, 512).status, NFS3ERR_BAD_COOKIE);
    EXPECT_EQ(Readdir(first.last, Zeros(), 512).status, NFS3ERR_BAD_COOKIE);
    disk.WriteFile("export/late", "");
    EXPECT_EQ(Readdir(first.last, first.verifier, 512).status, NFS3ERR_BAD_COOKIE);
    Listing again = Readdir(0, first.verifier, 512);
    ASSERT_EQ(again.status, NFS3_OK);
    EXPECT_NE(again.verifier, first.verifier);
    EXPECT_EQ(Readdir(again.last, again.verifier, 512).status, NFS3_OK);
}

}  // namespace
