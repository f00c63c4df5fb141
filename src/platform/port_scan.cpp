#include "platform/port_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "platform/com_port_names.h"
#include "platform/format.h"

extern char** environ;

namespace nvx {

namespace {

// "<prefix><decimal>" with the decimal written as std::to_string writes it (the resolution only
// ever builds such names): the number.
std::optional<uint64_t> NumberAfter(const std::string& text, const std::string& prefix) {
    if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) return {};
    const std::string digits = text.substr(prefix.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return {};
    uint64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return {};
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    return n;
}

// A COM number: 1 .. UINT32_MAX.
std::optional<uint32_t> ComNumber(std::optional<uint64_t> n) {
    if (!n || *n < 1 || *n > UINT32_MAX) return {};
    return static_cast<uint32_t>(*n);
}
std::optional<uint32_t> ComNumber(uint64_t n) { return ComNumber(std::optional<uint64_t>(n)); }

// Links the example udev rule (60-norvix-serial.rules) makes in /dev.
constexpr const char* kStableLinkPrefix = "norvix-";

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return names;
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool IsCharDevice(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// "ttyS2" before "ttyS10".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

PortScanSources SystemPortScanSources() {
    PortScanSources s;
    for (char** e = environ; e && *e; ++e) s.environment.emplace_back(*e);
    s.startDirectory = ComStartDirectory();
    return s;
}

PortScan ScanSerialPorts(const PortScanSources& sources) {
    const std::string envPrefix = kComEnvironmentPrefix;
    auto lookup = [&](const std::string& name) -> std::string {
        for (const std::string& entry : sources.environment)
            if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
                entry[name.size()] == '=')
                return entry.substr(name.size() + 1);
        return {};
    };

    // Every number some source can answer for, and how the number is reached.
    std::set<uint32_t> numbers;
    for (const std::string& entry : sources.environment) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        if (auto n = ComNumber(NumberAfter(entry.substr(0, eq), envPrefix))) numbers.insert(*n);
    }
    const std::string startDir =
        sources.startDirectory.empty() ? std::string() : WithTrailingSlash(sources.startDirectory);
    for (const std::string& name : DirectoryEntries(sources.startDirectory)) {
        if (auto n = ComNumber(NumberAfter(name, kComLinkPrefix))) numbers.insert(*n);
    }

    std::map<std::string, SerialDeviceInfo> devices;  // by canonical path
    const std::string devDir = WithTrailingSlash(sources.devDirectory);
    for (const std::string& name : DirectoryEntries(sources.devDirectory)) {
        const std::optional<uint64_t> uart = NumberAfter(name, "ttyS");
        const bool serial = uart || NumberAfter(name, "ttyUSB") || NumberAfter(name, "ttyACM");
        if (!serial || !IsCharDevice(devDir + name)) continue;
        const std::string real = RealPath(devDir + name);
        if (real.empty()) continue;
        SerialDeviceInfo& info = devices[real];
        info.device = real;
        if (!uart) continue;
        if (auto n = ComNumber(*uart + 1)) numbers.insert(*n);
        // The kernel makes ttyS lines whether or not a UART answers; type 0 means none did.
        std::ifstream type(WithTrailingSlash(sources.sysTtyDirectory) + name + "/type");
        int value = -1;
        if (type >> value) info.noUart = value == 0;
    }

    PortScan scan;
    for (const uint32_t n : numbers) {
        const std::string path =
            ResolveComPortWith(n, sources.startDirectory, lookup, sources.devDirectory);
        std::string via;
        if (!lookup(envPrefix + std::to_string(n)).empty())
            via = envPrefix + std::to_string(n);
        else if (path == startDir + kComLinkPrefix + std::to_string(n))
            via = std::string("./") + kComLinkPrefix + std::to_string(n);
        else
            via = "default";
        const ComRoute route{n, via, path};
        const std::string real = RealPath(path);
        if (real.empty() || !IsCharDevice(real)) {
            // A missing ttyS line is no route anybody set up; everything else is worth showing.
            if (via != "default") scan.unresolved.push_back(route);
            continue;
        }
        devices[real].device = real;
        devices[real].routes.push_back(route);
    }

    for (const std::string& name : DirectoryEntries(sources.byIdDirectory)) {
        const std::string real = RealPath(WithTrailingSlash(sources.byIdDirectory) + name);
        auto it = devices.find(real);
        if (it != devices.end()) it->second.byIdNames.push_back(name);
    }
    // A stable link names a serial line whatever the kernel called it.
    for (const std::string& name : DirectoryEntries(sources.devDirectory)) {
        if (name.rfind(kStableLinkPrefix, 0) != 0) continue;
        const std::string real = RealPath(devDir + name);
        if (real.empty() || !IsCharDevice(real)) continue;
        devices[real].device = real;
        devices[real].stableLinks.push_back(devDir + name);
    }

    for (auto& entry : devices) {
        std::sort(entry.second.byIdNames.begin(), entry.second.byIdNames.end());
        std::sort(entry.second.stableLinks.begin(), entry.second.stableLinks.end(), NaturalLess);
        scan.devices.push_back(entry.second);
    }
    std::sort(scan.devices.begin(), scan.devices.end(),
              [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) {
                  return NaturalLess(a.device, b.device);
              });
    return scan;
}

std::string FormatPortScan(const PortScan& scan, const std::string& startDirectory) {
    std::string out = "Start directory: " + startDirectory + "\n";
    std::string stableExample;
    if (scan.devices.empty()) {
        out += "Serial devices: none found\n";
    } else {
        out += "Serial devices:\n";
        for (const SerialDeviceInfo& d : scan.devices) {
            std::string coms;
            for (const ComRoute& r : d.routes) {
                if (!coms.empty()) coms += ", ";
                coms += Format("COM %u (%s)", r.number, r.via.c_str());
            }
            std::string line = Format("  %-16s %s", d.device.c_str(), coms.empty() ? "-" : coms.c_str());
            for (std::size_t i = 0; i < d.byIdNames.size(); ++i)
                line += (i == 0 ? "  by-id: " : ", ") + d.byIdNames[i];
            for (std::size_t i = 0; i < d.stableLinks.size(); ++i)
                line += (i == 0 ? "  stable: " : ", ") + d.stableLinks[i];
            if (d.noUart) line += "  (no UART detected)";
            out += line + "\n";
            if (stableExample.empty() && !d.stableLinks.empty()) stableExample = d.stableLinks[0];
        }
    }
    if (!stableExample.empty())
        out += "Stable names from the udev rule keep their device when it is plugged in again;\n"
               "give one a COM number with a link in the start directory, e.g. ln -s " +
               stableExample + " com1\n";
    if (!scan.unresolved.empty()) {
        out += "COM numbers that lead to no serial device:\n";
        for (const ComRoute& r : scan.unresolved)
            out += Format("  COM %u (%s) -> %s\n", r.number, r.via.c_str(), r.path.c_str());
    }
    return out;
}

}  // namespace nvx
