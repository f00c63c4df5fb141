#include "sim/part_description.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace nvx::sim {

namespace {

constexpr const char* kInstalledDevicesDir = "share/norvix-monitor/devices";

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' ||
                          s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                          s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Text between <tag> and </tag> inside the <part> element; false when absent or repeated.
bool ElementText(std::string_view xml, std::string_view tag, std::string& out) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    const size_t a = xml.find(open);
    if (a == std::string_view::npos) return false;
    const size_t b = xml.find(close, a + open.size());
    if (b == std::string_view::npos) return false;
    if (xml.find(open, b) != std::string_view::npos) return false;
    out = std::string(Trim(xml.substr(a + open.size(), b - a - open.size())));
    return true;
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul || text[0] == '-') return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Removes <!-- ... --> so a commented-out element is not taken.
std::string WithoutComments(std::string_view xml) {
    std::string out;
    size_t pos = 0;
    while (pos < xml.size()) {
        const size_t a = xml.find("<!--", pos);
        if (a == std::string_view::npos) {
            out.append(xml.substr(pos));
            break;
        }
        out.append(xml.substr(pos, a - pos));
        const size_t b = xml.find("-->", a + 4);
        if (b == std::string_view::npos) break;
        pos = b + 3;
    }
    return out;
}

}  // namespace

// No page or byte of an AVR takes anywhere near this; a larger figure is a typing error.
constexpr uint32_t kLongestChipTimeUs = 1'000'000;

bool ParsePartDescription(std::string_view xmlText, PartDescription& part, std::string& error) {
    const std::string xml = WithoutComments(xmlText);
    std::string body;
    if (!ElementText(xml, "part", body)) {
        error = "no <part> element";
        return false;
    }
    PartDescription p;
    std::string text;
    auto need = [&](const char* tag, std::string& out) {
        if (ElementText(body, tag, out) && !out.empty()) return true;
        error = std::string("missing or repeated <") + tag + ">";
        return false;
    };
    if (!need("name", p.name) || !need("avrdudePart", p.avrdudePart)) return false;
    if (!need("signature", text)) return false;
    {
        std::istringstream ss(text);
        std::string word;
        size_t n = 0;
        while (ss >> word) {
            uint32_t v = 0;
            if (n >= 3 || !ParseNumber("0x" + word, v) || v > 0xFF || word.size() > 2) {
                error = "<signature> must be three hexadecimal bytes";
                return false;
            }
            p.signature[n++] = static_cast<uint8_t>(v);
        }
        if (n != 3) {
            error = "<signature> must be three hexadecimal bytes";
            return false;
        }
    }
    struct {
        const char* tag;
        uint32_t* value;
    } numbers[] = {{"flashSize", &p.flashSize},
                   {"flashPageSize", &p.flashPageSize},
                   {"eepromSize", &p.eepromSize}};
    for (auto& n : numbers) {
        if (!need(n.tag, text)) return false;
        if (!ParseNumber(text, *n.value) || *n.value == 0) {
            error = std::string("<") + n.tag + "> is not a positive number";
            return false;
        }
    }
    struct {
        const char* tag;
        uint32_t* value;
    } chipTimes[] = {{"pageEraseUs", &p.pageEraseUs},
                     {"pageWriteUs", &p.pageWriteUs},
                     {"eepromByteUs", &p.eepromByteUs}};
    for (auto& t : chipTimes) {
        if (!ElementText(body, t.tag, text)) continue;
        if (!ParseNumber(text, *t.value) || *t.value > kLongestChipTimeUs) {
            error = std::string("<") + t.tag + "> is not a time in microseconds up to 1 s";
            return false;
        }
    }
    if (p.flashPageSize > p.flashSize || p.flashSize % p.flashPageSize != 0) {
        error = "<flashSize> is not a whole number of pages";
        return false;
    }
    part = std::move(p);
    return true;
}

bool ReadPartDescription(const std::string& path, PartDescription& part, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (!ParsePartDescription(ss.str(), part, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::vector<std::string> PartSearchDirectories(const std::string& preferred) {
    std::vector<std::string> dirs;
    if (!preferred.empty()) dirs.push_back(preferred);
    dirs.push_back(".");
    // The installed copy beside this program's bin/, wherever the tree was put (a package
    // unpacked into another root finds its own).
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) dirs.push_back((self.parent_path().parent_path() / kInstalledDevicesDir).string());
#ifdef NVX_SIM_SOURCE_DEVICES_DIR
    dirs.push_back(NVX_SIM_SOURCE_DEVICES_DIR);
#endif
    return dirs;
}

bool LoadPartDescription(const std::string& chip, const std::string& preferredDir,
                         PartDescription& part, std::string& error) {
    std::string tried;
    for (const std::string& dir : PartSearchDirectories(preferredDir)) {
        const std::string path = dir + "/" + chip + ".xml";
        std::ifstream probe(path);
        if (!probe) {
            tried += (tried.empty() ? "" : ", ") + path;
            continue;
        }
        return ReadPartDescription(path, part, error);
    }
    error = "no part description " + chip + ".xml (tried " + tried + ")";
    return false;
}

}  // namespace nvx::sim
