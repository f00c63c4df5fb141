// A capture of the line through the TUV Communication pump's transmit pipe, made while kernel
// commands run against the virtual device, decoded by `nvx decode`; the pump's decoded received
// frames; both against the frames the device itself logged as received and sent.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/frame_codec.h"
#include "support/child_program.h"
#include "support/device_harness.h"
#include "tuv/frame_decoder.h"

namespace nvx::test {
namespace {

struct DeviceFrame {
    std::string hex;  // the frame's bytes as the device's log shows them
    bool corrupted;   // the device broke its check byte on purpose
};

// "   1234 ms  rx 55 02 ..." and "   1234 ms  tx [status ]56 ...  (check byte corrupted)".
std::vector<DeviceFrame> DeviceFrames(const std::vector<std::string>& log,
                                      const std::string& direction) {
    std::vector<DeviceFrame> frames;
    for (const std::string& line : log) {
        const std::size_t at = line.find(" ms  " + direction + " ");
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 5 + direction.size() + 1);
        if (rest.rfind("status ", 0) == 0) rest = rest.substr(7);
        const std::size_t note = rest.find("  ");
        frames.push_back(
            {rest.substr(0, note), rest.find("(check byte corrupted)") != std::string::npos});
    }
    return frames;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    std::istringstream in(hex);
    std::string pair;
    while (in >> pair) bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

// The CSV line a frame should decode to, built from the device's codec, not the host's.
std::string ExpectedCsv(const std::vector<uint8_t>& frame, uint64_t offset, const char* direction) {
    char word[8], id[8];
    const uint16_t w = static_cast<uint16_t>(frame[1] << 8 | frame[2]);
    std::snprintf(word, sizeof word, "%04X", w);
    std::snprintf(id, sizeof id, "%04X", w >> 2);
    const bool parityOk = sim::DecodeIdentifierWord(w) >= 0;
    const bool checkOk = sim::EndAroundSum(frame.data(), frame.size()) == 0xFF;
    return "," + std::to_string(offset) + "," + direction + "," +
           std::string(1, static_cast<char>(frame[0])) + "," + word + "," + id + "," +
           (parityOk ? "OK" : "wrong") + "," + (checkOk ? "OK" : "wrong") + "," +
           sim::HexBytes(frame.data() + 3, frame.size() - 4) + "\r\n";
}

class TrafficCaptureTest : public DeviceHarnessTest {
  protected:
    sim::DeviceOptions deviceOptions() override {
        sim::DeviceOptions options;
        options.faults.corruptCheckByte = sim::FaultRate::Times(1);  // the first reply
        options.statusIntervalMs = 700;
        return options;
    }
};

TEST_F(TrafficCaptureTest, ACaptureDecodesIntoExactlyTheFramesSentAndReceived) {
    ASSERT_TRUE(h().openPort());
    const std::string capture = h().startDirectory() + "capture.bin";
    h().pumpView().controls.txPipeName[0] = capture;
    h().pumpView().controls.pipeTx[0] = 1;
    h().pump().OnPipeTxClicked(0);
    ASSERT_TRUE(h().messageBoxes().shown.empty());

    // Version, boot number, and the version again; the first reply comes back corrupted and the
    // request engine sends again.
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> commands = {
        {0x0081, {0x02, 0x00}}, {0x0080, {0xCE, 0x00}}, {0x0081, {0x02, 0x00}}};
    for (const auto& [id, data] : commands)
        ASSERT_GT(h().request(id, data).result, 0) << h().deviceLogText();
    h().advance(100);
    h().pumpView().controls.pipeTx[0] = 0;
    h().pump().OnPipeTxClicked(0);

    // Sent: the capture, decoded by `nvx decode`, holds what the device received, frame by frame.
    const std::vector<DeviceFrame> received = DeviceFrames(h().deviceLog(), "rx");
    ASSERT_GE(received.size(), commands.size() + 1) << h().deviceLogText();
    std::string expected = "ms,offset,dir,kind,word,id,parity,check,data\r\n";
    uint64_t offset = 0;
    for (const DeviceFrame& f : received) {
        const std::vector<uint8_t> bytes = FromHex(f.hex);
        expected += ExpectedCsv(bytes, offset, "Tx");
        offset += bytes.size();
    }
    const ProgramRun run = RunNvx({"decode", capture, "--csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected) << h().deviceLogText();

    // Received: the pump's rows are what the device sent, status frames included; the corrupted
    // reply shows as a wrong check and nothing else does.
    const std::vector<DeviceFrame> sent = DeviceFrames(h().deviceLog(), "tx");
    std::vector<const FrameRow*> rows;
    const FrameLog& log = h().pump().frameLog();
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log.at(i).direction == FrameDirection::Rx) rows.push_back(&log.at(i));
    ASSERT_EQ(rows.size(), sent.size()) << h().deviceLogText();
    int corrupted = 0, statusFrames = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const FrameRow& row = *rows[i];
        EXPECT_EQ(row.kind, FrameRowKind::Frame) << i;
        EXPECT_EQ(sim::HexBytes(row.bytes, row.length), sent[i].hex) << i;
        EXPECT_EQ(row.checkOk, !sent[i].corrupted) << i;
        corrupted += sent[i].corrupted;
        statusFrames += (row.identifierWord() >> 2) >= 0x0380;
    }
    EXPECT_EQ(corrupted, 1);
    EXPECT_GE(statusFrames, 1);
    // The Tx rows of the pump match the capture too.
    std::size_t txRows = 0;
    for (std::size_t i = 0; i < log.size(); ++i)
        txRows += log.at(i).direction == FrameDirection::Tx;
    EXPECT_EQ(txRows, received.size());
}

}  // namespace
}  // namespace nvx::test
