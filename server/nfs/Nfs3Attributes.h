// File attributes as NFS v3 carries them, and what a caller may do with a
// file given those attributes.
//
// Attributes are always the file's own, from lstat at the time of the call;
// nothing is cached. Pure functions over their arguments; thread-safe.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "platform/CImpersonator.h"
#include "server/protocol/nfs3.h"

// The whole fattr3 of st: fileid is st_ino, fsid st_dev, rdev split into
// major and minor, times to the nanosecond (a time NFS v3 cannot carry, before
// 1970 or past 2106, as the nearest it can).
void Nfs3FillAttributes(const struct stat& st, fattr3& out);
void Nfs3FillWccAttributes(const struct stat& st, wcc_attr& out);

// The ACCESS3 bits of wanted that who may use on a file with st, by its
// mode bits (uid 0 may do anything but execute a file no one may execute).
// readOnly: the export admits no change.
uint32_t Nfs3AllowedAccess(const struct stat& st, const OxUserToken& who, uint32_t wanted,
                           bool readOnly);

// The permissions (4 read, 2 write, 1 execute) who holds on st by its mode
// bits; uid 0 holds every one.
unsigned Nfs3HeldByMode(const struct stat& st, const OxUserToken& who);
// The ACCESS3 bits of wanted that held permissions give who on st.
uint32_t Nfs3AccessOfHeld(const struct stat& st, const OxUserToken& who, unsigned held,
                          uint32_t wanted, bool readOnly);
