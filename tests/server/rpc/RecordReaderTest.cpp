#include "server/rpc/RecordReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/server/rpc/RpcTestSupport.h"

namespace {

using rpctest::Fragment;
using rpctest::Stream;

// Records come out whole, in order, and not before they are whole, however
// the bytes are split (the smallest pieces split the headers); the bound
// counts a whole record, not each fragment, and fails the reader for good
// (the stream cannot be resynchronised), records before it still coming out.
TEST(RpcRecordReader, RecordsComeOutWholeAndInOrderWithinTheBoundHoweverSplit) {
    const struct {
        size_t bound;
        std::vector<Fragment> fragments;
        std::vector<std::string> records;
        bool fails;
    } cases[] = {
        {1024, {{"hello, recor", true, 13}}, {}, false},
        {1024, {{"one", true}, {"two", true}, {"three", true}}, {"one", "two", "three"}, false},
        {1024,
         {{"ab", false}, {"", false}, {"cd", false}, {"e", true}, {"next", true}},
         {"abcde", "next"},
         false},
        {1024, {{"xy", false}, {"", true}, {"", true}}, {"xy", ""}, false},
        {8, {{"12345678", true}}, {"12345678"}, false},
        {8, {{"fine", true}, {"12345", false}, {"6789", true}}, {"fine"}, true},
        {1024, {{"", true, 2048}}, {}, true},  // fails on the header alone
    };
    const std::vector<uint8_t> more = Stream({{"ok", true}});
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = Stream(c.fragments);
        for (size_t piece = 1; piece <= bytes.size(); ++piece) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + ", pieces of " +
                         std::to_string(piece));
            RecordReader reader(c.bound);
            std::vector<std::string> records;
            RecordReader::Bytes record;
            for (size_t at = 0; at < bytes.size() && !reader.Failed(); at += piece) {
                reader.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
                while (reader.Pop(record))
                    records.emplace_back(record.begin(), record.end());
            }
            EXPECT_EQ(records, c.records);
            EXPECT_EQ(reader.Failed(), c.fails);
            EXPECT_EQ(reader.Feed(more.data(), more.size()), !c.fails);
        }
    }
}

// A peer that announces a large record and sends little costs little,
// whether its bytes are fed or written straight into the reader's window.
TEST(RpcRecordReader, ARecordsBufferGrowsOnlyAsItsBytesArrive) {
    const size_t size = 3 * 1024 * 1024 + 5;
    const std::vector<uint8_t> bytes = Stream({{std::string(size, 'r'), true}});
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
            ASSERT_LE(reader.Reserved(), std::min(16 * (fed - 4), size)) << fed;
        }
        RecordReader::Bytes record;
        ASSERT_TRUE(reader.Pop(record));
        EXPECT_EQ(std::string(record.begin(), record.end()), std::string(size, 'r'));
        EXPECT_EQ(record.capacity(), size) << "never more than the record announced";
        EXPECT_FALSE(reader.Partial());
        EXPECT_EQ(reader.Completed(), 1u);
    }
}

}  // namespace
