// nvx kernel: one kernel API request with the window's logic in real time.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "kernel_api/kernel_api.h"
#include "kernel_api/kernel_console.h"
#include "platform/text_encoding.h"
#include "shell/shell.h"

namespace nvx::cli {

namespace {

// Four waits of 15 s for ErrorClear are the longest a request can take; this only guards against
// a stack that never ends.
constexpr uint32_t kKernelTimeoutMs = 3 * 60 * 1000;

}  // namespace

int RunKernel(const Args& args) {
    KernelCommandLine cmd;
    std::string error;
    if (!ParseKernelCommandLine(args, cmd, error)) {
        std::fprintf(stderr, "nvx kernel: %s\n%s", error.c_str(), kKernelUsage);
        return 2;
    }
    if (cmd.help) {
        std::fputs(kKernelUsage, stdout);
        return 0;
    }
    ComPortNumber = cmd.port;

    ConsoleSession session(cmd.latin1);
    if (!session.shell().OpenComPort()) return 1;

    ConsoleQuestions questions;
    questions.assumeYes = cmd.yes;
    questions.interactive = isatty(fileno(stdin)) == 1;
    ConsoleKernel console(session.shell(), questions);
    KernelApi api(session.timers(), console, console);
    api.OnInitDialog();
    IssueKernelAction(api, cmd);
    if (console.refused()) {
        std::fprintf(stderr,
                     "nvx kernel: this command overwrites EEPROM data and asks first; there is no "
                     "terminal to ask on, so nothing was sent (give --yes to confirm)\n");
        return 2;
    }
    if (console.cancelled()) {
        std::fprintf(stderr, "nvx kernel: cancelled, nothing was sent\n");
        return 1;
    }
    if (!session.RunUntil(KernelWorkFinished, kKernelTimeoutMs)) {
        std::fprintf(stderr, "nvx kernel: no end within %u s\n", kKernelTimeoutMs / 1000);
        return 1;
    }
    const std::string result = KernelResultText(cmd, api.fields());
    if (!result.empty()) std::printf("%s\n", ConsoleText(result, cmd.latin1).c_str());
    std::fflush(stdout);
    return KernelExitStatus(console, result);
}

}  // namespace nvx::cli
