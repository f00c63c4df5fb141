#pragma once
// A recording view for the TUV Communication logic and a fixture with a fresh stack, a virtual
// clock, recorded message boxes and a scratch directory for pipe files.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/pty_support.h"
#include "platform/serial_port.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "support/recording_dialogs.h"
#include "tuv/tuv_comm.h"

namespace nvx::test {

using Bytes = std::vector<uint8_t>;

// The controls are a copy of the fields; a test "edits a control" by changing `controls`.
class RecordingTuvCommView : public TuvCommView {
public:
    void readControls(TuvCommFields& fields) override {
        fields = controls;
        ++reads;
    }
    void writeControls(const TuvCommFields& fields) override {
        controls = fields;
        ++writes;
        longestTx = std::max(longestTx, fields.txText.size());
        longestRx = std::max(longestRx, fields.rxText.size());
    }
    void enableControls(const TuvCommEnables& e) override { enables.push_back(e); }
    void scrollToLastLines() override { ++scrolls; }
    void showInside(bool shown) override { inside.push_back(shown); }
    void showFramesView(bool shown) override { framesViewShown.push_back(shown); }
    void updateFrames(const FrameLog& log) override {
        ++frameUpdates;
        frameRowsSeen = log.total();
    }
    bool askFramesFileName(std::string& path) override {
        ++framesFileAsked;
        if (framesFileAnswer.empty()) return false;
        path = framesFileAnswer;
        return true;
    }

    TuvCommFields controls;
    int reads = 0;
    int writes = 0;
    int scrolls = 0;
    std::size_t longestTx = 0;
    std::size_t longestRx = 0;
    std::vector<bool> inside;
    std::vector<TuvCommEnables> enables;
    std::vector<bool> framesViewShown;
    int frameUpdates = 0;
    uint64_t frameRowsSeen = 0;
    int framesFileAsked = 0;
    std::string framesFileAnswer;  // empty: the user cancels
};

class TuvCommTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetCalendar(&calendar);
        g_tickPeriodMs = 10;
        g_startTickPeriodMs = 10;
        g_measureStart = calendar.now();
        g_tickCount = 0;
        InitCommStack();
        TickProc();  // channel Idle
        SetMessageBoxes(&boxes);
        logic = std::make_unique<TuvCommLogic>(clock, view);
        logic->Initialize();
    }
    void TearDown() override {
        logic.reset();
        g_serialPort.Close();
        g_channelPortNumber[0] = g_channelPortNumber[1] = -1;
        SetMessageBoxes(nullptr);
        SetCalendar(nullptr);
    }

    // One pump tick.
    void Pump(int n = 1) { clock.advance(10 * static_cast<uint64_t>(n)); }

    // The user ticks or unticks a pipe box after typing its name.
    void SetTxPipe(int ch, const std::string& name, bool on) {
        view.controls.txPipeName[ch] = name;
        view.controls.pipeTx[ch] = on;
        logic->OnPipeTxClicked(ch);
    }
    void SetRxPipe(int ch, const std::string& name, bool on) {
        view.controls.rxPipeName[ch] = name;
        view.controls.pipeRx[ch] = on;
        logic->OnPipeRxClicked(ch);
    }

    static Bytes ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void AppendFile(const std::string& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    static void Queue(uint32_t id, const Bytes& data) {
        BusMessage m{};
        m.id = id;
        m.length = static_cast<uint8_t>(data.size());
        for (size_t i = 0; i < data.size(); ++i) m.data[i] = data[i];
        ASSERT_EQ(ConverterSend(m), 0);
    }

    // Calendar time that follows the virtual clock, so the tick measurement stays at 10 ms.
    VirtualClock clock;
    TimerCalendarClock calendar{clock, 1'400'000'000};
    RecordingTuvCommView view;
    RecordingMessageBoxes boxes;
    TempDir dir;
    std::unique_ptr<TuvCommLogic> logic;
};

}  // namespace nvx::test
