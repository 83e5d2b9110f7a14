// The pull of this machine's configuration from the central management
// server (HQ).
//
// HQ publishes each machine's storage-to-client access list as a file named
// after the machine's client name, <client name>.json, in the directory that
// the registry value "dHQConfigDir" (section "Lume") names: a shared or
// synchronised folder. A pull reads this machine's file, checks that it is an
// access list, and atomically replaces the saved copy that
// OXPI_FileSystemAgent::getStorageAndAccessClientListForLume reads.
// Thread-safe: concurrent pulls each replace the saved copy whole.
#pragma once

#include <string>

class OXMMmountPath {
  public:
    // The kind of list to pull; 2, the data server's IP access list, is the
    // one this machine keeps, and any other kind fails the pull.
    explicit OXMMmountPath(int kind);

    // 0 when the list was fetched and saved; nonzero (an errno value) when
    // the kind is not kept here, no source is configured, the client name
    // cannot name a file, the file cannot be read, it is not an access list,
    // or it cannot be saved. Never throws.
    int pullAndSaveDataServerIPAccessList(const std::string& clientName);

  private:
    int m_kind;
};
