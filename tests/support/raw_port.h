#pragma once
// The host end of a serial line without the protocol stack: opens a terminal raw at a speed,
// writes bytes and reads what is there. For tests that speak to the virtual device byte by byte.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace nvx::test {

class RawPort {
public:
    RawPort() = default;
    RawPort(const std::string& path, uint32_t baud) { open(path, baud); }
    ~RawPort() { close(); }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    bool open(const std::string& path, uint32_t baud) {
        close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return false;
        if (!setBaud(baud)) {
            close();
            return false;
        }
        return true;
    }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Raw 8N1 at the speed, as the monitor's serial port sets it.
    bool setBaud(uint32_t baud) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (cfsetspeed(&t, Speed(baud)) != 0) return false;
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    bool write(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }
    bool write(const std::string& text) { return write(std::vector<uint8_t>(text.begin(), text.end())); }

    // Everything received so far; never waits.
    std::vector<uint8_t> read() {
        std::vector<uint8_t> out;
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            lastReadErrno_ = n < 0 ? errno : 0;
            return out;
        }
    }
    // errno of the read that ended the last read(): EAGAIN when the line is just quiet, EIO when
    // the other end has gone.
    int lastReadErrno() const { return lastReadErrno_; }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    static speed_t Speed(uint32_t baud) {
        switch (baud) {
            case 1200: return B1200;
            case 2400: return B2400;
            case 4800: return B4800;
            case 9600: return B9600;
            case 19200: return B19200;
            case 38400: return B38400;
            case 57600: return B57600;
            case 115200: return B115200;
            default: return B0;
        }
    }

private:
    int fd_ = -1;
    int lastReadErrno_ = 0;
};

}  // namespace nvx::test
