#include "app/startup.h"

#include <unistd.h>

#include <climits>
#include <string>

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/serial_port.h"
#include "platform/timer_service.h"
#include "shell/shell.h"

namespace nvx {

std::string CurrentStartDirectory() {
    // No fixed 255-character buffer: a deeper directory must not leave the start directory
    // undefined.
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf)) return "./";
    std::string dir = buf;
    if (dir.back() != '/') dir += '/';  // Linux path separator; "/" stays "/"
    return dir;
}

bool CMonitorApp::InitInstance(int argc, const char* const* argv) {
    steps_.EnableControls();

    CommandLineSwitches switches;
    ParseSwitches(switches, argc, argv);
    if (!EvaluateSwitches(switches)) {
        exitCode_ = -1;
        return false;
    }

    StartDirectory = CurrentStartDirectory();
    SetComStartDirectory(StartDirectory);

    ChooseStartTickPeriod();  // g_tickPeriodMs from the OS family, g_startTickPeriodMs

    steps_.CreateTuvCommWindow();

    LinkInit();
    ConverterInit();
    ConverterEnableChannel(0);

    // TickProc at g_tickPeriodMs, then g_measureStart = now and g_tickCount = 0. The id is not
    // kept: the timer runs until the process ends.
    StartTickTimer(timers_);

    steps_.RunMainWindow();
    // An automatic update that has not finished is a failed run, whoever ended the window.
    exitCode_ = AutoStartState == kAutoStartOff || AutoStartState == kAutoStartFinished ? 0 : 1;
    return false;
}

}  // namespace nvx
