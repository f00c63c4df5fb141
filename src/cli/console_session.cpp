#include "cli/console_session.h"

#include <unistd.h>

#include "comm/tick.h"
#include "platform/com_port_option.h"

namespace nvx::cli {

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

ConsoleShell::ConsoleShell(TuvCommLogic& pump, std::FILE* out, bool utf8)
    : pump_(pump), out_(out), utf8_(utf8) {}

void ConsoleShell::AppendMonitorLog(std::string message) {
    const std::string line = utf8_ ? Latin1ToUtf8(message) : message;
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

ConsoleSession::ConsoleSession() {
    ChooseStartTickPeriod();
    pump_ = std::make_unique<TuvCommLogic>(timers_, pumpView_);
    pump_->Initialize();
    InitCommStack();
    tickTimer_ = StartTickTimer(timers_);
    shell_ = std::make_unique<ConsoleShell>(*pump_, stdout, ::isatty(::fileno(stdout)) != 0);
}

ConsoleSession::~ConsoleSession() {
    if (g_channelPortNumber[0] != -1) shell_->CloseComPort();
    timers_.stop(tickTimer_);
    shell_.reset();
    pump_.reset();
}

bool ConsoleSession::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    return timers_.runUntil(done, timeoutMs);
}

bool TakePortOption(Args& args, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::size_t first = i;
        int port = 0;
        switch (nvx::TakePortOption(args, i, port, error)) {
        case PortOption::NotIt: continue;
        case PortOption::Wrong: return false;
        case PortOption::Taken: break;
        }
        ComPortNumber = port;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(first),
                   args.begin() + static_cast<std::ptrdiff_t>(i + 1));
        return true;
    }
    return true;
}

}  // namespace nvx::cli
