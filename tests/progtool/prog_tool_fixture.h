#pragma once
// The Programming Tool's logic over a recording view and shell, in a scratch start directory.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/tick.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "progtool/prog_tool.h"
#include "shell/shell.h"
#include "support/recording_dialogs.h"
#include "support/scripted_process_runner.h"

namespace nvx::test {

namespace fs = std::filesystem;

inline std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string WithoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// The monitor's side: the log (newest last here) and a port that opens when allowed.
class RecordingShell : public MonitorShell {
public:
    void AppendMonitorLog(std::string message) override { log.push_back(std::move(message)); }
    bool IsComPortOpen() override { return ComPortState != kComPortClosed; }
    bool OpenComPort() override {
        ++openCalls;
        if (!opens) return false;
        ComPortState = kComPortOpen;
        return true;
    }
    void CloseComPort() override {
        ++closeCalls;
        ComPortState = kComPortClosed;
    }
    void MarkComPortOpen() override { ComPortState = kComPortOpen; }
    void SaveSettings() override { ++saves; }

    std::vector<std::string> log;
    int saves = 0;
    bool opens = true;
    int openCalls = 0;
    int closeCalls = 0;
};

// The window's controls as plain values.
class RecordingView : public ProgToolView {
public:
    struct Dialog {
        std::string title;
        std::string initialPath;
        std::string filter;
        FileChoice choice;
    };

    void readControls(ProgToolFields& fields) override { fields = screen; }
    void writeControls(const ProgToolFields& fields) override {
        screen = fields;
        ++writes;
    }
    void setControlVisible(ProgToolControl c, bool v) override { visible[c] = v; }
    void setControlEnabled(ProgToolControl c, bool e) override { enabled[c] = e; }
    void showWithoutActivating() override { shown = true; }
    void hideWindow() override { shown = false; }
    bool askOpenFileName(const std::string& title, const std::string& initialPath,
                         const std::string& filter, FileChoice choice,
                         std::string& chosen) override {
        dialogs.push_back({title, initialPath, filter, choice});
        if (answers.empty() || !answers.front()) {
            if (!answers.empty()) answers.pop_front();
            return false;
        }
        chosen = *answers.front();
        answers.pop_front();
        return true;
    }
    void runErrorMemory(const std::string& path, int32_t deviceRow) override {
        errorMemory.emplace_back(path, deviceRow);
    }
    void setProgrammerProgress(int percent) override { progress.push_back(percent); }

    ProgToolFields screen;
    int writes = 0;
    std::map<ProgToolControl, bool> visible;
    std::map<ProgToolControl, bool> enabled;
    bool shown = false;
    std::vector<Dialog> dialogs;
    std::deque<std::optional<std::string>> answers;  // nullopt: Cancel
    std::vector<std::pair<std::string, int32_t>> errorMemory;
    std::vector<int> progress;
};

// Settings as at program start, a scratch start directory with the programmer and every part
// description, and the tool not yet initialised.
class ProgToolTest : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(NVX_BINARY_DIR) / "test_scratch" / "progtool_tool" /
               (std::string(info->test_suite_name()) + "." + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ResetShellSettings();
        StartDirectory = dir_.string() + "/";
        SetComStartDirectory(StartDirectory);
        g_tickPeriodMs = 10;
        SetMessageBoxes(&boxes_);
        SetProcessRunner(&runner_);
        WriteFileBytes(dir_ / kProgrammerFileName, "adapter");
        for (const char* chip : {"atmega64", "atmega644p", "atmega1284p", "atxmega128d3",
                                 "atmega168p", "atmega324p", "atmega32"})
            fs::copy_file(std::string(NVX_SOURCE_DIR) + "/devices/" + chip + ".xml",
                          dir_ / (std::string(chip) + ".xml"));
    }

    void TearDown() override {
        tool_.reset();
        SetMessageBoxes(nullptr);
        SetProcessRunner(nullptr);
        g_deviceSelection = DeviceSelection{};
        ResetShellSettings();
        fs::remove_all(dir_);
    }

    // The main window's services the tool is given.
    virtual MonitorShell& ToolShell() { return shell_; }

    ProgTool& Init() {
        tool_ = std::make_unique<ProgTool>(clock_, ToolShell(), view_);
        tool_->OnInitDialog();
        return *tool_;
    }

    // The user picks a row and the list closes.
    void ChooseRow(int32_t row) {
        view_.screen.deviceRow = row;
        tool_->SelectDeviceRow();
    }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const auto& b : boxes_.shown) texts.push_back(b.text);
        return texts;
    }

    fs::path dir_;
    VirtualClock clock_;
    RecordingShell shell_;
    RecordingView view_;
    RecordingMessageBoxes boxes_;
    ScriptedProcessRunner runner_;
    std::unique_ptr<ProgTool> tool_;
};

}  // namespace nvx::test
