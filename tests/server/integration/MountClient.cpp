#include "tests/server/integration/MountClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {
const timeval kTimeout{30, 0};  // bounds a hang; not a measurement
}

MountClient::MountClient(uint16_t port, uint32_t program, uint32_t version) {
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    int socket = RPC_ANYSOCK;
    m_client = clnttcp_create(&address, program, version, &socket, 0, 0);
}

MountClient::~MountClient() {
    if (m_client) {
        auth_destroy(m_client->cl_auth);
        clnt_destroy(m_client);
    }
}

void MountClient::ClaimMachineName(const std::string& name) {
    if (!m_client)
        return;
    auth_destroy(m_client->cl_auth);
    m_client->cl_auth = authunix_create(const_cast<char*>(name.c_str()), 0, 0, 0, nullptr);
}

clnt_stat MountClient::Null() {
    return clnt_call(m_client, MOUNTPROC3_NULL, XdrProc(xdr_void), nullptr, XdrProc(xdr_void),
                     nullptr, kTimeout);
}

MountClient::MntResult MountClient::Mnt(const std::string& path) {
    typedef bool_t (*Encode)(XDR*, std::string*);
    Encode encode = [](XDR* out, std::string* text) -> bool_t {
        char* bytes = &(*text)[0];
        u_int length = static_cast<u_int>(text->size());
        return xdr_bytes(out, &bytes, &length, MNTPATHLEN);
    };
    MntResult result;
    std::string bytes = path;
    mnt_mountres3 reply{};
    result.rpc = clnt_call(m_client, MOUNTPROC3_MNT, XdrProc(encode), &bytes,
                           XdrProc(xdr_mnt_mountres3), &reply, kTimeout);
    if (result.rpc != RPC_SUCCESS)
        return result;
    result.status = reply.fhs_status;
    if (reply.fhs_status == MNT3_OK) {
        const mnt_mountres3_ok& ok = reply.mnt_mountres3_u.mountinfo;
        const char* bytes = ok.fhandle.mnt_fhandle3_val;
        result.handle.assign(bytes, bytes + ok.fhandle.mnt_fhandle3_len);
        const int* flavors = ok.auth_flavors.auth_flavors_val;
        result.flavors.assign(flavors, flavors + ok.auth_flavors.auth_flavors_len);
    }
    clnt_freeres(m_client, XdrProc(xdr_mnt_mountres3), reinterpret_cast<char*>(&reply));
    return result;
}

clnt_stat MountClient::Umnt(const std::string& path) {
    char* p = const_cast<char*>(path.c_str());
    return clnt_call(m_client, MOUNTPROC3_UMNT, XdrProc(xdr_mnt_dirpath), &p, XdrProc(xdr_void),
                     nullptr, kTimeout);
}

std::vector<std::string> MountClient::Dump() {
    std::vector<std::string> mounts;
    mnt_mountlist list = nullptr;
    if (clnt_call(m_client, MOUNTPROC3_DUMP, XdrProc(xdr_void), nullptr, XdrProc(xdr_mnt_mountlist),
                  &list, kTimeout) != RPC_SUCCESS)
        return mounts;
    for (mnt_mountbody* node = list; node; node = node->ml_next)
        mounts.emplace_back(node->ml_directory);
    clnt_freeres(m_client, XdrProc(xdr_mnt_mountlist), reinterpret_cast<char*>(&list));
    return mounts;
}

std::vector<std::pair<std::string, std::vector<std::string>>> MountClient::Exports() {
    std::vector<std::pair<std::string, std::vector<std::string>>> exports;
    mnt_exports list = nullptr;
    if (clnt_call(m_client, MOUNTPROC3_EXPORT, XdrProc(xdr_void), nullptr, XdrProc(xdr_mnt_exports),
                  &list, kTimeout) != RPC_SUCCESS)
        return exports;
    for (mnt_exportnode* node = list; node; node = node->ex_next) {
        std::vector<std::string> groups;
        for (mnt_groupnode* group = node->ex_groups; group; group = group->gr_next)
            groups.push_back(group->gr_name);
        exports.emplace_back(node->ex_dir, groups);
    }
    clnt_freeres(m_client, XdrProc(xdr_mnt_exports), reinterpret_cast<char*>(&list));
    return exports;
}
