#include "cli/console_session.h"

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/text_encoding.h"

namespace nvx::cli {

ConsoleShell::ConsoleShell(BytePump& pump, std::FILE* out, bool rawLatin1)
    : pump_(pump), out_(out), rawLatin1_(rawLatin1) {}

void ConsoleShell::AppendMonitorLog(std::string message) {
    const std::string line = ConsoleText(message, rawLatin1_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

bool ConsoleShell::IsComPortOpen() { return ComPortState != kComPortClosed; }

bool ConsoleShell::OpenComPort() {
    if (!pump_.OpenChannelPort(0, ComPortNumber, kChannelBaudRate)) return false;
    ComPortState = kComPortOpen;
    return true;
}

void ConsoleShell::CloseComPort() {
    pump_.CloseChannelPort(0);
    ComPortState = kComPortClosed;
}

void ConsoleShell::MarkComPortOpen() { ComPortState = kComPortOpen; }

namespace {
// Far beyond the bound of any owed reply; the wait ends as soon as none is owed.
constexpr uint32_t kOwedRepliesSettleMs = 60000;
}  // namespace

ConsoleSession::ConsoleSession(bool rawLatin1) {
    ChooseStartTickPeriod();
    pump_.Start();
    InitCommStack();
    tickTimer_ = StartTickTimer(timers_);
    shell_ = std::make_unique<ConsoleShell>(pump_, stdout, rawLatin1);
}

ConsoleSession::~ConsoleSession() {
    if (g_channelPortNumber[0] != -1) {
        // A reply still owed would otherwise reach the next run as the answer to its request.
        RunUntil([] { return !ApiRequest::RepliesOwed(); }, kOwedRepliesSettleMs);
        shell_->CloseComPort();
    }
    timers_.stop(tickTimer_);
    shell_.reset();
}

bool ConsoleSession::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    return timers_.runUntil(done, timeoutMs);
}

}  // namespace nvx::cli
