#pragma once
// One COM port over termios: exclusive, raw 8N1, non-blocking reads, settings restored on close.

#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nvx {

class SerialPort {
public:
    SerialPort() = default;
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // byteSize 5..8; stopBits 0 = one, 1 = one and a half, 2 = two; parity 0 none, 1 odd,
    // 2 even, 3 mark, 4 space. Failures are shown in a message box: "Error open COM<N>:", then on
    // a second line the device path and the system's reason.
    bool Open(uint32_t portNumber, uint32_t baudRate, uint8_t byteSize = 8, uint8_t stopBits = 0,
              uint8_t parity = 0);
    // True when the port is closed afterwards. Failures are shown as "Error close COMx:", then on
    // a second line the port, its device path and the system's reason.
    bool Close();
    // Returns once the kernel has taken the bytes; the count taken.
    uint32_t Write(const uint8_t* bytes, uint32_t count);
    // Never waits: the bytes already received, at most maxCount.
    uint32_t Read(uint8_t* buffer, uint32_t maxCount);
    bool IsOpen() const { return fd_ >= 0; }
    // The line has gone away under the open port (the device unplugged, the far end of a
    // pseudo-terminal closed): nothing will ever be read again. Never waits.
    bool HungUp() const;
    int fd() const { return fd_; }

private:
    void Release();
    void ShowCloseError(const char* caption, int err) const;

    int fd_ = -1;
    // Named in the close failures.
    uint32_t portNumber_ = 0;
    std::string path_;
    // What Close writes back: the read timeouts (VMIN/VTIME) and the line settings found at
    // Open. Only what was actually read is written back.
    bool timeoutsSaved_ = false;
    cc_t savedVmin_ = 0;
    cc_t savedVtime_ = 0;
    bool settingsSaved_ = false;
    termios savedSettings_{};
};

extern SerialPort g_serialPort;

// Why a port operation failed (errno), in words a technician can act on.
std::string PortFailureReason(int err);

// The other processes that hold the device at path open, as "PID 123 (avrdude), PID 456 (cat)";
// empty when none is found (or /proc may not be read).
std::string PortHolders(const std::string& path);

// The COM numbers a user may choose.
inline constexpr int32_t kComPortFirst = 1;
inline constexpr int32_t kComPortLast = 256;

// COM number N to a device path, first match wins: $NORVIX_COM<N>; "com<N>" (a link or a device)
// in the start directory; /dev/ttyS<N-1>. Empty for port 0.
std::string ResolveComPort(uint32_t portNumber, const std::string& startDirectory);

// The same resolution with the environment and the device directory given.
using EnvironmentLookup = std::function<std::string(const std::string& name)>;
std::string ResolveComPortWith(uint32_t portNumber, const std::string& startDirectory,
                               const EnvironmentLookup& environment,
                               const std::string& devDirectory);

// The start directory the resolution looks in (the current directory unless set).
const std::string& ComStartDirectory();
void SetComStartDirectory(const std::string& dir);

// Applies raw 8N1 at the given speed to the port's device and leaves it so (the bootloader's line
// settings before an external programmer opens the port). Returns false when it cannot.
bool ApplyLineSettings(uint32_t portNumber, uint32_t baudRate);

// termios speed constant for a baud rate; B0 when unsupported.
speed_t BaudToSpeed(uint32_t baudRate);
uint32_t SpeedToBaud(speed_t speed);

// ---- Finding the serial devices and the COM numbers that reach them (`nvx ports`).

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
