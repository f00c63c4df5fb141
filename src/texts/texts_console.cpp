#include "texts/texts_console.h"

#include "platform/com_port_option.h"
#include "platform/format.h"

namespace nvx {

const char kTextsUsage[] =
    "usage: nvx texts [--port N] read\n"
    "       nvx texts [--port N] write \"LINE 1\" [\"LINE 2\"]\n"
    "       nvx texts [--port N] test\n"
    "\n"
    "Reads or writes the two 15-character starting texts of a Solvane operating panel on\n"
    "COM port N (1 to 256, default 1), one request per character, or tests the communication\n"
    "with one request. A text longer than 15 characters is cut; a shorter one is\n"
    "right-aligned. A missing second line is written as spaces.\n"
    "Exit status: 0 when the work ended without an error line, 1 after an error line,\n"
    "2 on wrong usage.\n";

bool ParseTextsCommandLine(const std::vector<std::string>& args, TextsCommandLine& out,
                           std::string& error) {
    out = TextsCommandLine{};
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out.help = true;
            return true;
        }
        const PortOption port = TakePortOption(args, i, out.port, error);
        if (port == PortOption::Wrong) return false;
        if (port == PortOption::Taken) continue;
        if (a.size() > 1 && a[0] == '-' && words.empty()) {
            error = "unknown option '" + a + "'";
            return false;
        }
        words.push_back(a);
    }
    if (words.empty()) {
        error = "say read, write or test";
        return false;
    }
    const std::string& action = words[0];
    const std::size_t extra = words.size() - 1;
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

std::string Latin1ToUtf8(const std::string& latin1) {
    std::string utf8;
    utf8.reserve(latin1.size());
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

std::string Utf8ToLatin1(const std::string& utf8) {
    std::string latin1;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 1;
        uint32_t code = c;
        if (c >= 0x80) {
            if ((c & 0xE0) == 0xC0) {
                length = 2;
                code = c & 0x1F;
            } else if ((c & 0xF0) == 0xE0) {
                length = 3;
                code = c & 0x0F;
            } else if ((c & 0xF8) == 0xF0) {
                length = 4;
                code = c & 0x07;
            } else {
                length = 0;  // a stray continuation byte or an invalid lead byte
            }
            for (std::size_t k = 1; length != 0 && k < length; ++k) {
                if (i + k >= utf8.size() || (utf8[i + k] & 0xC0) != 0x80) {
                    length = 0;
                    break;
                }
                code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            }
            // Overlong forms of a single byte are not accepted as characters.
            if (length == 2 && code < 0x80) length = 0;
            if (length == 0) {
                latin1 += '?';
                ++i;
                continue;
            }
        }
        latin1 += code <= 0xFF ? static_cast<char>(code) : '?';
        i += length;
    }
    return latin1;
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

ConsoleTexts::ConsoleTexts(MonitorShell& session, std::FILE* out, bool drawProgress)
    : session_(session), out_(out), drawProgress_(drawProgress) {}

void ConsoleTexts::setWriteLines(const std::string& line1Latin1, const std::string& line2Latin1) {
    shown_.writeLine1 = line1Latin1;
    shown_.writeLine2 = line2Latin1;
}

void ConsoleTexts::readControls(StartTextsFields& fields) { fields = shown_; }

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
