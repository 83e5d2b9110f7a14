#include "server/rpc/RecordReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Fragment(const std::string& body, bool last) {
    uint32_t word = static_cast<uint32_t>(body.size()) | (last ? 0x80000000u : 0);
    std::vector<uint8_t> bytes(4 + body.size());
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(word >> (24 - 8 * i));
    std::copy(body.begin(), body.end(), bytes.begin() + 4);
    return bytes;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

template <typename Bytes>
std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Feeds the bytes in pieces of the given size and collects every record.
std::vector<std::string> FeedInPieces(RecordReader& reader, const std::vector<uint8_t>& bytes,
                                      size_t piece) {
    std::vector<std::string> records;
    RecordReader::Bytes record;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        size_t length = std::min(piece, bytes.size() - at);
        EXPECT_TRUE(reader.Feed(bytes.data() + at, length));
        while (reader.Pop(record))
            records.push_back(Text(record));
    }
    return records;
}

TEST(RpcRecordReader, RecordArrivesWhateverTheSplitAndNotBeforeItIsWhole) {
    std::vector<uint8_t> bytes = Fragment("hello, record", true);
    // Piece sizes 1..3 split the header; larger ones split only the body.
    for (size_t piece = 1; piece <= bytes.size(); ++piece) {
        RecordReader reader(1024);
        EXPECT_EQ(FeedInPieces(reader, bytes, piece), std::vector<std::string>{"hello, record"})
            << "piece size " << piece;
    }
    RecordReader reader(1024);
    bytes.pop_back();
    EXPECT_TRUE(FeedInPieces(reader, bytes, bytes.size()).empty());
}

TEST(RpcRecordReader, RecordsAndFragmentsComeOutWholeAndInOrder) {
    const struct {
        std::vector<uint8_t> bytes;
        size_t piece;
        std::vector<std::string> records;
    } cases[] = {
        {Join({Fragment("one", true), Fragment("two", true), Fragment("three", true)}),
         64,
         {"one", "two", "three"}},
        {Join({Fragment("ab", false), Fragment("", false), Fragment("cd", false),
               Fragment("e", true), Fragment("next", true)}),
         3,
         {"abcde", "next"}},
        {Join({Fragment("xy", false), Fragment("", true), Fragment("", true)}), 64, {"xy", ""}},
    };
    for (const auto& c : cases) {
        RecordReader reader(1024);
        EXPECT_EQ(FeedInPieces(reader, c.bytes, c.piece), c.records);
        RecordReader::Bytes record;
        EXPECT_FALSE(reader.Pop(record));
    }
}

TEST(RpcRecordReader, RecordAtTheBoundPassesOneByteMoreFails) {
    RecordReader exact(8);
    EXPECT_EQ(FeedInPieces(exact, Fragment("12345678", true), 64),
              std::vector<std::string>{"12345678"});

    // The bound counts the whole record, not each fragment; records before
    // the oversized one stay available.
    RecordReader over(8);
    auto bytes = Join({Fragment("fine", true), Fragment("12345", false), Fragment("6789", true)});
    EXPECT_FALSE(over.Feed(bytes.data(), bytes.size()));
    EXPECT_TRUE(over.Failed());
    RecordReader::Bytes record;
    ASSERT_TRUE(over.Pop(record));
    EXPECT_EQ(Text(record), "fine");
    EXPECT_FALSE(over.Pop(record));
    // A failed reader stays failed: the stream cannot be resynchronised.
    auto more = Fragment("ok", true);
    EXPECT_FALSE(over.Feed(more.data(), more.size()));

    // An oversized header fails before the body arrives.
    RecordReader early(1024);
    auto header = Fragment(std::string(2048, 'x'), true);
    EXPECT_FALSE(early.Feed(header.data(), 4));
}

// A peer that announces a large record and sends little costs little,
// whether its bytes are fed or written straight into the reader's window.
TEST(RpcRecordReader, ARecordsBufferGrowsOnlyAsItsBytesArrive) {
    const size_t size = 3 * 1024 * 1024 + 5;
    const std::vector<uint8_t> bytes = Fragment(std::string(size, 'r'), true);
    for (const bool windowed : {false, true}) {
        SCOPED_TRACE(windowed ? "windowed" : "fed");
        RecordReader reader(4 * 1024 * 1024);
        EXPECT_TRUE(reader.Feed(bytes.data(), 4));
        EXPECT_TRUE(reader.Partial());
        EXPECT_EQ(reader.Reserved(), 0u);
        size_t room = 0;
        EXPECT_EQ(reader.Window(room), nullptr) << "no window on an empty record";
        size_t fed = 4;
        for (size_t piece = 1000; fed < bytes.size(); piece = 64 * 1024) {
            size_t length = std::min(piece, bytes.size() - fed);
            uint8_t* window = windowed && fed > 4 ? reader.Window(room) : nullptr;
            if (window) {
                ASSERT_EQ(room, reader.Reserved() - (fed - 4));
                length = std::min(length, room);
                std::copy(bytes.begin() + fed, bytes.begin() + fed + length, window);
                reader.Took(length);
            } else {
                ASSERT_TRUE(reader.Feed(bytes.data() + fed, length));
            }
            fed += length;
            if (fed < bytes.size()) {
                ASSERT_LE(reader.Reserved(), std::min(16 * (fed - 4), size)) << fed;
            }
        }
        RecordReader::Bytes record;
        ASSERT_TRUE(reader.Pop(record));
        EXPECT_EQ(Text(record), std::string(size, 'r'));
        EXPECT_EQ(record.capacity(), size) << "never more than the record announced";
        EXPECT_FALSE(reader.Partial());
        EXPECT_EQ(reader.Completed(), 1u);
    }
}

}  // namespace
