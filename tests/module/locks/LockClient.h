// The lock tests' view of the lock service: requests sent the way the host
// sends them, replies copied out of their records, and what the tables, the
// descriptor cache and the operating system hold for a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "host/LumeLockRecords.h"
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

// Null paths are sent as null.
LockReply SendLockRequest(int32_t operation, const char* exportPath, unsigned long long owner,
                          const char* filePath);

// "<status> owner <owner> <message>", the message quoted or "-" when absent.
std::string Summary(const LockReply& reply);

// The lock tables' key of the file at path now ("" when it has no id).
std::string KeyOf(const std::string& path);

// "unlocked", "write <owner>", "read <owners ascending>", or "both" when the
// file's key is in both tables.
std::string LockState(const std::string& path);

// The descriptor cache's references to a file (0: no entry), and its
// descriptor (-1: none).
int CacheReferences(const std::string& path);
int CachedFd(const std::string& path);

// A separate open file description of a file, as another process holds one.
class OtherOpener {
  public:
    explicit OtherOpener(const std::string& path);
    ~OtherOpener();
    OtherOpener(const OtherOpener&) = delete;
    OtherOpener& operator=(const OtherOpener&) = delete;

    // Whether a lock of this kind would be granted now; nothing is kept, so
    // only for an opener that holds no lock itself.
    bool CouldLock(bool shared);

    int fd;
};

// One exported directory holding the file "f", with requests on its share.
// Whatever locks a test leaves are released when it ends.
class LockTest : public ::testing::Test {
  protected:
    explicit LockTest(uint32_t shareId = 7001) : exported(shareId) {}
    void TearDown() override;

    LockReply Write(unsigned long long owner, const std::string& file = "f") {
        return SendLockRequest(LUME_LOCK_WRITE, share.c_str(), owner, file.c_str());
    }
    LockReply Read(unsigned long long owner, const std::string& file = "f") {
        return SendLockRequest(LUME_LOCK_READ, share.c_str(), owner, file.c_str());
    }
    LockReply Unlock(unsigned long long owner, const std::string& file = "f") {
        return SendLockRequest(LUME_LOCK_UNLOCK, share.c_str(), owner, file.c_str());
    }
    LockReply Status(const std::string& file = "f") {
        return SendLockRequest(LUME_LOCK_STATUS, share.c_str(), 0, file.c_str());
    }

    ExportedDir exported;
    const std::string share = exported.exp->GetPath();
    const std::string file = exported.dir.WriteFile("f", "data");  // also its key
};
