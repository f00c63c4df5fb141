#pragma once
// The kernel API: commands to the device's kernel, version and debug queries, one request at a
// time through the shared request engine, outcomes reported to the monitor log.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "comm/converter.h"
#include "comm/request_client.h"
#include "kernel_api/kernel_commands.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"

namespace nvx {

// Request identifiers on the wire.
constexpr uint32_t kKernelCommandId = 0x0080;
constexpr uint32_t kKernelVersionId = 0x0081;
constexpr uint32_t kKernelDebugId = 0x008F;

enum KernelWindowStateValue : uint32_t {
    kKernelWindowNotOpen = 0,
    kKernelWindowReady = 1,
    kKernelWindowBusy = 2,  // a request was accepted and has not been answered yet
};

// The request client's states, as the process-wide state variable holds them.
enum KernelRequestStateValue : uint32_t {
    kKernelRequestIdle = kClientIdle,
    kKernelRequestPending = kClientPending,
    kKernelRequestWaiting = kClientWaiting,
    kKernelRequestSettling = kClientSettling,  // finished; one more tick before Idle
};

// Codes of ReportKernelResult.
enum KernelResult : int {
    kKernelResultNotOpen = 1,
    kKernelResultInProgress = 3,
    kKernelResultInitError = 4,
    kKernelResultNoReply = 5,
    kKernelResultWrongFormat = 7,
    kKernelResultCommunicationOk = 8,
    kKernelResultCommandOk = 9,
    kKernelResultParameterNotNumber = 10,
};

enum KernelVersionSelector : uint32_t {
    kKernelVersionHardware = 0,
    kKernelVersionNorvix = 1,
    kKernelVersionApplication = 2,
};

inline constexpr const char* kKernelWindowTitle = "Norvix Kernel";
inline constexpr const char* kEepromOverwriteQuestion = "This will overwrite eeprom data! Shure?";

// The line ReportKernelResult writes for a code; `id` fills the wrong-format line.
std::string KernelResultLine(int code, uint32_t id);

extern uint32_t KernelWindowState;
extern uint32_t KernelRequestState;
extern BusMessage g_kernelMessage;

// What the current request keeps between its two phases and for the engine.
struct KernelRequestContext {
    uint32_t id;        // identifier, also printed in the wrong-format line
    uint32_t selector;  // command code, version selector, slot or timer number
    uint32_t parameter;
    ParamMode mode;
    uint32_t replyTimeoutMs;  // 0 = the engine's default wait
    int32_t settleCountdownMs;
};
extern KernelRequestContext g_kernelRequest;

// Back to the values at program start (NotOpen, Idle, empty context); tests.
void ResetKernelApiState();

// What the window shows, exchanged with its controls in one step each way.
struct KernelApiFields {
    int32_t commandRow = -1;  // -1: no selection
    std::string parameterText = "0";
    std::string returnCodeDecimal;
    std::string returnCodeHex;
    std::string hardwareVersion = "unknown";
    std::string norvixVersion = "unknown";
    std::string applicationVersion = "unknown";
    int32_t slotNumber = 0;
    std::string slotResult = "0";
    int32_t timerNumber = 0;
    std::string timerResult = "0";
    std::string bytesResult = "00 00 00 00";
};

// An integer number field as the window reads it: decimal, optional sign, surrounding blanks
// allowed, within 32 bits signed.
std::optional<int32_t> ParseFieldInteger(std::string_view text);

// The number fields that held no integer at a read.
struct RejectedNumbers {
    bool slotNumber = false;
    bool timerNumber = false;
};

class KernelApiView {
public:
    virtual ~KernelApiView() = default;
    // Fills the fields from the controls. A number field that does not hold an integer keeps its
    // previous value and is named in the result.
    virtual RejectedNumbers readControls(KernelApiFields& fields) = 0;
    virtual void writeControls(const KernelApiFields& fields) = 0;
    // A modal question; texts are ISO 8859-1.
    virtual MessageAnswer ask(const std::string& text, MessageIcon icon,
                              MessageButtons buttons) = 0;
};

class KernelApi {
public:
    using Procedure = int (KernelApi::*)(int phase, uint32_t argument);

    KernelApi(TimerService& timers, MonitorShell& shell, KernelApiView& view);
    ~KernelApi();
    KernelApi(const KernelApi&) = delete;
    KernelApi& operator=(const KernelApi&) = delete;

    // Window life: creation starts the request timer at the current tick period and makes the
    // window Ready; closing marks it NotOpen (the window hides itself); the timer runs on.
    void OnInitDialog();
    void OnCancel();
    void OnTimer();
    bool IsCreated() const { return timerId_ != 0; }

    // Controls.
    void OnCommandSelected();
    void OnSendCommand();
    void OnVersionButton(uint32_t selector);
    void OnSlotButton();
    void OnTimerButton();
    void OnBytesButton();
    void OnTunnelOn();
    void OnTunnelOff();
    void OnTestCommunication();

    void SendSelectedCommand(int row, std::string parameterText);
    // The gates: each refuses while the window is not open or busy, else queues its request.
    void SendKernelCommand(uint8_t code, int32_t parameter, ParamMode mode,
                           uint32_t replyTimeoutMs = 0);
    void QueryVersion(uint32_t selector);
    void QuerySlot(int32_t slot);
    void QueryTimer(int32_t timer);
    void QueryBytes();

    // Phase 1 builds the request (argument: code, selector or number) and returns 0 queued or
    // 1 not free; phase 2 takes the reply (argument: reply length) and returns 0 or 2 (wrong
    // format).
    int CommandRequest(int phase, uint32_t argument);
    int VersionRequest(int phase, uint32_t argument);
    int SlotRequest(int phase, uint32_t argument);
    int TimerRequest(int phase, uint32_t argument);
    int BytesRequest(int phase, uint32_t argument);

    int QueueKernelRequest(Procedure procedure, uint32_t id);
    void KernelRequestTick();
    bool ConfirmEepromOverwrite(int32_t value);
    void ReportKernelResult(int code);

    KernelApiFields& fields() { return fields_; }
    const KernelApiFields& fields() const { return fields_; }
    Procedure storedProcedure() const { return procedure_; }

private:
    void Gate(Procedure procedure, uint32_t argument, int32_t parameter, ParamMode mode,
              uint32_t replyTimeoutMs);
    void ClearReturnCode();
    int RunPhase(Procedure procedure, int phase, uint32_t argument);
    RejectedNumbers ReadFields();
    void ShowFields();

    TimerService& timers_;
    MonitorShell& shell_;
    // The command under way that changes the unit, as the service journal names it.
    std::string journaledCommand_;
    KernelApiView& view_;
    KernelApiFields fields_;
    Procedure procedure_ = nullptr;
    RequestClient<uint32_t> request_{{KernelRequestState, g_kernelRequest.id, g_kernelMessage,
                                      g_kernelRequest.settleCountdownMs}};
    int timerId_ = 0;
};

}  // namespace nvx
