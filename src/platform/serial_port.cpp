#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>

#include "platform/com_port_names.h"
#include "platform/format.h"
#include "platform/user_dialogs.h"

namespace nvx {

// How the port operations of the original Win32 program map onto termios:
//
//   CreateFileA (read/write, not shared,   open(O_RDWR | O_NOCTTY | O_NONBLOCK), TIOCEXCL against
//     existing device only)                  other openers, flock(LOCK_EX | LOCK_NB) against other
//                                            processes that lock (and a second open in this one)
//   GetCommTimeouts                        tcgetattr: the timeouts are VMIN/VTIME
//   SetCommTimeouts (read returns at once) tcsetattr with VMIN = 0, VTIME = 0 (O_NONBLOCK as well)
//   GetCommState                           tcgetattr of the line settings
//   SetCommState (binary, 8N1, no flow     tcsetattr of a raw termios: CS8, no parity, one stop
//     control, DTR/RTS enabled)              bit, CLOCAL | CREAD, no CRTSCTS, no IXON/IXOFF, speed;
//                                            then TIOCMBIS DTR | RTS (ptys have no modem lines)
//   WriteFile (synchronous)                write, waiting with poll(POLLOUT) on EAGAIN
//   ReadFile (one byte, returns at once)   read of what is pending, never waiting
//   CloseHandle                            TIOCNXCL, flock(LOCK_UN), close
//
// On close the saved timeouts and then the saved settings are written back with tcsetattr.

SerialPort g_serialPort;

std::string PortFailureReason(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return std::string(std::strerror(err)) + " (is the user in the dialout group?)";
    case EWOULDBLOCK:  // the lock another opener holds
        return std::strerror(EBUSY);
    default:
        return std::strerror(err);
    }
}

std::string PortHolders(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path device = std::filesystem::canonical(path, ec);
    if (ec) return {};
    const std::string self = std::to_string(::getpid());
    std::string holders;
    for (std::filesystem::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
        const std::string pid = p->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        // Processes come and go while they are looked at: every step tolerates that.
        std::error_code fdError;
        bool holds = false;
        for (std::filesystem::directory_iterator fd(p->path() / "fd", fdError);
             !fdError && fd != end && !holds; fd.increment(fdError)) {
            std::error_code linkError;
            holds = std::filesystem::read_symlink(fd->path(), linkError) == device;
        }
        if (!holds) continue;
        std::string name;
        if (FILE* comm = std::fopen((p->path() / "comm").c_str(), "re")) {
            char text[64] = {};
            if (std::fgets(text, sizeof text, comm)) name = text;
            std::fclose(comm);
        }
        while (!name.empty() && name.back() == '\n') name.pop_back();
        if (!holders.empty()) holders += ", ";
        holders += "PID " + pid + (name.empty() ? "" : " (" + name + ")");
    }
    return holders;
}

namespace {

// "COMx" is literal: the same text for every port.
constexpr const char* kCloseErrorText = "Error close COMx:";

// The caption's text, then the device and why it failed.
std::string FailureText(const std::string& first, const std::string& path, int err) {
    return first + "\n" + (path.empty() ? std::string("(no device)") : path) + ": " +
           PortFailureReason(err);
}

// The device has gone away (USB adapter pulled, pty master closed): nothing can be written back.
bool DeviceGone(int err) { return err == EIO || err == ENODEV || err == ENXIO; }

bool SetCharSize(termios& t, uint8_t byteSize) {
    tcflag_t size;
    switch (byteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    return true;
}

bool SetParity(termios& t, uint8_t parity) {
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
        case 0: break;
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
        case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
        default: return false;
    }
    // Parity checking exactly when a parity is used.
    if (parity != 0)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;
    return true;
}

bool SetStopBits(termios& t, uint8_t stopBits) {
    switch (stopBits) {
        case 0: t.c_cflag &= ~CSTOPB; return true;
        case 1:  // one and a half: the nearest a UART under termios offers
        case 2: t.c_cflag |= CSTOPB; return true;
        default: return false;
    }
}

// Raw binary line at the given speed; the special characters other than VMIN/VTIME keep their
// values. False when an argument has no termios equivalent.
bool MakeRaw(termios& t, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity) {
    const speed_t speed = BaudToSpeed(baudRate);
    if (speed == B0) return false;
    // No break signal, no character translation, no stripping, no software flow control.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF |
                   IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // No hardware flow control; modem status lines ignored (DSR sensitivity off).
    t.c_cflag &= ~CRTSCTS;
    t.c_cflag |= CLOCAL | CREAD;
    if (!SetCharSize(t, byteSize) || !SetStopBits(t, stopBits) || !SetParity(t, parity))
        return false;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0;
}

// tcsetattr succeeds when any part of the change took; check the parts that matter.
bool ApplyTermios(int fd, const termios& wanted) {
    if (tcsetattr(fd, TCSANOW, &wanted) != 0) return false;
    termios now{};
    if (tcgetattr(fd, &now) != 0) return false;
    const tcflag_t frame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD;
    if ((now.c_cflag & frame) == (wanted.c_cflag & frame) &&
        cfgetospeed(&now) == cfgetospeed(&wanted) && cfgetispeed(&now) == cfgetispeed(&wanted))
        return true;
    errno = EINVAL;  // the driver kept some of its own settings
    return false;
}

int OpenDevice(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

SerialPort::~SerialPort() { Close(); }

void SerialPort::ShowCloseError(const char* caption, int err) const {
    // The first line stands as it always has; the port's number goes with its device below.
    MessageBox().show(FailureText(kCloseErrorText, Format("COM%d ", static_cast<int>(portNumber_)) +
                                                       (path_.empty() ? "(no device)" : path_),
                                  err),
                      caption, MessageIcon::Exclamation);
}

bool SerialPort::Open(uint32_t portNumber, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits,
                      uint8_t parity) {
    if (IsOpen()) return false;

    const std::string path = ResolveComPort(portNumber, ComStartDirectory());
    // errno is taken before anything else can change it.
    const auto fail = [&](const char* caption, int err) {
        MessageBox().show(
            FailureText(Format("Error open COM%d:", static_cast<int>(portNumber)), path, err),
            caption, MessageIcon::Stop);
        return false;
    };

    // Not shared: TIOCEXCL turns away later opens of the tty (except by root), flock turns away
    // everybody who locks, root and this process included. A file that is no terminal fails
    // TIOCEXCL and is reported at the next step, as the original reports a handle that is no port.
    int fd = OpenDevice(path);
    if (fd >= 0) {
        ::ioctl(fd, TIOCEXCL);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            fd = -1;
            errno = err;
        }
    }
    if (fd < 0) return fail("Error 1", errno);
    fd_ = fd;
    portNumber_ = portNumber;
    path_ = path;
    timeoutsSaved_ = false;
    settingsSaved_ = false;

    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        const int err = errno;
        Close();
        return fail("Error 2", err);
    }
    savedVmin_ = t.c_cc[VMIN];
    savedVtime_ = t.c_cc[VTIME];
    timeoutsSaved_ = true;

    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        const int err = errno;
        Close();
        return fail("Error 3", err);
    }

    termios line{};
    if (tcgetattr(fd_, &line) != 0) {
        const int err = errno;
        Close();
        return fail("Error 4", err);
    }
    savedSettings_ = line;
    settingsSaved_ = true;

    // A speed or frame the line has no setting for is refused before the driver is asked.
    errno = EINVAL;
    if (!MakeRaw(line, baudRate, byteSize, stopBits, parity) || !ApplyTermios(fd_, line)) {
        const int err = errno;
        Close();
        return fail("Error 5", err);
    }
    // Whatever a previous opener left unread on the line is no answer to anything of ours.
    tcflush(fd_, TCIFLUSH);
    // DTR and RTS held on; a pty has no modem lines and refuses, which is fine.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd_, TIOCMBIS, &lines);
    return true;
}

bool SerialPort::Close() {
    if (!IsOpen()) return true;

    if (timeoutsSaved_) {
        termios t{};
        bool ok = tcgetattr(fd_, &t) == 0;
        if (ok) {
            t.c_cc[VMIN] = savedVmin_;
            t.c_cc[VTIME] = savedVtime_;
            ok = tcsetattr(fd_, TCSANOW, &t) == 0;
        }
        if (!ok) {
            const int err = errno;
            ShowCloseError("Error 1", err);
            // A vanished device can never take its settings back; keeping the handle would
            // leave the port open for good.
            if (!DeviceGone(err)) return false;
            Release();
            return true;
        }
    }
    if (settingsSaved_) {
        termios t = savedSettings_;
        t.c_cc[VMIN] = savedVmin_;
        t.c_cc[VTIME] = savedVtime_;
        if (tcsetattr(fd_, TCSANOW, &t) != 0) {
            const int err = errno;
            ShowCloseError("Error 2", err);
            if (!DeviceGone(err)) return false;
        }
    }
    Release();
    return true;
}

void SerialPort::Release() {
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    timeoutsSaved_ = false;
    settingsSaved_ = false;
}

uint32_t SerialPort::Write(const uint8_t* bytes, uint32_t count) {
    if (!IsOpen()) return 0;
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
            continue;
        }
        break;
    }
    return done;
}

bool SerialPort::HungUp() const {
    if (!IsOpen()) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

uint32_t SerialPort::Read(uint8_t* buffer, uint32_t maxCount) {
    if (!IsOpen()) return 0;
    uint32_t got = 0;
    while (got < maxCount) {
        const ssize_t n = ::read(fd_, buffer + got, maxCount - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // nothing pending (0 or EAGAIN) or a failure
    }
    return got;
}

bool ApplyLineSettings(uint32_t portNumber, uint32_t baudRate) {
    const int fd = OpenDevice(ResolveComPort(portNumber, ComStartDirectory()));
    if (fd < 0) return false;
    bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    termios t{};
    ok = ok && tcgetattr(fd, &t) == 0 && MakeRaw(t, baudRate, 8, 0, 0) && ApplyTermios(fd, t);
    // Closed without writing anything back: the settings stay for the next opener.
    ::close(fd);
    return ok;
}

namespace {

struct BaudEntry {
    uint32_t baud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

speed_t BaudToSpeed(uint32_t baudRate) {
    for (const BaudEntry& e : kBauds)
        if (e.baud == baudRate) return e.speed;
    return B0;
}

uint32_t SpeedToBaud(speed_t speed) {
    for (const BaudEntry& e : kBauds)
        if (e.speed == speed) return e.baud;
    return 0;
}

}  // namespace nvx
