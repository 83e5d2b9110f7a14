// The state directory: where the registry, the saved storage access list,
// the log and the store of this machine live. Set once at start (lumed
// --state-dir, a test fixture); until then it is $LUME_STATE_DIR, else
// /var/lib/lume.
//
// It is the administrator's alone, as sshd's StrictModes has it for a
// user's keys: nobody but root and this process's user may change it or any
// directory above it, else whoever may could put links or files of their
// choosing where this process reads and writes. Above it, a directory owned
// by root with the sticky bit (such as /tmp) is accepted too: nobody can
// remove or rename the entries in it that they do not own. Files in it are
// opened without following a link and created 0600.
#pragma once

#include <string>

void SetPlatformStateDir(const std::string& dir);
std::string GetPlatformStateDir();

// Makes dir when missing (with any missing parent, mode 0755) and proves it
// the administrator's: each directory from / down is opened without
// following a link and checked. True with proved set to dir's real path,
// to be used from then on (a link on the way cannot be swapped later);
// false with why naming the directory at fault and what is wrong with it.
bool ProveStateDir(const std::string& dir, std::string& proved, std::string& why);

// A directory inside the state directory (the store, Ganesha's blocks): true
// when path is a directory, not a link, that only root or this process's
// user may change; false with why.
bool ProveStateSubdir(const std::string& path, std::string& why);
