#pragma once
// How a window joins the main menu: the program's composition (monitor_program.cpp) lists a plug
// per window; the main window creates each one hidden when it starts and shows it from the menu
// entries the plug names. An entry no plug names is shown disabled.

#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/monitor.h"

namespace nvx {

// What a window gets when it is created.
struct ProgramContext {
    TimerService& timers;  // for the window's own timer
    MonitorShell& shell;   // the main window: monitor log and COM port
};

struct PluggedWindow {
    std::unique_ptr<QWidget> window;  // created hidden, without a parent
    // Called for a menu entry of the plug; empty: the window is shown without activating it.
    std::function<void(MenuWindow entry)> show;
    // True while the window's device work runs; empty: it has none.
    std::function<bool()> busy;
    // Ends that work early, the device let go as it was found.
    std::function<void()> stop;
    // Offers or withholds the window's device actions (another window's procedure has the port).
    std::function<void(bool allowed)> allowDeviceActions;
    // The window's communication test with the device; empty: it has none.
    std::function<void()> testCommunication;
};

struct WindowPlug {
    std::vector<MenuWindow> entries;
    std::function<PluggedWindow(const ProgramContext& context)> create;
};

// A plug for a window class constructed as Dlg(TimerService&, MonitorShell&), shown as it is and
// with device actions that AllowDeviceActions(bool) offers and withholds.
template <class Dlg>
WindowPlug PlainWindow(MenuWindow entry) {
    return {{entry}, [](const ProgramContext& c) {
                auto window = std::make_unique<Dlg>(c.timers, c.shell);
                Dlg* dlg = window.get();
                return PluggedWindow{std::move(window),
                                     {},
                                     {},
                                     {},
                                     [dlg](bool allowed) { dlg->AllowDeviceActions(allowed); },
                                     {}};
            }};
}

}  // namespace nvx
