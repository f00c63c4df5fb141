#include "platform/user_dialogs.h"

#include <cstdio>

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

}  // namespace nvx
