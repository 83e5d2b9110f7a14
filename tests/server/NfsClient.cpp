#include "tests/server/NfsClient.h"

#include <nfsc/libnfs.h>

std::string LumedUrl(uint16_t port, const std::string& dir) {
    std::string p = std::to_string(port);
    return "nfs://127.0.0.1" + dir + "?version=3&nfsport=" + p + "&mountport=" + p;
}

NfsClient::NfsClient(int uid, int gid) : m_context(nfs_init_context()) {
    if (!m_context)
        return;
    nfs_set_timeout(m_context, 30000);
    nfs_set_uid(m_context, uid);
    nfs_set_gid(m_context, gid);
}

NfsClient::~NfsClient() {
    if (m_context)
        nfs_destroy_context(m_context);
}

bool NfsClient::Mount(uint16_t port, const std::string& dir, std::string& error) {
    if (!m_context) {
        error = "nfs_init_context failed";
        return false;
    }
    nfs_url* url = nfs_parse_url_dir(m_context, LumedUrl(port, dir).c_str());
    if (!url) {
        error = nfs_get_error(m_context);
        return false;
    }
    bool mounted = nfs_mount(m_context, url->server, url->path) == 0;
    if (!mounted)
        error = nfs_get_error(m_context);
    nfs_destroy_url(url);
    return mounted;
}
