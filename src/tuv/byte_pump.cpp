#include "tuv/byte_pump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "comm/link.h"
#include "comm/tick.h"
#include "platform/serial_port.h"

namespace nvx {

int32_t g_channelPortNumber[kTuvChannelCount] = {-1, -1};
int32_t g_pipeFlags[kTuvChannelCount] = {0, 0};
int g_txPipeFile[kTuvChannelCount] = {-1, -1};
int g_rxPipeFile[kTuvChannelCount] = {-1, -1};

namespace {

// A device that never stops sending must not hold the UI thread: the rest waits a tick.
constexpr int kMaxSerialBytesPerTick = 16384;

bool ValidChannel(int ch) { return ch >= 0 && ch < kTuvChannelCount; }
bool StackChannel(int ch) { return ch >= 0 && ch < kChannelCount; }

// Nothing may block the UI thread: a named pipe is opened without waiting for its other end (the
// transmit side read-write, so it opens without a reader and a reader that goes away does not end
// the program).
int OpenPipeFile(bool transmit, const std::string& name) {
    if (!transmit) return ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    if (::stat(name.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        return ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
}

// The stream's switch to unbuffered mode: a descriptor has no buffer of its own, so what is left
// to set is that reads and writes never wait.
bool MakeUnbuffered(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void WriteByte(int fd, uint8_t b) {
    for (;;) {
        const ssize_t n = ::write(fd, &b, 1);
        if (n >= 0 || errno != EINTR) return;  // a full named pipe drops the byte, as a lost mirror
    }
}

bool ReadByte(int fd, uint8_t& b) {
    for (;;) {
        const ssize_t n = ::read(fd, &b, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;  // end of file, nothing yet, or an error: poll again next tick
    }
}

}  // namespace

BytePump::BytePump(TimerService& timers) : timers_(timers) {}

BytePump::~BytePump() {
    if (timerId_ != 0) timers_.stop(timerId_);
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        ClosePipe(PipeKind::Transmit, ch);
        ClosePipe(PipeKind::Receive, ch);
    }
}

void BytePump::Start() {
    if (timerId_ != 0) timers_.stop(timerId_);
    timerId_ = timers_.start(g_startTickPeriodMs, [this] {
        Tick();
        if (afterTick_) afterTick_();
    });
    ClosePipe(PipeKind::Transmit, 0);
    ClosePipe(PipeKind::Receive, 0);
    g_pipeFlags[0] = 0;
    g_channelPortNumber[0] = -1;
    RestartFrameStreams();
}

bool BytePump::OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) {
    if (!ValidChannel(channel)) return false;
    if (!g_serialPort.Open(static_cast<uint32_t>(portNumber), baudRate, 8, 0, 0)) return false;
    // A byte left over from a transmission without a port is not sent late.
    if (StackChannel(channel)) g_linkTxRegister[channel] = -1;
    g_channelPortNumber[channel] = portNumber;
    if (channel == 0) RestartFrameStreams();
    return true;
}

void BytePump::CloseChannelPort(int channel) {
    g_serialPort.Close();
    if (ValidChannel(channel)) g_channelPortNumber[channel] = -1;
}

PipeOpenResult BytePump::OpenPipe(PipeKind kind, int channel, const std::string& name) {
    const bool transmit = kind == PipeKind::Transmit;
    ClosePipe(kind, channel);  // opening twice must not leak the first file

    const int fd = OpenPipeFile(transmit, name);
    if (fd < 0) return PipeOpenResult::OpenFailed;
    if (StackChannel(channel)) {
        g_linkTxRegister[channel] = -1;
        g_linkRxRegister[channel] = -1;
    }
    if (!MakeUnbuffered(fd)) {
        ::close(fd);
        return PipeOpenResult::UnbufferedFailed;
    }
    if (transmit) {
        g_txPipeFile[channel] = fd;
        g_pipeFlags[channel] |= kTxPipeOpen;
    } else {
        g_rxPipeFile[channel] = fd;
        g_pipeFlags[channel] |= kRxPipeOpen;
    }
    return PipeOpenResult::Opened;
}

void BytePump::ClosePipe(PipeKind kind, int channel) {
    const int32_t flag = kind == PipeKind::Transmit ? kTxPipeOpen : kRxPipeOpen;
    int& fd = kind == PipeKind::Transmit ? g_txPipeFile[channel] : g_rxPipeFile[channel];
    if ((g_pipeFlags[channel] & flag) == 0) return;
    if (fd >= 0) ::close(fd);
    fd = -1;
    g_pipeFlags[channel] &= ~flag;
}

int64_t BytePump::FrameTimeMs() const {
    return static_cast<int64_t>(timers_.nowMs() - streamStartMs_);
}

void BytePump::DecodeTx(uint8_t byte) { txDecoder_.Feed(&byte, 1, frameLog_, FrameTimeMs()); }

void BytePump::DecodeRx(const uint8_t* bytes, std::size_t count) {
    rxDecoder_.Feed(bytes, count, frameLog_, FrameTimeMs());
}

void BytePump::RestartFrameStreams() {
    txDecoder_.Finish(frameLog_);
    rxDecoder_.Finish(frameLog_);
    txDecoder_.Reset();
    rxDecoder_.Reset();
    streamStartMs_ = timers_.nowMs();
}

void BytePump::Tick() {
    constexpr int ch = 0;  // the one live channel

    // The transmit pipe mirrors the line: the byte it takes goes to the open port as well, so
    // the device gets the whole frame and the pump still moves one byte per tick.
    bool taken = false;
    if (g_pipeFlags[ch] & kTxPipeOpen) {
        if (g_linkTxRegister[ch] >= 0) {
            const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[ch] & 0xFF);
            g_linkTxRegister[ch] = -1;
            WriteByte(g_txPipeFile[ch], b);
            if (g_channelPortNumber[ch] != -1) g_serialPort.Write(&b, 1);
            DecodeTx(b);
            LinkTxDone(ch);
            taken = true;
        }
        // Descriptors are unbuffered: the byte is in the file already, nothing to flush.
    }
    if (!taken && g_channelPortNumber[ch] != -1 && g_linkTxRegister[ch] >= 0) {
        const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[ch] & 0xFF);
        g_linkTxRegister[ch] = -1;
        g_serialPort.Write(&b, 1);
        DecodeTx(b);
        LinkTxDone(ch);
    }

    if ((g_pipeFlags[ch] & kRxPipeOpen) && g_linkRxRegister[ch] == -1) {
        uint8_t b;
        // At the end of the file nothing is handed on; bytes appended later come on later ticks.
        if (ReadByte(g_rxPipeFile[ch], b)) {
            DecodeRx(&b, 1);
            g_linkRxRegister[ch] = b;
            LinkRxByte(ch);
        }
    }

    if (g_channelPortNumber[ch] != -1) {
        uint8_t buffer[256];
        for (int total = 0; total < kMaxSerialBytesPerTick;) {
            const uint32_t n = g_serialPort.Read(buffer, sizeof buffer);
            if (n == 0) break;
            DecodeRx(buffer, n);
            for (uint32_t i = 0; i < n; ++i) {
                g_linkRxRegister[ch] = static_cast<int8_t>(buffer[i]);  // sign-extended; low 8 bits count
                LinkRxByte(ch);
            }
            total += static_cast<int>(n);
        }
    }

    txDecoder_.Expire(FrameTimeMs(), frameLog_);
    rxDecoder_.Expire(FrameTimeMs(), frameLog_);
}

}  // namespace nvx
