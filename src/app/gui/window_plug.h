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
};

struct WindowPlug {
    std::vector<MenuWindow> entries;
    std::function<PluggedWindow(const ProgramContext& context)> create;
};

// A plug for a window class constructed as Dlg(TimerService&, MonitorShell&) and shown as it is.
template <class Dlg>
WindowPlug PlainWindow(MenuWindow entry) {
    return {{entry}, [](const ProgramContext& c) {
                return PluggedWindow{std::make_unique<Dlg>(c.timers, c.shell), {}, {}};
            }};
}

}  // namespace nvx
