#include <cstdlib>
#include <cstring>

#include "fixture.h"
#include "utils.h"

namespace {

using Utils = ServiceTest;

TEST_F(Utils, ReverseTurnsTheFirstCountBytesAround) {
    struct Case {
        std::vector<BYTE> bytes;
        int32_t count;
        std::vector<BYTE> expected;
    };
    const Case cases[] = {
        {{'A', 'B', 'C', 'D', 'E'}, 5, {'E', 'D', 'C', 'B', 'A'}},
        {{1, 2, 3, 4}, 4, {4, 3, 2, 1}},
        {{1, 2, 3, 4}, 2, {2, 1, 3, 4}},
        {{1, 2, 3, 4}, 1, {1, 2, 3, 4}},
        {{1, 2, 3, 4}, 0, {1, 2, 3, 4}},
        {{1, 2, 3, 4}, -1, {1, 2, 3, 4}},
        {{1, 2, 3, 4}, -4, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bytes = c.bytes;
        reverse(bytes.data(), c.count);
        EXPECT_EQ(c.expected, bytes) << "count " << c.count;
    }
}

TEST_F(Utils, LengthCountsUnitsBeforeTheFirstZero) {
    const WCHAR empty[] = {0, 'A', 0};
    const WCHAR wide[] = {0x0100, 0xFFFF, 'x', 0};
    EXPECT_EQ(0u, utf16string_length(empty));
    EXPECT_EQ(3u, utf16string_length(wide));
}

TEST_F(Utils, ConvertKeepsTheLowByteOfEachUnit) {
    struct Case {
        std::u16string text;
        std::vector<BYTE> expected;  // with the terminating 0
    };
    const Case cases[] = {
        {u"", {0}},
        {u"ab12", {'a', 'b', '1', '2', 0}},
        {u"\u00E9", {0xE9, 0}},
        {u"\u4E2D", {0x2D, 0}},
        {u"A\u0100B", {0x41, 0x00, 0x42, 0x00}},  // a unit ending in 00 narrows to an early end
    };
    for (const Case& c : cases) {
        char* narrow = utf16string_convert(c.text.c_str());
        ASSERT_NE(nullptr, narrow);
        EXPECT_EQ(0, memcmp(c.expected.data(), narrow, c.expected.size()))
            << testing::PrintToString(c.expected);
        free(narrow);
    }
}

TEST_F(Utils, ConvertGivesNullWithoutMemory) {
    fake::failAllocation(1);
    EXPECT_EQ(nullptr, utf16string_convert(u"abc"));
    EXPECT_TRUE(fake::injected());
}

}  // namespace
