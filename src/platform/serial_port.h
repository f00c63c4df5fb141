#pragma once
// One COM port over termios: exclusive, raw 8N1, non-blocking reads, settings restored on close.

#include <termios.h>

#include <cstdint>
#include <string>

namespace nvx {

class SerialPort {
public:
    SerialPort() = default;
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool Open(uint32_t portNumber, uint32_t baudRate, uint8_t byteSize = 8, uint8_t stopBits = 0,
              uint8_t parity = 0);
    bool Close();
    uint32_t Write(const uint8_t* bytes, uint32_t count);
    uint32_t Read(uint8_t* buffer, uint32_t maxCount);
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    termios savedSettings_{};
};

extern SerialPort g_serialPort;

// COM number N to a device path, first match wins: $NORVIX_COM<N>; "com<N>" in the start
// directory; /dev/ttyS<N-1>.
std::string ResolveComPort(uint32_t portNumber, const std::string& startDirectory);

// The start directory the resolution looks in (the current directory unless set).
const std::string& ComStartDirectory();
void SetComStartDirectory(const std::string& dir);

// Applies raw 8N1 at the given speed to the port's device and leaves it so (the bootloader's line
// settings before an external programmer opens the port). Returns false when it cannot.
bool ApplyLineSettings(uint32_t portNumber, uint32_t baudRate);

// termios speed constant for a baud rate; B0 when unsupported.
speed_t BaudToSpeed(uint32_t baudRate);
uint32_t SpeedToBaud(speed_t speed);

}  // namespace nvx
