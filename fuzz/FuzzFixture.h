// The world the module-backed fuzz targets run in: the real module object
// (SinkFSM::GetFSM, linked in as the in-process server tests do), a private
// state directory, and one export (read-write, root squashed, every client)
// of a fresh directory holding a file "f", a directory "d" with a file "g"
// in it and a symbolic link "l" to "f". Beside the export lies a folder
// anyone may write, with a canary file, that no input may reach.
//
// An input may change anything a client or a manager can, and a manager
// speaking as this machine may export any directory of it and have
// application-dump directories ("/OX_APP_DUMPS") made anywhere. So the
// module works on exports as nobody (the export user), not as root, and the
// targets make no request that would have such directories made outside
// the fixture (Confined).
// Before each input Prepare puts back what later inputs rely on: exports
// other than ours are removed (so no input ever acts through an export an
// earlier one made, which could name any directory), ours is remade when an
// input removed it or changed whom it admits, its entries are remade when an
// input removed or replaced them, and every kFreshEvery inputs everything is
// made afresh (bounds the directory and the lock tables). After each input
// Finish removes the exports it made and aborts when the canary, its folder
// or the directory holding them all changed (dump directories made on
// request in the canary's folder are removed instead): something reached
// outside the export. Everything lives under one directory of $TMPDIR,
// removed at exit. Single-threaded: the fuzzer's thread only.
#pragma once

#include <sys/stat.h>

#include <string>

#include "host/Export.h"

class FuzzFixture {
  public:
    // This machine's client name, which may export any directory.
    static constexpr const char* kClient = "media01";
    static constexpr unsigned kFreshEvery = 1000;

    // Made on first call.
    static FuzzFixture& Get();

    // The export's path, as its share path and its real path.
    const std::string& ExportPath() const { return m_export; }
    // False for a path to export that would have dump directories made
    // anywhere but below the export or the canary's folder; such requests
    // are not made (they would litter this machine).
    bool Confined(const char* path) const;
    // True when the export or its entries were remade since the last call:
    // handles given out before may be stale.
    bool Prepare();
    void Finish();

  private:
    FuzzFixture();
    void MakeExport();
    void DropExport();
    void RemoveOtherExports();
    bool ExportIntact() const;
    bool EntriesIntact() const;
    void MakeEntries();
    void CheckOutside();
    void SeeOutside();

    std::string m_base;     // everything below: removed at exit
    std::string m_export;   // the exported directory
    std::string m_outside;  // beside the export, writable by anyone
    std::string m_canary;   // in m_outside
    ExportPtr m_exp;
    unsigned m_inputs = 0;
    ino_t m_entries[4] = {};  // f, d, d/g, l as made
    struct stat m_baseSeen {};
    struct stat m_outsideSeen {};
    struct stat m_canarySeen {};
};
