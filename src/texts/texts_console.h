#pragma once
// The starting texts on a terminal: the arguments of `nvx texts`, a console view of the window
// with a progress bar, and the log lines with the outcome they add up to.

#include <cstdio>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "texts/start_texts.h"

namespace nvx {

enum class TextsAction { Read, Write, Test };

struct TextsCommandLine {
    bool help = false;
    int port = 1;
    bool latin1 = false;  // output as ISO 8859-1 bytes rather than UTF-8
    bool yes = false;     // writes texts the panel will not get as typed without asking
    TextsAction action = TextsAction::Read;
    std::string line1;  // UTF-8 as given
    std::string line2;
};

// The arguments after "texts". On wrong usage returns false and says why in error.
bool ParseTextsCommandLine(const std::vector<std::string>& args, TextsCommandLine& out,
                           std::string& error);

extern const char kTextsUsage[];

// "[#####.........................]  5/30"
std::string TextsProgressLine(int value, int maximum);

// Plays the window on a terminal: the writing fields hold the lines of the command line, the
// progress bars become one bar on the terminal (when it is one), the window's question is asked
// on the terminal (or answered by --yes), and every log line is passed on to the session's shell
// with the bar kept out of its way.
class ConsoleTexts : public StartTextsView, public MonitorShell {
public:
    ConsoleTexts(MonitorShell& session, std::FILE* out, bool drawProgress,
                 ConsoleQuestions questions = {});

    // The lines as given on the command line (UTF-8).
    void setWriteLines(const std::string& line1Utf8, const std::string& line2Utf8);
    const StartTextsFields& shown() const { return shown_; }
    bool sawError() const { return sawError_; }
    bool sawInformation() const { return sawInformation_; }
    // A question was asked that nobody could answer (no terminal, no --yes).
    bool refused() const { return asker_.refused(); }
    bool cancelled() const { return asker_.cancelled(); }
    // The bar is drawn between these two; finishProgress clears it from the terminal.
    void startProgress();
    void finishProgress();

    // StartTextsView
    void readControls(StartTextsFields& fields) override;
    void readTypedLines(std::string& line1Utf8, std::string& line2Utf8) override;
    MessageAnswer ask(const std::string& text, MessageIcon icon, MessageButtons buttons) override;
    void writeReadControls(const StartTextsFields& fields) override;
    void setProgressRange(int minimum, int maximum) override;
    void setReadingProgress(int value) override;
    void setWritingProgress(int value) override;
    void hideWindow() override {}

    // MonitorShell
    void AppendMonitorLog(std::string message) override;
    bool IsComPortOpen() override { return session_.IsComPortOpen(); }
    bool OpenComPort() override { return session_.OpenComPort(); }
    void CloseComPort() override { session_.CloseComPort(); }
    void MarkComPortOpen() override { session_.MarkComPortOpen(); }

private:
    void drawBar(int value);
    void clearBar();

    MonitorShell& session_;
    std::FILE* out_;
    bool drawProgress_;
    ConsoleAsker asker_;
    StartTextsFields shown_;
    std::string typed_[kTextsLineCount];
    int maximum_ = kTextsCharCount;
    int barValue_ = 0;
    bool barShown_ = false;
    bool active_ = false;
    bool sawError_ = false;
    bool sawInformation_ = false;
};

}  // namespace nvx
