#pragma once
// Message boxes and tones for tests: each records what it was asked, the boxes answer from a
// queue.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/user_dialogs.h"

namespace nvx {

class RecordingMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        std::string text;
        std::string caption;
        MessageIcon icon;
        MessageButtons buttons;
    };
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override {
        shown.push_back({text, caption, icon, buttons});
        if (answers.empty())
            return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
        MessageAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<Shown> shown;
    std::deque<MessageAnswer> answers;  // given in order; Ok/Yes when empty
};

class RecordingToneSink : public ToneSink {
public:
    void play(uint32_t frequencyHz, uint32_t durationMs) override {
        tones.emplace_back(frequencyHz, durationMs);
    }
    std::vector<std::pair<uint32_t, uint32_t>> tones;
};

}  // namespace nvx
