#include "tuv/tuv_comm.h"

#include <cstdlib>
#include <filesystem>

#include "comm/link.h"
#include "platform/atomic_file.h"
#include "platform/com_port_names.h"
#include "platform/program_files.h"
#include "platform/user_dialogs.h"
#include "tuv/trace_format.h"

namespace nvx {

const char kTuvCommTitle[] = "TUV Communication";

namespace {

bool ValidChannel(int ch) { return ch >= 0 && ch < kTuvChannelCount; }

void ShowPipeError(const char* what, const std::string& name) {
    MessageBox().show(what + name, kTuvCommTitle, MessageIcon::None, MessageButtons::Ok);
}

int32_t ParseDecimal(const std::string& text) {
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

TuvCommLogic::TuvCommLogic(TimerService& timers, TuvCommView& view) : view_(view), pump_(timers) {
    pump_.SetAfterTick([this] { OnPumped(); });
}

TuvCommLogic::~TuvCommLogic() = default;

void TuvCommLogic::Initialize() {
    pump_.Start();
    view_.showInside(fields_.view != 0);
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        fields_.rxPipeName[ch].clear();
        fields_.txPipeName[ch].clear();
        fields_.portText[ch].clear();
    }
    fields_.hex = 1;
    view_.enableControls(TuvCommEnables{});
    view_.writeControls(fields_);
}

void TuvCommLogic::OpenPipe(PipeKind kind, int channel) {
    const bool transmit = kind == PipeKind::Transmit;
    const std::string& name = transmit ? fields_.txPipeName[channel] : fields_.rxPipeName[channel];
    const PipeOpenResult result = pump_.OpenPipe(kind, channel, name);
    if (result == PipeOpenResult::Opened) return;
    ShowPipeError(result == PipeOpenResult::OpenFailed ? "Fehler \xD6" "ffnen: " : "Fehler Buffer: ",
                  name);
    // Nothing is pumped through it, so the box does not claim otherwise.
    (transmit ? fields_.pipeTx[channel] : fields_.pipeRx[channel]) = 0;
    view_.writeControls(fields_);
}

void TuvCommLogic::OnPipeTxClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.pipeTx[channel]) {
        OpenPipe(PipeKind::Transmit, channel);
    } else {
        pump_.ClosePipe(PipeKind::Transmit, channel);
    }
}

void TuvCommLogic::OnPipeRxClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.pipeRx[channel]) {
        OpenPipe(PipeKind::Receive, channel);
    } else {
        pump_.ClosePipe(PipeKind::Receive, channel);
    }
}

void TuvCommLogic::OnComClicked(int channel) {
    if (!ValidChannel(channel)) return;
    view_.readControls(fields_);
    if (fields_.com[channel]) {
        pump_.OpenChannelPort(channel, ParseDecimal(fields_.portText[channel]), kChannelBaudRate);
    } else {
        pump_.CloseChannelPort(channel);
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
        view_.updateFrames(frameLog());
        framesShownTotal_ = frameLog().total();
    }
}

void TuvCommLogic::OnClearFrames() {
    pump_.ClearFrames();
    if (fields_.frames) view_.updateFrames(frameLog());
}

void TuvCommLogic::OnSaveFrames() {
    std::string chosen;
    if (!view_.askFramesFileName(chosen)) return;
    // A name without an extension gets its file type's.
    const std::string path =
        std::filesystem::path(chosen).has_extension() ? chosen : chosen + kFramesFileExtension;
    if (!ConfirmSaveTarget(path, path == chosen, kTuvCommTitle, ComStartDirectory())) return;
    std::string error;
    if (!WriteFileAtomically(path, FrameLogCsv(frameLog()), &error)) {
        MessageBox().show(error, kTuvCommTitle, MessageIcon::Exclamation, MessageButtons::Ok);
        return;
    }
    if (monitorLog_)
        monitorLog_("I> Frames saved: " + std::to_string(frameLog().size()) + " rows in " + path);
}

void TuvCommLogic::RefreshViews() {
    view_.writeControls(fields_);
    if (fields_.scroll) view_.scrollToLastLines();
}

void TuvCommLogic::OnPumped() {
    constexpr int ch = 0;  // the one live channel
    view_.readControls(fields_);
    const bool hex = fields_.hex != 0;
    bool appended = DrainTraceRing(g_txTrace[ch], ch, hex, fields_.txText);
    appended = DrainTraceRing(g_rxTrace[ch], ch, hex, fields_.rxText) || appended;
    if (appended) {
        KeepLast(fields_.txText);
        KeepLast(fields_.rxText);
        RefreshViews();
    }
    if (fields_.frames && frameLog().total() != framesShownTotal_) {
        framesShownTotal_ = frameLog().total();
        view_.updateFrames(frameLog());
    }
}

}  // namespace nvx
