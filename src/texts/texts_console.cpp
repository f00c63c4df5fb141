#include "texts/texts_console.h"

#include "journal/service_journal.h"
#include "platform/command_line.h"
#include "platform/format.h"
#include "platform/text_encoding.h"

namespace nvx {

const char kTextsUsage[] =
    "usage: nvx texts [--port N] [--latin1] read\n"
    "       nvx texts [--port N] [--yes] write \"LINE 1\" [\"LINE 2\"]\n"
    "       nvx texts [--port N] test\n"
    "\n"
    "Reads or writes the two 15-character starting texts of a Solvane operating panel on\n"
    "COM port N (1 to 256, default 1), one request per character, or tests the communication\n"
    "with one request. A text longer than 15 characters is cut; a shorter one is\n"
    "right-aligned. A character outside ISO 8859-1 is written as \"?\". When a text will be\n"
    "cut, holds such characters or control characters, warning lines name them and the write\n"
    "asks first; --yes answers yes, and without a terminal to ask on it is refused unless\n"
    "--yes is given. A missing second line is written as spaces. Options may stand anywhere;\n"
    "\"--\" ends them (for a line that begins with \"-\"). The texts are shown in UTF-8, or\n"
    "with --latin1 as ISO 8859-1 bytes.\n"
    "Exit status: 0 when the work ended without an error line, 1 after an error line or a\n"
    "declined question, 2 on wrong usage or a question nobody could answer.\n";

bool ParseTextsCommandLine(const std::vector<std::string>& args, TextsCommandLine& out,
                           std::string& error) {
    out = TextsCommandLine{};
    CommandLine line;
    if (!SplitCommandLine(args, {kHelpOption, kPortOption, kLatin1Option, kYesOption}, line,
                          error))
        return false;
    if (line.has(kHelpOption.name)) {
        out.help = true;
        return true;
    }
    if (!ComPortFromCommandLine(line, out.port, error)) return false;
    out.latin1 = line.has(kLatin1Option.name);
    const std::vector<std::string>& words = line.operands;
    if (words.empty()) {
        error = "say read, write or test";
        return false;
    }
    const std::string& action = words[0];
    const std::size_t extra = words.size() - 1;
    if (line.has(kYesOption.name) && action != "write") {
        error = "--yes belongs to write (only a write asks)";
        return false;
    }
    out.yes = line.has(kYesOption.name);
    if (action == "read" || action == "test") {
        if (extra != 0) {
            error = action + " takes no further arguments";
            return false;
        }
        out.action = action == "read" ? TextsAction::Read : TextsAction::Test;
        return true;
    }
    if (action == "write") {
        if (extra < 1 || extra > 2) {
            error = "write takes one or two lines of text";
            return false;
        }
        out.action = TextsAction::Write;
        out.line1 = words[1];
        if (extra == 2) out.line2 = words[2];
        return true;
    }
    error = "unknown action '" + action + "'";
    return false;
}

std::string TextsProgressLine(int value, int maximum) {
    if (maximum <= 0) maximum = 1;
    if (value < 0) value = 0;
    if (value > maximum) value = maximum;
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(value), '#');
    bar.append(static_cast<std::size_t>(maximum - value), '.');
    bar += "]";
    return bar + Format(" %2d/%d", value, maximum);
}

ConsoleTexts::ConsoleTexts(MonitorShell& session, std::FILE* out, bool drawProgress,
                           ConsoleQuestions questions)
    : session_(session), out_(out), drawProgress_(drawProgress), asker_(questions) {}

void ConsoleTexts::setWriteLines(const std::string& line1Utf8, const std::string& line2Utf8) {
    typed_[0] = line1Utf8;
    typed_[1] = line2Utf8;
    shown_.writeLine1 = Utf8ToLatin1(line1Utf8);
    shown_.writeLine2 = Utf8ToLatin1(line2Utf8);
}

void ConsoleTexts::readControls(StartTextsFields& fields) { fields = shown_; }

void ConsoleTexts::readTypedLines(std::string& line1Utf8, std::string& line2Utf8) {
    line1Utf8 = typed_[0];
    line2Utf8 = typed_[1];
}

MessageAnswer ConsoleTexts::ask(const std::string& text, MessageIcon, MessageButtons buttons) {
    return asker_.ask(text, buttons);
}

void ConsoleTexts::writeReadControls(const StartTextsFields& fields) {
    shown_.readLine1 = fields.readLine1;
    shown_.readLine2 = fields.readLine2;
}

void ConsoleTexts::setProgressRange(int, int maximum) { maximum_ = maximum; }

void ConsoleTexts::setReadingProgress(int value) { drawBar(value); }

void ConsoleTexts::setWritingProgress(int value) { drawBar(value); }

void ConsoleTexts::drawBar(int value) {
    const bool unchanged = barShown_ && value == barValue_;
    barValue_ = value;
    if (!drawProgress_ || !active_ || unchanged) return;
    std::fprintf(out_, "\r\x1b[K%s", TextsProgressLine(value, maximum_).c_str());
    std::fflush(out_);
    barShown_ = true;
}

void ConsoleTexts::clearBar() {
    if (!barShown_) return;
    std::fputs("\r\x1b[K", out_);
    std::fflush(out_);
    barShown_ = false;
}

void ConsoleTexts::startProgress() {
    active_ = true;
    drawBar(0);
}

void ConsoleTexts::finishProgress() {
    clearBar();
    active_ = false;
}

void ConsoleTexts::AppendMonitorLog(std::string message) {
    if (!message.empty()) {
        if (message[0] == 'E') sawError_ = true;
        if (message[0] == 'I') sawInformation_ = true;
    }
    const bool redraw = barShown_;
    clearBar();
    session_.AppendMonitorLog(std::move(message));
    if (redraw) drawBar(barValue_);
}

}  // namespace nvx
