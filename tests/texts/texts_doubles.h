#pragma once
// Recording stand-ins for the main window and the starting-texts window.

#include <deque>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "platform/text_encoding.h"
#include "texts/start_texts.h"

namespace nvx::test {

class RecordingShell : public MonitorShell {
public:
    void AppendMonitorLog(std::string message) override { log.push_back(std::move(message)); }
    bool IsComPortOpen() override { return ComPortState != kComPortClosed; }
    bool OpenComPort() override { return true; }
    void CloseComPort() override {}
    void MarkComPortOpen() override { ++markOpenCalls; }

    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const auto& l : log) n += l == line;
        return n;
    }
    std::vector<std::string> log;
    int markOpenCalls = 0;
};

// Holds what the controls show; the test types into the writing fields like a user, and answers
// the questions (Yes unless told otherwise).
class RecordingTextsView : public StartTextsView {
public:
    void readControls(StartTextsFields& fields) override {
        ++readCalls;
        fields = controls;
    }
    // The writing fields as typed: given in UTF-8, else the ISO 8859-1 fields in UTF-8.
    void readTypedLines(std::string& line1, std::string& line2) override {
        line1 = typed1.empty() ? Latin1ToUtf8(controls.writeLine1) : typed1;
        line2 = typed2.empty() ? Latin1ToUtf8(controls.writeLine2) : typed2;
    }
    MessageAnswer ask(const std::string& text, MessageIcon, MessageButtons) override {
        questions.push_back(text);
        if (answers.empty()) return MessageAnswer::Yes;
        const MessageAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void writeReadControls(const StartTextsFields& fields) override {
        ++readFieldWrites;
        controls.readLine1 = fields.readLine1;
        controls.readLine2 = fields.readLine2;
    }
    void setProgressRange(int minimum, int maximum) override {
        rangeMin = minimum;
        rangeMax = maximum;
    }
    void setReadingProgress(int value) override { readingValues.push_back(value); }
    void setWritingProgress(int value) override { writingValues.push_back(value); }
    void hideWindow() override { ++hideCalls; }

    StartTextsFields controls;
    std::string typed1;
    std::string typed2;
    std::vector<std::string> questions;
    std::deque<MessageAnswer> answers;
    int readCalls = 0;
    int readFieldWrites = 0;
    int rangeMin = -1;
    int rangeMax = -1;
    std::vector<int> readingValues;
    std::vector<int> writingValues;
    int hideCalls = 0;
};

}  // namespace nvx::test
