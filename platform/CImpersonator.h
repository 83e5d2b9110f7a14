// Switching the calling thread's file-system identity.
//
// CImpersonator takes on a user's identity for file-system access (fsuid,
// fsgid and supplementary groups) on the calling thread only, using the raw
// per-thread system calls rather than the libc wrappers that change every
// thread of the process. The destructor restores what the thread had.
// Failure to switch throws OxException after putting back what was
// switched (a failed put-back is logged).
// Each thread remembers the identity its last switch or restore left, so
// only the parts that differ cost system calls; this holds because nothing
// else in the process changes a thread's file-system identity (the libc
// setuid and setgroups family, which would, is never used).
#pragma once

#include <sys/types.h>

#include <vector>

struct OxUserToken {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;

    // A default token names no user; impersonating it fails.
    bool IsValid() const { return uid != static_cast<uid_t>(-1) && gid != static_cast<gid_t>(-1); }
    // The process's effective uid and gid, with the calling thread's
    // supplementary groups (on a thread that impersonates, the user's).
    static OxUserToken ProcessIdentity();
};

// Which parts of the thread's identity an impersonation switched.
struct IdentityParts {
    bool uid = false;
    bool gid = false;
    bool groups = false;
};

class CImpersonator {
  public:
    // trace: write a level-10 line on switching and on restoring.
    CImpersonator(const OxUserToken& token, bool trace);
    ~CImpersonator();
    CImpersonator(const CImpersonator&) = delete;
    CImpersonator& operator=(const CImpersonator&) = delete;

  private:
    uid_t m_savedUid = 0;
    gid_t m_savedGid = 0;
    std::vector<gid_t> m_savedGroups;
    IdentityParts m_changed;
    bool m_trace;
};
