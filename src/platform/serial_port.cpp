#include "platform/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "platform/format.h"
#include "platform/user_dialogs.h"

extern char** environ;

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

namespace {

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

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::string g_comStartDirectory;

}  // namespace

SerialPort::~SerialPort() { Close(); }

void SerialPort::ShowCloseError(const char* caption, int err) const {
    MessageBox().show(
        FailureText(Format("Error close COM%d:", static_cast<int>(portNumber_)), path_, err),
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

std::string ResolveComPortWith(uint32_t portNumber, const std::string& startDirectory,
                               const EnvironmentLookup& environment,
                               const std::string& devDirectory) {
    if (portNumber == 0) return {};
    const std::string number = std::to_string(portNumber);
    std::string fromEnv = environment("NORVIX_COM" + number);
    if (!fromEnv.empty()) return fromEnv;

    const std::string local =
        (startDirectory.empty() ? std::string() : WithSlash(startDirectory)) + "com" + number;
    struct stat st{};
    if (::lstat(local.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || S_ISCHR(st.st_mode)))
        return local;

    return WithSlash(devDirectory) + "ttyS" + std::to_string(portNumber - 1);
}

std::string ResolveComPort(uint32_t portNumber, const std::string& startDirectory) {
    return ResolveComPortWith(
        portNumber, startDirectory,
        [](const std::string& name) {
            const char* v = std::getenv(name.c_str());
            return std::string(v ? v : "");
        },
        "/dev");
}

const std::string& ComStartDirectory() {
    if (!g_comStartDirectory.empty()) return g_comStartDirectory;
    static std::string current;
    char buf[PATH_MAX];
    current = ::getcwd(buf, sizeof buf) ? WithSlash(buf) : std::string("./");
    return current;
}

void SetComStartDirectory(const std::string& dir) { g_comStartDirectory = dir; }

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

// ---- Port scan

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
    const std::string envPrefix = "NORVIX_COM";
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
        sources.startDirectory.empty() ? std::string() : WithSlash(sources.startDirectory);
    for (const std::string& name : DirectoryEntries(sources.startDirectory)) {
        if (auto n = ComNumber(NumberAfter(name, "com"))) numbers.insert(*n);
    }

    std::map<std::string, SerialDeviceInfo> devices;  // by canonical path
    const std::string devDir = WithSlash(sources.devDirectory);
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
        std::ifstream type(WithSlash(sources.sysTtyDirectory) + name + "/type");
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
        else if (path == startDir + "com" + std::to_string(n))
            via = "./com" + std::to_string(n);
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
        const std::string real = RealPath(WithSlash(sources.byIdDirectory) + name);
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
