#pragma once
// The TUV Communication window without its widgets: the byte pump between the serial port (and
// the pipe files) and the link driver, the trace views, and the per-channel port and pipes.
//
// The window's dialog implements TuvCommView and forwards its commands; the CLI uses
// NullTuvCommView. Call Initialize() once, when the window is created (it starts the pump).

#include <cstdint>
#include <functional>
#include <string>

#include "platform/timer_service.h"
#include "tuv/frame_decoder.h"

namespace nvx {

constexpr int kTuvChannelCount = 2;  // channel groups of the window; the stack drives channel 0
constexpr uint32_t kChannelBaudRate = 19200;
// Rows the "Frames" view keeps; older ones are dropped, like the text of the trace views.
constexpr std::size_t kFrameViewLimit = 2000;
extern const char kTuvCommTitle[];  // "TUV Communication"
inline constexpr const char* kFramesFileExtension = ".csv";

// Pipe flags of a channel.
constexpr int32_t kTxPipeOpen = 1;
constexpr int32_t kRxPipeOpen = 2;

// Pump state, process-wide and indexed by channel.
extern int32_t g_channelPortNumber[kTuvChannelCount];  // COM number of the open port, -1 closed
extern int32_t g_pipeFlags[kTuvChannelCount];
extern int g_txPipeFile[kTuvChannelCount];  // descriptors, valid while their flag is set
extern int g_rxPipeFile[kTuvChannelCount];

// The window's fields. Strings are ISO 8859-1; check boxes are 0 or 1.
struct TuvCommFields {
    std::string rxText;
    std::string txText;
    int32_t com[kTuvChannelCount] = {0, 0};          // "COM:"
    std::string portText[kTuvChannelCount];          // the field beside "COM:"
    std::string rxPipeName[kTuvChannelCount];        // second name field of a channel group
    std::string txPipeName[kTuvChannelCount];        // first name field of a channel group
    int32_t pipeRx[kTuvChannelCount] = {0, 0};       // "P-r"
    int32_t pipeTx[kTuvChannelCount] = {0, 0};       // "P-t"
    int32_t view = 0;                                // "View": TUV Inside window shown
    int32_t scroll = 1;                              // "Scroll"
    int32_t hex = 1;                                 // "Hex"
    int32_t frames = 0;                              // "Frames": the decoded frames shown
};

// Which controls take input. The stack drives channel 0 only and the port belongs to the main
// window, so channel 1's group and the "COM:" boxes with their port fields stay disabled;
// "View" is enabled, as it is the only way to the statistics window; "Scroll", "Hex" and both
// "Clear" buttons are always enabled.
struct TuvCommEnables {
    bool pipes[kTuvChannelCount] = {true, false};  // "P-t", "P-r" and the two name fields
    bool com[kTuvChannelCount] = {false, false};   // "COM:" and its port field
    bool view = true;                              // "View"
};

class TuvCommView {
public:
    virtual ~TuvCommView() = default;
    virtual void readControls(TuvCommFields& fields) = 0;
    virtual void writeControls(const TuvCommFields& fields) = 0;
    virtual void enableControls(const TuvCommEnables& enables) = 0;
    // Scrolls each trace view down by its line count minus 2, so its last lines are in view.
    virtual void scrollToLastLines() = 0;
    // Shows the TUV Inside window without activating it, or hides it.
    virtual void showInside(bool shown) = 0;
    // Shows or hides the "Frames" view.
    virtual void showFramesView(bool shown) = 0;
    // The log has rows the "Frames" view has not shown yet (or lost some); called only while
    // "Frames" is ticked, so a view that is not shown costs nothing.
    virtual void updateFrames(const FrameLog& log) = 0;
    // "Save...": the CSV file to write; false when the user cancels.
    virtual bool askFramesFileName(std::string& path) = 0;
};

// No window: the fields are the controls.
class NullTuvCommView : public TuvCommView {
public:
    void readControls(TuvCommFields&) override {}
    void writeControls(const TuvCommFields&) override {}
    void enableControls(const TuvCommEnables&) override {}
    void scrollToLastLines() override {}
    void showInside(bool) override {}
    void showFramesView(bool) override {}
    void updateFrames(const FrameLog&) override {}
    bool askFramesFileName(std::string&) override { return false; }
};

class TuvCommLogic {
public:
    TuvCommLogic(TimerService& timers, TuvCommView& view);
    ~TuvCommLogic();
    TuvCommLogic(const TuvCommLogic&) = delete;
    TuvCommLogic& operator=(const TuvCommLogic&) = delete;

    // The window's initialisation: pump timer at g_startTickPeriodMs, channel 0 port closed and
    // pipes shut, the TUV Inside window shown or hidden by "View", the fields to their start
    // values, the controls enabled as TuvCommEnables says.
    void Initialize();

    // Opens the one serial port (8N1) for a channel; false, changing nothing, when it fails.
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate);
    void CloseChannelPort(int channel);

    // Check box and button commands of the window.
    void OnPipeTxClicked(int channel);  // "P-t"
    void OnPipeRxClicked(int channel);  // "P-r"
    void OnComClicked(int channel);     // "COM:"
    void OnViewClicked();               // "View"
    void OnClearTx();
    void OnClearRx();
    void OnFramesClicked();  // "Frames"
    void OnClearFrames();    // "Clear" of the "Frames" view
    void OnSaveFrames();     // "Save...": the rows held as CSV, replacing the file in one step

    // One pump tick (timer 2).
    void OnTimer();

    // Where a saved "Frames" file is confirmed: the monitor log, once the main window is up.
    void SetMonitorLog(std::function<void(std::string line)> log) { monitorLog_ = std::move(log); }

    const TuvCommFields& fields() const { return fields_; }
    const FrameLog& frameLog() const { return frameLog_; }
    int timerId() const { return timerId_; }

private:
    enum class PipeKind { Transmit, Receive };
    void OpenPipe(PipeKind kind, int channel);
    void ClosePipe(PipeKind kind, int channel);
    void RefreshViews();
    // Line bytes into the "Frames" rows, timed from the port's opening.
    void DecodeTx(uint8_t byte);
    void DecodeRx(const uint8_t* bytes, std::size_t count);
    int64_t FrameTimeMs() const;
    // A new stream begins: what is under way in the old one is ended.
    void RestartFrameStreams();

    TimerService& timers_;
    TuvCommView& view_;
    std::function<void(std::string line)> monitorLog_;
    TuvCommFields fields_;
    int timerId_ = 0;
    FrameDecoder txDecoder_{FrameDirection::Tx};
    FrameDecoder rxDecoder_{FrameDirection::Rx};
    FrameLog frameLog_{kFrameViewLimit};
    uint64_t framesShownTotal_ = 0;  // frameLog_.total() when the view was last updated
    uint64_t streamStartMs_ = 0;     // the port's opening (or the window's start)
};

}  // namespace nvx
