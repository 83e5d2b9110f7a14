// A mounted libnfs context and an open NFS file, each released when it goes.
#pragma once

#include <nfsc/libnfs.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumebench {

[[noreturn]] inline void Fail(nfs_context* nfs, const std::string& what) {
    throw std::runtime_error(what + ": " + nfs_get_error(nfs));
}

// An nfs_context mounted on the URL's export; its directory is the root.
class NfsMount {
  public:
    explicit NfsMount(const std::string& url) : nfs_(nfs_init_context()) {
        if (!nfs_)
            throw std::runtime_error("nfs_init_context failed");
        nfs_url* parsed = nfs_parse_url_dir(nfs_, url.c_str());
        int rc = parsed ? nfs_mount(nfs_, parsed->server, parsed->path) : -1;
        if (parsed)
            nfs_destroy_url(parsed);
        if (rc != 0) {
            // No destructor runs for a constructor that throws.
            std::string why = "mount of " + url + ": " + nfs_get_error(nfs_);
            nfs_destroy_context(nfs_);
            throw std::runtime_error(why);
        }
    }
    ~NfsMount() { nfs_destroy_context(nfs_); }
    NfsMount(const NfsMount&) = delete;
    NfsMount& operator=(const NfsMount&) = delete;

    nfs_context* get() const { return nfs_; }

  private:
    nfs_context* nfs_;
};

// An open NFS file, closed when it goes.
class NfsFile {
  public:
    NfsFile(nfs_context* nfs, const std::string& path, int flags) : nfs_(nfs) {
        if (nfs_open2(nfs, path.c_str(), flags, 0644, &fh_) != 0)
            Fail(nfs, "open " + path);
    }
    ~NfsFile() { nfs_close(nfs_, fh_); }
    NfsFile(const NfsFile&) = delete;
    NfsFile& operator=(const NfsFile&) = delete;

    nfsfh* get() const { return fh_; }

    uint64_t Size() const {
        nfs_stat_64 st{};
        if (nfs_fstat64(nfs_, fh_, &st) != 0)
            Fail(nfs_, "fstat");
        return st.nfs_size;
    }

  private:
    nfs_context* nfs_;
    nfsfh* fh_ = nullptr;
};

}  // namespace lumebench
