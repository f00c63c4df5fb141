// nvx texts: the starting texts of a Solvane panel, with the window's logic in real time.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "platform/text_encoding.h"
#include "shell/shell.h"
#include "texts/start_texts.h"
#include "texts/texts_console.h"

namespace nvx::cli {

namespace {

// A read of a silent panel takes about 95 s; this only guards against a stack that never ends.
constexpr uint32_t kTextsTimeoutMs = 10 * 60 * 1000;

bool TransferDone() {
    return TextsWindowState == kTextsReady && TextsRequestState == kTextsRequestIdle &&
           g_textsTransfer.readState == kTextsProcIdle &&
           g_textsTransfer.writeState == kTextsProcIdle;
}

void PrintLine(const char* label, const std::string& latin1, bool rawLatin1) {
    std::printf("%s\"%s\"\n", label,
                ConsoleText(EscapeControlCharacters(latin1), rawLatin1).c_str());
}

}  // namespace

int RunTexts(const Args& args) {
    TextsCommandLine cmd;
    std::string error;
    if (!ParseTextsCommandLine(args, cmd, error)) {
        std::fprintf(stderr, "nvx texts: %s\n%s", error.c_str(), kTextsUsage);
        return 2;
    }
    if (cmd.help) {
        std::fputs(kTextsUsage, stdout);
        return 0;
    }
    ComPortNumber = cmd.port;

    const bool terminal = isatty(fileno(stdout)) == 1;
    ConsoleSession session(cmd.latin1);
    if (!session.shell().OpenComPort()) return 1;

    ConsoleTexts console(session.shell(), stdout, terminal);
    console.setWriteLines(Utf8ToLatin1(cmd.line1), Utf8ToLatin1(cmd.line2));
    StartTexts texts(session.timers(), console, console);
    texts.InitDialog();

    switch (cmd.action) {
    case TextsAction::Read:
        console.startProgress();
        texts.OnRead();
        break;
    case TextsAction::Write:
        console.startProgress();
        texts.OnWrite();
        break;
    case TextsAction::Test:
        texts.OnTestCom();
        break;
    }
    const bool finished = session.RunUntil(TransferDone, kTextsTimeoutMs);
    console.finishProgress();
    if (!finished) {
        std::fprintf(stderr, "nvx texts: no end within %u s\n", kTextsTimeoutMs / 1000);
        return 1;
    }
    if (cmd.action == TextsAction::Read) {
        PrintLine("Line 1: ", texts.fields().readLine1, cmd.latin1);
        PrintLine("Line 2: ", texts.fields().readLine2, cmd.latin1);
    }
    std::fflush(stdout);
    return console.sawError() || !console.sawInformation() ? 1 : 0;
}

}  // namespace nvx::cli
