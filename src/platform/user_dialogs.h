#pragma once
// Message boxes and tones behind small interfaces: the windows answer them with Qt, the CLI on
// the console, the tests with recording doubles
// (tests/support/recording_dialogs.h).

#include <cstdint>
#include <string>

namespace nvx {

enum class MessageIcon { None, Stop, Exclamation, Information, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageAnswer { Ok, Cancel, Yes, No };

// Texts are ISO 8859-1 bytes.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual MessageAnswer show(const std::string& text, const std::string& caption,
                               MessageIcon icon, MessageButtons buttons = MessageButtons::Ok) = 0;
};

// The process-wide message boxes (a console writer unless a front end sets another).
MessageBoxes& MessageBox();
void SetMessageBoxes(MessageBoxes* boxes);  // nullptr restores the console writer

// Writes each message to standard error and answers Ok/Yes.
class ConsoleMessageBoxes : public MessageBoxes {
public:
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override;
};

// Sounds a tone; the pair order must hold, playing need not block.
class ToneSink {
public:
    virtual ~ToneSink() = default;
    virtual void play(uint32_t frequencyHz, uint32_t durationMs) = 0;
};

class SilentToneSink : public ToneSink {
public:
    void play(uint32_t, uint32_t) override {}
};

}  // namespace nvx
