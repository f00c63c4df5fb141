#pragma once
// The "Error Memory" window's logic: the EEPROM report of one image file, shown in an editable
// field and saved as a text file.

#include <cstdint>
#include <string>

namespace nvx {

inline constexpr const char* kErrorMemoryTitle = "Error Memory";
inline constexpr const char* kReportFileFilter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*||";
inline constexpr const char* kSaveFailedText = "Failed to save Error File";

// The name a report is saved under: ".txt" is appended when the path holds no '.' at all
// (directory names included).
std::string ReportFileName(const std::string& chosen);

// Every line end (CR LF, LF or a lone CR) as CR LF.
std::string WithCrLfLineEnds(const std::string& text);

class ErrorMemoryView {
public:
    virtual ~ErrorMemoryView() = default;
    virtual std::string readContent() = 0;  // ISO 8859-1
    virtual void writeContent(const std::string& content) = 0;
    // A save dialog (filter: description|pattern pairs ending in "||") that asks before an
    // existing file is replaced. False when the user cancels.
    virtual bool askSaveFileName(const std::string& filter, std::string& chosen) = 0;
};

class ErrorMemory {
public:
    ErrorMemory(std::string fileName, int32_t deviceRow, ErrorMemoryView& view);

    // Loads the image, appends its report to the content and shows it.
    void OnInitDialog();
    // Saves the field's text (as the user may have edited it).
    void OnSaveToFile();

    const std::string& content() const { return content_; }
    const std::string& fileName() const { return fileName_; }
    int32_t deviceRow() const { return deviceRow_; }

private:
    void Failed();

    std::string content_;
    std::string fileName_;
    int32_t deviceRow_;
    ErrorMemoryView& view_;
};

}  // namespace nvx
