#pragma once
// The application object: the start-up sequence that sets the process up and runs the main
// window.

#include "app/switches.h"

namespace nvx {

class TimerService;

// The steps of the start-up that belong to the window framework; the program gives Qt ones, the
// tests record them.
class StartupSteps {
public:
    virtual ~StartupSteps() = default;
    // Framework set-up before anything else happens.
    virtual void EnableControls() = 0;
    // Creates the TUV Communication window hidden; its byte pump runs from now on.
    virtual void CreateTuvCommWindow() = 0;
    // Runs the main window modally; returns when it has closed.
    virtual void RunMainWindow() = 0;
};

class CMonitorApp {
public:
    // The tick timer is started on `timers`, which must outlive the program's run.
    CMonitorApp(StartupSteps& steps, TimerService& timers) : steps_(steps), timers_(timers) {}

    // Switches, start directory, first tick period, TUV Communication window, protocol stack,
    // tick timer, main window. Returns false when the program is to end (always, as the main
    // window has closed or a switch lookup failed); ExitCode() says with which status.
    bool InitInstance(int argc, const char* const* argv);
    int ExitCode() const { return exitCode_; }

private:
    StartupSteps& steps_;
    TimerService& timers_;
    int exitCode_ = 0;
};

// The current directory with "/" appended ("./" when it cannot be read).
std::string CurrentStartDirectory();

}  // namespace nvx
