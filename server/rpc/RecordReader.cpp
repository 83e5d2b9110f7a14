// Reassembly of ONC RPC records from the record-marked fragments of a byte stream.
#include "server/rpc/RecordReader.h"

#include <algorithm>

namespace {
constexpr uint32_t kLastFragment = 0x80000000u;
constexpr size_t kGrowth = 16;
}  // namespace

bool RecordReader::Feed(const uint8_t* data, size_t length) {
    // Each step consumes at least one byte or completes a fragment, so the
    // loop ends within length + 1 header-only iterations per fragment.
    while (!m_failed && (length > 0 || (m_inBody && m_fragmentLeft == 0))) {
        size_t used = m_inBody ? TakeBody(data, length) : TakeHeader(data, length);
        data += used;
        length -= used;
    }
    return !m_failed;
}

size_t RecordReader::TakeHeader(const uint8_t* data, size_t length) {
    size_t used = std::min<size_t>(length, sizeof(m_header) - m_headerHave);
    std::copy(data, data + used, m_header + m_headerHave);
    m_headerHave += used;
    if (m_headerHave < sizeof(m_header))
        return used;
    uint32_t word = (uint32_t(m_header[0]) << 24) | (uint32_t(m_header[1]) << 16) |
                    (uint32_t(m_header[2]) << 8) | uint32_t(m_header[3]);
    m_headerHave = 0;
    m_lastFragment = (word & kLastFragment) != 0;
    m_fragmentLeft = word & ~kLastFragment;
    if (m_record.size() + m_fragmentLeft > m_maxRecord) {
        m_failed = true;
        return used;
    }
    m_inBody = true;
    return used;
}

size_t RecordReader::TakeBody(const uint8_t* data, size_t length) {
    size_t used = std::min<size_t>(length, m_fragmentLeft);
    // Growing sixteenfold keeps copies and fresh pages few (a large call
    // grows once or twice); the fragment's end caps it, so little is
    // allocated for bytes that were announced but never sent, and of that
    // only what is written is resident.
    if (m_record.size() + used > m_record.capacity())
        m_record.reserve(std::min(std::max(m_record.size() + used, kGrowth * m_record.capacity()),
                                  m_record.size() + m_fragmentLeft));
    m_record.insert(m_record.end(), data, data + used);
    m_fragmentLeft -= static_cast<uint32_t>(used);
    if (m_fragmentLeft == 0)
        EndFragment();
    return used;
}

void RecordReader::EndFragment() {
    m_inBody = false;
    if (!m_lastFragment)
        return;
    m_ready.push_back(std::move(m_record));
    m_record = Bytes();
    ++m_completed;
}

size_t RecordReader::Awaited() const {
    const size_t size = m_record.size();
    if (!m_inBody || m_fragmentLeft == 0 || size == 0)
        return 0;
    // Grown as TakeBody would: sixteenfold, never past the fragment's end.
    const size_t capacity = m_record.capacity() > size
                                ? m_record.capacity()
                                : std::min(kGrowth * size, size + m_fragmentLeft);
    return std::min<size_t>(capacity - size, m_fragmentLeft);
}

uint8_t* RecordReader::Window(size_t& length) {
    length = Awaited();
    if (length == 0)
        return nullptr;
    m_windowAt = m_record.size();
    m_record.reserve(m_windowAt + length);
    m_record.resize(m_windowAt + length);  // unwritten: UnwrittenAllocator
    return m_record.data() + m_windowAt;
}

void RecordReader::Took(size_t length) {
    m_record.resize(m_windowAt + length);
    m_fragmentLeft -= static_cast<uint32_t>(length);
    if (length > 0 && m_fragmentLeft == 0)
        EndFragment();
}

bool RecordReader::Pop(Bytes& out) {
    if (m_ready.empty())
        return false;
    out = std::move(m_ready.front());
    m_ready.pop_front();
    return true;
}
