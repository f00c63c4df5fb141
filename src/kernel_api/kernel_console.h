#pragma once
// The kernel API on a terminal: the arguments of `nvx kernel`, a console view of the window that
// answers the confirmation from --yes or the terminal, and the outcome of one request.

#include <cstdio>
#include <string>
#include <vector>

#include "kernel_api/kernel_api.h"
#include "shell/shell.h"

namespace nvx {

enum class KernelAction { Command, Version, Slot, Timer, Bytes, TunnelOn, TunnelOff, Test };

struct KernelCommandLine {
    bool help = false;
    int port = 1;
    bool yes = false;     // answers the overwrite confirmation with OK
    bool latin1 = false;  // output as ISO 8859-1 bytes rather than UTF-8
    KernelAction action = KernelAction::Command;
    int row = -1;                   // Command: the row of the command list
    std::string parameterText = "0";  // Command: P as given
    uint32_t selector = 0;          // Version
    int32_t number = 0;             // Slot, Timer
};

extern const char kKernelUsage[];

// The arguments after "kernel". On wrong usage returns false and says why in error.
bool ParseKernelCommandLine(const std::vector<std::string>& args, KernelCommandLine& out,
                            std::string& error);

// How the confirmation is answered when --yes was not given: from the terminal, or not at all.
struct ConsoleQuestions {
    bool assumeYes = false;
    bool interactive = false;  // stdin is a terminal
    std::FILE* in = stdin;
    std::FILE* prompt = stderr;
};

// Plays the window on a terminal. Its fields are set by the command line, never read from a
// screen; every log line goes on to the session's shell and is remembered for the outcome.
class ConsoleKernel : public KernelApiView, public MonitorShell {
public:
    ConsoleKernel(MonitorShell& session, ConsoleQuestions questions);

    bool sawError() const { return sawError_; }
    bool sawInformation() const { return sawInformation_; }
    // A question was asked that nobody could answer (no terminal, no --yes).
    bool refused() const { return refused_; }
    bool cancelled() const { return cancelled_; }

    // KernelApiView
    RejectedNumbers readControls(KernelApiFields&) override { return {}; }
    void writeControls(const KernelApiFields&) override {}
    MessageAnswer ask(const std::string& text, MessageIcon icon, MessageButtons buttons) override;

    // MonitorShell
    void AppendMonitorLog(std::string message) override;
    bool IsComPortOpen() override { return session_.IsComPortOpen(); }
    bool OpenComPort() override { return session_.OpenComPort(); }
    void CloseComPort() override { session_.CloseComPort(); }
    void MarkComPortOpen() override { session_.MarkComPortOpen(); }

private:
    MonitorShell& session_;
    ConsoleQuestions questions_;
    bool sawError_ = false;
    bool sawInformation_ = false;
    bool refused_ = false;
    bool cancelled_ = false;
};

// Issues the action of the command line through the window's own operations.
void IssueKernelAction(KernelApi& api, const KernelCommandLine& line);

// True once nothing is under way any more: the window is not Busy and the request slot is Idle.
bool KernelWorkFinished();

// The result field of the action as the window shows it after a successful reply ("Hardware:
// P 3, V 7, H 0x05/21", "Returncode: 4660 0x1234", "Slot 3: 17", ...); empty when the reply did
// not fill it.
std::string KernelResultText(const KernelCommandLine& line, const KernelApiFields& fields);

// 0 an "I>" outcome or a shown result, 1 an "E>" line or no outcome, 2 a question nobody could
// answer.
int KernelExitStatus(const ConsoleKernel& console, const std::string& resultText);

}  // namespace nvx
