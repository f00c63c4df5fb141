#pragma once
// File dialogs for tests: record what they were asked and answer from a queue.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/gui/file_dialogs.h"

namespace nvx {

class RecordingFileDialogs : public FileDialogs {
public:
    struct Asked {
        bool save;
        std::string title;
        std::string initialPath;
        std::string filter;
        bool newNameTaken = false;  // asked through openOrNew
    };
    bool open(QWidget*, const std::string& title, const std::string& initialPath,
              const std::string& filter, std::string& chosen) override {
        asked.push_back({false, title, initialPath, filter});
        return Answer(chosen);
    }
    bool openOrNew(QWidget*, const std::string& title, const std::string& initialPath,
                   const std::string& filter, std::string& chosen) override {
        asked.push_back({false, title, initialPath, filter, true});
        return Answer(chosen);
    }
    bool save(QWidget*, const std::string& filter, std::string& chosen) override {
        asked.push_back({true, {}, {}, filter});
        return Answer(chosen);
    }
    std::vector<Asked> asked;
    std::deque<std::optional<std::string>> answers;  // nullopt or none left: Cancel

private:
    bool Answer(std::string& chosen) {
        if (answers.empty()) return false;
        const std::optional<std::string> a = answers.front();
        answers.pop_front();
        if (!a) return false;
        chosen = *a;
        return true;
    }
};

}  // namespace nvx
