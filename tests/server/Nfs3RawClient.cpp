#include "tests/server/Nfs3RawClient.h"

#include <nfsc/libnfs-raw-mount.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <functional>

namespace {

constexpr auto kReplyWait = std::chrono::seconds(30);

// Sends one call and services the connection until it is answered;
// onReply sees a successful reply while libnfs still owns it. On failure
// the connection is dropped, which ends the call: its callback runs now,
// while onReply still lives.
template <typename Args>
void Exchange(rpc_context* rpc, int (*send)(rpc_context*, rpc_cb, Args*, void*), Args* args,
              const std::function<void(void*)>& onReply) {
    struct Pending {
        const std::function<void(void*)>& onReply;
        bool done;
    } pending{onReply, false};
    auto callback = [](rpc_context*, int status, void* data, void* privateData) {
        Pending& p = *static_cast<Pending*>(privateData);
        p.done = true;
        if (status == RPC_STATUS_SUCCESS)
            p.onReply(data);
    };
    if (send(rpc, callback, args, &pending) != 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kReplyWait;
    while (!pending.done && std::chrono::steady_clock::now() < deadline) {
        pollfd p{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if (::poll(&p, 1, 100) < 0 || rpc_service(rpc, p.revents) < 0)
            break;
    }
    if (!pending.done)
        rpc_disconnect(rpc, "no reply");
}

nfs_fh3 Wire(const std::string& fh) {
    return {{static_cast<u_int>(fh.size()), const_cast<char*>(fh.data())}};  // only encoded
}

diropargs3 DirOp(const std::string& dir, const std::string& name) {
    return {Wire(dir), const_cast<char*>(name.c_str())};
}

std::string Bytes(const nfs_fh3& fh) {
    return std::string(fh.data.data_val, fh.data.data_len);
}

sattr3 WithMode(uint32_t mode) {
    return {{1, {mode}}, {}, {}, {}, {}, {}};
}

void TakeHandle(const post_op_fh3& fh, std::string* out) {
    if (out && fh.handle_follows)
        *out = Bytes(fh.post_op_fh3_u.handle);
}

}  // namespace

// Sends one call and waits for its reply; take(res) runs on an NFS3_OK reply
// while libnfs still owns it.
template <typename Res, typename Args, typename Take>
int Nfs3RawClient::Call(int (*send)(rpc_context*, rpc_cb, Args*, void*), Args args, Take take) {
    int status = kRpcFailed;
    Exchange(nfs_get_rpc_context(m_client.Context()), send, &args, [&](void* reply) {
        Res& res = *static_cast<Res*>(reply);
        status = res.status;
        if (status == NFS3_OK)
            take(res);
    });
    return status;
}

bool Nfs3RawClient::Mount(uint16_t port, const std::string& dir, std::string& error) {
    if (!m_client.Mount(port, dir, error))
        return false;
    std::string path = dir;
    Exchange(nfs_get_rpc_context(m_client.Context()), rpc_mount3_mnt_async, &path[0],
             [&](void* reply) {
                 const mountres3& res = *static_cast<mountres3*>(reply);
                 const fhandle3& fh = res.mountres3_u.mountinfo.fhandle;
                 if (res.fhs_status == MNT3_OK)
                     m_root.assign(fh.fhandle3_val, fh.fhandle3_len);
             });
    if (m_root.empty())
        error = "MNT of " + dir + " gave no handle";
    return !m_root.empty();
}

int Nfs3RawClient::Getattr(const Fh& fh, fattr3* attrs) {
    return Call<GETATTR3res>(rpc_nfs3_getattr_async, GETATTR3args{Wire(fh)}, [&](GETATTR3res& res) {
        if (attrs)
            *attrs = res.GETATTR3res_u.resok.obj_attributes;
    });
}

int Nfs3RawClient::Lookup(const Fh& dir, const std::string& name, Fh* out, fattr3* attrs) {
    return Call<LOOKUP3res>(rpc_nfs3_lookup_async, LOOKUP3args{DirOp(dir, name)},
                            [&](LOOKUP3res& res) {
                                const LOOKUP3resok& ok = res.LOOKUP3res_u.resok;
                                if (out)
                                    *out = Bytes(ok.object);
                                if (attrs && ok.obj_attributes.attributes_follow)
                                    *attrs = ok.obj_attributes.post_op_attr_u.attributes;
                            });
}

int Nfs3RawClient::Create(const Fh& dir, const std::string& name, createmode3 how, uint64_t verf,
                          Fh* out) {
    CREATE3args args{DirOp(dir, name), {how, {}}};
    if (how == EXCLUSIVE) {
        std::memcpy(args.how.createhow3_u.verf, &verf, sizeof verf);
    } else {
        args.how.createhow3_u.obj_attributes = WithMode(0644);
        args.how.createhow3_u.obj_attributes.size.set_it = 1;  // to 0
    }
    return Call<CREATE3res>(rpc_nfs3_create_async, args,
                            [&](CREATE3res& res) { TakeHandle(res.CREATE3res_u.resok.obj, out); });
}

int Nfs3RawClient::Mkdir(const Fh& dir, const std::string& name, Fh* out) {
    return Call<MKDIR3res>(rpc_nfs3_mkdir_async, MKDIR3args{DirOp(dir, name), WithMode(0755)},
                           [&](MKDIR3res& res) { TakeHandle(res.MKDIR3res_u.resok.obj, out); });
}

int Nfs3RawClient::Symlink(const Fh& dir, const std::string& name, const std::string& target) {
    return Call<SYMLINK3res>(
        rpc_nfs3_symlink_async,
        SYMLINK3args{DirOp(dir, name), {{}, const_cast<char*>(target.c_str())}});
}

int Nfs3RawClient::Remove(const Fh& dir, const std::string& name) {
    return Call<REMOVE3res>(rpc_nfs3_remove_async, REMOVE3args{DirOp(dir, name)});
}

int Nfs3RawClient::Rmdir(const Fh& dir, const std::string& name) {
    return Call<RMDIR3res>(rpc_nfs3_rmdir_async, RMDIR3args{DirOp(dir, name)});
}

int Nfs3RawClient::Rename(const Fh& fromDir, const std::string& from, const Fh& toDir,
                          const std::string& to) {
    return Call<RENAME3res>(rpc_nfs3_rename_async,
                            RENAME3args{DirOp(fromDir, from), DirOp(toDir, to)});
}

int Nfs3RawClient::Link(const Fh& file, const Fh& dir, const std::string& name) {
    return Call<LINK3res>(rpc_nfs3_link_async, LINK3args{Wire(file), DirOp(dir, name)});
}

int Nfs3RawClient::Setattr(const Fh& fh, const sattr3& attrs) {
    return Call<SETATTR3res>(rpc_nfs3_setattr_async, SETATTR3args{Wire(fh), attrs, {}});
}

int Nfs3RawClient::SetMode(const Fh& fh, uint32_t mode) {
    return Setattr(fh, WithMode(mode));
}

int Nfs3RawClient::SetSize(const Fh& fh, uint64_t size) {
    return Setattr(fh, {{}, {}, {}, {1, {size}}, {}, {}});
}

int Nfs3RawClient::Read(const Fh& fh, uint64_t offset, uint32_t count, std::string* data, bool* eof,
                        uint32_t* got) {
    return Call<READ3res>(rpc_nfs3_read_async, READ3args{Wire(fh), offset, count},
                          [&](READ3res& res) {
                              const READ3resok& ok = res.READ3res_u.resok;
                              if (data)
                                  data->assign(ok.data.data_val, ok.data.data_len);
                              if (eof)
                                  *eof = ok.eof;
                              if (got)
                                  *got = ok.count;
                          });
}

int Nfs3RawClient::Write(const Fh& fh, uint64_t offset, const std::string& data) {
    const auto size = static_cast<count3>(data.size());
    WRITE3args args{Wire(fh), offset, size, FILE_SYNC, {size, const_cast<char*>(data.data())}};
    return Call<WRITE3res>(rpc_nfs3_write_async, args);
}

uint32_t Nfs3RawClient::Access(const Fh& fh, uint32_t wanted) {
    uint32_t granted = 0;
    Call<ACCESS3res>(rpc_nfs3_access_async, ACCESS3args{Wire(fh), wanted},
                     [&](ACCESS3res& res) { granted = res.ACCESS3res_u.resok.access; });
    return granted;
}

int Nfs3RawClient::Readdir(const Fh& dir, std::vector<std::pair<std::string, uint64_t>>* entries) {
    return Call<READDIR3res>(
        rpc_nfs3_readdir_async, READDIR3args{Wire(dir), 0, {}, 8192}, [&](READDIR3res& res) {
            // libnfs packs decoded entries without regard to alignment: copy each out.
            entry3 e{};
            for (const entry3* at = res.READDIR3res_u.resok.reply.entries; at; at = e.nextentry) {
                std::memcpy(&e, at, sizeof e);
                entries->emplace_back(e.name, e.fileid);
            }
        });
}
