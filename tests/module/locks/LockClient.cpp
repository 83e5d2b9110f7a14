#include "tests/module/locks/LockClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "host/FileLock.h"
#include "module/ConfigRPCRelease.h"
#include "module/SinkFSM.h"
#include "module/locks/SinkFSMLocks.h"
#include "platform/UniqueFileId.h"

namespace {

std::optional<std::string> Text(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// A mutable copy, as the host's decoder hands strings over; null stays null.
std::vector<char> HostString(const char* text) {
    return text ? std::vector<char>(text, text + strlen(text) + 1) : std::vector<char>();
}

char* Field(std::vector<char>& text) {
    return text.empty() ? nullptr : text.data();
}

SinkFSMFileDescriptorInfo* CacheEntry(const std::string& path) {
    unsigned long fileId = 0;
    SinkFSMFileDescriptorInfo* entry = nullptr;
    if (GetUniqueFileId(path, fileId) != 0 ||
        SinkFSM::GetFSM()->GetFileDescriptorCache()->GetFD(fileId, entry) != 0)
        return nullptr;
    return entry;
}

}  // namespace

LockReply SendLockRequest(int32_t operation, const char* exportPath, unsigned long long owner,
                          const char* filePath) {
    std::vector<char> exportText = HostString(exportPath);
    std::vector<char> fileText = HostString(filePath);
    LumeLockRequest request = {0, operation, Field(exportText), owner, Field(fileText)};

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

std::string Summary(const LockReply& reply) {
    return std::to_string(reply.status) + " owner " + std::to_string(reply.owner) + " " +
           (reply.message ? "\"" + *reply.message + "\"" : "-");
}

std::string KeyOf(const std::string& path) {
    unsigned long fileId = 0;
    return GetUniqueFileId(path, fileId) == 0 ? LockKey(fileId) : "";
}

std::string LockState(const std::string& path) {
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
    std::vector<unsigned long long> owners;
    for (const auto& owner : read->second->owners)
        owners.push_back(owner.first);
    std::sort(owners.begin(), owners.end());
    std::string state = "read";
    for (unsigned long long owner : owners)
        state += " " + std::to_string(owner);
    return state;
}

int CacheReferences(const std::string& path) {
    SinkFSMFileDescriptorInfo* entry = CacheEntry(path);
    return entry ? entry->refCount : 0;
}

int CachedFd(const std::string& path) {
    SinkFSMFileDescriptorInfo* entry = CacheEntry(path);
    return entry ? entry->fd : -1;
}

OtherOpener::OtherOpener(const std::string& path) : fd(open(path.c_str(), O_RDWR)) {
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
}

OtherOpener::~OtherOpener() {
    close(fd);
}

bool OtherOpener::CouldLock(bool shared) {
    if (GetLock(fd, shared) == -1)
        return false;
    ReleaseLock(fd, shared);
    return true;
}

void LockTest::TearDown() {
    ReleaseAllLocks(&exported.Sink());
}
