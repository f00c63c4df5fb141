// The frame decoder: rows for frames, noise and frames cut short, found as the link driver finds
// frames; its CSV and table texts; the bounded log of the TUV Communication window.

#include "tuv/frame_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/frame_codec.h"

namespace nvx::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    std::istringstream in(hex);
    std::string pair;
    while (in >> pair) bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

class RowRecorder : public FrameSink {
  public:
    void OnFrameRow(const FrameRow& row) override { rows.push_back(row); }
    std::vector<std::string> csvLines() const {
        std::vector<std::string> lines;
        for (const FrameRow& row : rows) {
            std::string line;
            AppendFrameCsvLine(line, row);
            lines.push_back(line.substr(0, line.size() - 2));  // without CR LF
        }
        return lines;
    }
    std::vector<FrameRow> rows;
};

std::vector<std::string> DecodeCapture(const Bytes& bytes,
                                       FrameDirection direction = FrameDirection::Tx) {
    FrameDecoder decoder(direction);
    RowRecorder recorder;
    decoder.Feed(bytes.data(), bytes.size(), recorder);
    decoder.Finish(recorder);
    return recorder.csvLines();
}

// Columns: ms,offset,dir,kind,word,id,parity,check,data
TEST(FrameDecoderTest, CapturesBecomeRowsAsTheDriverFramesThem) {
    const struct {
        const char* what;
        const char* capture;
        std::vector<std::string> rows;
    } cases[] = {
        {"empty capture", "", {}},
        {"T frame", "54 04 8C 1B", {",0,Tx,T,048C,0123,OK,OK,"}},
        {"U frame", "55 04 8C 01 02 17", {",0,Tx,U,048C,0123,OK,OK,01 02"}},
        {"V frame", "56 0C 06 10 20 F0 80 F5", {",0,Tx,V,0C06,0301,OK,OK,10 20 F0 80"}},
        {"check byte off by one", "54 04 8C 1C", {",0,Tx,T,048C,0123,OK,wrong,"}},
        {"identifier bit flipped, check byte made to fit",
         "54 04 8D 1A",
         {",0,Tx,T,048D,0123,wrong,OK,"}},
        {"noise between frames",
         "41 00 54 04 8C 1B FF",
         {",0,Tx,noise,,,,,41 00", ",2,Tx,T,048C,0123,OK,OK,", ",6,Tx,noise,,,,,FF"}},
        {"capture ends inside a frame",
         "54 04 8C 1B 55 04 8C 01",
         {",0,Tx,T,048C,0123,OK,OK,", ",4,Tx,U,048C,0123,OK,truncated,01"}},
        {"capture ends inside the identifier word", "56 0C", {",0,Tx,V,,,,truncated,"}},
        {"capture starts in the middle of a frame",
         "8C 01 02 17 54 04 8C 1B",
         {",0,Tx,noise,,,,,8C 01 02 17", ",4,Tx,T,048C,0123,OK,OK,"}},
        // A lost byte: the frame takes the next frame's kind byte as its check byte, and what is
        // left of the next frame is noise, until the next kind byte.
        {"frame that lost a byte",
         "55 04 8C 01 17 54 04 8C 1B 54 04 8C 1B",
         {",0,Tx,U,048C,0123,OK,wrong,01 17", ",6,Tx,noise,,,,,04 8C 1B",
          ",9,Tx,T,048C,0123,OK,OK,"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeCapture(FromHex(c.capture)), c.rows) << c.what;
    }
}

TEST(FrameDecoderTest, RowsCarryTheirDirection) {
    EXPECT_EQ(DecodeCapture(FromHex("54 04 8C 1B"), FrameDirection::Rx),
              std::vector<std::string>{",0,Rx,T,048C,0123,OK,OK,"});
}

TEST(FrameDecoderTest, LongNoiseIsSplitIntoBoundedRows) {
    const Bytes noise(40, 0x41);
    const std::vector<std::string> rows = DecodeCapture(noise);
    const std::string sixteen = "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41";
    EXPECT_EQ(rows,
              (std::vector<std::string>{",0,Tx,noise,,,,," + sixteen, ",16,Tx,noise,,,,," + sixteen,
                                        ",32,Tx,noise,,,,,41 41 41 41 41 41 41 41"}));
}

// Frames from the device's own encoder, with noise between some of them.
Bytes MixedTraffic(std::vector<sim::Frame>& frames, int count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes line;
    for (int i = 0; i < count; ++i) {
        sim::Frame f;
        f.id = static_cast<uint16_t>(random() & 0x3FFF);
        f.length = static_cast<uint8_t>((random() % 3) * 2);
        for (uint8_t& d : f.data) d = static_cast<uint8_t>(random());
        if (f.length < 4) std::fill(f.data.begin() + f.length, f.data.end(), 0);
        const Bytes wire = sim::EncodeFrame(f);
        line.insert(line.end(), wire.begin(), wire.end());
        frames.push_back(f);
        if (random() % 4 == 0)
            line.push_back(0x30 + static_cast<uint8_t>(random() % 16));  // never a kind byte
    }
    return line;
}

TEST(FrameDecoderTest, DecodesEveryFrameOfTheDeviceEncoderWithItsIdentifierAndData) {
    std::vector<sim::Frame> sent;
    const Bytes line = MixedTraffic(sent, 500, 7);
    FrameDecoder decoder(FrameDirection::Rx);
    RowRecorder recorder;
    decoder.Feed(line.data(), line.size(), recorder);
    decoder.Finish(recorder);

    std::vector<FrameRow> frames;
    for (const FrameRow& row : recorder.rows) {
        if (row.kind == FrameRowKind::Frame)
            frames.push_back(row);
        else
            EXPECT_EQ(row.kind, FrameRowKind::Noise);
    }
    ASSERT_EQ(frames.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const FrameRow& row = frames[i];
        EXPECT_TRUE(row.checkOk) << i;
        EXPECT_EQ(sim::DecodeIdentifierWord(row.identifierWord()), sent[i].id) << i;
        const Bytes data(row.bytes + row.dataBegin(), row.bytes + row.dataEnd());
        EXPECT_EQ(data, Bytes(sent[i].data.begin(), sent[i].data.begin() + sent[i].length)) << i;
    }
}

TEST(FrameDecoderTest, ChunkBoundariesDoNotChangeTheRows) {
    std::vector<sim::Frame> sent;
    const Bytes line = MixedTraffic(sent, 200, 11);
    const std::vector<std::string> whole = DecodeCapture(line);

    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{64}}) {
        FrameDecoder decoder(FrameDirection::Tx);
        RowRecorder recorder;
        for (std::size_t at = 0; at < line.size(); at += chunk)
            decoder.Feed(line.data() + at, std::min(chunk, line.size() - at), recorder);
        decoder.Finish(recorder);
        EXPECT_EQ(recorder.csvLines(), whole) << "chunks of " << chunk;
    }
}

TEST(FrameDecoderTest, AFrameWhoseNextByteComesAfterTheReceiveTimeoutWasCutShort) {
    const Bytes head = FromHex("55 04 8C"), tail = FromHex("01 02 17");
    const struct {
        int64_t gapMs;
        std::vector<std::string> rows;
    } cases[] = {
        {kFrameGapMs, {"100,0,Rx,U,048C,0123,OK,OK,01 02"}},
        {kFrameGapMs + 1,
         {"100,0,Rx,U,048C,0123,OK,truncated,",
          std::to_string(100 + kFrameGapMs + 1) + ",3,Rx,noise,,,,,01 02 17"}},
    };
    for (const auto& c : cases) {
        FrameDecoder decoder(FrameDirection::Rx);
        RowRecorder recorder;
        decoder.Feed(head.data(), head.size(), recorder, 100);
        decoder.Feed(tail.data(), tail.size(), recorder, 100 + c.gapMs);
        decoder.Finish(recorder);
        EXPECT_EQ(recorder.csvLines(), c.rows) << "gap " << c.gapMs;
    }
    EXPECT_EQ(kFrameGapMs, 320);  // 32 aging steps of 10 ms
}

TEST(FrameDecoderTest, ARowUnderWayEndsOnceNoByteCameForTheReceiveTimeout) {
    const struct {
        const char* bytes;
        std::string row;
    } cases[] = {
        {"55 04 8C", "0,0,Rx,U,048C,0123,OK,truncated,"},
        {"41 42", "0,0,Rx,noise,,,,,41 42"},
    };
    for (const auto& c : cases) {
        FrameDecoder decoder(FrameDirection::Rx);
        RowRecorder recorder;
        const Bytes bytes = FromHex(c.bytes);
        decoder.Feed(bytes.data(), bytes.size(), recorder, 0);
        decoder.Expire(kFrameGapMs, recorder);
        EXPECT_TRUE(recorder.rows.empty()) << c.bytes;
        decoder.Expire(kFrameGapMs + 1, recorder);
        EXPECT_EQ(recorder.csvLines(), std::vector<std::string>{c.row}) << c.bytes;
        decoder.Expire(10 * kFrameGapMs, recorder);
        EXPECT_EQ(recorder.rows.size(), 1u) << c.bytes;
    }
}

TEST(FrameDecoderTest, ResetStartsANewStream) {
    FrameDecoder decoder(FrameDirection::Tx);
    RowRecorder recorder;
    const Bytes part = FromHex("41 55 04"), frame = FromHex("54 04 8C 1B");
    decoder.Feed(part.data(), part.size(), recorder);
    decoder.Reset();
    decoder.Feed(frame.data(), frame.size(), recorder);
    decoder.Finish(recorder);
    // The noise before the kind byte was a row already; the frame begun is gone, offsets restart.
    EXPECT_EQ(recorder.csvLines(),
              (std::vector<std::string>{",0,Tx,noise,,,,,41", ",0,Tx,T,048C,0123,OK,OK,"}));
}

TEST(FrameDecoderTest, CsvAndTableTexts) {
    FrameRow row;
    row.timeMs = 1234;
    row.offset = 56;
    row.direction = FrameDirection::Rx;
    row.kind = FrameRowKind::Frame;
    row.checkOk = true;
    const Bytes v = FromHex("56 0C 06 10 20 F0 80 F5");
    std::copy(v.begin(), v.end(), row.bytes);
    row.length = static_cast<uint8_t>(v.size());

    std::string csv;
    AppendFrameCsvHeader(csv);
    AppendFrameCsvLine(csv, row);
    EXPECT_EQ(csv,
              "ms,offset,dir,kind,word,id,parity,check,data\r\n"
              "1234,56,Rx,V,0C06,0301,OK,OK,10 20 F0 80\r\n");

    std::string table;
    AppendFrameTableHeader(table);
    AppendFrameTableLine(table, row);
    row.timeMs = kNoFrameTime;
    row.kind = FrameRowKind::Noise;
    row.length = 2;
    AppendFrameTableLine(table, row);
    EXPECT_EQ(table,
              "      ms     offset dir kind  word id   parity check     data\n"
              "    1234         56 Rx  V     0C06 0301 OK     OK        10 20 F0 80\n"
              "                 56 Rx  noise                            56 0C\n");
}

TEST(FrameDecoderTest, LogKeepsTheNewestRowsAndCountsAll) {
    FrameLog log(3);
    for (uint64_t i = 0; i < 5; ++i) {
        FrameRow row;
        row.offset = i;
        log.OnFrameRow(row);
    }
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(log.total(), 5u);
    for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log.at(i).offset, i + 2);
    const std::string csv = FrameLogCsv(log);
    EXPECT_EQ(csv.substr(csv.find("\r\n") + 2),
              ",2,Rx,noise,,,,,\r\n,3,Rx,noise,,,,,\r\n,4,Rx,noise,,,,,\r\n");
    log.Clear();
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.total(), 5u);
}

}  // namespace
}  // namespace nvx::test
