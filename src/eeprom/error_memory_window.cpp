#include "eeprom/error_memory_window.h"

#include <filesystem>
#include <utility>

#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"
#include "platform/atomic_file.h"
#include "platform/program_files.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"

namespace nvx {

std::string ReportFileName(const std::string& chosen) {
    return chosen.find('.') == std::string::npos ? chosen + ".txt" : chosen;
}

std::string WithCrLfLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

ErrorMemory::ErrorMemory(std::string fileName, int32_t deviceRow, ErrorMemoryView& view)
    : fileName_(std::move(fileName)), deviceRow_(deviceRow), view_(view) {}

void ErrorMemory::OnInitDialog() {
    EepromImage image;
    std::string error;
    if (!LoadEepromImage(fileName_, image, &error)) {
        content_ += error + "\r\n";
    } else if (const std::string problem = EepromLayoutProblem(image); !problem.empty()) {
        content_ += fileName_ + " is no EEPROM image: " + problem + ".\r\nNo report is made.\r\n";
    } else {
        content_ += BuildEepromReport(image, deviceRow_, ReportHeaderDetails != 0);
    }
    view_.writeContent(content_);
}

void ErrorMemory::Failed() {
    MessageBox().show(kSaveFailedText, kErrorMemoryTitle, MessageIcon::Exclamation,
                      MessageButtons::Ok);
}

void ErrorMemory::OnSaveToFile() {
    content_ = view_.readContent();
    std::string chosen;
    if (!view_.askSaveFileName(kReportFileFilter, chosen)) {
        Failed();
        return;
    }
    const std::string path = ReportFileName(chosen);
    // The dialog asked about the name it was given; the name with ".txt" is asked about here.
    if (!ConfirmSaveTarget(path, path == chosen, kErrorMemoryTitle, StartDirectory)) {
        Failed();
        return;
    }
    view_.writeContent(content_);
    // One line end per line on disk, and never a half-written file under the chosen name.
    if (!WriteFileAtomically(path, WithCrLfLineEnds(content_))) Failed();
}

}  // namespace nvx
