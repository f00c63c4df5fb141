#pragma once
// Recording stand-ins for the main window and the starting-texts window.

#include <string>
#include <vector>

#include "shell/shell.h"
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

// Holds what the controls show; the test types into the writing fields like a user.
class RecordingTextsView : public StartTextsView {
public:
    void readControls(StartTextsFields& fields) override {
        ++readCalls;
        fields = controls;
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
    int readCalls = 0;
    int readFieldWrites = 0;
    int rangeMin = -1;
    int rangeMax = -1;
    std::vector<int> readingValues;
    std::vector<int> writingValues;
    int hideCalls = 0;
};

}  // namespace nvx::test
