#include "progtool/device_description.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/format.h"

namespace nvx {
namespace {


bool WithoutComments(std::string_view xml, std::string& text, std::string& error) {
    for (std::size_t pos = 0; pos < xml.size();) {
        const std::size_t open = xml.find("<!--", pos);
        text.append(xml.substr(pos, open == std::string_view::npos ? open : open - pos));
        if (open == std::string_view::npos) break;
        const std::size_t close = xml.find("-->", open + 4);
        if (close == std::string_view::npos) {
            error = "unterminated comment";
            return false;
        }
        pos = close + 3;
    }
    return true;
}

bool ReadNumber(std::string_view xml, std::string_view element, bool required, uint32_t& number,
                std::string& error) {
    std::string text;
    if (!ReadDescriptionElement(xml, element, text, error)) {
        if (!required && error == "no <" + std::string(element) + "> element") {
            error.clear();
            return true;
        }
        return false;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const bool allDigits =
        !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                       : std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
    errno = 0;
    const unsigned long long value = allDigits ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!allDigits || errno != 0 || value > UINT32_MAX) {
        error = "<" + std::string(element) + "> holds no number (\"" + text + "\")";
        return false;
    }
    number = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

bool ReadDescriptionElement(std::string_view xml, std::string_view element, std::string& value,
                            std::string& error) {
    std::string text;
    if (!WithoutComments(xml, text, error)) return false;
    const std::string open = "<" + std::string(element) + ">";
    const std::string close = "</" + std::string(element) + ">";
    const std::size_t start = text.find(open);
    if (start == std::string::npos) {
        error = "no " + open + " element";
        return false;
    }
    const std::size_t end = text.find(close, start + open.size());
    if (end == std::string::npos) {
        error = open + " is not closed";
        return false;
    }
    if (text.find(open, end) != std::string::npos) {
        error = "more than one " + open + " element";
        return false;
    }
    value = TrimSpace(std::string_view(text).substr(start + open.size(), end - start - open.size()));
    return true;
}

bool ParseFlashLayout(std::string_view xml, FlashLayout& layout, std::string& error) {
    FlashLayout read;
    if (!ReadDescriptionElement(xml, "name", read.partName, error) ||
        !ReadNumber(xml, "flashSize", true, read.flashSize, error) ||
        !ReadNumber(xml, "bootSize", false, read.bootSize, error) ||
        !ReadNumber(xml, "eepromSize", true, read.eepromSize, error))
        return false;
    if (read.bootSize >= read.flashSize) {
        error = "<bootSize> leaves no room for an application";
        return false;
    }
    layout = read;
    return true;
}

bool ReadFlashLayout(const std::string& path, FlashLayout& layout, std::string& error) {
    std::string xml;
    if (!ReadWholeFile(path, xml, &error)) return false;
    if (!ParseFlashLayout(xml, layout, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace nvx
