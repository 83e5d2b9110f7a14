// What a caller may do with a file, judged as the kernel would judge it
// locally: by the mode bits, and by the POSIX ACL entries when the file
// has any (named users and groups, limited by the mask).
//
// A kept descriptor serves every caller, so the kernel's own check at open
// time counts for its opener only; each call is judged here instead. The
// rules of a file are read from a descriptor of it once per change time
// (ACL changes move ctime) and kept in a bounded cache keyed by unique file
// id; a file without extended entries keeps only that fact, so its check
// stays a look-up and the mode bits. A change time close to now is not
// trusted to tell two changes apart (coarse clock ticks) and is not kept.
// Thread-safe: the cache locks itself; nothing else is shared.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>

#include "platform/CImpersonator.h"
#include "platform/ClockCache.h"

class Nfs3Permissions {
  public:
    explicit Nfs3Permissions(size_t capacity);

    // The permissions (4 read, 2 write, 1 execute) who holds on the file
    // open as fd, with unique id and attributes st (taken before fd's rules
    // are read); uid 0 holds every one.
    unsigned Held(int fd, unsigned long id, const struct stat& st, const OxUserToken& who);
    // The ACCESS3 bits of wanted that who may use; readOnly: the export
    // admits no change.
    uint32_t Allowed(int fd, unsigned long id, const struct stat& st, const OxUserToken& who,
                     uint32_t wanted, bool readOnly);

    struct Rules;
    struct Known {
        struct timespec ctime;
        std::shared_ptr<const Rules> rules;  // null: the mode bits say it all
    };

  private:
    struct IdHash {
        size_t operator()(unsigned long id) const { return id; }
    };
    std::shared_ptr<const Rules> RulesOf(int fd, unsigned long id, const struct stat& st);
    ClockCache<unsigned long, Known, IdHash> m_known;
};
