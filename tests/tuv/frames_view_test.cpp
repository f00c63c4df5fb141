// The "Frames" rows of the TUV Communication logic: every byte the pump moves is decoded, timed
// from the port's opening; the view is updated only while it is shown; "Save..." writes CSV.

#include <string>
#include <vector>

#include "tuv_fixture.h"

namespace nvx::test {
namespace {

constexpr int32_t kPort = 42;  // resolved through NORVIX_COM42

std::vector<std::string> CsvLines(const FrameLog& log) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < log.size(); ++i) {
        std::string line;
        AppendFrameCsvLine(line, log.at(i));
        lines.push_back(line.substr(0, line.size() - 2));
    }
    return lines;
}

class FramesViewTest : public TuvCommTest {
  protected:
    void TickFrames(bool on) {
        view.controls.frames = on ? 1 : 0;
        logic->OnFramesClicked();
    }
};

TEST_F(FramesViewTest, SentAndReceivedFramesBecomeRowsWithTheirChecks) {
    const std::string tx = dir / "tx.bin", rx = dir / "rx.bin";
    SetTxPipe(0, tx, true);
    AppendFile(rx, {});
    SetRxPipe(0, rx, true);
    StartTickTimer(clock);
    Queue(0x0123, {0x01, 0x02});
    // A good V frame, then a T frame whose check byte was corrupted on the line.
    AppendFile(rx, {0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5, 0x54, 0x04, 0x8C, 0x1C});
    Pump(40);

    std::vector<std::string> rows = CsvLines(logic->frameLog());
    ASSERT_EQ(rows.size(), 3u) << ::testing::PrintToString(rows);
    // Times depend on the tick the bytes came in: compare them apart.
    for (std::string& row : rows) row = row.substr(row.find(','));
    // The request waits for the line to be quiet, so it goes out after the device's frames.
    EXPECT_EQ(rows, (std::vector<std::string>{",0,Rx,V,0C06,0301,OK,OK,10 20 F0 80",
                                              ",8,Rx,T,048C,0123,OK,wrong,",
                                              ",0,Tx,U,048C,0123,OK,OK,01 02"}));
    // One receive pipe byte per tick from the first tick on.
    EXPECT_EQ(logic->frameLog().at(0).timeMs, 10);
    EXPECT_EQ(logic->frameLog().at(1).timeMs, 90);
    EXPECT_GE(logic->frameLog().at(2).timeMs, 130);
}

TEST_F(FramesViewTest, TheViewIsUpdatedOnlyWhileShown) {
    const std::string rx = dir / "rx.bin";
    AppendFile(rx, {0x54, 0x04, 0x8C, 0x1B});
    SetRxPipe(0, rx, true);
    Pump(6);
    EXPECT_EQ(logic->frameLog().total(), 1u);
    EXPECT_EQ(view.frameUpdates, 0);

    TickFrames(true);
    EXPECT_EQ(view.framesViewShown, std::vector<bool>{true});
    EXPECT_EQ(view.frameUpdates, 1);
    EXPECT_EQ(view.frameRowsSeen, 1u);
    Pump(3);
    EXPECT_EQ(view.frameUpdates, 1);  // nothing new
    AppendFile(rx, {0x41});
    Pump(2);
    EXPECT_EQ(view.frameUpdates,
              1);  // noise is a row once the next frame or the receive timeout ends it
    AppendFile(rx, {0x54, 0x04, 0x8C, 0x1B});
    Pump(5);
    EXPECT_EQ(view.frameRowsSeen, 3u);

    TickFrames(false);
    const int updates = view.frameUpdates;
    AppendFile(rx, {0x54, 0x04, 0x8C, 0x1B});
    Pump(5);
    EXPECT_EQ(view.frameUpdates, updates);
    EXPECT_EQ(logic->frameLog().total(), 4u);
}

TEST_F(FramesViewTest, ClearEmptiesTheRows) {
    const std::string rx = dir / "rx.bin";
    AppendFile(rx, {0x54, 0x04, 0x8C, 0x1B});
    SetRxPipe(0, rx, true);
    TickFrames(true);
    Pump(5);
    ASSERT_EQ(logic->frameLog().size(), 1u);
    const int updates = view.frameUpdates;
    logic->OnClearFrames();
    EXPECT_EQ(logic->frameLog().size(), 0u);
    EXPECT_EQ(view.frameUpdates, updates + 1);
}

TEST_F(FramesViewTest, SaveWritesTheRowsAsCsvOrReportsWhyNot) {
    const std::string rx = dir / "rx.bin";
    AppendFile(rx, {0x41, 0x54, 0x04, 0x8C, 0x1B});
    SetRxPipe(0, rx, true);
    Pump(6);

    const std::string csv = dir / "frames.csv";
    logic->OnSaveFrames();  // the user cancels
    EXPECT_EQ(view.framesFileAsked, 1);
    EXPECT_FALSE(std::filesystem::exists(csv));

    std::vector<std::string> logged;
    logic->SetMonitorLog([&logged](std::string line) { logged.push_back(std::move(line)); });
    view.framesFileAnswer = csv;
    logic->OnSaveFrames();
    EXPECT_EQ(logged, std::vector<std::string>{"I> Frames saved: 2 rows in " + csv});
    const Bytes saved = ReadFile(csv);
    EXPECT_EQ(std::string(saved.begin(), saved.end()),
              "ms,offset,dir,kind,word,id,parity,check,data\r\n"
              "10,0,Rx,noise,,,,,41\r\n"
              "20,1,Rx,T,048C,0123,OK,OK,\r\n");
    EXPECT_TRUE(boxes.shown.empty());

    view.framesFileAnswer = dir / "no-such-dir/frames.csv";
    logic->OnSaveFrames();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "TUV Communication");
    EXPECT_FALSE(boxes.shown[0].text.empty());
    EXPECT_EQ(logged.size(), 1u) << "a failed save is not confirmed";
}

TEST_F(FramesViewTest, RowsAreTimedFromThePortsOpeningAndAFrameCutByItIsMarked) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ::setenv("NORVIX_COM42", pty.slave().c_str(), 1);
    const std::string rx = dir / "rx.bin";
    AppendFile(rx, {0x55, 0x04});
    SetRxPipe(0, rx, true);
    Pump(50);  // 500 ms with a frame begun
    ASSERT_TRUE(logic->OpenChannelPort(0, kPort, kChannelBaudRate));
    ASSERT_EQ(logic->frameLog().size(), 1u);
    EXPECT_EQ(logic->frameLog().at(0).kind, FrameRowKind::Truncated);

    Pump(7);
    ASSERT_TRUE(pty.WriteMaster({0x54, 0x04, 0x8C, 0x1B}));
    ASSERT_TRUE(WaitPending(g_serialPort.fd(), 4));
    Pump();
    ASSERT_EQ(logic->frameLog().size(), 2u);
    EXPECT_EQ(logic->frameLog().at(1).timeMs, 80);
    EXPECT_TRUE(logic->frameLog().at(1).checkOk);
    logic->CloseChannelPort(0);
    ::unsetenv("NORVIX_COM42");
}

}  // namespace
}  // namespace nvx::test
