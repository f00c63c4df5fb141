#include "sim/frame_codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace nvx::sim {
namespace {

using ::testing::ElementsAreArray;

struct WorkedFrame {
    const char* name;
    uint16_t id;
    std::vector<uint8_t> data;
    std::vector<uint8_t> wire;
};

void PrintTo(const WorkedFrame& c, std::ostream* os) { *os << c.name; }

const WorkedFrame kWorkedFrames[] = {
    {"IdOnly", 0x0123, {}, {0x54, 0x04, 0x8C, 0x1B}},
    {"TwoDataBytes", 0x0123, {0x01, 0x02}, {0x55, 0x04, 0x8C, 0x01, 0x02, 0x17}},
    {"FourDataBytes", 0x0301, {0x10, 0x20, 0xF0, 0x80},
     {0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5}},
    {"KernelReset", 0x0080, {0xFF, 0x00}, {0x55, 0x02, 0x02, 0xFF, 0x00, 0xA6}},
    {"KernelReplyWord1234", 0x0080, {0x34, 0x12}, {0x55, 0x02, 0x02, 0x34, 0x12, 0x60}},
    {"StartTextRead", 0x0411, {0x05, 0x00}, {0x55, 0x10, 0x45, 0x05, 0x00, 0x50}},
};

class WorkedFrameTest : public ::testing::TestWithParam<WorkedFrame> {};

TEST_P(WorkedFrameTest, EncodesToTheWireBytes) {
    const WorkedFrame& w = GetParam();
    Frame f;
    f.id = w.id;
    f.length = static_cast<uint8_t>(w.data.size());
    for (size_t i = 0; i < w.data.size(); ++i) f.data[i] = w.data[i];
    EXPECT_THAT(EncodeFrame(f), ElementsAreArray(w.wire));
}

TEST_P(WorkedFrameTest, DecodesFromTheWireBytes) {
    const WorkedFrame& w = GetParam();
    FrameDecoder d;
    for (size_t i = 0; i + 1 < w.wire.size(); ++i)
        EXPECT_EQ(d.feed(w.wire[i]).event, FrameDecoder::Event::None) << "byte " << i;
    const FrameDecoder::Result r = d.feed(w.wire.back());
    ASSERT_EQ(r.event, FrameDecoder::Event::Frame);
    EXPECT_EQ(r.frame.id, w.id);
    ASSERT_EQ(r.frame.length, w.data.size());
    for (size_t i = 0; i < w.data.size(); ++i) EXPECT_EQ(r.frame.data[i], w.data[i]);
    EXPECT_THAT(r.raw, ElementsAreArray(w.wire));
    EXPECT_FALSE(d.inFrame());
}

INSTANTIATE_TEST_SUITE_P(Examples, WorkedFrameTest, ::testing::ValuesIn(kWorkedFrames),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(CheckByte, RunningSumOfTheFourByteExampleEndsAtF5) {
    const uint8_t bytes[] = {0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80};
    // Running sum 56 62 68 78 98 89 0A: the carries wrap around.
    EXPECT_EQ(EndAroundSum(bytes, sizeof bytes), 0x0A);
    EXPECT_EQ(CheckByte(bytes, sizeof bytes), 0xF5);
}

TEST(IdentifierWord, RoundTripsEveryIdentifierAndCatchesEverySingleBitError) {
    for (uint32_t id = 0; id < 0x4000; ++id) {
        const uint16_t word = EncodeIdentifierWord(static_cast<uint16_t>(id));
        ASSERT_EQ(DecodeIdentifierWord(word), static_cast<int32_t>(id));
        for (int bit = 0; bit < 16; ++bit) {
            const uint16_t bad = static_cast<uint16_t>(word ^ (1u << bit));
            ASSERT_EQ(DecodeIdentifierWord(bad), -1) << "id " << id << " bit " << bit;
        }
    }
}

TEST(IdentifierWord, DropsBitsAboveThirteen) {
    EXPECT_EQ(EncodeIdentifierWord(0x4123), EncodeIdentifierWord(0x0123));
    EXPECT_EQ(EncodeIdentifierWord(0x0080), 0x0202);
}

TEST(FrameDecoder, ReportsABadCheckByteAndThenTakesTheNextFrame) {
    FrameDecoder d;
    const uint8_t bad[] = {0x54, 0x04, 0x8C, 0x1C};
    FrameDecoder::Result r;
    for (uint8_t b : bad) r = d.feed(b);
    EXPECT_EQ(r.event, FrameDecoder::Event::BadCheckByte);
    EXPECT_THAT(r.raw, ElementsAreArray(bad));
    const uint8_t good[] = {0x54, 0x04, 0x8C, 0x1B};
    for (uint8_t b : good) r = d.feed(b);
    EXPECT_EQ(r.event, FrameDecoder::Event::Frame);
    EXPECT_EQ(r.frame.id, 0x0123);
}

TEST(FrameDecoder, ReportsBadParityWhenTheCheckByteIsRight) {
    // Identifier word 0x048D: the even parity bit flipped, check byte fitted to it.
    std::vector<uint8_t> frame = {0x54, 0x04, 0x8D};
    frame.push_back(CheckByte(frame.data(), frame.size()));
    FrameDecoder d;
    FrameDecoder::Result r;
    for (uint8_t b : frame) r = d.feed(b);
    EXPECT_EQ(r.event, FrameDecoder::Event::BadParity);
}

TEST(FrameDecoder, SkipsBytesBetweenFramesButNotInsideThem) {
    FrameDecoder d;
    // 0x41 and 0x00 start no frame; inside the frame 0x00 and 0x54 are plain data.
    const uint8_t line[] = {0x41, 0x00, 0x55, 0x02, 0x02, 0x54, 0x00, 0x52};
    std::vector<FrameDecoder::Event> events;
    FrameDecoder::Result last;
    for (uint8_t b : line) {
        last = d.feed(b);
        if (last.event != FrameDecoder::Event::None) events.push_back(last.event);
    }
    EXPECT_EQ(d.skippedBytes(), 2u);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(last.event, FrameDecoder::Event::Frame);
    EXPECT_EQ(last.frame.id, 0x0080);
    EXPECT_EQ(last.frame.data[0], 0x54);
}

TEST(FrameDecoder, ResetForgetsAHalfFrame) {
    FrameDecoder d;
    d.feed(0x56);
    d.feed(0x0C);
    EXPECT_TRUE(d.inFrame());
    d.reset();
    EXPECT_FALSE(d.inFrame());
    const uint8_t good[] = {0x54, 0x04, 0x8C, 0x1B};
    FrameDecoder::Result r;
    for (uint8_t b : good) r = d.feed(b);
    EXPECT_EQ(r.event, FrameDecoder::Event::Frame);
}

TEST(EncodeFrame, OddLengthsTravelAsTheNextEvenLength) {
    Frame f;
    f.id = 0x0080;
    f.length = 3;
    f.data = {1, 2, 3, 4};
    const std::vector<uint8_t> wire = EncodeFrame(f);
    ASSERT_EQ(wire.size(), 8u);
    EXPECT_EQ(wire[0], kKindV);
    f.length = 1;
    EXPECT_EQ(EncodeFrame(f).size(), 6u);
}

TEST(HexBytes, WritesUpperCasePairs) {
    const uint8_t b[] = {0x55, 0x0a, 0xff};
    EXPECT_EQ(HexBytes(b, 3), "55 0A FF");
    EXPECT_EQ(HexBytes(b, 0), "");
}

}  // namespace
}  // namespace nvx::sim
