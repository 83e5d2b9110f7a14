// File identities: encoding name_to_handle_at's handle (or the inode
// number), and opening by handle.
#include "platform/FileIdentity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kDeviceBytes = sizeof(uint64_t);
constexpr size_t kKindAt = kDeviceBytes;
constexpr size_t kTypeAt = kKindAt + 1;
constexpr size_t kHeaderBytes = kTypeAt + sizeof(int32_t);
constexpr char kByHandle = 'h', kByInode = 'i';

union HandleBuffer {
    file_handle handle;
    char space[sizeof(file_handle) + MAX_HANDLE_SZ];
};

// Errors of name_to_handle_at meaning the file system gives no handles.
bool NoHandleSupport(int err) {
    return err == EOPNOTSUPP || err == EOVERFLOW || err == ENOSYS;
}

void Encode(dev_t device, char kind, int32_t type, const void* bytes, size_t size,
            std::string& identity) {
    const uint64_t wide = device;
    identity.resize(kHeaderBytes + size);
    std::memcpy(&identity[0], &wide, kDeviceBytes);
    identity[kKindAt] = kind;
    std::memcpy(&identity[kTypeAt], &type, sizeof type);
    std::memcpy(&identity[kHeaderBytes], bytes, size);
}

}  // namespace

int ReadFileIdentity(int dirFd, const char* path, int flags, const struct stat& st,
                     std::string& identity) {
    HandleBuffer buffer;
    buffer.handle.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(dirFd, path, &buffer.handle, &mountId, flags) == 0) {
        Encode(st.st_dev, kByHandle, buffer.handle.handle_type, buffer.handle.f_handle,
               buffer.handle.handle_bytes, identity);
        return 0;
    }
    if (!NoHandleSupport(errno))
        return -1;
    Encode(st.st_dev, kByInode, 0, &st.st_ino, sizeof st.st_ino, identity);
    return 0;
}

int ReadDescriptorIdentityText(int fd, std::string& text) {
    struct stat st {};
    std::string identity;
    if (::fstat(fd, &st) != 0 || ReadFileIdentity(fd, "", AT_EMPTY_PATH, st, identity) != 0)
        return -1;
    static const char kDigits[] = "0123456789abcdef";
    text.clear();
    for (unsigned char byte : identity) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xf];
    }
    return 0;
}

dev_t FileIdentityDevice(const std::string& identity) {
    uint64_t device = 0;
    if (identity.size() >= kHeaderBytes)
        std::memcpy(&device, identity.data(), kDeviceBytes);
    return static_cast<dev_t>(device);
}

int OpenFileIdentity(int mountFd, const std::string& identity, int flags) {
    const size_t size = identity.size() - std::min(identity.size(), kHeaderBytes);
    if (identity.size() < kHeaderBytes || identity[kKindAt] != kByHandle || size > MAX_HANDLE_SZ) {
        errno = EOPNOTSUPP;
        return -1;
    }
    HandleBuffer buffer;
    int32_t type = 0;
    std::memcpy(&type, &identity[kTypeAt], sizeof type);
    buffer.handle.handle_type = type;
    buffer.handle.handle_bytes = static_cast<unsigned>(size);
    std::memcpy(buffer.handle.f_handle, &identity[kHeaderBytes], size);
    return open_by_handle_at(mountFd, &buffer.handle, flags);
}
