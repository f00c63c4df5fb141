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
// progress bars become one bar on the terminal (when it is one), and every log line is passed
// on to the session's shell with the bar kept out of its way.
class ConsoleTexts : public StartTextsView, public MonitorShell {
public:
    ConsoleTexts(MonitorShell& session, std::FILE* out, bool drawProgress);

    void setWriteLines(const std::string& line1Latin1, const std::string& line2Latin1);
    const StartTextsFields& shown() const { return shown_; }
    bool sawError() const { return sawError_; }
    bool sawInformation() const { return sawInformation_; }
    // The bar is drawn between these two; finishProgress clears it from the terminal.
    void startProgress();
    void finishProgress();

    // StartTextsView
    void readControls(StartTextsFields& fields) override;
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
    StartTextsFields shown_;
    int maximum_ = kTextsCharCount;
    int barValue_ = 0;
    bool barShown_ = false;
    bool active_ = false;
    bool sawError_ = false;
    bool sawInformation_ = false;
};

}  // namespace nvx
