// Whole-file advisory locks on an open descriptor.
//
// The locks are open-file-description locks (F_OFD_SETLK): they belong to the
// descriptor's open file description, not to the process, so two open()s of
// one file conflict with each other while all users of one descriptor share
// its lock. Locking again through the same descriptor converts the lock in
// place (shared <-> exclusive). A conflicting lock makes the call fail at
// once with EAGAIN; nothing waits.
#pragma once

// shared: a read lock; else a write lock. -1 with errno on failure.
int GetLock(int fd, bool shared);
// Removes the lock placed through fd, of whichever kind. -1 with errno on failure.
int ReleaseLock(int fd, bool shared);
