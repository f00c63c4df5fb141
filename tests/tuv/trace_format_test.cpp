// Trace entries as the views show them.

#include <gtest/gtest.h>

#include <cstdio>

#include "tuv/trace_format.h"

namespace nvx {
namespace {

struct FormatCase {
    const char* name;
    std::vector<int32_t> entries;
    int channel;
    bool hex;
    std::string text;
};

const FormatCase kFormatCases[] = {
    {"frame 7 in hex", {-7, 0x01, 0x02, 0x03, 65535}, 0, true, "\r\n0007-0[01 02 03 ]"},
    {"frame 7 as characters", {-7, 0x01, 0x02, 0x03, 65535}, 0, false, "\r\n0007-0[\x01\x02\x03]"},
    {"upper-case digits", {0xAB, 0x0F, 0xF0}, 0, true, "AB 0F F0 "},
    {"letters as characters", {-12, 'T', 'u', 'v', 65535}, 0, false, "\r\n0012-0[Tuv]"},
    {"a zero byte shows as a dot", {'a', 0x00, 'b'}, 0, false, "a.b"},
    {"a zero byte in hex", {0x00}, 0, true, "00 "},
    {"channel 1", {-1, 65535}, 1, true, "\r\n0001-1[]"},
    {"six-digit frame number", {-100000}, 0, true, "\r\n100000-0["},
    {"only the low byte counts", {0x1FF}, 0, true, "FF "},
};

TEST(TraceFormat, EntriesToText) {
    for (const FormatCase& c : kFormatCases) {
        std::string text;
        for (int32_t e : c.entries) AppendTraceEntry(text, e, c.channel, c.hex);
        EXPECT_EQ(text, c.text) << c.name;
    }
}

TEST(TraceFormat, DrainReadsUpToTheWriteIndexAcrossTheWrap) {
    TraceRing ring{};
    ring.readIndex = kTraceRingSize - 2;
    ring.writeIndex = 2;
    const int32_t values[] = {0x10, 0x11, 0x12, 0x13};
    ring.entries[kTraceRingSize - 2] = values[0];
    ring.entries[kTraceRingSize - 1] = values[1];
    ring.entries[0] = values[2];
    ring.entries[1] = values[3];
    std::string text = "old ";
    EXPECT_TRUE(DrainTraceRing(ring, 0, true, text));
    EXPECT_EQ(text, "old 10 11 12 13 ");
    EXPECT_EQ(ring.readIndex, 2);
    EXPECT_FALSE(DrainTraceRing(ring, 0, true, text));
    EXPECT_EQ(text, "old 10 11 12 13 ");
}

TEST(TraceFormat, KeepLastCutsFromTheFront) {
    struct Case {
        std::size_t length;
        std::size_t kept;
    };
    for (Case c : {Case{0, 0}, Case{4095, 4095}, Case{4096, 4095}, Case{10000, 4095}}) {
        std::string text;
        for (std::size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
        const std::string original = text;
        KeepLast(text);
        ASSERT_EQ(text.size(), c.kept);
        EXPECT_EQ(text, original.substr(original.size() - c.kept));
    }
}

}  // namespace
}  // namespace nvx
