// The lock tests' view of the lock service: requests sent the way the host
// sends them, replies copied out of their records, and what the tables, the
// descriptor cache and the operating system hold for a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/FileLock.h"
#include "host/LumeLockRecords.h"
#include "module/ConfigRPCRelease.h"
#include "module/SinkFSM.h"
#include "module/locks/SinkFSMLocks.h"
#include "platform/UniqueFileId.h"
#include "tests/module/exports/ExportedDir.h"

// The owner a reply names when someone outside the service holds the file.
constexpr unsigned long long kOutsideHolder = ~0ULL;

// A response, copied; its record has been freed. An absent text is nullopt.
struct LockReply {
    bool handled = false;  // HandleLockRequest's result
    int error = 0;         // errno as the request left it
    int type = 0;
    size_t length = 0;
    LumeStatus status = 0;
    unsigned long long owner = 0;
    std::optional<std::string> exportPath;
    std::optional<std::string> filePath;
    std::optional<std::string> message;
};

inline std::optional<std::string> Text(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// Null paths are sent as null; others as the mutable copies the host's
// decoder hands over.
inline LockReply SendLockRequest(int32_t operation, const char* exportPath,
                                 unsigned long long owner, const char* filePath) {
    std::string exportText = exportPath ? exportPath : "", fileText = filePath ? filePath : "";
    LumeLockRequest request = {0, operation, exportPath ? &exportText[0] : nullptr, owner,
                               filePath ? &fileText[0] : nullptr};

    LockReply reply;
    char* record = nullptr;
    errno = 0;
    reply.handled =
        SinkFSM::GetFSM()->HandleLockRequest(&request, record, reply.length, reply.type);
    reply.error = errno;
    auto* response = reinterpret_cast<LumeLockResp*>(record);
    if (!response)
        throw std::logic_error("no response record");
    reply.status = response->status;
    reply.owner = response->lockOwner;
    reply.exportPath = Text(response->exportPath);
    reply.filePath = Text(response->filePath);
    reply.message = Text(response->message);
    FreeFileLockResp(response);
    return reply;
}

// An error as the service's messages give it: "<errno>:<text>".
inline std::string Error(int err) {
    return std::to_string(err) + ":" + strerror(err);
}

// "<status> owner <owner> <message>", the message quoted or "-" when absent.
inline std::string Summary(const LockReply& reply) {
    return std::to_string(reply.status) + " owner " + std::to_string(reply.owner) + " " +
           (reply.message ? "\"" + *reply.message + "\"" : "-");
}

// The lock tables' key of the file at path now ("" when it has no id).
inline std::string KeyOf(const std::string& path) {
    unsigned long fileId = 0;
    return GetUniqueFileId(path, fileId) == 0 ? LockKey(fileId) : "";
}

// "unlocked", "write <owner>", "read <owners ascending>", or "both" when the
// file's key is in both tables.
inline std::string LockState(const std::string& path) {
    const std::string key = KeyOf(path);
    SinkFSM* fsm = SinkFSM::GetFSM();
    auto written = fsm->GetFileLockMap().find(key);
    auto read = fsm->GetFileReadLockMap().find(key);
    bool isWritten = written != fsm->GetFileLockMap().end();
    bool isRead = read != fsm->GetFileReadLockMap().end();
    if (isWritten && isRead)
        return "both";
    if (isWritten)
        return "write " + std::to_string(written->second->lockOwner);
    if (!isRead)
        return "unlocked";
    std::set<unsigned long long> owners;  // ascending
    for (const auto& owner : read->second->owners)
        owners.insert(owner.first);
    std::string state = "read";
    for (unsigned long long owner : owners)
        state += " " + std::to_string(owner);
    return state;
}

// The descriptor cache's entry of a file (null: none), and its references.
inline SinkFSMFileDescriptorInfo* CacheEntry(const std::string& path) {
    unsigned long fileId = 0;
    SinkFSMFileDescriptorInfo* entry = nullptr;
    if (GetUniqueFileId(path, fileId) != 0 ||
        SinkFSM::GetFSM()->GetFileDescriptorCache()->GetFD(fileId, entry) != 0)
        return nullptr;
    return entry;
}
inline int CacheReferences(const std::string& path) {
    SinkFSMFileDescriptorInfo* entry = CacheEntry(path);
    return entry ? entry->refCount : 0;
}

// A separate open file description of a file, as another process holds one.
class OtherOpener {
  public:
    explicit OtherOpener(const std::string& path) : fd(open(path.c_str(), O_RDWR)) {
        if (fd < 0)
            throw std::runtime_error("cannot open " + path);
    }
    ~OtherOpener() { close(fd); }
    OtherOpener(const OtherOpener&) = delete;
    OtherOpener& operator=(const OtherOpener&) = delete;

    // Whether a lock of this kind would be granted now; nothing is kept, so
    // only for an opener that holds no lock itself.
    bool CouldLock(bool shared) {
        if (GetLock(fd, shared) == -1)
            return false;
        ReleaseLock(fd, shared);
        return true;
    }

    int fd;
};

// LockState, followed by whatever disagrees with it: the cache's references
// (one per owner), or the system lock as another opener meets it (it could
// read-lock unless the file is write-locked, write-lock only if unlocked).
inline std::string Held(const std::string& path) {
    std::string state = LockState(path);
    const int owners = state == "unlocked" ? 0 : std::count(state.begin(), state.end(), ' ');
    if (CacheReferences(path) != owners)
        state += " references " + std::to_string(CacheReferences(path));
    OtherOpener other(path);
    if (other.CouldLock(true) != (state.compare(0, 5, "write") != 0) ||
        other.CouldLock(false) != (owners == 0))
        state += " system lock disagrees";
    return state;
}

// One exported directory holding the file "f", with requests on its share.
// Whatever locks a test leaves are released when it ends.
class LockTest : public ::testing::Test {
  protected:
    explicit LockTest(uint32_t shareId = 7001) : exported(shareId) {}
    void TearDown() override { ReleaseAllLocks(&exported.Sink()); }

    using Owner = unsigned long long;
    // A request on share "on", this fixture's by default.
    LockReply Send(int32_t op, Owner owner, const std::string& file, const char* on = nullptr) {
        return SendLockRequest(op, on ? on : share.c_str(), owner, file.c_str());
    }
    LockReply Write(Owner o, const std::string& f = "f") { return Send(LUME_LOCK_WRITE, o, f); }
    LockReply Read(Owner o, const std::string& f = "f") { return Send(LUME_LOCK_READ, o, f); }
    LockReply Unlock(Owner o, const std::string& f = "f") { return Send(LUME_LOCK_UNLOCK, o, f); }
    LockReply Status(const std::string& f = "f") { return Send(LUME_LOCK_STATUS, 0, f); }

    // The descriptors of the grants on "f"; the owner a reply names for it
    // while read-locked: the first met in its owners table.
    int WriterFd() { return SinkFSM::GetFSM()->GetFileLockMap().at(KeyOf(file))->fd; }
    auto& Readers() { return SinkFSM::GetFSM()->GetFileReadLockMap().at(KeyOf(file))->owners; }
    int ReaderFd(Owner owner) { return Readers().at(owner).fd; }
    Owner FirstReader() { return Readers().begin()->first; }

    ExportedDir exported;
    const std::string share = exported.exp->GetPath();
    const std::string file = exported.dir.WriteFile("f", "data");  // also its key
};
