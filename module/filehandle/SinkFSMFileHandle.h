// The module's NFS file handle: one file or directory under one export.
//
// Wire layout (nfs_fh3: a 32-bit length, then the handle bytes; integers
// unsigned, little-endian, the target's native order):
//
//   structure  handle   width  field
//   offset     byte
//   0          -        4      length: 20
//   4          0        4      module type: 2 (SinkFSM::kFSMType)
//   8          4        4      share id of the export
//   12         8        8      checksum: unique file id of the object
//   20         16       4      zero; never read
//
// The checksum is not 8-byte aligned in the structure, so it is copied as
// bytes. A handle is this module's exactly when its length is 20 and its
// type 2. It carries no path: the path behind a checksum is added to the
// export's path cache whenever a handle is written out (ToNfsFH) and found
// there when the handle comes back. The module alone resolves only handles
// this process wrote out; for one issued before a restart, lumed finds the
// object again by its unique id (server/handles/IssuedHandles) and has the
// module write the handle out anew, which fills the path cache again.
// Thread safety: a handle object is used by one thread at a time; shared
// state (export table, path cache) is reached only through their own locks.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/Export.h"
#include "host/LumeFileHandle.h"
#include "host/nfs_fh3.h"
#include "module/SinkFSM.h"

// The one reading and writing of the wire layout above.
namespace SinkFSMHandleWire {

constexpr uint32_t kLength = 20;
constexpr size_t kTypeAt = 0;
constexpr size_t kShareIdAt = 4;
constexpr size_t kChecksumAt = 8;
constexpr size_t kZeroAt = 16;
constexpr size_t kZeroWidth = 4;

// Length 20 and module type 2; nothing else is tested for form.
bool IsWellFormed(const nfs_fh3& fh);
uint32_t ShareId(const nfs_fh3& fh);
unsigned long Checksum(const nfs_fh3& fh);
void Write(nfs_fh3& fh, uint32_t shareId, unsigned long checksum);

}  // namespace SinkFSMHandleWire

class SinkFSMFileHandle : public LumeFileHandle {
  public:
    // Computes the checksum of path with GetUniqueFileId; IsInitSuccess tells
    // whether that worked. Does not touch the path cache.
    SinkFSMFileHandle(unsigned shareId, const std::string& path);
    // The same for the object open on fd (any descriptor, O_PATH too) at
    // path: the checksum comes from the descriptor, so it is the id of what
    // was opened whatever path names by now. A negative fd fails as a
    // failed lookup would, keeping errno. found, when given, receives the
    // descriptor's fstat. A new id records the object as entry name of the
    // directory open on dirFd, when given.
    SinkFSMFileHandle(unsigned shareId, const std::string& path, int fd,
                      struct stat* found = nullptr, int dirFd = -1, const std::string& name = "");
    // For the object at path whose unique id the caller found (a listed
    // entry): always a success. Does not touch the path cache.
    SinkFSMFileHandle(unsigned shareId, const std::string& path, unsigned long checksum);
    // Resolves a client's handle through exp's path cache. An export that is
    // not a SinkFSMExport, or none, counts as one without a path cache.
    SinkFSMFileHandle(ExportPtr& exp, const nfs_fh3& fh);
    SinkFSMFileHandle(const SinkFSMFileHandle& other);
    // Leaves this handle's init-success flag as it was.
    SinkFSMFileHandle& operator=(const SinkFSMFileHandle& other);
    ~SinkFSMFileHandle() override;

    // Writes the handle whatever the init flag says, then records checksum ->
    // path in the path cache of the export that the share id names.
    void ToNfsFH(nfs_fh3& fh) const override;
    // "ShareId:<id> FSMType: 2 cksum: <hex> Path: <path>"
    void ToStr(std::string& out) const override;
    using LumeFileHandle::operator==;
    // Equal checksums and equal share ids; paths are not compared.
    bool operator==(const SinkFSMFileHandle& other) const;

    // Well formed and its checksum is in the path cache of the export that
    // its share id names.
    static bool IsValid(const nfs_fh3& fh);
    // Drops checksum from the path cache of the export that shareId names:
    // the object behind it was removed through the module. Harmless when
    // the object lives on under another name: its next handle is resolved
    // as one the cache never knew.
    static void Forget(unsigned shareId, unsigned long checksum);

    bool IsInitSuccess() const { return m_initSuccess; }
    std::string& GetPath() { return m_path; }
    const std::string& GetPath() const { return m_path; }
    unsigned long GetChecksum() const { return m_checksum; }

  private:
    // Ends a construction from a path: the flag and the trace, or the
    // failure message.
    void Identified(bool found);

    bool m_initSuccess = false;
    std::string m_path;
    unsigned long m_checksum = ~0UL;
};
