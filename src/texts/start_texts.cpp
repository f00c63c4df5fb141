#include "texts/start_texts.h"

#include <cctype>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "journal/service_journal.h"
#include "platform/format.h"
#include "platform/text_encoding.h"

namespace nvx {

int32_t TextsWindowState = kTextsNotOpen;
int32_t TextsRequestState = kTextsRequestIdle;
TextsTransfer g_textsTransfer{};

namespace {

const std::string kBlankLine(kTextsLineLength, ' ');

// "%15s" of the first 15 characters: cut, then padded on the left.
std::string RightAligned(const std::string& text) {
    return Format("%15s", text.substr(0, kTextsLineLength).c_str());
}

// A zero byte would end the field's text where it stands; it is shown as a space.
std::string Displayable(std::string line) {
    for (char& c : line) {
        if (c == '\0') c = ' ';
    }
    return line;
}

constexpr const char* kWarningPrefix = " > Warning: ";
constexpr const char* kLossyWriteQuestionEnd = "Write the texts all the same?";
constexpr const char* kLossyWriteDeclined = " > Starting texts not written";

bool IsControlCharacter(uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

// "U+20AC at 3" or, for a byte that is no UTF-8, "byte 0xFF at 3".
std::string NamedAt(const Utf8Character& ch, int position) {
    return ch.valid ? Format("U+%04X at %d", ch.code, position)
                    : Format("byte 0x%02X at %d", ch.code, position);
}

void AppendListed(std::string& list, const std::string& item) {
    if (!list.empty()) list += ", ";
    list += item;
}

}  // namespace

std::vector<std::string> TextsLineWarnings(int lineNumber, const std::string& typedUtf8) {
    std::string unshown;   // outside ISO 8859-1
    std::string controls;  // written, but no sign on the panel
    std::string cut;       // past the 15th character, as it would have been written
    int position = 0;
    for (std::size_t at = 0; at < typedUtf8.size();) {
        const Utf8Character ch = NextUtf8Character(typedUtf8, at);
        ++position;
        const bool latin1 = ch.valid && ch.code <= 0xFF;
        if (position > kTextsLineLength)
            cut += latin1 ? static_cast<char>(ch.code) : '?';
        else if (!latin1)
            AppendListed(unshown, NamedAt(ch, position));
        else if (IsControlCharacter(ch.code))
            AppendListed(controls, NamedAt(ch, position));
        at += ch.length;
    }
    std::vector<std::string> warnings;
    const std::string line = Format("%sline %d", kWarningPrefix, lineNumber);
    if (!cut.empty()) {
        const std::string which =
            position == kTextsLineLength + 1
                ? Format("character %d is cut", position)
                : Format("characters %d to %d are cut", kTextsLineLength + 1, position);
        warnings.push_back(Format("%s has %d characters, the panel shows %d: %s (\"%s\")",
                                  line.c_str(), position, kTextsLineLength, which.c_str(),
                                  EscapeControlCharacters(cut).c_str()));
    }
    if (!unshown.empty())
        warnings.push_back(Format("%s: the panel cannot show %s: written as \"?\"", line.c_str(),
                                  unshown.c_str()));
    if (!controls.empty())
        warnings.push_back(Format("%s: the panel cannot show the control characters %s: written "
                                  "as they are",
                                  line.c_str(), controls.c_str()));
    return warnings;
}

std::string TextsJournalText(const std::string& line1Latin1, const std::string& line2Latin1) {
    const auto quoted = [](const std::string& latin1) {
        std::string doubled;
        for (const char c : latin1) {
            doubled += c;
            if (c == '\\') doubled += c;
        }
        return "\"" + EscapeControlCharacters(doubled) + "\"";
    };
    return quoted(line1Latin1) + " " + quoted(line2Latin1);
}

StartTexts::StartTexts(TimerService& timers, MonitorShell& shell, StartTextsView& view)
    : timers_(timers), shell_(shell), view_(view) {}

StartTexts::~StartTexts() {
    if (timerId_ != 0) timers_.stop(timerId_);
}

void StartTexts::InitDialog() {
    view_.setProgressRange(0, kTextsCharCount);
    if (timerId_ == 0) timerId_ = timers_.start(g_tickPeriodMs, [this] { OnTimer(); });
    TextsWindowState = kTextsReady;
    g_textsTransfer.readState = kTextsProcIdle;
    g_textsTransfer.writeState = kTextsProcIdle;
    TextsRequestState = kTextsRequestIdle;
    g_textsTransfer.textBuffer[0] = kBlankLine;
    g_textsTransfer.textBuffer[1] = kBlankLine;
}

void StartTexts::OnRead() {
    switch (TextsWindowState) {
    case kTextsNotOpen:
        ReportTextsResult(kTextsPortNotOpen);
        break;
    case kTextsReady:
        g_textsTransfer.readState = kTextsProcStarting;
        TextsWindowState = kTextsReading;
        break;
    default:
        ReportTextsResult(kTextsCommandInProgress);
        break;
    }
}

void StartTexts::OnWrite() {
    switch (TextsWindowState) {
    case kTextsNotOpen:
        ReportTextsResult(kTextsPortNotOpen);
        break;
    case kTextsReady:
        if (!ConfirmLossyWrite()) break;
        g_textsTransfer.writeState = kTextsProcStarting;
        TextsWindowState = kTextsWriting;
        break;
    default:
        ReportTextsResult(kTextsCommandInProgress);
        break;
    }
}

bool StartTexts::ConfirmLossyWrite() {
    std::string typed[kTextsLineCount];
    view_.readTypedLines(typed[0], typed[1]);
    std::string question;
    for (int i = 0; i < kTextsLineCount; ++i) {
        for (const std::string& warning : TextsLineWarnings(i + 1, typed[i])) {
            shell_.AppendMonitorLog(warning);
            std::string said = warning.substr(std::string(kWarningPrefix).size());
            said[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(said[0])));
            question += said + "\r\n";
        }
    }
    if (question.empty()) return true;
    question += std::string("\r\n") + kLossyWriteQuestionEnd;
    if (view_.ask(question, MessageIcon::Question, MessageButtons::YesNo) == MessageAnswer::Yes)
        return true;
    shell_.AppendMonitorLog(kLossyWriteDeclined);
    return false;
}

void StartTexts::OnTestCom() {
    switch (TextsWindowState) {
    case kTextsNotOpen:
        ReportTextsResult(kTextsPortNotOpen);
        break;
    case kTextsReady:
        if (TestExchange(1, 0) == 1)
            ReportTextsResult(kTextsErrorInitiating);
        else
            TextsWindowState = kTextsTesting;
        break;
    default:
        ReportTextsResult(kTextsCommandInProgress);
        break;
    }
}

void StartTexts::OnClose() {
    TextsWindowState = kTextsNotOpen;
    shell_.MarkComPortOpen();
    view_.hideWindow();
}

void StartTexts::OnCancel() { view_.hideWindow(); }

void StartTexts::OnShow() {
    // Showing again after Close makes the buttons work again. Work still under way keeps the
    // window closed; it sets Ready itself when it ends.
    if (TextsWindowState != kTextsNotOpen) return;
    if (g_textsTransfer.readState != kTextsProcIdle || g_textsTransfer.writeState != kTextsProcIdle)
        return;
    if (TestRequestInFlight()) return;
    TextsWindowState = kTextsReady;
}

bool StartTexts::TestRequestInFlight() const {
    return handler_ == &StartTexts::TestExchange &&
           (TextsRequestState == kTextsRequestPending || TextsRequestState == kTextsRequestWaiting);
}

void StartTexts::OnTimer() {
    ReadStep();
    WriteStep();
    RequestStep();
}

uint8_t StartTexts::CurrentAddress() const {
    return static_cast<uint8_t>(g_textsTransfer.lineIndex * kTextsLineLength +
                                g_textsTransfer.charIndex);
}

bool StartTexts::AdvanceCharacter() {
    TextsTransfer& t = g_textsTransfer;
    if (++t.charIndex < kTextsLineLength) return false;
    t.charIndex = 0;
    return ++t.lineIndex >= kTextsLineCount;
}

void StartTexts::SetReadingProgress(int value) {
    if (value == readingProgress_) return;
    readingProgress_ = value;
    view_.setReadingProgress(value);
}

void StartTexts::SetWritingProgress(int value) {
    if (value == writingProgress_) return;
    writingProgress_ = value;
    view_.setWritingProgress(value);
}

void StartTexts::ReadStep() {
    TextsTransfer& t = g_textsTransfer;
    switch (t.readState) {
    case kTextsProcIdle:
        SetReadingProgress(0);
        break;
    case kTextsProcStarting:
        t.lineIndex = 0;
        t.charIndex = 0;
        if (TextsRequestState == kTextsRequestIdle) t.readState = kTextsProcRequesting;
        break;
    case kTextsProcRequesting:
        if (ReadCharExchange(1, 0) == 1)
            ReportTextsResult(kTextsErrorInitiating);
        else
            t.readState = kTextsProcAwaiting;
        break;
    case kTextsProcAwaiting:
        if (TextsRequestState != kTextsRequestIdle) break;
        SetReadingProgress(CurrentAddress());
        t.readState = kTextsProcRequesting;
        if (AdvanceCharacter()) {
            ReportTextsResult(kTextsReadingFinished);
            t.readState = kTextsProcIdle;
            TextsWindowState = kTextsReady;
            fields_.readLine1 = Displayable(t.textBuffer[0]);
            fields_.readLine2 = Displayable(t.textBuffer[1]);
        }
        view_.writeReadControls(fields_);
        break;
    default:
        break;
    }
}

void StartTexts::WriteStep() {
    TextsTransfer& t = g_textsTransfer;
    switch (t.writeState) {
    case kTextsProcIdle:
        SetWritingProgress(0);
        break;
    case kTextsProcStarting:
        view_.readControls(fields_);
        t.textBuffer[0] = RightAligned(fields_.writeLine1);
        t.textBuffer[1] = RightAligned(fields_.writeLine2);
        t.lineIndex = 0;
        t.charIndex = 0;
        if (TextsRequestState == kTextsRequestIdle) t.writeState = kTextsProcRequesting;
        break;
    case kTextsProcRequesting:
        if (WriteCharExchange(1, 0) == 1)
            ReportTextsResult(kTextsErrorInitiating);
        else
            t.writeState = kTextsProcAwaiting;
        break;
    case kTextsProcAwaiting:
        if (TextsRequestState != kTextsRequestIdle) break;
        SetWritingProgress(CurrentAddress());
        t.writeState = kTextsProcRequesting;
        if (AdvanceCharacter()) {
            ReportTextsResult(kTextsWritingFinished);
            t.writeState = kTextsProcIdle;
            TextsWindowState = kTextsReady;
        }
        break;
    default:
        break;
    }
}

void StartTexts::RequestStep() {
    const RequestEvent event = request_.Tick(handler_ != nullptr);
    if (event == RequestEvent::NoReply || event == RequestEvent::Lost) {
        if (event == RequestEvent::NoReply) ReportTextsResult(kTextsNoReply);
        // The handler is not asked about a lost request, so a test ends here.
        if (handler_ == &StartTexts::TestExchange) TextsWindowState = kTextsReady;
    } else if (event == RequestEvent::Replied) {
        const int32_t judged = (this->*handler_)(2, request_.replyLength());
        if (judged == kExchangeWrongFormat)
            ReportTextsResult(kTextsWrongFormatResponse);
        else if (judged == kExchangeWrongContent)
            ReportTextsResult(kTextsWrongCommandResponse);
    }
}

int32_t StartTexts::PrepareTextsRequest(ExchangeHandler handler, uint32_t commandId) {
    if (!request_.Queue(commandId)) return 1;
    handler_ = handler;
    return 0;
}

int32_t StartTexts::ReadCharExchange(int32_t phase, int32_t pollResult) {
    TextsTransfer& t = g_textsTransfer;
    char& slot = t.textBuffer[t.lineIndex][t.charIndex];
    if (phase == 1) {
        slot = '?';
        const int32_t prepared = PrepareTextsRequest(&StartTexts::ReadCharExchange, kTextsCommandId);
        // When busy, the message may still belong to the request under way: leave it alone.
        if (prepared == 0) MsgSetByte(t.requestMessage, 0, CurrentAddress());
        return prepared;
    }
    if (pollResult != 2) return kExchangeWrongFormat;
    slot = static_cast<char>(MsgGetByte(t.requestMessage, 0));
    return kExchangeGood;
}

int32_t StartTexts::WriteCharExchange(int32_t phase, int32_t pollResult) {
    TextsTransfer& t = g_textsTransfer;
    const uint8_t character = static_cast<uint8_t>(t.textBuffer[t.lineIndex][t.charIndex]);
    if (phase == 1) {
        const int32_t prepared =
            PrepareTextsRequest(&StartTexts::WriteCharExchange, kTextsCommandId);
        if (prepared == 0) {
            MsgSetByte(t.requestMessage, 0, CurrentAddress() | kTextsWriteFlag);
            MsgSetByte(t.requestMessage, 1, character);
        }
        return prepared;
    }
    if (pollResult != 2) return kExchangeWrongFormat;
    return MsgGetByte(t.requestMessage, 0) != character ? kExchangeWrongContent : kExchangeGood;
}

int32_t StartTexts::TestExchange(int32_t phase, int32_t pollResult) {
    if (phase == 1) {
        const int32_t prepared = PrepareTextsRequest(&StartTexts::TestExchange, kTextsCommandId);
        if (prepared == 0) MsgSetByte(g_textsTransfer.requestMessage, 0, 0);
        return prepared;
    }
    int32_t judged = kExchangeWrongFormat;
    if (pollResult == 2) {
        ReportTextsResult(kTextsCommunicationOk);
        judged = kExchangeGood;
    }
    TextsWindowState = kTextsReady;
    return judged;
}

void StartTexts::ReportTextsResult(int32_t code) {
    std::string line;
    switch (code) {
    case kTextsPortNotOpen:
        line = "E> COM Port NOT Open";
        break;
    case kTextsCommandInProgress:
        line = "E> Command in progress";
        break;
    case kTextsErrorInitiating:
        line = "E> Error initiating transfer";
        break;
    case kTextsNoReply:
        line = "E> No reply from Solvane";
        break;
    case kTextsWrongCommandResponse:
        line = Format("E> Wrong command response at ID: %04X", g_textsTransfer.commandId);
        break;
    case kTextsWrongFormatResponse:
        line = Format("E> Wrong format response at ID: %04X", g_textsTransfer.commandId);
        break;
    case kTextsCommunicationOk:
        line = "I> Communication OK";
        break;
    case kTextsReadingFinished:
        line = "I> Reading text finished";
        break;
    case kTextsWritingFinished:
        line = "I> Writing text finished";
        break;
    default:
        break;
    }
    shell_.AppendMonitorLog(line);
    JournalWrite(code, line);
}

void StartTexts::JournalWrite(int32_t code, const std::string& line) {
    if (g_textsTransfer.writeState == kTextsProcIdle) return;
    const bool fault = code == kTextsErrorInitiating || code == kTextsNoReply ||
                       code == kTextsWrongCommandResponse || code == kTextsWrongFormatResponse;
    if (fault) writeFault_ = line;
    if (code != kTextsWritingFinished) return;
    // A character that went wrong on the way outweighs the finish line.
    JournalRecord record;
    record.operation = std::string(kJournalStartingTexts) + " " +
                       TextsJournalText(g_textsTransfer.textBuffer[0],
                                        g_textsTransfer.textBuffer[1]);
    record.outcome = writeFault_.empty() ? line : writeFault_;
    writeFault_.clear();
    RecordServiceOperation(shell_, std::move(record));
}

}  // namespace nvx
