#pragma once
// Finding the serial devices and the COM numbers that reach them (`nvx ports`).

#include <cstdint>
#include <string>
#include <vector>

namespace nvx {

struct ComRoute {
    uint32_t number;
    std::string via;   // "NORVIX_COM5", "./com1" or the /dev/ttyS path
    std::string path;  // the path the number resolves to
};

struct SerialDeviceInfo {
    std::string device;                 // canonical path
    std::vector<std::string> byIdNames;  // names in the by-id directory that lead to it
    std::vector<std::string> stableLinks;  // links <dev>/norvix-* (the example udev rule) to it
    std::vector<ComRoute> routes;       // COM numbers that resolve to it, ascending
    bool noUart = false;                // a ttyS line with no UART behind it
};

struct PortScan {
    std::vector<SerialDeviceInfo> devices;  // in natural order of their paths
    std::vector<ComRoute> unresolved;       // numbers whose path leads to no device
};

struct PortScanSources {
    std::vector<std::string> environment;  // "NAME=value" entries
    std::string startDirectory;
    std::string devDirectory = "/dev";
    std::string byIdDirectory = "/dev/serial/by-id";
    std::string sysTtyDirectory = "/sys/class/tty";
};

// The sources of this process: its environment, ComStartDirectory() and the real /dev.
PortScanSources SystemPortScanSources();
PortScan ScanSerialPorts(const PortScanSources& sources);
// The listing `nvx ports` prints (UTF-8/ASCII, LF line ends).
std::string FormatPortScan(const PortScan& scan, const std::string& startDirectory);

}  // namespace nvx
