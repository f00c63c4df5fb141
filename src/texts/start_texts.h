#pragma once
// The two 15-character starting texts of a Solvane operating panel: read and written one
// character per request, driven by the window's timer 1.

#include <cstdint>
#include <string>
#include <vector>

#include "comm/converter.h"
#include "comm/request_client.h"
#include "platform/timer_service.h"
#include "shell/shell.h"
#include "platform/user_dialogs.h"

namespace nvx {

inline constexpr const char* kStartTextsWindowTitle = "Solvane Starting Texts";
constexpr int kTextsLineLength = 15;
constexpr int kTextsLineCount = 2;
constexpr int kTextsCharCount = kTextsLineLength * kTextsLineCount;
constexpr uint32_t kTextsCommandId = 0x0411;
// Address byte of a write request: the address with this bit set.
constexpr uint8_t kTextsWriteFlag = 0x80;

enum TextsWindowStateValue : int32_t {
    kTextsNotOpen = 0,
    kTextsReady = 1,
    kTextsReading = 2,
    kTextsWriting = 3,
    kTextsTesting = 4,
};

// States of the read and of the write procedure.
enum TextsProcedureState : int32_t {
    kTextsProcIdle = 0,
    kTextsProcStarting = 1,
    kTextsProcRequesting = 2,
    kTextsProcAwaiting = 3,
};

// The request client's states, as the process-wide state variable holds them.
enum TextsRequestStateValue : int32_t {
    kTextsRequestIdle = kClientIdle,
    kTextsRequestPending = kClientPending,
    kTextsRequestWaiting = kClientWaiting,
    kTextsRequestSettling = kClientSettling,
};

// ReportTextsResult codes.
enum TextsResultCode : int32_t {
    kTextsPortNotOpen = 1,
    kTextsCommandInProgress = 3,
    kTextsErrorInitiating = 4,
    kTextsNoReply = 5,
    kTextsWrongCommandResponse = 6,
    kTextsWrongFormatResponse = 7,
    kTextsCommunicationOk = 8,
    kTextsReadingFinished = 9,
    kTextsWritingFinished = 10,
};

// Exchange handler results of phase 2.
constexpr int32_t kExchangeGood = 0;
constexpr int32_t kExchangeWrongFormat = 2;
constexpr int32_t kExchangeWrongContent = 3;

extern int32_t TextsWindowState;
extern int32_t TextsRequestState;

// The rest of the transfer's process-wide state.
struct TextsTransfer {
    int32_t readState;
    int32_t writeState;
    int32_t settleCountdownMs;
    int32_t lineIndex;
    int32_t charIndex;
    std::string textBuffer[kTextsLineCount];
    BusMessage requestMessage;  // request data out, reply data back
    uint32_t commandId;
};
extern TextsTransfer g_textsTransfer;

// The window's values; ISO 8859-1.
struct StartTextsFields {
    std::string readLine1;
    std::string readLine2;
    std::string writeLine1;
    std::string writeLine2;
};

// What the panel will not get of a writing line as typed (UTF-8): characters past the 15th are
// cut, characters outside ISO 8859-1 are written as "?", control characters are written but shown
// as nothing the panel has. One log line per kind, naming the characters and their positions;
// none when the line arrives as typed.
std::vector<std::string> TextsLineWarnings(int lineNumber, const std::string& typedUtf8);

// The two lines as written, for the service journal: each in quotes, its 15 characters as sent,
// a backslash doubled and control characters as \xHH, so the record stays one line of text.
std::string TextsJournalText(const std::string& line1Latin1, const std::string& line2Latin1);

class StartTextsView {
public:
    virtual ~StartTextsView() = default;
    virtual void readControls(StartTextsFields& fields) = 0;
    // The writing fields as typed, in UTF-8: what the user meant before it was made to fit.
    virtual void readTypedLines(std::string& line1Utf8, std::string& line2Utf8) = 0;
    // A question before a write that would not arrive as typed; ISO 8859-1 text.
    virtual MessageAnswer ask(const std::string& text, MessageIcon icon,
                              MessageButtons buttons) = 0;
    // The two read-only fields; the writing fields belong to the user.
    virtual void writeReadControls(const StartTextsFields& fields) = 0;
    virtual void setProgressRange(int minimum, int maximum) = 0;
    virtual void setReadingProgress(int value) = 0;
    virtual void setWritingProgress(int value) = 0;
    virtual void hideWindow() = 0;
};

// Logic of CStartTextsDlg. One per process: the transfer state it drives is process-wide.
class StartTexts {
public:
    using ExchangeHandler = int32_t (StartTexts::*)(int32_t phase, int32_t pollResult);

    StartTexts(TimerService& timers, MonitorShell& shell, StartTextsView& view);
    ~StartTexts();
    StartTexts(const StartTexts&) = delete;
    StartTexts& operator=(const StartTexts&) = delete;

    // Window initialisation: progress ranges, timer 1 at the current tick period, states.
    void InitDialog();

    // Buttons.
    void OnRead();
    void OnWrite();
    void OnTestCom();
    void OnClose();
    // Escape and the close box: hide only.
    void OnCancel();
    // The window is being shown (from the menu).
    void OnShow();

    // Timer 1.
    void OnTimer();
    void ReadStep();
    void WriteStep();
    void RequestStep();

    int32_t PrepareTextsRequest(ExchangeHandler handler, uint32_t commandId);
    int32_t ReadCharExchange(int32_t phase, int32_t pollResult);
    int32_t WriteCharExchange(int32_t phase, int32_t pollResult);
    int32_t TestExchange(int32_t phase, int32_t pollResult);
    void ReportTextsResult(int32_t code);

    const StartTextsFields& fields() const { return fields_; }
    ExchangeHandler exchangeHandler() const { return handler_; }
    int timerId() const { return timerId_; }
    // Progress bar values as last set.
    int readingProgress() const { return readingProgress_; }
    int writingProgress() const { return writingProgress_; }

private:
    uint8_t CurrentAddress() const;
    // Moves to the next character after one finished; returns true after the 30th.
    bool AdvanceCharacter();
    bool TestRequestInFlight() const;
    void SetReadingProgress(int value);
    void SetWritingProgress(int value);
    // One service journal line per write, when it has finished.
    void JournalWrite(int32_t code, const std::string& line);
    // Says what of the typed lines the panel will not get and asks whether to write all the
    // same; true when there is nothing to say or the user agrees.
    bool ConfirmLossyWrite();

    TimerService& timers_;
    MonitorShell& shell_;
    StartTextsView& view_;
    StartTextsFields fields_;
    ExchangeHandler handler_ = nullptr;
    RequestClient<int32_t> request_{{TextsRequestState, g_textsTransfer.commandId,
                                     g_textsTransfer.requestMessage,
                                     g_textsTransfer.settleCountdownMs}};
    int timerId_ = 0;
    int readingProgress_ = -1;
    int writingProgress_ = -1;
    std::string writeFault_;
};

}  // namespace nvx
