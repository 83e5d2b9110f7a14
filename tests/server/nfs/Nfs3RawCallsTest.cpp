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
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "server/protocol/mount3.h"
#include "server/protocol/nfs3.h"
#include "tests/module/backend/CountingPerfCounter.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/server/rpc/RpcTestSupport.h"
#include "tests/support/TempDir.h"

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

class Nfs3RawCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        server = std::make_unique<InProcessServer>(state.Path());
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

    // A new raw connection, from a new source port.
    void Reconnect() {
        socket = std::make_unique<RawSocket>(server->Port());
        ASSERT_TRUE(socket->Connected());
    }
    w_nfs_fh3 Root() { return Wire(root); }

    // One NFS call of procedure with args: take sees the results when they
    // say NFS3_OK. Their status; NFS3ERR_SERVERFAULT when none decode.
    template <class Args, class Res, class Take>
    nfsstat3 Call(uint32_t procedure, bool_t (*encode)(XDR*, Args*), Args& args,
                  bool_t (*decode)(XDR*, Res*), Take take) {
        Res res{};
        if (client->Call(procedure, XdrProc(encode), &args, XdrProc(decode), &res) != RPC_SUCCESS)
            return NFS3ERR_SERVERFAULT;
        resultBytes = xdr_sizeof(XdrProc(decode), &res);
        const nfsstat3 status = res.status;
        if (status == NFS3_OK)
            take(res);
        xdr_free(XdrProc(decode), reinterpret_cast<char*>(&res));
        return status;
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

}  // namespace
