// Fuzzes the record reader of the RPC transport: arbitrary bytes, fed in
// pieces of varying sizes (some written straight into the reader's window),
// popping records between pieces, under a bound
// from the input; the records and the failure must be those of a plain
// reading of the same bytes at once (the model below), its counts must
// agree with what was popped, and it may reserve at most sixteen times the
// bytes fed.
//
// Input: 2 bytes of bound (big-endian; the bound is that plus one), 1 byte
// choosing the piece sizes (0: everything at once), then the stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "server/rpc/RecordReader.h"

namespace {

typedef RecordReader::Bytes Record;

// What a record under way may reserve per byte received (RecordReader.h).
constexpr size_t kMostReservedPerByte = 16;

// Record marking read in one pass: the whole records before the end or
// before the first fragment header that takes its record past the bound.
void Model(const uint8_t* data, size_t size, size_t bound, std::deque<Record>& records,
           bool& failed) {
    Record record;
    size_t at = 0;
    failed = false;
    while (size - at >= 4) {
        uint32_t header = (uint32_t(data[at]) << 24) | (uint32_t(data[at + 1]) << 16) |
                          (uint32_t(data[at + 2]) << 8) | uint32_t(data[at + 3]);
        size_t length = header & 0x7fffffffu;
        at += 4;
        if (record.size() + length > bound) {
            failed = true;
            return;
        }
        if (size - at < length)
            return;
        record.insert(record.end(), data + at, data + at + length);
        at += length;
        if (header & 0x80000000u) {
            records.push_back(record);
            record.clear();
        }
    }
}

[[noreturn]] void Mismatch(const char* what) {
    std::fprintf(stderr, "fuzz: the record reader differs from the model: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return -1;
    const size_t bound = ((size_t(data[0]) << 8) | data[1]) + 1;
    const unsigned largest = data[2];
    data += 3;
    size -= 3;

    std::deque<Record> expected;
    bool expectFailed = false;
    Model(data, size, bound, expected, expectFailed);

    RecordReader reader(bound);
    std::deque<Record> got;
    Record record;
    reader.Feed(data, 0);
    uint32_t walk = largest;
    for (size_t at = 0; at < size;) {
        // Piece sizes from 1 to largest, in a fixed walk.
        size_t piece = size - at;
        if (largest != 0) {
            walk = walk * 1103515245u + 12345u;
            piece = std::min<size_t>(piece, 1 + (walk >> 16) % largest);
        }
        size_t room = 0;
        uint8_t* window = (walk & 0x100) ? reader.Window(room) : nullptr;
        if (window) {
            piece = std::min(piece, room);
            std::copy(data + at, data + at + piece, window);
            reader.Took(piece);
        }
        bool ok = window ? !reader.Failed() : reader.Feed(data + at, piece);
        if (ok == reader.Failed())
            Mismatch("Feed and Failed disagree");
        at += piece;
        // Announced but unsent bytes cost little (RecordReader.h).
        if (reader.Reserved() > kMostReservedPerByte * at)
            Mismatch("more reserved than the bytes fed allow");
        while (reader.Ready() && reader.Pop(record))
            got.push_back(record);
        if (reader.Ready() || reader.Completed() != got.size())
            Mismatch("Ready or Completed disagree with Pop");
    }
    if (reader.Failed() != expectFailed)
        Mismatch(expectFailed ? "no failure" : "a failure");
    if (got != expected)
        Mismatch("other records");
    if (reader.Pop(record))
        Mismatch("a record after all were popped");
    return 0;
}
