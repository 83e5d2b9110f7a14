// Permission checks by mode bits and POSIX ACL entries, the rules kept per file id and change time.
#include "server/nfs/Nfs3Permissions.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "server/nfs/Nfs3Attributes.h"

struct Nfs3Permissions::Rules {
    struct Named {
        bool user;  // else a group
        uint32_t id;
        unsigned perms;
    };
    unsigned owningGroup = 0;  // the owning group's entry; the mode's group bits are the mask
    std::vector<Named> named;
};

namespace {

typedef Nfs3Permissions::Rules Rules;

// A change within this much of now may share its ctime with a later one.
constexpr long kUntrustedNanos = 20 * 1000 * 1000;

bool InGroups(const OxUserToken& who, gid_t gid) {
    return who.gid == gid ||
           std::find(who.groups.begin(), who.groups.end(), gid) != who.groups.end();
}

bool Recent(const struct timespec& ctime) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const long long nanos = (static_cast<long long>(now.tv_sec) - ctime.tv_sec) * 1000000000LL +
                            (now.tv_nsec - ctime.tv_nsec);
    return nanos < kUntrustedNanos;
}

unsigned PermsOf(acl_entry_t entry) {
    acl_permset_t set;
    if (acl_get_permset(entry, &set) != 0)
        return 0;
    return (acl_get_perm(set, ACL_READ) == 1 ? 4u : 0u) |
           (acl_get_perm(set, ACL_WRITE) == 1 ? 2u : 0u) |
           (acl_get_perm(set, ACL_EXECUTE) == 1 ? 1u : 0u);
}

// The entries of acl beyond owner, other and mask.
std::shared_ptr<const Rules> RulesOfAcl(acl_t acl) {
    auto rules = std::make_shared<Rules>();
    acl_entry_t entry;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag;
        if (acl_get_tag_type(entry, &tag) != 0)
            continue;
        if (tag == ACL_GROUP_OBJ)
            rules->owningGroup = PermsOf(entry);
        if (tag != ACL_USER && tag != ACL_GROUP)
            continue;
        auto* id = static_cast<uint32_t*>(acl_get_qualifier(entry));
        if (!id)
            continue;
        rules->named.push_back(Rules::Named{tag == ACL_USER, *id, PermsOf(entry)});
        acl_free(id);
    }
    return rules;
}

// The file's extended entries; null when it has none. A file whose ACL
// cannot be read is judged by an ACL that grants the group class (owning
// group and named entries) nothing, the owner and others by the mode.
std::shared_ptr<const Rules> ReadRules(int fd) {
    if (acl_extended_fd(fd) != 1)
        return nullptr;
    acl_t acl = acl_get_fd(fd);
    if (!acl)
        return std::make_shared<Rules>();
    auto rules = RulesOfAcl(acl);
    acl_free(acl);
    return rules;
}

// The access check of POSIX ACLs: the owner's entry, else a named user's
// under the mask, else every matching group entry under the mask, else
// other's; owner and other entries are the mode's bits.
unsigned HeldByRules(const Rules& rules, const struct stat& st, const OxUserToken& who) {
    const unsigned mask = (st.st_mode >> 3) & 7;
    if (who.uid == st.st_uid)
        return (st.st_mode >> 6) & 7;
    for (const Rules::Named& named : rules.named)
        if (named.user && named.id == who.uid)
            return named.perms & mask;
    bool inGroupClass = false;
    unsigned held = 0;
    if (InGroups(who, st.st_gid)) {
        inGroupClass = true;
        held |= rules.owningGroup;
    }
    for (const Rules::Named& named : rules.named)
        if (!named.user && InGroups(who, named.id)) {
            inGroupClass = true;
            held |= named.perms;
        }
    return inGroupClass ? held & mask : st.st_mode & 7;
}

}  // namespace

Nfs3Permissions::Nfs3Permissions(size_t capacity) : m_known(capacity) {}

std::shared_ptr<const Rules> Nfs3Permissions::RulesOf(int fd, unsigned long id,
                                                      const struct stat& st) {
    Known known;
    if (m_known.Find(id, known) && known.ctime.tv_sec == st.st_ctim.tv_sec &&
        known.ctime.tv_nsec == st.st_ctim.tv_nsec)
        return known.rules;
    known.ctime = st.st_ctim;
    known.rules = ReadRules(fd);
    if (!Recent(st.st_ctim))
        m_known.Put(id, known);
    return known.rules;
}

unsigned Nfs3Permissions::Held(int fd, unsigned long id, const struct stat& st,
                               const OxUserToken& who) {
    if (who.uid == 0)
        return 7;
    std::shared_ptr<const Rules> rules = RulesOf(fd, id, st);
    return rules ? HeldByRules(*rules, st, who) : Nfs3HeldByMode(st, who);
}

uint32_t Nfs3Permissions::Allowed(int fd, unsigned long id, const struct stat& st,
                                  const OxUserToken& who, uint32_t wanted, bool readOnly) {
    return Nfs3AccessOfHeld(st, who, Held(fd, id, st, who), wanted, readOnly);
}
