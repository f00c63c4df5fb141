#pragma once
// Message boxes and tones behind small interfaces: the windows answer them with Qt, the CLI on
// the console, the tests with recording doubles
// (tests/support/recording_dialogs.h).

#include <cstdint>
#include <cstdio>
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

// How a console command's question is answered: by --yes, by the user when standard input is a
// terminal, or not at all.
struct ConsoleQuestions {
    bool assumeYes = false;
    bool interactive = false;  // stdin is a terminal
    std::FILE* in = stdin;
    std::FILE* prompt = stderr;
};

// Asks on the terminal as ConsoleQuestions says, and remembers a question left unanswered.
class ConsoleAsker {
public:
    explicit ConsoleAsker(ConsoleQuestions questions) : questions_(questions) {}
    // Ok/Yes from --yes or a typed "ok", "y" or "yes"; anything else declines.
    MessageAnswer ask(const std::string& latin1Text, MessageButtons buttons);
    // A question was asked that nobody could answer (no terminal, no --yes).
    bool refused() const { return refused_; }
    // The user declined.
    bool cancelled() const { return cancelled_; }
private:
    ConsoleQuestions questions_;
    bool refused_ = false;
    bool cancelled_ = false;
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
