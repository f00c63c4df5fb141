#pragma once
// Stand-ins for the main window's controls, the pump's port operations, the sub-windows and the
// text viewer, and a fresh start directory per test.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/monitor.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"
#include "support/recording_dialogs.h"

namespace nvx::test {

// Holds what the controls show; a test types into `typed` like a user.
class RecordingMonitorView : public MonitorView {
public:
    void writeControls(const MonitorFields& fields) override {
        screen = fields;
        typed = std::to_string(fields.portNumber);
        ++writes;
    }
    bool readControls(MonitorFields& fields) override {
        if (typed.empty() || typed.size() > 9) return false;
        fields.portNumber = std::stoi(typed);
        return true;
    }
    void setPortFieldEnabled(bool enabled) override { portFieldEnabled = enabled; }
    void setOpenButtonText(const std::string& text) override { buttonText = text; }
    void setOpenButtonEnabled(bool enabled) override { openButtonEnabled = enabled; }
    void endDialog(int result) override { endResults.push_back(result); }
    bool askYesDefaultNo(const std::string& question) override {
        asked.push_back(question);
        return answerYes;
    }
    void showText(const std::string& title, const std::string& text) override {
        shownTexts.emplace_back(title, text);
    }

    MonitorFields screen;
    std::string typed;  // the port number field's text
    int writes = 0;
    bool portFieldEnabled = true;
    bool openButtonEnabled = true;
    std::string buttonText = kOpenComText;
    std::vector<int> endResults;
    std::vector<std::string> asked;
    bool answerYes = false;
    std::vector<std::pair<std::string, std::string>> shownTexts;
};

class RecordingPorts : public ChannelPorts {
public:
    struct Call {
        std::string op;
        int channel;
        int32_t port;
        uint32_t baud;
        bool operator==(const Call&) const = default;
    };
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) override {
        calls.push_back({"open", channel, portNumber, baudRate});
        return openSucceeds;
    }
    void CloseChannelPort(int channel) override { calls.push_back({"close", channel, 0, 0}); }

    bool openSucceeds = true;
    std::vector<Call> calls;
};

class RecordingWindows : public MonitorWindows {
public:
    void CreateSubWindows() override { events.push_back("create"); }
    void ShowWindow(MenuWindow entry) override { shown.push_back(entry); }
    bool HasWindow(MenuWindow) const override { return true; }
    bool DeviceWorkRunning() const override { return deviceWork; }
    void StopDeviceWork() override { ++stops; }
    void AllowDeviceActions(bool allowed) override { deviceActionsAllowed = allowed; }

    std::vector<std::string> events;
    std::vector<MenuWindow> shown;
    bool deviceWork = false;
    int stops = 0;
    bool deviceActionsAllowed = true;
};

class RecordingStarter : public DetachedStarter {
public:
    bool StartDetached(const std::string& program, const std::vector<std::string>& args) override {
        started.emplace_back(program, args);
        return succeeds && std::find(missing.begin(), missing.end(), program) == missing.end();
    }
    bool succeeds = true;
    std::vector<std::string> missing;  // programs that do not start
    std::vector<std::pair<std::string, std::vector<std::string>>> started;
};

// A fresh temporary start directory, fresh shell settings and recording message boxes.
class StartDirectoryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetShellSettings();
        std::string pattern = (std::filesystem::temp_directory_path() / "nvx_monitor_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        StartDirectory = dir_.string() + "/";
        SetMessageBoxes(&boxes_);
    }
    void TearDown() override {
        SetMessageBoxes(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ResetShellSettings();
    }

    std::filesystem::path iniPath() const { return dir_ / "monitor.ini"; }
    void writeIni(const std::string& bytes) const {
        std::ofstream(iniPath(), std::ios::binary) << bytes;
    }
    std::string readIni() const {
        std::ifstream in(iniPath(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // A start directory nobody can write into, even root: a path below a regular file.
    void makeStartDirectoryUnwritable() {
        const std::filesystem::path blocker = dir_ / "not-a-directory";
        std::ofstream(blocker) << "x";
        StartDirectory = blocker.string() + "/";
    }

    std::filesystem::path dir_;
    RecordingMessageBoxes boxes_;
};

}  // namespace nvx::test
