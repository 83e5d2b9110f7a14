// Record marking of ONC RPC over a byte stream (RFC 5531 section 11).
//
// A record is one or more fragments; each fragment starts with a 4-byte
// big-endian header whose top bit marks the last fragment and whose low 31
// bits give the fragment's length. The reader is fed bytes as they arrive,
// in pieces of any size, and yields whole records in arrival order. A record
// whose fragments add up to more than the bound fails the reader for good:
// the stream cannot be resynchronised, so the caller closes the connection.
// Zero-length fragments are legal; a zero-length last fragment ends the
// record (which may then be empty).
// Memory: a record's buffer grows as its bytes arrive (sixteenfold, never
// past what its fragments announced), so a peer that announces a large
// record and sends little costs little: at most sixteen times the bytes
// received, of which only those are resident. Once a record holds some
// bytes, the rest of a large fragment may be read straight into its buffer
// (Window, Took), the buffer growing by the same rule and its new bytes left
// unwritten until they arrive.
// Not thread-safe: one connection's reader thread owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

// Allocates as std::allocator, but leaves bytes that a vector grows by
// unwritten: a read fills them, so zeroing them first would only cost a
// pass over memory (and make announced bytes resident before they came).
template <typename T>
struct UnwrittenAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        typedef UnwrittenAllocator<U> other;
    };
    UnwrittenAllocator() = default;
    template <typename U>
    UnwrittenAllocator(const UnwrittenAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

class RecordReader {
  public:
    typedef std::vector<uint8_t, UnwrittenAllocator<uint8_t>> Bytes;

    explicit RecordReader(size_t maxRecord) : m_maxRecord(maxRecord) {}

    // Consumes all of data. False once a record exceeds the bound (then and
    // on every later call); records completed before that stay available.
    bool Feed(const uint8_t* data, size_t length);
    // Moves the oldest whole record into out; false when there is none.
    bool Pop(Bytes& out);
    // The place for the current fragment's next bytes, to read into
    // directly: length of them (at most the fragment's rest), or null when
    // no body is under way or the record is still empty. Took(n) must
    // follow before any other call: n of them were written (0: none).
    uint8_t* Window(size_t& length);
    void Took(size_t length);
    // How long the next Window would be (0: none).
    size_t Awaited() const;
    bool Failed() const { return m_failed; }
    // True while a whole record waits to be popped.
    bool Ready() const { return !m_ready.empty(); }
    // True while a record is under way: some of its bytes came, not all.
    bool Partial() const { return m_headerHave > 0 || m_inBody || !m_record.empty(); }
    // Records completed so far (popped or not).
    uint64_t Completed() const { return m_completed; }
    // Bytes allocated for the record under way.
    size_t Reserved() const { return m_record.capacity(); }

  private:
    // Takes header bytes; returns how many of data it used.
    size_t TakeHeader(const uint8_t* data, size_t length);
    size_t TakeBody(const uint8_t* data, size_t length);
    void EndFragment();

    const size_t m_maxRecord;
    bool m_failed = false;
    uint8_t m_header[4] = {};
    unsigned m_headerHave = 0;  // header bytes of the current fragment seen
    bool m_inBody = false;      // the current fragment's header is complete
    bool m_lastFragment = false;
    uint32_t m_fragmentLeft = 0;
    uint64_t m_completed = 0;
    size_t m_windowAt = 0;      // where the open window starts
    Bytes m_record;             // the record being assembled
    std::deque<Bytes> m_ready;  // whole records, oldest first
};
