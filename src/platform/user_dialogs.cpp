#include "platform/user_dialogs.h"

#include <cstdio>

#include "platform/text_encoding.h"

namespace nvx {

namespace {
ConsoleMessageBoxes g_consoleBoxes;
MessageBoxes* g_boxes = &g_consoleBoxes;
}  // namespace

MessageBoxes& MessageBox() { return *g_boxes; }
void SetMessageBoxes(MessageBoxes* boxes) { g_boxes = boxes ? boxes : &g_consoleBoxes; }

MessageAnswer ConsoleMessageBoxes::show(const std::string& text, const std::string& caption,
                                        MessageIcon, MessageButtons buttons) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

MessageAnswer ConsoleAsker::ask(const std::string& latin1Text, MessageButtons buttons) {
    const bool yesNo = buttons == MessageButtons::YesNo;
    const MessageAnswer accept = yesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    const MessageAnswer decline = yesNo ? MessageAnswer::No : MessageAnswer::Cancel;
    if (questions_.assumeYes) return accept;
    if (!questions_.interactive) {
        refused_ = true;
        return decline;
    }
    std::fprintf(questions_.prompt, "%s [%s] ", Latin1ToUtf8(latin1Text).c_str(),
                 yesNo ? "yes/no" : "ok/cancel");
    std::fflush(questions_.prompt);
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, questions_.in) != nullptr) {
        std::string a(answer);
        while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' ')) a.pop_back();
        if (a == "ok" || a == "OK" || a == "y" || a == "yes") return accept;
    }
    cancelled_ = true;
    return decline;
}

}  // namespace nvx
