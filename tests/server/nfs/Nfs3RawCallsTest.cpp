// NFS calls no ordinary client sends on purpose: the same xid again after a
// reconnect, READDIR cookies made up or kept across a change, listings
// raced by renames and symbolic links. Raw records over the real transport,
// MOUNT and NFS in process.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "server/nfs/Nfs3Errno.h"
#include "server/protocol/mount3.h"
#include "server/protocol/nfs3.h"
#include "tests/module/backend/CountingPerfCounter.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/server/rpc/RpcTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SmallFileSystem.h"
#include "tests/support/TempDir.h"
#include "tests/support/Threads.h"

namespace {

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

// The whole reply record to one NFS call (AUTH_NONE) whose arguments
// encode writes; empty when none came.
Reply Exchange(RawSocket& socket, uint32_t xid, uint32_t procedure, const Encode& encode) {
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_call = {2, NFS_PROGRAM, NFS_V3, procedure, _null_auth, _null_auth};
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

const std::string kZeros(NFS3_COOKIEVERFSIZE, '\0');  // the verifier of no listing

// One READDIRPLUS entry: its handle ("" when none) and attributes.
struct PlusEntry {
    std::string handle;
    bool attributes = false;
    fattr3 attrs{};
};
// One READDIR or READDIRPLUS reply: its names in order (READDIRPLUS's
// entries by name too), where it ends, and the bytes of its results.
struct Listing {
    nfsstat3 status = NFS3ERR_SERVERFAULT;
    std::vector<std::string> names;
    std::map<std::string, PlusEntry> entries;
    cookie3 last = 0;
    std::string verifier = kZeros;
    size_t bytes = 0;
    bool eof = false;
};

// The wire forms of a name and of a handle's bytes, pointing into them;
// only encoded, never written through.
filename3 Name(const char* name) {
    return {static_cast<u_int>(std::strlen(name)), const_cast<char*>(name)};
}
w_nfs_fh3 Wire(const std::string& fh) {
    return {{static_cast<u_int>(fh.size()), const_cast<char*>(fh.data())}};
}

std::string HandleBytes(const w_nfs_fh3& fh) {
    return std::string(fh.data.data_val, fh.data.data_len);
}

// Each entry of the directory at path by the position a listing resumed
// there gives it at (the d_off of the entry before it).
std::map<std::string, cookie3> PositionsIn(const std::string& path) {
    std::map<std::string, cookie3> positions;
    DIR* stream = ::opendir(path.c_str());
    cookie3 position = 0;
    for (const dirent64* entry; stream && (entry = ::readdir64(stream));) {
        positions[entry->d_name] = position;
        position = static_cast<cookie3>(entry->d_off);
    }
    if (stream)
        ::closedir(stream);
    return positions;
}

// What a READ answered: its status, and when NFS3_OK its count, eof and data.
struct ReadReply {
    nfsstat3 status = NFS3ERR_SERVERFAULT;
    count3 count = 0;
    bool eof = false;
    std::string data;
};

class Nfs3RawCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        std::string stateDir;
        ASSERT_TRUE(StateDirectory(stateDir)) << stateDir;
        server = std::make_unique<InProcessServer>(stateDir);
        ASSERT_TRUE(server->Started());
        ASSERT_TRUE(server->Export(dir, SHARE_PERM_READ | SHARE_PERM_WRITE));
        Reconnect();
        client = std::make_unique<rpctest::Client>(server->Port(), NFS_PROGRAM, NFS_V3);
        char* path = &dir[0];
        mnt_mountres3 mounted{};
        ASSERT_EQ(rpctest::Client(server->Port(), MOUNT_PROGRAM, MOUNT_V3)
                      .Call(MOUNTPROC3_MNT, XdrProc(xdr_mnt_dirpath), &path,
                            XdrProc(xdr_mnt_mountres3), &mounted),
                  RPC_SUCCESS);
        ASSERT_EQ(mounted.fhs_status, MNT3_OK);
        const mnt_fhandle3& fh = mounted.mnt_mountres3_u.mountinfo.fhandle;
        root.assign(fh.mnt_fhandle3_val, fh.mnt_fhandle3_len);
        xdr_free(XdrProc(xdr_mnt_mountres3), reinterpret_cast<char*>(&mounted));
    }

    // Where the server keeps its state; false (with why) when there is none.
    virtual bool StateDirectory(std::string& path) {
        path = state.Path();
        return true;
    }

    // A new raw connection, from a new source port.
    void Reconnect() {
        socket = std::make_unique<RawSocket>(server->Port());
        ASSERT_TRUE(socket->Connected());
    }
    w_nfs_fh3 Root() { return Wire(root); }

    // One NFS call of procedure with args through via: take sees the
    // results when they say NFS3_OK. Their status; NFS3ERR_SERVERFAULT when
    // none decode.
    template <class Args, class Res, class Take>
    static nfsstat3 CallOn(rpctest::Client& via, uint32_t procedure, bool_t (*encode)(XDR*, Args*),
                           Args& args, bool_t (*decode)(XDR*, Res*), Take take) {
        Res res{};
        if (via.Call(procedure, XdrProc(encode), &args, XdrProc(decode), &res) != RPC_SUCCESS)
            return NFS3ERR_SERVERFAULT;
        const nfsstat3 status = res.status;
        if (status == NFS3_OK)
            take(res);
        xdr_free(XdrProc(decode), reinterpret_cast<char*>(&res));
        return status;
    }
    // The same through the fixture's client, noting the size of the results.
    template <class Args, class Res, class Take>
    nfsstat3 Call(uint32_t procedure, bool_t (*encode)(XDR*, Args*), Args& args,
                  bool_t (*decode)(XDR*, Res*), Take take) {
        return CallOn(*client, procedure, encode, args, decode, [&](Res& res) {
            resultBytes = xdr_sizeof(XdrProc(decode), &res);
            take(res);
        });
    }

    // A page of the listing of the directory with handle of (the root when
    // empty), by READDIRPLUS (plus, count its maxcount) or READDIR: the
    // first, or the one after cookie of the listing with verifier.
    Listing List(bool plus, u_int count, cookie3 cookie = 0, const std::string& verifier = kZeros,
                 const std::string& of = "") {
        const w_nfs_fh3 fh = of.empty() ? Root() : Wire(of);
        Listing listing;
        const auto take = [&](const auto& ok) {  // READDIR3resok or READDIRPLUS3resok
            listing.verifier.assign(ok.cookieverf, NFS3_COOKIEVERFSIZE);
            listing.eof = ok.reply.eof;
            listing.bytes = resultBytes;
            for (auto* e = ok.reply.entries; e; e = e->nextentry) {
                listing.names.emplace_back(e->name.filename3_val, e->name.filename3_len);
                listing.last = e->cookie;
                if constexpr (std::is_same_v<decltype(e), entryplus3*>) {
                    PlusEntry& entry = listing.entries[listing.names.back()];
                    if (e->name_handle.handle_follows)
                        entry.handle = HandleBytes(e->name_handle.post_op_fh3_u.handle);
                    entry.attributes = e->name_attributes.attributes_follow;
                    entry.attrs = e->name_attributes.post_op_attr_u.attributes;
                }
            }
        };
        if (plus) {
            READDIRPLUS3args args{fh, cookie, {}, count, count};
            std::memcpy(args.cookieverf, verifier.data(), NFS3_COOKIEVERFSIZE);
            listing.status =
                Call(NFSPROC3_READDIRPLUS, xdr_READDIRPLUS3args, args, xdr_READDIRPLUS3res,
                     [&](READDIRPLUS3res& res) { take(res.READDIRPLUS3res_u.resok); });
        } else {
            READDIR3args args{fh, cookie, {}, count};
            std::memcpy(args.cookieverf, verifier.data(), NFS3_COOKIEVERFSIZE);
            listing.status = Call(NFSPROC3_READDIR, xdr_READDIR3args, args, xdr_READDIR3res,
                                  [&](READDIR3res& res) { take(res.READDIR3res_u.resok); });
        }
        return listing;
    }

    // LOOKUP of name in the root: the status, the handle and its fileid.
    nfsstat3 Lookup(const std::string& name, std::string& handle, uint64_t& fileid) {
        LOOKUP3args args{{Root(), Name(name.c_str())}};
        return Call(NFSPROC3_LOOKUP, xdr_LOOKUP3args, args, xdr_LOOKUP3res, [&](LOOKUP3res& res) {
            handle = HandleBytes(res.LOOKUP3res_u.resok.object);
            fileid = res.LOOKUP3res_u.resok.obj_attributes.post_op_attr_u.attributes.fileid;
        });
    }

    // GETATTR through handle.
    nfsstat3 Getattr(const std::string& handle, fattr3& attrs) {
        GETATTR3args args{Wire(handle)};
        return Call(NFSPROC3_GETATTR, xdr_GETATTR3args, args, xdr_GETATTR3res,
                    [&](GETATTR3res& res) { attrs = res.GETATTR3res_u.resok.obj_attributes; });
    }

    // READ of count bytes at offset through handle.
    ReadReply Read(const std::string& handle, uint64_t offset, count3 count) {
        ReadReply reply;
        READ3args args{Wire(handle), offset, count};
        reply.status = Call(NFSPROC3_READ, xdr_READ3args, args, xdr_READ3res, [&](READ3res& res) {
            const READ3resok& ok = res.READ3res_u.resok;
            reply.count = ok.count;
            reply.eof = ok.eof;
            reply.data.assign(ok.data.data_val, ok.data.data_len);
        });
        return reply;
    }

    // An unstable WRITE of data at offset through handle.
    nfsstat3 Write(const std::string& handle, uint64_t offset, const std::string& data) {
        WRITE3args args{Wire(handle),
                        offset,
                        static_cast<count3>(data.size()),
                        UNSTABLE,
                        {static_cast<u_int>(data.size()), const_cast<char*>(data.data())}};
        return Call(NFSPROC3_WRITE, xdr_WRITE3args, args, xdr_WRITE3res, [](WRITE3res&) {});
    }

    // SETATTR of attrs alone, unguarded, through handle.
    nfsstat3 Setattr(const std::string& handle, const sattr3& attrs) {
        SETATTR3args args{Wire(handle), attrs, {FALSE, {}}};
        return Call(NFSPROC3_SETATTR, xdr_SETATTR3args, args, xdr_SETATTR3res, [](SETATTR3res&) {});
    }

    nfsstat3 SetSize(const std::string& handle, uint64_t size) {
        sattr3 attrs{};
        attrs.size = {TRUE, {size}};
        return Setattr(handle, attrs);
    }

    // The handle of name in the root, which must be there.
    std::string HandleOf(const std::string& name) {
        std::string handle;
        uint64_t fileid = 0;
        EXPECT_EQ(Lookup(name, handle, fileid), NFS3_OK) << name;
        return handle;
    }

    TempDir disk, state;
    std::string dir = disk / "export";
    std::unique_ptr<InProcessServer> server;
    std::unique_ptr<RawSocket> socket;
    std::unique_ptr<rpctest::Client> client;  // for all but raw calls
    std::string root;
    uint32_t xid = 1000;
    size_t resultBytes = 0;  // of the last reply
};

// A call retransmitted after a reconnect gets the first answer, though
// running it again would now fail; a new call (new xid) does run again.
TEST_F(Nfs3RawCalls, NonIdempotentCallsRetransmittedAfterAReconnectGetTheFirstAnswer) {
    disk.WriteFile("export/doomed", "x");
    disk.WriteFile("export/from", "x");
    REMOVE3args remove{{Root(), Name("doomed")}};
    RENAME3args rename{{Root(), Name("from")}, {Root(), Name("to")}};
    MKDIR3args mkdir{{Root(), Name("made")}, {}};
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
        Reply answer = Exchange(*socket, first, c.procedure, c.encode);
        ASSERT_EQ(Word(answer, kResults), NFS3_OK);
        Reconnect();
        EXPECT_EQ(Exchange(*socket, first, c.procedure, c.encode), answer);
        EXPECT_EQ(Word(Exchange(*socket, ++xid, c.procedure, c.encode), kResults), c.rerun);
    }
}

// Listings paged by READDIRPLUS or READDIR give each entry once, each page
// as full as its count allows (the next entry would not fit) and under the
// one verifier, however two listings of the same pages take turns or others
// page differently. Cookies hold with that verifier while the directory
// changes; a cookie no directory has as a position, or a verifier of
// another directory (one put in this one's place), answers BAD_COOKIE, and
// cookie 0 starts afresh whatever the verifier.
TEST_F(Nfs3RawCalls, ListingPagesAreFullGiveEachEntryOnceAndHoldOnlyWithTheirVerifier) {
    const int kFiles = 3000;  // a listing spans several reads of the directory
    for (int i = 0; i < kFiles; ++i)
        disk.WriteFile("export/f" + std::string(i % 13, 'x') + std::to_string(i), "");
    auto padded = [](size_t n) { return (n + 3) & ~size_t(3); };
    auto bytesOf = [&](bool plus, const std::string& name, const PlusEntry& entry) {
        return 24 + padded(name.size()) +
               (plus ? 4 + (entry.attributes ? 84 : 0) + 4 +
                           (entry.handle.empty() ? 0 : 4 + padded(entry.handle.size()))
                     : 0);
    };
    struct Pager {
        bool plus;
        u_int maxcount;
        Listing page;
        std::multiset<std::string> names;
        int pages;
    };
    std::vector<Pager> pagers = {{true, 1024, {}, {}, 0},
                                 {true, 1024, {}, {}, 0},
                                 {true, 1500, {}, {}, 0},
                                 {false, 512, {}, {}, 0}};
    for (int round = 0; round < 1000; ++round) {
        for (Pager& p : pagers) {
            if (p.page.eof)
                continue;
            Listing next = List(p.plus, p.maxcount, p.page.last, p.page.verifier);
            ASSERT_EQ(next.status, NFS3_OK);
            ASSERT_FALSE(next.names.empty());
            EXPECT_LE(next.bytes, p.maxcount);
            if (p.pages > 0) {  // the page before had no room for this one's first entry
                const std::string& first = next.names.front();
                EXPECT_GT(p.page.bytes + bytesOf(p.plus, first, next.entries[first]), p.maxcount)
                    << "page " << p.pages << " of " << p.maxcount;
                EXPECT_EQ(next.verifier, p.page.verifier);
            }
            p.names.insert(next.names.begin(), next.names.end());
            p.page = next;
            ++p.pages;
        }
    }
    for (const Pager& p : pagers) {
        EXPECT_TRUE(p.page.eof);
        EXPECT_EQ(p.names.size(), kFiles + 2u);  // each once, "." and ".." too
        EXPECT_EQ(std::set<std::string>(p.names.begin(), p.names.end()).size(), p.names.size());
    }

    const Listing first = List(false, 512);
    ASSERT_FALSE(first.eof);
    ASSERT_NE(first.verifier, kZeros);
    EXPECT_EQ(List(false, 512, 0, "junk0000").status, NFS3_OK);
    EXPECT_EQ(List(false, 512, first.last, first.verifier).status, NFS3_OK);
    EXPECT_EQ(List(false, 512, cookie3{1} << 63, first.verifier).status, NFS3ERR_BAD_COOKIE);
    EXPECT_EQ(List(false, 512, first.last, kZeros).status, NFS3ERR_BAD_COOKIE);
    disk.WriteFile("export/late", "");
    ASSERT_EQ(::unlink((dir + "/f0").c_str()), 0);
    const Listing changed = List(false, 512, first.last, first.verifier);
    EXPECT_EQ(changed.status, NFS3_OK);
    EXPECT_EQ(changed.verifier, first.verifier);

    // The directory sub, made with the same entries, and its handle.
    const std::string sub = dir + "/sub";
    const auto makeSub = [&](std::string& handle) {
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
        for (int i = 0; i < 100; ++i)
            disk.WriteFile("export/sub/f" + std::to_string(i), "");
        uint64_t fileid = 0;
        ASSERT_EQ(Lookup("sub", handle, fileid), NFS3_OK);
    };
    std::string was, now;
    makeSub(was);
    ASSERT_EQ(::rename(sub.c_str(), (dir + "/moved").c_str()), 0);
    makeSub(now);
    const Listing old = List(false, 512, 0, kZeros, was);
    ASSERT_EQ(old.status, NFS3_OK);
    ASSERT_FALSE(old.eof);
    EXPECT_EQ(List(false, 512, old.last, old.verifier, now).status, NFS3ERR_BAD_COOKIE);
    EXPECT_NE(List(false, 512, 0, kZeros, now).verifier, old.verifier);
    EXPECT_EQ(List(false, 512, old.last, old.verifier, was).status, NFS3_OK);
}

// A listing paged in small replies while another thread creates and
// removes files in the directory all along, one change at least between
// any two pages, ends without BAD_COOKIE, gives no entry twice and gives
// every entry that stayed throughout; by READDIRPLUS and READDIR alike.
TEST_F(Nfs3RawCalls, ListingsOfADirectoryOthersChangeEndWithEveryStayingEntryOnce) {
    const int kStaying = 3000;
    for (int i = 0; i < kStaying; ++i)
        disk.WriteFile("export/stay" + std::to_string(i), "");
    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    std::thread changer([&] {  // never more than 8 of its files at once
        const auto path = [&](int i) { return dir + "/come" + std::to_string(i); };
        for (int i = 0; i < 1000000 && !done; ++i) {
            disk.WriteFile("export/come" + std::to_string(i), "");
            ::unlink(path(i - 8).c_str());
            ++changes;
        }
    });
    // The names of every page of a listing, each page asked for after a
    // change; stops at a failed page.
    const auto listAll = [&](bool plus, u_int count, std::multiset<std::string>& names) {
        Listing page;
        for (int pages = 0; pages < 5000 && !page.eof; ++pages) {
            const int seen = changes;
            for (int spin = 0; spin < 10000000 && changes == seen; ++spin)
                std::this_thread::yield();
            page = List(plus, count, page.last, page.verifier);
            ASSERT_EQ(page.status, NFS3_OK) << "page " << pages;
            names.insert(page.names.begin(), page.names.end());
        }
        EXPECT_TRUE(page.eof);
    };
    const struct {
        bool plus;
        u_int count;
    } kinds[] = {{true, 2048}, {false, 1024}};
    std::vector<std::multiset<std::string>> listed(std::size(kinds));
    for (size_t k = 0; k < std::size(kinds); ++k)
        listAll(kinds[k].plus, kinds[k].count, listed[k]);
    done = true;
    changer.join();
    for (size_t k = 0; k < std::size(kinds); ++k) {
        SCOPED_TRACE(kinds[k].plus ? "READDIRPLUS" : "READDIR");
        const std::multiset<std::string>& names = listed[k];
        std::set<std::string> twice, missing;
        for (const std::string& name : names)
            if (names.count(name) > 1)
                twice.insert(name);
        for (int i = 0; i < kStaying; ++i)
            if (!names.count("stay" + std::to_string(i)))
                missing.insert("stay" + std::to_string(i));
        for (const char* name : {".", ".."})
            if (!names.count(name))
                missing.insert(name);
        EXPECT_EQ(twice, std::set<std::string>{});
        EXPECT_EQ(missing.size(), 0u) << "such as " << (missing.empty() ? "" : *missing.begin());
    }
}

// A listing taken up again after the directory changed gives what was made
// meanwhile at positions after its cookie, though its stream had read past
// them already, and no entry twice; so too while the host counts the
// module's operations and the listing reads through the module's stream.
TEST_F(Nfs3RawCalls, ListingTakenUpAfterAChangeGivesWhatWasMadeAfterItsPlace) {
    for (const bool counting : {false, true}) {
        SCOPED_TRACE(counting ? "counted" : "not counted");
        const std::string name = counting ? "counted" : "plain";
        ASSERT_EQ(::mkdir((dir + "/" + name).c_str(), 0755), 0);
        for (int i = 0; i < 1000; ++i)
            disk.WriteFile("export/" + name + "/old" + std::to_string(i), "");
        std::string listed;
        uint64_t fileid = 0;
        ASSERT_EQ(Lookup(name, listed, fileid), NFS3_OK);
        CountingPerfCounter counter(counting);
        Listing page = List(false, 512, 0, kZeros, listed);
        ASSERT_EQ(page.status, NFS3_OK);
        const cookie3 place = page.last;
        for (int i = 0; i < 300; ++i)
            disk.WriteFile("export/" + name + "/new" + std::to_string(i), "");
        std::multiset<std::string> names(page.names.begin(), page.names.end());
        for (int pages = 0; pages < 1000 && !page.eof; ++pages) {
            page = List(false, 512, page.last, page.verifier, listed);
            ASSERT_EQ(page.status, NFS3_OK);
            names.insert(page.names.begin(), page.names.end());
        }
        std::set<std::string> missing, twice;
        for (const auto& [entry, position] : PositionsIn(dir + "/" + name)) {
            if (entry.compare(0, 3, "new") == 0 && position >= place && !names.count(entry))
                missing.insert(entry);
            if (names.count(entry) > 1)
                twice.insert(entry);
        }
        EXPECT_EQ(missing, std::set<std::string>{});
        EXPECT_EQ(twice, std::set<std::string>{});
    }
}

// Every entry READDIRPLUS lists carries the handle LOOKUP gives for its
// name and the entry's own attributes: a symbolic link as itself, hard
// links as one file, "." and ".." at the export's root as the root; the
// same when listed again after the lookups.
TEST_F(Nfs3RawCalls, ReaddirplusGivesTheHandlesAndAttributesLookupGives) {
    disk.WriteFile("export/plain", "data");
    ASSERT_EQ(::link((dir + "/plain").c_str(), (dir + "/twin").c_str()), 0);
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/", (dir + "/out").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir + "/dangling").c_str()), 0);
    struct stat rootSt;
    ASSERT_EQ(::stat(dir.c_str(), &rootSt), 0);
    const struct {
        const char* name;
        w_ftype3 type;
    } cases[] = {{"plain", W_NF3REG},    {"twin", W_NF3REG}, {"sub", W_NF3DIR}, {"out", W_NF3LNK},
                 {"dangling", W_NF3LNK}, {".", W_NF3DIR},    {"..", W_NF3DIR}};
    for (const char* pass : {"first listed", "listed again once looked up"}) {
        SCOPED_TRACE(pass);
        Listing listing = List(true, 32768);
        ASSERT_EQ(listing.status, NFS3_OK);
        ASSERT_TRUE(listing.eof);
        EXPECT_EQ(listing.entries.size(), std::size(cases));
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const PlusEntry& entry = listing.entries[c.name];
            ASSERT_TRUE(entry.attributes);
            EXPECT_EQ(entry.attrs.type, c.type);
            std::string handle;
            uint64_t fileid = 0;
            ASSERT_EQ(Lookup(c.name, handle, fileid), NFS3_OK);
            EXPECT_EQ(entry.handle, handle);
            EXPECT_EQ(entry.attrs.fileid, fileid);
        }
        EXPECT_EQ(listing.entries["plain"].handle, listing.entries["twin"].handle);
        EXPECT_EQ(listing.entries[".."].handle, root);
        EXPECT_EQ(listing.entries[".."].attrs.fileid, rootSt.st_ino);
        EXPECT_EQ(listing.entries["plain"].attrs.size, 4u);
        EXPECT_EQ(listing.entries["out"].attrs.size, 1u);  // the link, not "/"
    }
}

// While another thread swaps the entries for other files, other names'
// files and symbolic links leading out of the export, every handle a
// listing gives names the object listed with it (the same inode) or is
// stale; no listed attributes are those of a link's target.
TEST_F(Nfs3RawCalls, HandlesListedWhileEntriesAreSwappedNameWhatWasListed) {
    const int kNames = 8;
    const std::string outside = disk / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    struct stat outsideSt;
    ASSERT_EQ(::stat(outside.c_str(), &outsideSt), 0);
    auto name = [&](int i) { return dir + "/e" + std::to_string(i % kNames); };
    for (int i = 0; i < kNames; ++i)
        disk.WriteFile("export/e" + std::to_string(i), "");
    std::atomic<bool> done{false};
    // Each swap is one rename, so every name always holds something.
    std::thread swapper([&] {
        const std::string spare = dir + "/spare";
        for (int i = 0; i < 1000000 && !done; ++i) {
            switch (i / kNames % 3) {
                case 0:
                    ::symlink(outside.c_str(), spare.c_str());
                    ::rename(spare.c_str(), name(i).c_str());
                    break;
                case 1:
                    disk.WriteFile("export/spare", "x");
                    ::rename(spare.c_str(), name(i).c_str());
                    break;
                default:
                    ::renameat2(AT_FDCWD, name(i).c_str(), AT_FDCWD, name(i + 1).c_str(),
                                RENAME_EXCHANGE);
            }
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int checked = 0;
    for (int round = 0; round < 500 && std::chrono::steady_clock::now() < until; ++round) {
        Listing listing = List(true, 32768);
        ASSERT_EQ(listing.status, NFS3_OK);
        for (const auto& [listed, entry] : listing.entries) {
            if (entry.handle.empty() || listed == "." || listed == ".." || listed == "spare")
                continue;
            SCOPED_TRACE(listed);
            ASSERT_TRUE(entry.attributes);
            EXPECT_NE(entry.attrs.fileid, outsideSt.st_ino);
            fattr3 now{};
            const nfsstat3 status = Getattr(entry.handle, now);
            if (status == NFS3_OK)
                EXPECT_EQ(now.fileid, entry.attrs.fileid);
            else
                EXPECT_EQ(status, NFS3ERR_STALE);
            ++checked;
        }
    }
    done = true;
    swapper.join();
    EXPECT_GT(checked, 0);
}

// What a creating call answers is the new object as it is on disk: the
// mode asked for (though the umask strips some of it), the exclusive
// verifier in its times, the attributes after every change the call made;
// its handle gives the same.
TEST_F(Nfs3RawCalls, CreatedObjectsAnswerWithTheirAttributesAsOnDisk) {
    const mode_t umaskWas = ::umask(022);
    const uint32_t verifier[2] = {7, 9};
    const struct {
        const char* name;
        uint32_t procedure;
        createmode3 how;
        int mode;  // -1: none asked
        mode_t expect;
    } cases[] = {{"plain", NFSPROC3_CREATE, UNCHECKED, 0644, 0644},
                 {"widened", NFSPROC3_CREATE, GUARDED, 0666, 0666},
                 {"default", NFSPROC3_CREATE, UNCHECKED, -1, 0644},
                 {"exclusive", NFSPROC3_CREATE, EXCLUSIVE, -1, 0600},
                 {"dir", NFSPROC3_MKDIR, UNCHECKED, 0777, 0777},
                 {"private", NFSPROC3_MKDIR, UNCHECKED, 0700, 0700}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sattr3 attrs{};
        attrs.mode = {c.mode >= 0, {static_cast<mode3>(c.mode)}};
        diropargs3 where{Root(), Name(c.name)};
        std::string handle;
        fattr3 made{};
        const auto take = [&](const auto& ok) {  // CREATE3resok or MKDIR3resok
            ASSERT_TRUE(ok.obj.handle_follows);
            ASSERT_TRUE(ok.obj_attributes.attributes_follow);
            handle = HandleBytes(ok.obj.post_op_fh3_u.handle);
            made = ok.obj_attributes.post_op_attr_u.attributes;
        };
        if (c.procedure == NFSPROC3_MKDIR) {
            MKDIR3args args{where, attrs};
            ASSERT_EQ(Call(NFSPROC3_MKDIR, xdr_MKDIR3args, args, xdr_MKDIR3res,
                           [&](MKDIR3res& res) { take(res.MKDIR3res_u.resok); }),
                      NFS3_OK);
        } else {
            CREATE3args args{where, {c.how, {}}};
            if (c.how == EXCLUSIVE)
                std::memcpy(args.how.createhow3_u.verf, verifier, sizeof verifier);
            else
                args.how.createhow3_u.obj_attributes = attrs;
            ASSERT_EQ(Call(NFSPROC3_CREATE, xdr_CREATE3args, args, xdr_CREATE3res,
                           [&](CREATE3res& res) { take(res.CREATE3res_u.resok); }),
                      NFS3_OK);
        }
        struct stat st;
        ASSERT_EQ(::lstat((dir + "/" + c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expect);
        EXPECT_TRUE(c.how != EXCLUSIVE || st.st_mtim.tv_sec == 7)  // the verifier's first word
            << st.st_mtim.tv_sec;
        fattr3 again{};
        ASSERT_EQ(Getattr(handle, again), NFS3_OK);
        for (const fattr3& a : {made, again}) {
            EXPECT_EQ(a.mode, st.st_mode & 07777);
            EXPECT_EQ(a.fileid, st.st_ino);
            EXPECT_EQ(a.size, static_cast<uint64_t>(st.st_size));
            EXPECT_EQ(a.mtime.seconds, static_cast<uint32_t>(st.st_mtim.tv_sec));
            EXPECT_EQ(a.mtime.nseconds, static_cast<uint32_t>(st.st_mtim.tv_nsec));
            EXPECT_EQ(a.ctime.nseconds, static_cast<uint32_t>(st.st_ctim.tv_nsec));
        }
    }
    ::umask(umaskWas);
}

constexpr uint64_t kUnreached = uint64_t(1) << 63;  // the first offset no file reaches
constexpr uint64_t kLastOffset = ~uint64_t(0);

// The offsets no file reaches (the kernel's are signed 64-bit) and the last
// one below them: READ there gives no bytes and the end of the file; WRITE
// and a new size are too big, at the last offset as the file system says;
// and none of them touches the file, however often.
TEST_F(Nfs3RawCalls, ReadsWritesAndSizesAtOffsetsNoFileReachesAnswerEndOfFileOrTooBig) {
    const std::string content = "0123456789ABCDEFGHIJ";
    const std::string path = disk.WriteFile("export/f", content);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);  // callers are squashed: let them write
    const std::string file = HandleOf("f");
    const std::string probe = disk.WriteFile("probe", "");
    const nfsstat3 lastSize =
        ::truncate(probe.c_str(), INT64_MAX) == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
    enum Op { kRead, kWrite, kSize };
    const struct {
        const char* what;
        Op op;
        uint64_t offset;
        nfsstat3 expect;
    } cases[] = {
        {"READ at 2^63-1", kRead, kUnreached - 1, NFS3_OK},
        {"READ at 2^63", kRead, kUnreached, NFS3_OK},
        {"READ at 2^64-1", kRead, kLastOffset, NFS3_OK},
        {"WRITE at 2^63-1", kWrite, kUnreached - 1, NFS3ERR_FBIG},
        {"WRITE at 2^63", kWrite, kUnreached, NFS3ERR_FBIG},
        {"WRITE at 2^64-1", kWrite, kLastOffset, NFS3ERR_FBIG},
        {"size 2^63-1", kSize, kUnreached - 1, lastSize},
        {"size 2^63", kSize, kUnreached, NFS3ERR_FBIG},
        {"size 2^64-1", kSize, kLastOffset, NFS3ERR_FBIG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (int again = 0; again < 3; ++again) {
            if (c.op == kRead) {
                const ReadReply reply = Read(file, c.offset, 6);
                EXPECT_EQ(reply.status, c.expect);
                EXPECT_EQ(reply.count, 0u);
                EXPECT_EQ(reply.data, "");
                EXPECT_TRUE(reply.eof);
            } else {
                EXPECT_EQ(
                    c.op == kWrite ? Write(file, c.offset, "xyzxyz") : SetSize(file, c.offset),
                    c.expect);
            }
        }
        if (c.op == kSize && c.expect == NFS3_OK) {  // a file system that holds such a size
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(content.size())), 0);
        }
        EXPECT_EQ(ReadFile(path), content);
    }
}

// Every client shares a file's kept descriptor, so no call may use or move
// its position: READs and WRITEs far past the end, between ordinary READs,
// move no byte, the ordinary READs give exactly the bytes asked for, and
// every descriptor open on the file is still at position 0.
TEST_F(Nfs3RawCalls, NoCallUsesOrMovesTheSharedDescriptorsPosition) {
    const std::string content = "0123456789ABCDEFGHIJ";
    const std::string path = disk.WriteFile("export/f", content);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    const std::string file = HandleOf("f");
    for (int round = 0; round < 60; ++round) {
        const uint64_t at = static_cast<uint64_t>(round % 15);
        const ReadReply far = Read(file, kLastOffset - round % 3, 6);
        EXPECT_EQ(far.status, NFS3_OK);
        EXPECT_EQ(far.data, "");
        EXPECT_TRUE(far.eof);
        EXPECT_EQ(Write(file, kUnreached | at, "xyz"), NFS3ERR_FBIG);
        const ReadReply near = Read(file, at, 6);
        ASSERT_EQ(near.status, NFS3_OK);
        EXPECT_EQ(near.data, content.substr(at, 6)) << "at " << at;
    }
    const std::string real = disk.RealPath() + "/export/f";
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) != real)
            continue;
        const std::string info = ReadFile("/proc/self/fdinfo/" + entry.path().filename().string());
        EXPECT_EQ(info.rfind("pos:\t0\n", 0), 0u) << info;
    }
    EXPECT_EQ(ReadFile(path), content);
}

// A sparse file of 5 GiB read just before its end gives the bytes there;
// at its end, past it, and at the offsets no file reaches, no bytes and
// the end of the file, every time.
TEST_F(Nfs3RawCalls, ReadsOfALargeSparseFileAtAndPastItsEndGiveNoBytesAndTheEnd) {
    constexpr uint64_t kSize = uint64_t(5) << 30;
    const std::string path = disk.WriteFile("export/sparse", "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kSize)), 0);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "tail", 4, static_cast<off_t>(kSize - 4)), 4);
    ::close(fd);
    const std::string file = HandleOf("sparse");
    const struct {
        uint64_t offset;
        std::string data;
        bool eof;
    } cases[] = {
        {0, std::string(16, '\0'), false},
        {kSize - 4, "tail", true},
        {kSize, "", true},
        {kSize + 1, "", true},
        {uint64_t(1) << 62, "", true},
        {kUnreached - 1, "", true},
        {kUnreached, "", true},
        {kLastOffset - 15, "", true},
        {kLastOffset, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        for (int again = 0; again < 3; ++again) {
            const ReadReply reply = Read(file, c.offset, 16);
            ASSERT_EQ(reply.status, NFS3_OK);
            EXPECT_EQ(reply.count, c.data.size());
            EXPECT_EQ(reply.data, c.data);
            EXPECT_EQ(reply.eof, c.eof);
        }
    }
}

// Times NFS v3 cannot carry (its seconds are unsigned 32-bit, from 1970)
// come back as the nearest it can, never wrapped into another century.
TEST_F(Nfs3RawCalls, TimesOutsideWhatNfs3CarriesAreClampedNotWrapped) {
    const std::string path = disk.WriteFile("export/t", "");
    const std::string file = HandleOf("t");
    const struct {
        const char* what;
        time_t seconds;
        long nanoseconds;
        uint32_t shownSeconds;
        uint32_t shownNanoseconds;
    } cases[] = {
        {"1901-12-14", -2147472000, 5, 0, 0},
        {"1969, its last second", -1, 500000000, 0, 0},
        {"1970", 0, 7, 0, 7},
        {"2106, the last second carried", 4294967295, 9, 4294967295u, 9},
        {"2106, a second later", 4294967296, 0, 4294967295u, 999999999},
        {"2107-01-01", 4323283200, 0, 4294967295u, 999999999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const struct timespec times[2] = {{c.seconds, c.nanoseconds}, {c.seconds, c.nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        ASSERT_EQ(st.st_mtim.tv_sec, c.seconds) << "the file system keeps no such time";
        fattr3 attrs{};
        ASSERT_EQ(Getattr(file, attrs), NFS3_OK);
        for (const nfstime3& shown : {attrs.atime, attrs.mtime}) {
            EXPECT_EQ(shown.seconds, c.shownSeconds);
            EXPECT_EQ(shown.nseconds, c.shownNanoseconds);
        }
    }
}

// Names and symbolic-link targets longer than a file system takes are
// refused as too long, however long, rather than as calls that do not
// decode; nothing is made for them.
TEST_F(Nfs3RawCalls, OverlongNamesAndLinkTargetsAreTooLong) {
    const struct {
        std::string name;
        size_t targetBytes;
        nfsstat3 expect;
    } cases[] = {
        {"t4095", 4095, NFS3_OK},
        {"t4096", 4096, NFS3ERR_NAMETOOLONG},
        {"t4097", 4097, NFS3ERR_NAMETOOLONG},
        {"t65536", 65536, NFS3ERR_NAMETOOLONG},
        {std::string(255, 'n'), 1, NFS3_OK},
        {std::string(256, 'n'), 1, NFS3ERR_NAMETOOLONG},
        {std::string(1025, 'n'), 1, NFS3ERR_NAMETOOLONG},
        {std::string(4097, 'n'), 1, NFS3ERR_NAMETOOLONG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.name.size()) + "-byte name, " +
                     std::to_string(c.targetBytes) + "-byte target");
        const std::string target(c.targetBytes, 'x');
        SYMLINK3args args{
            {Root(), {static_cast<u_int>(c.name.size()), const_cast<char*>(c.name.data())}},
            {{}, {static_cast<u_int>(target.size()), const_cast<char*>(target.data())}}};
        EXPECT_EQ(
            Call(NFSPROC3_SYMLINK, xdr_SYMLINK3args, args, xdr_SYMLINK3res, [](SYMLINK3res&) {}),
            c.expect);
        struct stat st;
        EXPECT_EQ(::lstat((dir + "/" + c.name).c_str(), &st) == 0, c.expect == NFS3_OK);
    }
}

// The server's state store on a file system of its own, small enough to fill.
class Nfs3RawCallsSmallStore : public Nfs3RawCalls {
  protected:
    bool StateDirectory(std::string& path) override {
        if (!small.Mounted(path))
            return false;
        path = small.Path() + "/state";
        return true;
    }

    enum class Maker { kUnchecked, kGuarded, kExclusive, kMkdir, kSymlink, kFifo };
    // Makes name in the root as how says, through via: the status, and
    // whether a handle came with it.
    nfsstat3 Make(Maker how, const std::string& name, bool& handle) {
        return Make(*client, how, name, handle);
    }
    nfsstat3 Make(rpctest::Client& via, Maker how, const std::string& name, bool& handle) {
        const diropargs3 where{Root(), Name(name.c_str())};
        const auto took = [&](const post_op_fh3& fh) { handle = fh.handle_follows; };
        handle = false;
        switch (how) {
            case Maker::kMkdir: {
                MKDIR3args args{where, {}};
                return CallOn(via, NFSPROC3_MKDIR, xdr_MKDIR3args, args, xdr_MKDIR3res,
                              [&](MKDIR3res& res) { took(res.MKDIR3res_u.resok.obj); });
            }
            case Maker::kSymlink: {
                SYMLINK3args args{where, {{}, {6, const_cast<char*>("target")}}};
                return CallOn(via, NFSPROC3_SYMLINK, xdr_SYMLINK3args, args, xdr_SYMLINK3res,
                              [&](SYMLINK3res& res) { took(res.SYMLINK3res_u.resok.obj); });
            }
            case Maker::kFifo: {
                MKNOD3args args{where, {W_NF3FIFO, {}}};
                return CallOn(via, NFSPROC3_MKNOD, xdr_MKNOD3args, args, xdr_MKNOD3res,
                              [&](MKNOD3res& res) { took(res.MKNOD3res_u.resok.obj); });
            }
            default: {
                const createmode3 mode = how == Maker::kUnchecked ? UNCHECKED
                                         : how == Maker::kGuarded ? GUARDED
                                                                  : EXCLUSIVE;
                CREATE3args args{where, {mode, {}}};
                return CallOn(via, NFSPROC3_CREATE, xdr_CREATE3args, args, xdr_CREATE3res,
                              [&](CREATE3res& res) { took(res.CREATE3res_u.resok.obj); });
            }
        }
    }
    bool Exists(const std::string& name) const {
        struct stat st;
        return ::lstat((dir + "/" + name).c_str(), &st) == 0;
    }
    static size_t Errors(const LogCapture& log) {
        size_t errors = 0;
        for (const LogRecord& record : log.Records())
            errors += record.level == -1;
        return errors;
    }

    SmallFileSystem small{size_t(4) << 20};
};

// With the state store's file system full, a call that needs a new id is
// refused before anything is made: CREATE (any mode), MKDIR, SYMLINK and
// MKNOD answer NOSPC and leave no entry, LOOKUP of a file no client was
// given answers JUKEBOX, a file given before is still found; and the log
// says so in one line. Once there is room again, all of them work, and the
// log says so in one more line.
TEST_F(Nfs3RawCallsSmallStore, AFullStoreRefusesNewIdsBeforeAnythingIsMadeAndRecovers) {
    disk.WriteFile("export/unnamed", "");
    bool handle = false;
    ASSERT_EQ(Make(Maker::kUnchecked, "known", handle), NFS3_OK);
    const std::string known = HandleOf("known");
    ASSERT_TRUE(small.Fill());
    LogCapture log(1);
    // Until the store first finds no room, every file made comes with its
    // handle; those refused are not there. Several clients at once, each
    // until it is refused.
    RunThreads(4, [&](int t) {
        rpctest::Client own(server->Port(), NFS_PROGRAM, NFS_V3);
        for (int i = 0; i < 20000; ++i) {
            const std::string name = "c" + std::to_string(t) + "-" + std::to_string(i);
            bool handle = false;
            const nfsstat3 status = Make(own, Maker::kUnchecked, name, handle);
            EXPECT_TRUE(status == NFS3_OK || status == NFS3ERR_NOSPC) << name << ": " << status;
            EXPECT_EQ(handle, status == NFS3_OK) << name;
            EXPECT_EQ(Exists(name), status == NFS3_OK) << name;
            if (status != NFS3_OK)
                return;
        }
        ADD_FAILURE() << "client " << t << " never found the store full";
    });
    const struct {
        const char* what;
        Maker how;
    } makers[] = {{"CREATE UNCHECKED", Maker::kUnchecked},
                  {"CREATE GUARDED", Maker::kGuarded},
                  {"CREATE EXCLUSIVE", Maker::kExclusive},
                  {"MKDIR", Maker::kMkdir},
                  {"SYMLINK", Maker::kSymlink},
                  {"MKNOD", Maker::kFifo}};
    std::string again;
    uint64_t fileid = 0;
    for (int round = 0; round < 20; ++round) {
        for (const auto& m : makers) {
            SCOPED_TRACE(m.what);
            const std::string name = "n" + std::to_string(round) + "-" + m.what;
            EXPECT_EQ(Make(m.how, name, handle), NFS3ERR_NOSPC);
            EXPECT_FALSE(Exists(name));
        }
        EXPECT_EQ(Lookup("unnamed", again, fileid), NFS3ERR_JUKEBOX);
        ASSERT_EQ(Lookup("known", again, fileid), NFS3_OK);
        EXPECT_EQ(again, known);
    }
    EXPECT_EQ(log.CountContaining("State store full"), 1u);
    EXPECT_EQ(Errors(log), 1u);

    small.Free();
    for (const auto& m : makers) {
        SCOPED_TRACE(m.what);
        const std::string name = std::string("room-") + m.what;
        EXPECT_EQ(Make(m.how, name, handle), NFS3_OK);
        EXPECT_TRUE(handle);
        EXPECT_TRUE(Exists(name));
    }
    EXPECT_EQ(Lookup("unnamed", again, fileid), NFS3_OK);
    EXPECT_EQ(log.CountContaining("State store full"), 1u);
    EXPECT_EQ(log.CountContaining("commits again"), 1u);
    EXPECT_EQ(Errors(log), 2u);
}

}  // namespace
