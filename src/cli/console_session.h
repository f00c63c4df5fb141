#pragma once
// The real-time runtime of the device commands of `nvx` (kernel, texts, update): the same stack,
// pump and timers as the monitor program, on a poll() loop, with the monitor log on stdout. While
// it waits for a device or the programmer the process sleeps until its next tick.
//
// Typical use in a command (ComPortNumber set from --port):
//
//     nvx::cli::ConsoleSession session(latin1);   // stack initialised, pump and tick running
//     if (!session.shell().OpenComPort()) return 1;  // channel 0 at ComPortNumber, 19200 baud
//     MyLogic logic(session.timers(), session.shell(), ...);
//     bool finished = session.RunUntil([&] { return logic.Finished(); }, 30000);
//     session.shell().CloseComPort();
//
// Only one session may exist at a time (the stack is process-wide). Everything runs on the
// calling thread; RunUntil is the only place where timers fire.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/poll_loop.h"
#include "shell/shell.h"
#include "tuv/tuv_comm.h"

namespace nvx::cli {

// The main window's services on a console: AppendMonitorLog prints the line (no tones); the port
// operations go through the pump's channel 0 and keep ComPortState as the main window does.
class ConsoleShell : public MonitorShell {
public:
    // rawLatin1: write the ISO 8859-1 lines as they are; otherwise in UTF-8.
    ConsoleShell(TuvCommLogic& pump, std::FILE* out, bool rawLatin1);

    void AppendMonitorLog(std::string message) override;
    bool IsComPortOpen() override;
    // Opens channel 0 at ComPortNumber, 19200 baud; on success ComPortState = Open. A failure
    // has been reported by the serial port already (message box on stderr).
    bool OpenComPort() override;
    void CloseComPort() override;      // closes channel 0; ComPortState = Closed
    void MarkComPortOpen() override;   // ComPortState = Open, nothing else

private:
    TuvCommLogic& pump_;
    std::FILE* out_;
    bool rawLatin1_;
};

class ConsoleSession {
public:
    // Chooses the first tick period, starts the pump (at g_startTickPeriodMs), initialises the
    // stack and starts TickProc (at g_tickPeriodMs), in the monitor's start-up order. The log
    // goes to stdout in UTF-8, or as ISO 8859-1 bytes when rawLatin1 asks for them (--latin1).
    explicit ConsoleSession(bool rawLatin1 = false);
    // Closes the port if it is open and stops the timers.
    ~ConsoleSession();
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;

    MonitorShell& shell() { return *shell_; }
    TimerService& timers() { return timers_; }
    TuvCommLogic& pump() { return *pump_; }

    // Serves the timers until done() holds (returns true) or timeoutMs of real time have passed
    // (returns done() once more). done() is checked after every pass of due timers.
    bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs);

private:
    PollLoop timers_;
    NullTuvCommView pumpView_;
    std::unique_ptr<TuvCommLogic> pump_;
    std::unique_ptr<ConsoleShell> shell_;
    int tickTimer_ = 0;
};

}  // namespace nvx::cli
