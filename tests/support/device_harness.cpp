#include "support/device_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/serial_port.h"

namespace nvx::test {

namespace fs = std::filesystem;

bool HarnessShell::OpenComPort() {
    ++openCalls;
    if (!pump_.OpenChannelPort(0, ComPortNumber, kChannelBaudRate)) return false;
    ComPortState = kComPortOpen;
    return true;
}

void HarnessShell::CloseComPort() {
    ++closeCalls;
    pump_.CloseChannelPort(0);
    ComPortState = kComPortClosed;
}

DeviceHarness::DeviceHarness(sim::DeviceOptions options, Stack stack) {
    ResetShellSettings();
    char tmpl[] = "/tmp/nvx_e2e_XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("cannot make a start directory");
    startDir_ = std::string(tmpl) + "/";
    previousCwd_ = fs::current_path().string();
    fs::current_path(tmpl);
    StartDirectory = startDir_;
    SetComStartDirectory(startDir_);
    // The install step puts the part descriptions beside the program.
    for (const auto& entry : fs::directory_iterator(std::string(NVX_SOURCE_DIR) + "/devices"))
        if (entry.path().extension() == ".xml") fs::copy_file(entry.path(), startDir_ + entry.path().filename().string());

    SetCalendar(&calendar_);
    SetMessageBoxes(&boxes_);
    SetOsPlatformId(kOsFamilyNt);
    ChooseStartTickPeriod();

    if (options.devicesDir.empty()) options.devicesDir = startDir_;
    auto userLog = std::move(options.log);
    options.log = [this, userLog](const std::string& line) {
        deviceLog_.push_back(line);
        if (userLog) userLog(line);
    };
    device_ = std::make_unique<sim::VirtualDevice>(clock_, std::move(options));
    if (!device_->linkAs(startDir_ + "com1")) throw std::runtime_error("cannot link com1");

    if (stack == Stack::OfTheProgram) return;
    pump_ = std::make_unique<TuvCommLogic>(clock_, pumpView_);
    pump_->Initialize();
    shell_ = std::make_unique<HarnessShell>(*pump_);
    startTickTimer();
}

void DeviceHarness::startTickTimer() {
    InitCommStack();
    tickTimer_ = StartTickTimer(clock_);
}

DeviceHarness::~DeviceHarness() {
    if (tickTimer_) clock_.stop(tickTimer_);
    shell_.reset();
    pump_.reset();
    g_serialPort.Close();
    g_channelPortNumber[0] = -1;
    device_.reset();
    InitCommStack();
    SetMessageBoxes(nullptr);
    SetCalendar(nullptr);
    SetComStartDirectory("");
    ResetShellSettings();
    std::error_code ec;
    fs::current_path(previousCwd_, ec);
    fs::remove_all(startDir_, ec);
}

std::string DeviceHarness::deviceLogText() const {
    std::string text;
    for (const std::string& line : deviceLog_) text += line + "\n";
    return text;
}

DeviceHarness::Exchange DeviceHarness::request(uint32_t id, const std::vector<uint8_t>& data,
                                               uint32_t replyTimeoutMs, uint64_t maxMs) {
    Exchange e;
    BusMessage m{};
    m.length = static_cast<uint8_t>(data.size() > 4 ? 4 : data.size());
    for (size_t i = 0; i < m.length; ++i) m.data[i] = data[i];
    if (!g_apiRequest.Start(id, m, replyTimeoutMs)) {
        e.result = -4;
        return e;
    }
    const uint64_t start = clock_.nowMs();
    int32_t a = 0, b = 0, c = 0;
    while (clock_.nowMs() - start < maxMs) {
        clock_.advance(g_tickPeriodMs);
        const int32_t r = g_apiRequest.Poll(e.reply, a, b, c);
        if (r != kPollUnderWay) {
            e.result = r;
            e.tookMs = clock_.nowMs() - start;
            return e;
        }
    }
    e.result = -5;
    e.tookMs = clock_.nowMs() - start;
    return e;
}

std::array<uint8_t, 5> DeviceHarness::converterErrors() const {
    std::array<uint8_t, 5> out{};
    ConverterGetErrors(0, out.data());
    return out;
}

}  // namespace nvx::test
