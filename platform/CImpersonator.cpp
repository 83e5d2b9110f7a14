// CImpersonator through the raw per-thread system calls, and what each
// thread's identity is now.
#include "platform/CImpersonator.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/ErrorText.h"
#include "platform/LogWriter.h"
#include "platform/OxException.h"

// The libc wrappers of setgroups, setfsuid and setfsgid change every thread
// of the process; the raw system calls change the calling thread only.
// System calls are the whole cost of a switch, so a part of the identity
// the thread already has is neither set nor restored.

namespace {

// setfsuid and setfsgid return the previous value and never fail visibly;
// an invalid id (-1) changes nothing, so it reads the current value.
uid_t CurrentFsUid() {
    return static_cast<uid_t>(syscall(SYS_setfsuid, -1));
}
gid_t CurrentFsGid() {
    return static_cast<gid_t>(syscall(SYS_setfsgid, -1));
}

bool SetFsUid(uid_t uid) {
    syscall(SYS_setfsuid, uid);
    return CurrentFsUid() == uid;
}

bool SetFsGid(gid_t gid) {
    syscall(SYS_setfsgid, gid);
    return CurrentFsGid() == gid;
}

std::string Describe(const char* what, int err) {
    return std::string(what) + ": " + ErrorTextAndNumber(err);
}

std::vector<gid_t> CurrentGroups() {
    // The list may grow between asking its size and reading it; a few
    // attempts are plenty, as only a process-wide setgroups can change it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        long count = syscall(SYS_getgroups, 0, nullptr);
        if (count < 0)
            break;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        long got = syscall(SYS_getgroups, count, groups.data());
        if (got >= 0) {
            groups.resize(static_cast<size_t>(got));
            return groups;
        }
        if (errno != EINVAL)
            break;
    }
    int err = errno;
    throw OxException(Describe("impersonation: getgroups failed", err), err);
}

int SetGroups(const std::vector<gid_t>& groups) {
    if (syscall(SYS_setgroups, groups.size(), groups.data()) == 0)
        return 0;
    return errno;
}

bool SameGroups(std::vector<gid_t> a, std::vector<gid_t> b) {
    std::sort(a.begin(), a.end());
    a.erase(std::unique(a.begin(), a.end()), a.end());
    std::sort(b.begin(), b.end());
    b.erase(std::unique(b.begin(), b.end()), b.end());
    return a == b;
}

// Puts back the saved identity in the reverse order of switching, each part
// only where `changed` says it was switched. Returns the name of the step
// that failed, or null.
const char* Restore(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, IdentityParts changed,
                    int& err) {
    err = EPERM;
    if (changed.uid && !SetFsUid(uid))
        return "setfsuid";
    if (changed.gid && !SetFsGid(gid))
        return "setfsgid";
    if (changed.groups && (err = SetGroups(groups)) != 0)
        return "setgroups";
    return nullptr;
}

// Switches groups, fsgid, then fsuid, each only when it differs from what
// the thread has (saved), recording in `changed` what was switched (a
// refused step changes nothing). Returns the name of the step that failed,
// with err set, or null.
const char* SwitchTo(const OxUserToken& token, uid_t savedUid, gid_t savedGid,
                     const std::vector<gid_t>& savedGroups, IdentityParts& changed, int& err) {
    err = 0;
    if (!SameGroups(savedGroups, token.groups)) {
        if ((err = SetGroups(token.groups)) != 0)
            return "setgroups";
        changed.groups = true;
    }
    err = EPERM;  // setfsgid and setfsuid give no reason
    if (token.gid != savedGid) {
        if (!SetFsGid(token.gid))
            return "setfsgid";
        changed.gid = true;
    }
    if (token.uid != savedUid) {
        if (!SetFsUid(token.uid))
            return "setfsuid";
        changed.uid = true;
    }
    return nullptr;
}

// This thread's identity as the last switch or restore on it left it;
// read from the kernel when not known yet.
struct KnownIdentity {
    bool known = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;

    void Read(uid_t& fsUid, gid_t& fsGid, std::vector<gid_t>& fsGroups) {
        if (!known) {
            groups = CurrentGroups();  // may throw: then nothing is known
            uid = CurrentFsUid();
            gid = CurrentFsGid();
            known = true;
        }
        fsUid = uid;
        fsGid = gid;
        fsGroups = groups;
    }
    void Set(uid_t fsUid, gid_t fsGid, const std::vector<gid_t>& fsGroups) {
        uid = fsUid;
        gid = fsGid;
        groups = fsGroups;
        known = true;
    }
};

thread_local KnownIdentity tIdentity;

// True when restored. A thread left with a foreign identity is a serious
// fault, so a failure is always logged.
bool RestoreOrLog(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, IdentityParts changed) {
    int err = 0;
    const char* failed = Restore(uid, gid, groups, changed, err);
    if (failed) {
        tIdentity.known = false;
        OXLOG(-1, 0, "cannot restore uid %u gid %u: %s", uid, gid, Describe(failed, err).c_str());
    } else {
        tIdentity.Set(uid, gid, groups);
    }
    return !failed;
}

}  // namespace

OxUserToken OxUserToken::ProcessIdentity() {
    OxUserToken token;
    token.uid = geteuid();
    token.gid = getegid();
    int count = getgroups(0, nullptr);
    if (count > 0) {
        token.groups.resize(static_cast<size_t>(count));
        count = getgroups(count, token.groups.data());
        token.groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
    }
    return token;
}

CImpersonator::CImpersonator(const OxUserToken& token, bool trace) : m_trace(trace) {
    if (!token.IsValid())
        throw OxException(Describe("impersonation: invalid user token", EINVAL), EINVAL);
    tIdentity.Read(m_savedUid, m_savedGid, m_savedGroups);
    int err = 0;
    if (const char* failed =
            SwitchTo(token, m_savedUid, m_savedGid, m_savedGroups, m_changed, err)) {
        RestoreOrLog(m_savedUid, m_savedGid, m_savedGroups, m_changed);
        std::string what = "impersonation of uid " + std::to_string(token.uid) + " gid " +
                           std::to_string(token.gid) + ": " + failed + " failed";
        throw OxException(Describe(what.c_str(), err), err);
    }
    tIdentity.Set(token.uid, token.gid, m_changed.groups ? token.groups : m_savedGroups);
    if (m_trace)
        OXLOG(10, 0, "impersonating uid %u gid %u with %zu groups (was uid %u gid %u)", token.uid,
              token.gid, token.groups.size(), m_savedUid, m_savedGid);
}

CImpersonator::~CImpersonator() {
    if (RestoreOrLog(m_savedUid, m_savedGid, m_savedGroups, m_changed) && m_trace)
        OXLOG(10, 0, "restored uid %u gid %u with %zu groups", m_savedUid, m_savedGid,
              m_savedGroups.size());
}
