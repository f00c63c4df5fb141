#pragma once
// The monitor program put together: the real window steps of the start-up, the main window with
// the windows of its menu, Qt timers, message boxes and tones.

#include <memory>
#include <vector>

#include "app/gui/window_plug.h"
#include "app/monitor.h"
#include "app/startup.h"
#include "tuv/gui/tuv_comm_dlg.h"

namespace nvx {

class CMonitorDlg;

// The windows the main window creates hidden at its start, in this order (see the .cpp).
std::vector<WindowPlug> PluggedWindows();

// The pump window's port operations as the main window uses them.
class TuvChannelPorts : public ChannelPorts {
public:
    explicit TuvChannelPorts(TuvCommLogic& pump) : pump_(pump) {}
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) override {
        return pump_.OpenChannelPort(channel, portNumber, baudRate);
    }
    void CloseChannelPort(int channel) override { pump_.CloseChannelPort(channel); }

private:
    TuvCommLogic& pump_;
};

// The window steps of CMonitorApp::InitInstance.
class MonitorProgramSteps : public StartupSteps {
public:
    MonitorProgramSteps(TimerService& timers, ToneSink& tones, DetachedStarter& starter);
    ~MonitorProgramSteps() override;

    void EnableControls() override;
    void CreateTuvCommWindow() override;
    void RunMainWindow() override;

    // Called with the main window once it is built and before it runs (tests).
    std::function<void(CMonitorDlg&)> onMainWindow;
    CTuvCommDlg* tuvCommWindow() { return tuvComm_.get(); }

private:
    TimerService& timers_;
    ToneSink& tones_;
    DetachedStarter& starter_;
    std::unique_ptr<CTuvCommDlg> tuvComm_;
    std::unique_ptr<TuvChannelPorts> ports_;
};

// main() of norvix-monitor after --help/--version: QApplication must exist.
int RunMonitorProgram(int argc, char** argv);

}  // namespace nvx
