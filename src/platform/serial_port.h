#pragma once
// One COM port over termios: exclusive, raw 8N1, non-blocking reads, settings restored on close.
// A port is opened by its COM number, resolved as platform/com_port_names.h says.

#include <termios.h>

#include <cstdint>
#include <string>

#include "platform/com_port_names.h"

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

// Applies raw 8N1 at the given speed to the port's device and leaves it so (the bootloader's line
// settings before an external programmer opens the port). Returns false when it cannot.
bool ApplyLineSettings(uint32_t portNumber, uint32_t baudRate);

// termios speed constant for a baud rate; B0 when unsupported.
speed_t BaudToSpeed(uint32_t baudRate);
uint32_t SpeedToBaud(speed_t speed);

}  // namespace nvx
