#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/memory.h"

namespace {

// Static, like the sample buffers: whole pages inside it are private to the process.
alignas(4096) unsigned char region[64 * 4096];

// Every byte of [start, start + n) is `value`.
bool All(const unsigned char* start, std::size_t n, unsigned char value) {
    return std::all_of(start, start + n, [value](unsigned char b) { return b == value; });
}

TEST(ZeroPages, ClearsExactlyTheRangeWhateverItsEdges) {
    struct Case {
        std::size_t offset, bytes;
    };
    // Page-aligned, ragged at either end or both, inside one page, and empty.
    const Case cases[] = {{0, 16 * 4096},        {100, 16 * 4096}, {0, 16 * 4096 + 7},
                          {4095, 20 * 4096 + 3}, {10, 300},        {4096, 0}};
    for (const Case& c : cases) {
        std::memset(region, 0xA5, sizeof region);
        wave::platform::ZeroPages(region + c.offset, c.bytes);
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", " << c.bytes << " bytes");
        EXPECT_TRUE(All(region, c.offset, 0xA5)) << "bytes before the range changed";
        EXPECT_TRUE(All(region + c.offset, c.bytes, 0)) << "the range is not zero";
        const std::size_t end = c.offset + c.bytes;
        EXPECT_TRUE(All(region + end, sizeof region - end, 0xA5))
            << "bytes after the range changed";
    }
}

}  // namespace
