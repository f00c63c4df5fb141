#pragma once
// The TUV Communication window without its widgets: the trace views, the "Frames" view and the
// per-channel port and pipe controls over the byte pump it owns.
//
// The window's dialog implements TuvCommView and forwards its commands. Call Initialize() once,
// when the window is created (it starts the pump).

#include <cstdint>
#include <functional>
#include <string>

#include "platform/timer_service.h"
#include "tuv/byte_pump.h"
#include "tuv/frame_decoder.h"

namespace nvx {

extern const char kTuvCommTitle[];  // "TUV Communication"
inline constexpr const char* kFramesFileExtension = ".csv";

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

    // The window's initialisation: the pump started (see BytePump::Start), the TUV Inside window
    // shown or hidden by "View", the fields to their start values, the controls enabled as
    // TuvCommEnables says.
    void Initialize();

    // The port of a channel, as the main window opens it for the stack.
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) {
        return pump_.OpenChannelPort(channel, portNumber, baudRate);
    }
    void CloseChannelPort(int channel) { pump_.CloseChannelPort(channel); }

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

    // Where a saved "Frames" file is confirmed: the monitor log, once the main window is up.
    void SetMonitorLog(std::function<void(std::string line)> log) { monitorLog_ = std::move(log); }

    const TuvCommFields& fields() const { return fields_; }
    const FrameLog& frameLog() const { return pump_.frameLog(); }

private:
    void OpenPipe(PipeKind kind, int channel);
    void RefreshViews();
    // The views after a pump tick (timer 2): new trace entries and frame rows.
    void OnPumped();

    TuvCommView& view_;
    BytePump pump_;
    std::function<void(std::string line)> monitorLog_;
    TuvCommFields fields_;
    uint64_t framesShownTotal_ = 0;  // frameLog().total() when the view was last updated
};

}  // namespace nvx
