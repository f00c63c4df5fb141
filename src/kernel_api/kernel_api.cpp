#include "kernel_api/kernel_api.h"

#include <limits>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "journal/service_journal.h"
#include "platform/format.h"

namespace nvx {

uint32_t KernelWindowState = kKernelWindowNotOpen;
uint32_t KernelRequestState = kKernelRequestIdle;
BusMessage g_kernelMessage{};
KernelRequestContext g_kernelRequest{};

void ResetKernelApiState() {
    KernelWindowState = kKernelWindowNotOpen;
    KernelRequestState = kKernelRequestIdle;
    g_kernelMessage = BusMessage{};
    g_kernelRequest = KernelRequestContext{};
}

std::string KernelResultLine(int code, uint32_t id) {
    switch (code) {
        case kKernelResultNotOpen: return "E> COM Port NOT Open";
        case kKernelResultInProgress: return "E> Command in Progress";
        case kKernelResultInitError: return "E> Error Initiating Transfer";
        case kKernelResultNoReply: return "E> No Reply from Kernel";
        case kKernelResultWrongFormat: return Format("E> Wrong Format Response at ID: %04X", id);
        case kKernelResultCommunicationOk: return "I> Communication OK";
        case kKernelResultCommandOk: return "I> API Command OK";
        case kKernelResultParameterNotNumber: return "E> Parameter not a number";
        default: return "E> Unknown Error";
    }
}

std::optional<int32_t> ParseFieldInteger(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(value);
}

KernelApi::KernelApi(TimerService& timers, MonitorShell& shell, KernelApiView& view)
    : timers_(timers), shell_(shell), view_(view) {}

KernelApi::~KernelApi() {
    if (timerId_ != 0) timers_.stop(timerId_);
}

// ---- window life ----

void KernelApi::OnInitDialog() {
    if (timerId_ != 0) return;  // created once
    // The window's timer 3; its period is the tick period as it stands now.
    timerId_ = timers_.start(g_tickPeriodMs, [this] { OnTimer(); });
    KernelWindowState = kKernelWindowReady;
    KernelRequestState = kKernelRequestIdle;
    g_kernelRequest.replyTimeoutMs = 0;
    ShowFields();
}

void KernelApi::OnCancel() {
    KernelWindowState = kKernelWindowNotOpen;
    shell_.MarkComPortOpen();
}

void KernelApi::OnTimer() {
    KernelRequestTick();
    if (KernelRequestState == kKernelRequestIdle) KernelWindowState = kKernelWindowReady;
}

// ---- controls ----

RejectedNumbers KernelApi::ReadFields() { return view_.readControls(fields_); }
void KernelApi::ShowFields() { view_.writeControls(fields_); }

void KernelApi::OnCommandSelected() {
    ReadFields();  // a rejected number field keeps its value and is shown again below
    fields_.parameterText = "0";
    ShowFields();
}

void KernelApi::OnSendCommand() {
    // The debug queries' number fields play no part in a command: a bad one is only put back.
    const RejectedNumbers rejected = ReadFields();
    const bool emptyParameter = fields_.parameterText.empty();
    if (emptyParameter) fields_.parameterText = "0";
    if (emptyParameter || rejected.slotNumber || rejected.timerNumber) ShowFields();
    SendSelectedCommand(fields_.commandRow, fields_.parameterText);
}

void KernelApi::OnVersionButton(uint32_t selector) { QueryVersion(selector); }

void KernelApi::OnSlotButton() {
    if (ReadFields().slotNumber) {
        ShowFields();
        return;
    }
    QuerySlot(fields_.slotNumber);
}

void KernelApi::OnTimerButton() {
    if (ReadFields().timerNumber) {
        ShowFields();
        return;
    }
    QueryTimer(fields_.timerNumber);
}

void KernelApi::OnBytesButton() { QueryBytes(); }
void KernelApi::OnTunnelOn() { SendKernelCommand(0xED, 0xFF, ParamMode::Byte); }
void KernelApi::OnTunnelOff() { SendKernelCommand(0xED, 0, ParamMode::Byte); }
void KernelApi::OnTestCommunication() { SendKernelCommand(0x00, 0, ParamMode::None); }

// ---- commands ----

void KernelApi::SendSelectedCommand(int row, std::string parameterText) {
    if (parameterText.empty()) {
        parameterText = "0";
        fields_.parameterText = parameterText;
        ShowFields();
    }
    if (row < 0 || row >= static_cast<int>(KernelCommandTable.size())) return;
    const KernelCommand& command = KernelCommandTable[static_cast<std::size_t>(row)];
    if (command.separator) return;
    const std::optional<int32_t> parameter = ParseKernelParameter(parameterText);
    if (!parameter) {
        ClearReturnCode();
        ReportKernelResult(kKernelResultParameterNotNumber);
        return;
    }
    // Cutting the value to the command's width would send another number than the one typed.
    if (const std::optional<uint32_t> limit = ParameterLimit(command.mode);
        limit && (*parameter < 0 || static_cast<uint32_t>(*parameter) > *limit)) {
        ClearReturnCode();
        shell_.AppendMonitorLog(Format("E> Parameter %d out of range: %s takes 0 to %u",
                                       *parameter, command.label, *limit));
        return;
    }
    switch (command.confirm) {
        case KernelConfirm::No: break;
        case KernelConfirm::Parameter:
            if (!ConfirmEepromOverwrite(*parameter)) return;
            break;
        case KernelConfirm::Always:
            if (!ConfirmEepromOverwrite(1)) return;
            break;
    }
    SendKernelCommand(command.code, *parameter, command.mode, command.replyTimeoutMs);
    if (ChangesTheUnit(command) && KernelWindowState == kKernelWindowBusy) {
        journaledCommand_ = std::string(kJournalKernelCommand) + command.label;
        if (command.mode != ParamMode::None) journaledCommand_ += Format(" %d", *parameter);
    }
}

void KernelApi::ClearReturnCode() {
    // The return code of an earlier command must not pass for a refused one's.
    fields_.returnCodeDecimal.clear();
    fields_.returnCodeHex.clear();
    ShowFields();
}

void KernelApi::Gate(Procedure procedure, uint32_t argument, int32_t parameter, ParamMode mode,
                     uint32_t replyTimeoutMs) {
    if (KernelWindowState == kKernelWindowNotOpen) {
        ReportKernelResult(kKernelResultNotOpen);
        return;
    }
    if (KernelWindowState == kKernelWindowBusy) {
        ReportKernelResult(kKernelResultInProgress);
        return;
    }
    g_kernelRequest.parameter = static_cast<uint32_t>(parameter);
    g_kernelRequest.mode = mode;
    if (RunPhase(procedure, 1, argument) == 1) {
        ReportKernelResult(kKernelResultInitError);
        return;
    }
    // Taken only with an accepted request, so a refused one cannot lend its wait to another.
    g_kernelRequest.replyTimeoutMs = replyTimeoutMs;
    KernelWindowState = kKernelWindowBusy;
    // A request lost without an outcome must not lend its journal line to this one.
    journaledCommand_.clear();
}

void KernelApi::SendKernelCommand(uint8_t code, int32_t parameter, ParamMode mode,
                                  uint32_t replyTimeoutMs) {
    Gate(&KernelApi::CommandRequest, code, parameter, mode, replyTimeoutMs);
}

void KernelApi::QueryVersion(uint32_t selector) {
    Gate(&KernelApi::VersionRequest, selector, 0, ParamMode::None, 0);
}

void KernelApi::QuerySlot(int32_t slot) {
    Gate(&KernelApi::SlotRequest, static_cast<uint32_t>(slot), 0, ParamMode::None, 0);
}

void KernelApi::QueryTimer(int32_t timer) {
    Gate(&KernelApi::TimerRequest, static_cast<uint32_t>(timer), 0, ParamMode::None, 0);
}

void KernelApi::QueryBytes() { Gate(&KernelApi::BytesRequest, 0, 0, ParamMode::None, 0); }

int KernelApi::RunPhase(Procedure procedure, int phase, uint32_t argument) {
    const int result = (this->*procedure)(phase, argument);
    ShowFields();
    return result;
}

int KernelApi::QueueKernelRequest(Procedure procedure, uint32_t id) {
    if (!request_.Queue(id)) return 1;
    procedure_ = procedure;
    return 0;
}

// The payload is built only into a queued request: a refused phase 1 leaves the message and the
// kept values of the request that still owns them alone. The result field is preset either way.

int KernelApi::CommandRequest(int phase, uint32_t argument) {
    if (phase == 1) {
        const int queued = QueueKernelRequest(&KernelApi::CommandRequest, kKernelCommandId);
        if (queued == 0) {
            g_kernelRequest.selector = argument;
            const uint32_t p = g_kernelRequest.parameter;
            MsgSetByte(g_kernelMessage, 0, static_cast<uint8_t>(argument));
            switch (g_kernelRequest.mode) {
                case ParamMode::None: MsgSetByte(g_kernelMessage, 1, 0); break;
                case ParamMode::Byte: MsgSetByte(g_kernelMessage, 1, static_cast<uint8_t>(p)); break;
                case ParamMode::Word:
                    MsgSetByte(g_kernelMessage, 1, 0);
                    MsgSetWord(g_kernelMessage, 2, static_cast<uint16_t>(p));
                    break;
            }
        }
        fields_.returnCodeDecimal.clear();
        fields_.returnCodeHex.clear();
        return queued;
    }
    KernelWindowState = kKernelWindowReady;
    if (argument != 0 && argument != 2) return 2;
    if (g_kernelRequest.selector == 0) {
        ReportKernelResult(kKernelResultCommunicationOk);
        return 0;
    }
    const uint16_t word = MsgGetWord(g_kernelMessage, 0);
    fields_.returnCodeDecimal = Format("%d", word);
    fields_.returnCodeHex = Format("0x%04X", word);
    ReportKernelResult(kKernelResultCommandOk);
    return 0;
}

namespace {
std::string* VersionField(KernelApiFields& fields, uint32_t selector) {
    switch (selector) {
        case kKernelVersionHardware: return &fields.hardwareVersion;
        case kKernelVersionNorvix: return &fields.norvixVersion;
        case kKernelVersionApplication: return &fields.applicationVersion;
        default: return nullptr;
    }
}
}  // namespace

int KernelApi::VersionRequest(int phase, uint32_t argument) {
    if (phase == 1) {
        const int queued = QueueKernelRequest(&KernelApi::VersionRequest, kKernelVersionId);
        if (queued == 0) {
            g_kernelRequest.selector = argument;
            MsgSetByte(g_kernelMessage, 0, static_cast<uint8_t>(argument));
        }
        if (std::string* field = VersionField(fields_, argument)) *field = "unknown";
        return queued;
    }
    KernelWindowState = kKernelWindowReady;
    if (argument != 4) return 2;
    const BusMessage& m = g_kernelMessage;
    const int d0 = MsgGetByte(m, 0), d1 = MsgGetByte(m, 1), d2 = MsgGetByte(m, 2),
              d3 = MsgGetByte(m, 3);
    switch (g_kernelRequest.selector) {
        case kKernelVersionHardware:
            fields_.hardwareVersion = Format("P %d, V %d, H 0x%02X/%02X", d0, d1, d3, d2);
            break;
        case kKernelVersionNorvix:
            fields_.norvixVersion = Format("V %d.%d, App# %2d", d1, d0, d2);
            break;
        case kKernelVersionApplication:
            fields_.applicationVersion = Format("V %d.%d, Build %02d-%02d", d1, d0, d3, d2);
            break;
        default: break;
    }
    return 0;
}

int KernelApi::SlotRequest(int phase, uint32_t argument) {
    if (phase == 1) {
        const int queued = QueueKernelRequest(&KernelApi::SlotRequest, kKernelDebugId);
        if (queued == 0) {
            g_kernelRequest.selector = argument;
            MsgSetByte(g_kernelMessage, 0, 0);
            MsgSetByte(g_kernelMessage, 1, static_cast<uint8_t>(argument));
        }
        fields_.slotResult.clear();
        return queued;
    }
    KernelWindowState = kKernelWindowReady;
    if (argument != 2) return 2;
    fields_.slotResult = Format("Slot %d: %d", static_cast<int32_t>(g_kernelRequest.selector),
                                MsgGetWord(g_kernelMessage, 0));
    return 0;
}

int KernelApi::TimerRequest(int phase, uint32_t argument) {
    if (phase == 1) {
        const int queued = QueueKernelRequest(&KernelApi::TimerRequest, kKernelDebugId);
        if (queued == 0) {
            g_kernelRequest.selector = argument;
            MsgSetByte(g_kernelMessage, 0, 0);
            MsgSetByte(g_kernelMessage, 1, static_cast<uint8_t>(255 - (argument & 0xFF)));
        }
        fields_.timerResult.clear();
        return queued;
    }
    KernelWindowState = kKernelWindowReady;
    if (argument != 2) return 2;
    fields_.timerResult = Format("Timer %d: %d", static_cast<int32_t>(g_kernelRequest.selector),
                                 MsgGetWord(g_kernelMessage, 0));
    return 0;
}

int KernelApi::BytesRequest(int phase, uint32_t argument) {
    if (phase == 1) {
        const int queued = QueueKernelRequest(&KernelApi::BytesRequest, kKernelDebugId);
        if (queued == 0) MsgSetByte(g_kernelMessage, 0, 1);
        fields_.bytesResult.clear();
        return queued;
    }
    KernelWindowState = kKernelWindowReady;
    if (argument != 4) return 2;
    const BusMessage& m = g_kernelMessage;
    fields_.bytesResult = Format("Hex: %02X %02X %02X %02X", MsgGetByte(m, 0), MsgGetByte(m, 1),
                                 MsgGetByte(m, 2), MsgGetByte(m, 3));
    return 0;
}

void KernelApi::KernelRequestTick() {
    switch (request_.Tick(procedure_ != nullptr, g_kernelRequest.replyTimeoutMs)) {
        case RequestEvent::Started:
            // Until then a refused start keeps its wait: the request goes out later exactly as
            // it was asked.
            g_kernelRequest.replyTimeoutMs = 0;
            break;
        case RequestEvent::NoReply:
            ReportKernelResult(kKernelResultNoReply);
            break;
        case RequestEvent::Replied:
            if (procedure_ != nullptr &&
                RunPhase(procedure_, 2, static_cast<uint32_t>(request_.replyLength())) == 2)
                ReportKernelResult(kKernelResultWrongFormat);
            break;
        default: break;
    }
}

bool KernelApi::ConfirmEepromOverwrite(int32_t value) {
    if (value == 0) return true;
    return view_.ask(kEepromOverwriteQuestion, MessageIcon::Exclamation,
                     MessageButtons::OkCancel) == MessageAnswer::Ok;
}

void KernelApi::ReportKernelResult(int code) {
    const std::string line = KernelResultLine(code, g_kernelRequest.id);
    shell_.AppendMonitorLog(line);
    const bool outcome = code == kKernelResultCommandOk || code == kKernelResultNoReply ||
                         code == kKernelResultWrongFormat;
    if (!outcome || journaledCommand_.empty()) return;
    JournalRecord record;
    record.operation = journaledCommand_;
    record.outcome = line;
    journaledCommand_.clear();
    RecordServiceOperation(shell_, std::move(record));
}

}  // namespace nvx
