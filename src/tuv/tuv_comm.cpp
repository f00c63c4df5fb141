#include "tuv/tuv_comm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "comm/link.h"
#include "comm/tick.h"
#include "platform/atomic_file.h"
#include "platform/program_files.h"
#include "platform/serial_port.h"
#include "platform/user_dialogs.h"
#include "tuv/trace_format.h"

namespace nvx {

const char kTuvCommTitle[] = "TUV Communication";

int32_t g_channelPortNumber[kTuvChannelCount] = {-1, -1};
int32_t g_pipeFlags[kTuvChannelCount] = {0, 0};
int g_txPipeFile[kTuvChannelCount] = {-1, -1};
int g_rxPipeFile[kTuvChannelCount] = {-1, -1};

namespace {

// A device that never stops sending must not hold the UI thread: the rest waits a tick.
constexpr int kMaxSerialBytesPerTick = 16384;

bool ValidChannel(int ch) { return ch >= 0 && ch < kTuvChannelCount; }
bool StackChannel(int ch) { return ch >= 0 && ch < kChannelCount; }

void ShowPipeError(const char* what, const std::string& name) {
    MessageBox().show(what + name, kTuvCommTitle, MessageIcon::None, MessageButtons::Ok);
}

// Pipe files are plain files or named pipes. Nothing may block the UI thread: a named pipe is
// opened without waiting for its other end (the transmit side read-write, so it opens without a
// reader and a reader that goes away does not end the program).
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

int32_t ParseDecimal(const std::string& text) {
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

TuvCommLogic::TuvCommLogic(TimerService& timers, TuvCommView& view) : timers_(timers), view_(view) {}

TuvCommLogic::~TuvCommLogic() {
    if (timerId_ != 0) timers_.stop(timerId_);
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        ClosePipe(PipeKind::Transmit, ch);
        ClosePipe(PipeKind::Receive, ch);
    }
}

void TuvCommLogic::Initialize() {
    if (timerId_ != 0) timers_.stop(timerId_);
    timerId_ = timers_.start(g_startTickPeriodMs, [this] { OnTimer(); });
    // Pipes left open by an earlier window are shut rather than leaked.
    ClosePipe(PipeKind::Transmit, 0);
    ClosePipe(PipeKind::Receive, 0);
    g_pipeFlags[0] = 0;
    g_channelPortNumber[0] = -1;
    view_.showInside(fields_.view != 0);
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        fields_.rxPipeName[ch].clear();
        fields_.txPipeName[ch].clear();
        fields_.portText[ch].clear();
    }
    fields_.hex = 1;
    RestartFrameStreams();
    view_.enableControls(TuvCommEnables{});
    view_.writeControls(fields_);
}

bool TuvCommLogic::OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) {
    if (!ValidChannel(channel)) return false;
    if (!g_serialPort.Open(static_cast<uint32_t>(portNumber), baudRate, 8, 0, 0)) return false;
    // A byte left over from a transmission without a port is not sent late.
    if (StackChannel(channel)) g_linkTxRegister[channel] = -1;
    g_channelPortNumber[channel] = portNumber;
    if (channel == 0) RestartFrameStreams();
    return true;
}

void TuvCommLogic::CloseChannelPort(int channel) {
    g_serialPort.Close();
    if (ValidChannel(channel)) g_channelPortNumber[channel] = -1;
}

void TuvCommLogic::OpenPipe(PipeKind kind, int channel) {
    const bool transmit = kind == PipeKind::Transmit;
    const std::string& name = transmit ? fields_.txPipeName[channel] : fields_.rxPipeName[channel];
    int32_t& box = transmit ? fields_.pipeTx[channel] : fields_.pipeRx[channel];
    ClosePipe(kind, channel);  // ticking twice must not leak the first file

    const int fd = OpenPipeFile(transmit, name);
    if (fd < 0) {
        ShowPipeError("Fehler \xD6" "ffnen: ", name);
        box = 0;  // nothing is pumped through it, so the box does not claim otherwise
        view_.writeControls(fields_);
        return;
    }
    if (StackChannel(channel)) {
        g_linkTxRegister[channel] = -1;
        g_linkRxRegister[channel] = -1;
    }
    if (!MakeUnbuffered(fd)) {
        ShowPipeError("Fehler Buffer: ", name);
        ::close(fd);
        box = 0;
        view_.writeControls(fields_);
        return;
    }
    if (transmit) {
        g_txPipeFile[channel] = fd;
        g_pipeFlags[channel] |= kTxPipeOpen;
    } else {
        g_rxPipeFile[channel] = fd;
        g_pipeFlags[channel] |= kRxPipeOpen;
    }
}

void TuvCommLogic::ClosePipe(PipeKind kind, int channel) {
    const int32_t flag = kind == PipeKind::Transmit ? kTxPipeOpen : kRxPipeOpen;
    int& fd = kind == PipeKind::Transmit ? g_txPipeFile[channel] : g_rxPipeFile[channel];
    if ((g_pipeFlags[channel] & flag) == 0) return;
    if (fd >= 0) ::close(fd);
    fd = -1;
    g_pipeFlags[channel] &= ~flag;
}

void TuvCommLogic::OnPipeTxClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.pipeTx[channel]) {
        OpenPipe(PipeKind::Transmit, channel);
    } else {
        ClosePipe(PipeKind::Transmit, channel);
    }
}

void TuvCommLogic::OnPipeRxClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.pipeRx[channel]) {
        OpenPipe(PipeKind::Receive, channel);
    } else {
        ClosePipe(PipeKind::Receive, channel);
    }
}

void TuvCommLogic::OnComClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.com[channel]) {
        OpenChannelPort(channel, ParseDecimal(fields_.portText[channel]), kChannelBaudRate);
    } else {
        CloseChannelPort(channel);
    }
}

void TuvCommLogic::OnViewClicked() {
    view_.readControls(fields_);
    view_.showInside(fields_.view != 0);
}

void TuvCommLogic::OnClearTx() {
    fields_.txText.clear();
    RefreshViews();
}

void TuvCommLogic::OnClearRx() {
    fields_.rxText.clear();
    RefreshViews();
}

void TuvCommLogic::OnFramesClicked() {
    view_.readControls(fields_);
    view_.showFramesView(fields_.frames != 0);
    if (fields_.frames) {
        view_.updateFrames(frameLog_);
        framesShownTotal_ = frameLog_.total();
    }
}

void TuvCommLogic::OnClearFrames() {
    frameLog_.Clear();
    if (fields_.frames) view_.updateFrames(frameLog_);
}

void TuvCommLogic::OnSaveFrames() {
    std::string chosen;
    if (!view_.askFramesFileName(chosen)) return;
    // A name without an extension gets its file type's.
    const std::string path =
        std::filesystem::path(chosen).has_extension() ? chosen : chosen + kFramesFileExtension;
    if (!ConfirmSaveTarget(path, path == chosen, kTuvCommTitle, ComStartDirectory())) return;
    std::string error;
    if (!WriteFileAtomically(path, FrameLogCsv(frameLog_), &error)) {
        MessageBox().show(error, kTuvCommTitle, MessageIcon::Exclamation, MessageButtons::Ok);
        return;
    }
    if (monitorLog_)
        monitorLog_("I> Frames saved: " + std::to_string(frameLog_.size()) + " rows in " + path);
}

int64_t TuvCommLogic::FrameTimeMs() const {
    return static_cast<int64_t>(timers_.nowMs() - streamStartMs_);
}

void TuvCommLogic::DecodeTx(uint8_t byte) { txDecoder_.Feed(&byte, 1, frameLog_, FrameTimeMs()); }

void TuvCommLogic::DecodeRx(const uint8_t* bytes, std::size_t count) {
    rxDecoder_.Feed(bytes, count, frameLog_, FrameTimeMs());
}

void TuvCommLogic::RestartFrameStreams() {
    txDecoder_.Finish(frameLog_);
    rxDecoder_.Finish(frameLog_);
    txDecoder_.Reset();
    rxDecoder_.Reset();
    streamStartMs_ = timers_.nowMs();
}

void TuvCommLogic::RefreshViews() {
    view_.writeControls(fields_);
    if (fields_.scroll) view_.scrollToLastLines();
}

void TuvCommLogic::OnTimer() {
    constexpr int ch = 0;  // the one live channel
    view_.readControls(fields_);

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

    const bool hex = fields_.hex != 0;
    bool appended = DrainTraceRing(g_txTrace[ch], ch, hex, fields_.txText);
    appended = DrainTraceRing(g_rxTrace[ch], ch, hex, fields_.rxText) || appended;
    if (appended) {
        KeepLast(fields_.txText);
        KeepLast(fields_.rxText);
        RefreshViews();
    }
    txDecoder_.Expire(FrameTimeMs(), frameLog_);
    rxDecoder_.Expire(FrameTimeMs(), frameLog_);
    if (fields_.frames && frameLog_.total() != framesShownTotal_) {
        framesShownTotal_ = frameLog_.total();
        view_.updateFrames(frameLog_);
    }
}

}  // namespace nvx
