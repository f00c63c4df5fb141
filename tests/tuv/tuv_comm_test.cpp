// The pump through pipe files, the trace views and the window's commands.

#include <sys/stat.h>

#include <cstdio>

#include "tuv/trace_format.h"
#include "tuv_fixture.h"

namespace nvx::test {
namespace {

const std::string kOpenError = "Fehler \xD6" "ffnen: ";

// Entries straight into a trace ring, as the link driver leaves them.
void PutTrace(TraceRing& ring, std::initializer_list<int32_t> entries) {
    for (int32_t e : entries) {
        ring.entries[ring.writeIndex] = e;
        ring.writeIndex = static_cast<uint8_t>(ring.writeIndex == kTraceRingSize - 1 ? 0 : ring.writeIndex + 1);
    }
}

TEST_F(TuvCommTest, InitializeStartsThePumpWithTheStartFields) {
    EXPECT_EQ(clock.timerCount(), 1u);
    EXPECT_EQ(view.inside, std::vector<bool>{false});
    ASSERT_EQ(view.enables.size(), 1u);
    EXPECT_TRUE(view.enables[0].pipes[0]);
    EXPECT_FALSE(view.enables[0].pipes[1]);
    EXPECT_FALSE(view.enables[0].com[0] || view.enables[0].com[1]);
    EXPECT_TRUE(view.enables[0].view);
    EXPECT_GE(view.writes, 1);
    EXPECT_EQ(view.controls.scroll, 1);
    EXPECT_EQ(view.controls.hex, 1);
    EXPECT_EQ(view.controls.view, 0);
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        EXPECT_EQ(view.controls.pipeTx[ch], 0);
        EXPECT_EQ(view.controls.pipeRx[ch], 0);
        EXPECT_EQ(view.controls.com[ch], 0);
        EXPECT_TRUE(view.controls.txPipeName[ch].empty());
        EXPECT_TRUE(view.controls.rxPipeName[ch].empty());
        EXPECT_TRUE(view.controls.portText[ch].empty());
    }
    EXPECT_EQ(g_pipeFlags[0], 0);
    EXPECT_EQ(g_channelPortNumber[0], -1);
}

TEST_F(TuvCommTest, PumpRunsAtTheStartTickPeriod) {
    for (uint32_t period : {10u, 50u, 0u}) {
        g_startTickPeriodMs = period;
        RecordingTuvCommView v;
        TuvCommLogic pump(clock, v);
        pump.Initialize();
        const int before = v.reads;
        clock.advance(1000);
        // A period below 10 ms runs at 10 ms.
        EXPECT_EQ(v.reads - before, static_cast<int>(1000 / EffectivePeriodMs(period))) << period;
    }
}

TEST_F(TuvCommTest, TraceEntriesShowInHexOrAsCharacters) {
    struct Case {
        int32_t hex;
        std::string tx;
    };
    for (Case c : {Case{1, "\r\n0007-0[01 02 03 ]"}, Case{0, "\r\n0007-0[\x01\x02\x03]"}}) {
        logic->OnClearTx();
        view.controls.hex = c.hex;
        PutTrace(g_txTrace[0], {-7, 0x01, 0x02, 0x03, 65535});
        Pump();
        EXPECT_EQ(view.controls.txText, c.tx);
        EXPECT_EQ(view.controls.rxText, "");
        EXPECT_EQ(g_txTrace[0].readIndex, g_txTrace[0].writeIndex);
    }
}

TEST_F(TuvCommTest, HexAppliesToEntriesAsTheyAreDrained) {
    PutTrace(g_rxTrace[0], {0x41});
    Pump();
    view.controls.hex = 0;
    PutTrace(g_rxTrace[0], {0x41});
    Pump();
    EXPECT_EQ(view.controls.rxText, "41 A");
}

TEST_F(TuvCommTest, ViewsHoldTheLast4095Characters) {
    // Independent expectation: the whole traffic formatted here, then its tail.
    std::string expected;
    char buf[32];
    for (int frame = 1; frame <= 40; ++frame) {
        std::snprintf(buf, sizeof buf, "\r\n%04d-0[", frame);
        expected += buf;
        PutTrace(g_rxTrace[0], {-frame});
        for (int i = 0; i < 50; ++i) {
            const int b = (frame * 31 + i * 7) & 0xFF;
            std::snprintf(buf, sizeof buf, "%02X ", b);
            expected += buf;
            PutTrace(g_rxTrace[0], {b});
        }
        expected += "]";
        PutTrace(g_rxTrace[0], {65535});
        Pump();
    }
    ASSERT_GT(expected.size(), kTraceViewLimit);
    EXPECT_EQ(view.controls.rxText, expected.substr(expected.size() - 4095));
    EXPECT_EQ(view.longestRx, 4095u);
}

TEST_F(TuvCommTest, ClearEmptiesOneViewAndLeavesTheOther) {
    PutTrace(g_txTrace[0], {0x11});
    PutTrace(g_rxTrace[0], {0x22});
    Pump();
    logic->OnClearRx();
    EXPECT_EQ(view.controls.rxText, "");
    EXPECT_EQ(view.controls.txText, "11 ");
    logic->OnClearTx();
    EXPECT_EQ(view.controls.txText, "");
}

TEST_F(TuvCommTest, ViewsScrollOnlyWhenTextCameAndScrollIsTicked) {
    struct Case {
        int32_t scroll;
        bool traffic;
        int scrolls;
        int writes;
    };
    for (Case c : {Case{1, true, 1, 1}, Case{0, true, 0, 1}, Case{1, false, 0, 0}}) {
        view.controls.scroll = c.scroll;
        if (c.traffic) PutTrace(g_txTrace[0], {0x33});
        const int scrolls = view.scrolls;
        const int writes = view.writes;
        Pump();
        EXPECT_EQ(view.scrolls - scrolls, c.scrolls);
        EXPECT_EQ(view.writes - writes, c.writes);
    }
}

TEST_F(TuvCommTest, TransmitPipeGetsTheFrameOneBytePerTick) {
    const std::string path = dir / "tx.bin";
    AppendFile(path, {'o', 'l', 'd'});
    SetTxPipe(0, path, true);
    EXPECT_EQ(g_pipeFlags[0], kTxPipeOpen);
    EXPECT_TRUE(ReadFile(path).empty());  // an existing file is emptied

    StartTickTimer(clock);
    Queue(0x0123, {0x01, 0x02});
    std::vector<size_t> sizes;
    for (int i = 0; i < 12; ++i) {
        Pump();
        sizes.push_back(ReadFile(path).size());
    }
    EXPECT_EQ(ReadFile(path), (Bytes{0x55, 0x04, 0x8C, 0x01, 0x02, 0x17}));
    for (size_t i = 1; i < sizes.size(); ++i) EXPECT_LE(sizes[i] - sizes[i - 1], 1u);
    EXPECT_EQ(view.controls.txText, "\r\n0001-0[55 04 8C 01 02 17 ]");
}

TEST_F(TuvCommTest, ReceivePipeThatAnotherWriterAppendsTo) {
    const std::string path = dir / "rx.bin";
    AppendFile(path, {});
    SetRxPipe(0, path, true);
    EXPECT_EQ(g_pipeFlags[0], kRxPipeOpen);
    Pump(3);  // at the end of the file: nothing, and no message
    EXPECT_EQ(view.controls.rxText, "");

    AppendFile(path, {0x54, 0x04, 0x8C, 0x1B});
    const std::string steps[] = {"\r\n0001-0[54 ", "\r\n0001-0[54 04 ", "\r\n0001-0[54 04 8C ",
                                 "\r\n0001-0[54 04 8C 1B ]"};
    for (const std::string& s : steps) {
        Pump();
        EXPECT_EQ(view.controls.rxText, s);
    }
    EXPECT_EQ(g_converterChannels[0].rxStatus[0], 0x3F);

    Pump(2);
    AppendFile(path, {0x41});
    Pump();
    EXPECT_EQ(view.controls.rxText, "\r\n0001-0[54 04 8C 1B ]41 ");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TuvCommTest, ReceivePipeWaitsWhileTheRegisterIsTaken) {
    const std::string path = dir / "rx.bin";
    AppendFile(path, {0x41, 0x42});
    SetRxPipe(0, path, true);
    g_linkRxRegister[0] = 0x99;  // a byte not yet handed on
    Pump();
    EXPECT_EQ(view.controls.rxText, "");
    g_linkRxRegister[0] = -1;
    Pump();
    EXPECT_EQ(view.controls.rxText, "41 ");
}

TEST_F(TuvCommTest, NamedPipesOpenWithoutWaitingForTheOtherEnd) {
    const std::string rxPath = dir / "rx.fifo";
    const std::string txPath = dir / "tx.fifo";
    ASSERT_EQ(::mkfifo(rxPath.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(txPath.c_str(), 0600), 0);
    SetRxPipe(0, rxPath, true);
    SetTxPipe(0, txPath, true);
    EXPECT_EQ(g_pipeFlags[0], kTxPipeOpen | kRxPipeOpen);
    Pump(2);

    // The other ends come later.
    const int writer = ::open(rxPath.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const int reader = ::open(txPath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const Bytes frame{0x54, 0x04, 0x8C, 0x1B};
    ASSERT_EQ(::write(writer, frame.data(), frame.size()), 4);
    ::close(writer);  // a writer that goes away is the end of the data, not an error
    StartTickTimer(clock);
    Queue(0x0301, {0x10, 0x20, 0xF0, 0x80});
    Pump(20);
    EXPECT_EQ(g_converterChannels[0].rxStatus[0] & 0xC0, 0);
    EXPECT_NE(g_converterChannels[0].rxStatus[0], 0);  // the frame arrived and was checked
    uint8_t got[16];
    const ssize_t n = ::read(reader, got, sizeof got);
    ::close(reader);
    EXPECT_EQ(Bytes(got, got + std::max<ssize_t>(n, 0)), (Bytes{0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5}));
    // Reading from the deserted pipe goes on quietly.
    Pump(3);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TuvCommTest, UntickingTheTransmitPipeLeavesTheReceivePipeWorking) {
    const std::string rxPath = dir / "rx.bin";
    AppendFile(rxPath, {});
    SetRxPipe(0, rxPath, true);
    SetTxPipe(0, dir / "tx.bin", true);
    SetTxPipe(0, dir / "tx.bin", false);
    EXPECT_EQ(g_pipeFlags[0], kRxPipeOpen);
    AppendFile(rxPath, {0x41});
    Pump();
    EXPECT_EQ(view.controls.rxText, "41 ");
}

TEST_F(TuvCommTest, PipeThatFailsToOpenIsReportedAndItsBoxUnticked) {
    struct Case {
        const char* name;
        bool transmit;
        std::string path;
    };
    const Case cases[] = {
        {"transmit into a missing directory", true, "/nonexistent-nvx-dir/tx.bin"},
        {"receive from a missing file", false, "/nonexistent-nvx-dir/rx.bin"},
        {"empty name", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.shown.clear();
        if (c.transmit) {
            SetTxPipe(0, c.path, true);
        } else {
            SetRxPipe(0, c.path, true);
        }
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, kOpenError + c.path);
        EXPECT_EQ(boxes.shown[0].caption, kTuvCommTitle);
        EXPECT_EQ(g_pipeFlags[0], 0);
        EXPECT_EQ(c.transmit ? view.controls.pipeTx[0] : view.controls.pipeRx[0], 0);
        // Unticking it afterwards does nothing.
        if (c.transmit) {
            SetTxPipe(0, c.path, false);
        } else {
            SetRxPipe(0, c.path, false);
        }
        EXPECT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(g_pipeFlags[0], 0);
    }
}

TEST_F(TuvCommTest, OpeningAPipeEmptiesBothRegisters) {
    g_linkTxRegister[0] = 0x55;
    g_linkRxRegister[0] = 0x41;
    SetRxPipe(0, dir / "rx.bin", false);  // unticked: nothing changes
    EXPECT_EQ(g_linkTxRegister[0], 0x55);
    AppendFile(dir / "rx.bin", {});
    SetRxPipe(0, dir / "rx.bin", true);
    EXPECT_EQ(g_linkTxRegister[0], -1);
    EXPECT_EQ(g_linkRxRegister[0], -1);
}

TEST_F(TuvCommTest, ChannelOnePipesAreKeptApartFromTheLiveChannel) {
    const std::string rxPath = dir / "rx1.bin";
    AppendFile(rxPath, {0x41, 0x42});
    g_linkTxRegister[0] = 0x55;
    SetRxPipe(1, rxPath, true);
    SetTxPipe(1, dir / "tx1.bin", true);
    EXPECT_EQ(g_pipeFlags[1], kTxPipeOpen | kRxPipeOpen);
    EXPECT_EQ(g_pipeFlags[0], 0);
    EXPECT_EQ(g_linkTxRegister[0], 0x55);
    Pump(3);
    EXPECT_EQ(view.controls.rxText, "");  // the pump serves channel 0 only
    EXPECT_TRUE(ReadFile(dir / "tx1.bin").empty());
    SetRxPipe(1, rxPath, false);
    SetTxPipe(1, dir / "tx1.bin", false);
    EXPECT_EQ(g_pipeFlags[1], 0);
}

TEST_F(TuvCommTest, ViewBoxShowsAndHidesTheInsideWindow) {
    view.controls.view = 1;
    logic->OnViewClicked();
    view.controls.view = 0;
    logic->OnViewClicked();
    EXPECT_EQ(view.inside, (std::vector<bool>{false, true, false}));
}

TEST_F(TuvCommTest, InitializeShutsPipesLeftOpen) {
    SetTxPipe(0, dir / "tx.bin", true);
    const int fd = g_txPipeFile[0];
    ASSERT_GE(fd, 0);
    logic->Initialize();
    EXPECT_EQ(g_pipeFlags[0], 0);
    EXPECT_EQ(g_txPipeFile[0], -1);
    EXPECT_EQ(clock.timerCount(), 1u);  // the pump timer is not doubled
}

}  // namespace
}  // namespace nvx::test
