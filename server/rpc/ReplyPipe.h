// The data at the end of a reply, held in a pipe instead of copied into the
// reply buffer: a file's pages are spliced into the pipe and from it to the
// socket, so READ's bytes go from the page cache to the socket untouched.
// Filling fixes how many bytes the reply carries: what the pipe holds is
// what goes out, whatever happens to the file meanwhile.
// One per dispatcher, used by one thread at a time (not thread-safe). It
// holds at most one reply's data; the pipe is made on first use.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class ReplyPipe {
  public:
    ReplyPipe() = default;
    ~ReplyPipe();
    ReplyPipe(const ReplyPipe&) = delete;
    ReplyPipe& operator=(const ReplyPipe&) = delete;

    // The zero bytes XDR puts after bytes of opaque data.
    static size_t Padding(size_t bytes) { return (4 - bytes % 4) % 4; }

    // Splices up to count bytes of fd from offset into the empty pipe: the
    // bytes it now holds, end set when the file ended before count. Fewer
    // without end when the pipe is full. -1 with errno, the pipe left empty,
    // when splicing failed: EINVAL when this file (or its file system)
    // cannot be spliced, EMSGSIZE when the pipe cannot grow to hold count
    // bytes (from offset's page on).
    ssize_t Fill(int fd, uint64_t offset, size_t count, bool& end);
    size_t Held() const { return m_held; }
    // Moves to socket what it takes now (socket non-blocking); more: bytes
    // follow these. How many moved, -1 with errno.
    ssize_t SendTo(int socket, bool more);
    // Reads all it holds into into (Held() bytes of room); false (errno)
    // when it cannot, the pipe then emptied by Clear.
    bool Drain(char* into);
    // Drops what it holds.
    void Clear();

  private:
    // The pipe, able to hold bytes bytes from an offset within a page.
    bool Open(size_t bytes);
    void Close();

    int m_out = -1;  // read end
    int m_in = -1;   // write end
    size_t m_capacity = 0;
    size_t m_held = 0;
};
