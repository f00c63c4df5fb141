#include "sim/virtual_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/format.h"
#include "sim/intel_hex.h"

namespace nvx::sim {

namespace {

struct SpeedPair {
    speed_t speed;
    uint32_t baud;
};
constexpr SpeedPair kSpeeds[] = {
    {B50, 50},       {B75, 75},       {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},     {B300, 300},     {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

speed_t BaudToSpeedConstant(uint32_t baud) {
    for (const SpeedPair& p : kSpeeds)
        if (p.baud == baud) return p.speed;
    return B0;
}

const DeviceType& ResolveType(const DeviceOptions& o) {
    const DeviceType* t = o.row != 0 ? FindDeviceByRow(o.row) : FindDeviceByStem(o.device);
    if (!t) {
        throw std::runtime_error(o.row != 0 ? Format("row %d is no device row", o.row)
                                            : "unknown device '" + o.device + "'");
    }
    return *t;
}

std::unique_ptr<Unit> MakeUnit(const DeviceType& type, const DeviceOptions& o) {
    PartDescription part;
    std::string error;
    if (!LoadPartDescription(type.chip, o.devicesDir, part, error)) throw std::runtime_error(error);
    return std::make_unique<Unit>(type, std::move(part));
}

const char* ReasonText(ResetReason r) {
    switch (r) {
        case kResetCommand: return "reset";
        case kResetReboot: return "reboot";
        case kResetBootloaderExit: return "bootloader exit";
        default: return "power on";
    }
}

}  // namespace

uint32_t SpeedToBaudRate(unsigned speed) {
    for (const SpeedPair& p : kSpeeds)
        if (p.speed == speed) return p.baud;
    return 0;
}

VirtualDevice::VirtualDevice(TimerService& timers, DeviceOptions options)
    : timers_(timers), options_(std::move(options)), faults_(options_.faults),
      dice_(options_.seed) {
    const DeviceType& type = ResolveType(options_);
    ownTarget_ = MakeUnit(type, options_);
    target_ = front_ = ownTarget_.get();
    if (type.frontRow != 0) {
        const DeviceType* frontType = FindDeviceByRow(type.frontRow);
        if (!frontType) throw std::runtime_error("no unit in front of row " + std::to_string(type.row));
        ownFront_ = MakeUnit(*frontType, options_);
        front_ = ownFront_.get();
    }
    if (!options_.eepromIn.empty()) {
        std::vector<uint8_t> image(kEepromBytes, 0xFF);
        std::string error;
        if (!ReadIntelHexFile(options_.eepromIn, image, error)) throw std::runtime_error(error);
        target_->eeprom().bytes() = image;
    }
    if (options_.startInBootloader) target_->enterBootloader();

    master_ = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) throw std::runtime_error(std::string("cannot open /dev/ptmx: ") + strerror(errno));
    char name[128] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        const std::string why = strerror(errno);
        ::close(master_);
        master_ = -1;
        throw std::runtime_error("cannot set up the pseudo-terminal: " + why);
    }
    slavePath_ = name;
    // A fresh terminal is cooked (echo, line editing): set it raw at the monitor's speed so a
    // client that takes the settings as found sees a plain serial line.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, BaudToSpeedConstant(kApplicationBaud));
            t.c_cflag |= CLOCAL | CREAD;
            tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    }
    nextStatusMs_ = timers_.nowMs() + options_.statusIntervalMs;
    timerId_ = timers_.start(kServicePeriodMs, [this] { service(); });
    log(Format("%s (row %d, %s) on %s", type.label, type.row, target_->part().name.c_str(),
               slavePath_.c_str()));
}

VirtualDevice::~VirtualDevice() {
    timers_.stop(timerId_);
    if (!linkPath_.empty()) {
        char buf[256] = {};
        const ssize_t n = ::readlink(linkPath_.c_str(), buf, sizeof buf - 1);
        if (n > 0 && slavePath_ == std::string(buf, static_cast<size_t>(n))) ::unlink(linkPath_.c_str());
    }
    if (master_ >= 0) ::close(master_);
}

bool VirtualDevice::linkAs(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        if (::unlink(path.c_str()) != 0) return false;
    }
    if (::symlink(slavePath_.c_str(), path.c_str()) != 0) return false;
    linkPath_ = path;
    return true;
}

void VirtualDevice::log(const std::string& text) const {
    if (options_.log) options_.log(Format("%8llu ms  ", static_cast<unsigned long long>(timers_.nowMs())) + text);
}

uint32_t VirtualDevice::hostBaud() const {
    if (master_ < 0) return 0;
    termios t{};
    if (tcgetattr(master_, &t) != 0) return 0;
    return SpeedToBaudRate(cfgetospeed(&t));
}

Unit* VirtualDevice::bootloaderOnLine() {
    if (front_->mode() == UnitMode::Bootloader) return front_;
    if (tunnel_ && target_ != front_ && target_->mode() == UnitMode::Bootloader) return target_;
    return nullptr;
}

uint32_t VirtualDevice::listeningBaud() const {
    if (front_->mode() == UnitMode::Bootloader) return front_->lineBaud();
    if (tunnel_ && target_ != front_ && target_->mode() == UnitMode::Bootloader)
        return target_->lineBaud();
    return kApplicationBaud;
}

bool VirtualDevice::waitForInput(int realTimeoutMs) const {
    if (master_ < 0) return false;
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, realTimeoutMs) > 0 && (p.revents & POLLIN) != 0;
}

void VirtualDevice::service() {
    if (master_ < 0) return;
    flushOutput();
    std::vector<uint8_t> bytes;
    const bool hostClosed = readInput(bytes);
    const uint64_t now = timers_.nowMs();
    if (decoder_.inFrame() && now - lastByteMs_ > kFrameGapMs) {
        log("rx frame cut short, dropped");
        decoder_.reset();
    }
    if (!bytes.empty()) {
        lastByteMs_ = now;
        processBytes(bytes);
    }
    if (hostClosed) {
        // Whatever the host sent before it closed went out on the line; a frame or command it
        // cut short is forgotten.
        log("host closed the port");
        decoder_.reset();
        if (Unit* u = bootloaderOnLine()) u->bootloader().reset();
    }
    flushOutput();
    if (options_.statusIntervalMs != 0 && now >= nextStatusMs_) {
        nextStatusMs_ = now + options_.statusIntervalMs;
        sendStatus();
    }
}

bool VirtualDevice::readInput(std::vector<uint8_t>& bytes) {
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            peerOpen_ = true;
            bytes.insert(bytes.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO) {
            // Nobody has the slave open (any more).
            const bool wasOpen = peerOpen_;
            peerOpen_ = false;
            return wasOpen;
        }
        return false;
    }
}

void VirtualDevice::processBytes(const std::vector<uint8_t>& bytes) {
    if (muted_) {
        log(Format("muted: %zu bytes ignored", bytes.size()));
        return;
    }
    const uint32_t host = hostBaud();
    const uint32_t listening = listeningBaud();
    if (host != listening) {
        counters_.bytesAtWrongSpeed += bytes.size();
        decoder_.reset();
        log(Format("ignored %zu bytes at %u baud (listening at %u)", bytes.size(), host, listening));
        return;
    }
    if (bootloaderOnLine()) log("boot rx " + HexBytes(bytes));
    for (size_t i = 0; i < bytes.size() && master_ >= 0; ++i) {
        const uint8_t b = bytes[i];
        bytesReceived_.push_back(b);
        if (bytesReceived_.size() > kBytesReceivedKept) bytesReceived_.pop_front();
        if (dice_.strikes(faults_.echo)) enqueue({timers_.nowMs(), {b}, "echo", nullptr});
        if (Unit* u = bootloaderOnLine()) {
            feedBootloader(*u, b);
        } else {
            FrameDecoder::Result r = decoder_.feed(b);
            switch (r.event) {
                case FrameDecoder::Event::None: break;
                case FrameDecoder::Event::Frame:
                    log("rx " + HexBytes(r.raw));
                    handleFrame(r.frame);
                    break;
                case FrameDecoder::Event::BadCheckByte:
                    ++counters_.badCheckBytes;
                    log("rx " + HexBytes(r.raw) + "  (bad check byte, ignored)");
                    break;
                case FrameDecoder::Event::BadParity:
                    ++counters_.badParity;
                    log("rx " + HexBytes(r.raw) + "  (bad identifier parity, ignored)");
                    break;
            }
        }
        flushOutput();
        // What follows in the same read was sent at the old speed: garbage for the new mode.
        if (listeningBaud() != listening) {
            const size_t rest = bytes.size() - i - 1;
            if (rest) {
                counters_.bytesAtWrongSpeed += rest;
                log(Format("ignored %zu bytes sent before the speed change", rest));
            }
            break;
        }
    }
    counters_.noiseBytesSkipped = decoder_.skippedBytes();
}

void VirtualDevice::feedBootloader(Unit& unit, uint8_t byte) {
    Bootloader::Output out;
    unit.bootloader().feed(byte, unit, out);
    if (out.bytes.empty() && !out.exit) return;
    if (!mayAnswer()) return;
    const uint64_t now = timers_.nowMs();
    std::function<void()> after;
    if (out.exit) {
        after = [this, &unit] {
            if (unit.startApplication(kResetBootloaderExit, timers_.nowMs()))
                log(Format("bootloader left, application started (%s)", unit.type().label));
            else
                log(Format("bootloader left, no application after the chip erase: bootloader "
                           "again (%s)", unit.type().label));
        };
    }
    if (out.signOnAt && dice_.strikes(faults_.splitSignOn)) {
        const auto cut = out.bytes.begin() + static_cast<std::ptrdiff_t>(*out.signOnAt + 3);
        enqueue({now, std::vector<uint8_t>(out.bytes.begin(), cut), "boot tx (sign-on split)", nullptr});
        enqueue({now + kSplitSignOnGapMs, std::vector<uint8_t>(cut, out.bytes.end()), "boot tx",
                 std::move(after)});
        return;
    }
    enqueue({now, std::move(out.bytes), "boot tx", std::move(after)});
}

void VirtualDevice::handleFrame(const Frame& frame) {
    if (faults_.vanishAfterFrames != 0 && counters_.framesReceived >= faults_.vanishAfterFrames) {
        vanish();
        return;
    }
    ++counters_.framesReceived;
    received_.push_back({frame.id, frame.length, frame.data, timers_.nowMs()});
    if (!mayAnswer()) return;

    // The unit in front keeps the tunnel command for itself; with the tunnel on it passes every
    // other request to the unit behind.
    const bool tunnelCommand = frame.id == kKernelCommandId && frame.data[0] == kCodeTuvTunnel;
    Unit& unit = (tunnel_ && !tunnelCommand) ? *target_ : *front_;
    const bool canTunnel = &unit == front_ && front_ != target_;
    KernelOutcome outcome = unit.handleRequest(frame, timers_.nowMs(), canTunnel);
    if (!outcome.reply) return;
    if (outcome.after == AfterReply::EnterBootloader && dice_.strikes(faults_.neverEnterBootloader)) {
        log("BootloadStart acknowledged, bootloader not started (fault)");
        outcome.after = AfterReply::Nothing;
    }
    sendReply(unit, outcome);
}

void VirtualDevice::sendReply(Unit& unit, const KernelOutcome& outcome) {
    Frame reply = *outcome.reply;
    std::string note;
    if (dice_.strikes(faults_.wrongLength)) {
        reply.length = reply.length == 2 ? 4 : 2;
        note += "  (wrong length)";
    }
    std::vector<uint8_t> bytes = EncodeFrame(reply);
    if (dice_.strikes(faults_.breakParity)) {
        bytes[2] ^= 0x01;
        bytes.back() = CheckByte(bytes.data(), bytes.size() - 1);
        note += "  (parity broken)";
    }
    if (dice_.strikes(faults_.corruptCheckByte)) {
        bytes.back() = static_cast<uint8_t>(bytes.back() + 1);
        note += "  (check byte corrupted)";
    }
    uint64_t due = timers_.nowMs() + outcome.delayMs;
    if (dice_.strikes(faults_.delayReply) && faults_.delayMs != 0) {
        due += faults_.delayMs;
        note += Format("  (delayed %u ms)", faults_.delayMs);
    }
    if (const uint32_t jitter = drawJitterMs(); jitter != 0) {
        due += jitter;
        note += Format("  (jitter %u ms)", jitter);
    }
    std::function<void()> after;
    if (outcome.after != AfterReply::Nothing) {
        after = [this, &unit, outcome] { afterReply(unit, outcome); };
    }
    if (dice_.strikes(faults_.dropReply)) {
        ++counters_.repliesDropped;
        log("reply dropped: " + HexBytes(bytes));
        enqueue({due, {}, "", std::move(after)});
        return;
    }
    if (dice_.strikes(faults_.noise)) {
        std::vector<uint8_t> noise(1 + dice_.below(3));
        for (uint8_t& b : noise) {
            do b = static_cast<uint8_t>(dice_.below(256));
            while (FrameLengthOfKind(b) != 0);
        }
        enqueue({due, std::move(noise), "noise", nullptr});
    }
    ++counters_.framesSent;
    enqueue({due, std::move(bytes), "tx" + note, std::move(after)});
}

// Extra latency from 0 to jitterMs, evenly spread, for the replies the jitter fault strikes.
// Replies leave in the order they were queued, so one held back holds back those after it and
// none overtakes an earlier one, as on a serial line.
uint32_t VirtualDevice::drawJitterMs() {
    if (faults_.jitterMs == 0 || !dice_.strikes(faults_.jitterReply)) return 0;
    return dice_.below(faults_.jitterMs + 1);
}

void VirtualDevice::afterReply(Unit& unit, const KernelOutcome& outcome) {
    switch (outcome.after) {
        case AfterReply::Nothing: break;
        case AfterReply::Restart:
            unit.startApplication(outcome.reason, timers_.nowMs());
            if (&unit == front_) tunnel_ = false;
            log(Format("application restarted (%s): %s", ReasonText(outcome.reason), unit.type().label));
            break;
        case AfterReply::EnterBootloader:
            unit.enterBootloader();
            decoder_.reset();
            log(Format("bootloader started at %u baud: %s", unit.type().bootBaud, unit.type().label));
            break;
        case AfterReply::TunnelOn:
            tunnel_ = true;
            log(Format("tunnel on: %s -> %s", front_->type().label, target_->type().label));
            break;
        case AfterReply::TunnelOff:
            tunnel_ = false;
            log("tunnel off");
            break;
    }
}

void VirtualDevice::enqueue(Outgoing item) { out_.push_back(std::move(item)); }

bool VirtualDevice::hostConnected() const {
    if (master_ < 0) return false;
    pollfd p{master_, 0, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void VirtualDevice::flushOutput() {
    const uint64_t now = timers_.nowMs();
    while (!out_.empty() && master_ >= 0 && out_.front().dueMs <= now) {
        Outgoing& item = out_.front();
        if (!item.bytes.empty() && !hostConnected()) {
            // A pty would keep them for whoever opens it next; a serial line loses them.
            if (!item.note.empty()) log("nobody listening, not sent: " + HexBytes(item.bytes));
            item.bytes.clear();
        }
        size_t done = 0;
        while (done < item.bytes.size()) {
            const ssize_t n = ::write(master_, item.bytes.data() + done, item.bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        if (done < item.bytes.size() && errno == EAGAIN) {
            // The host's input buffer is full: send the rest on a later step.
            if (done && !item.note.empty()) log(item.note + " " + HexBytes(item.bytes.data(), done));
            item.bytes.erase(item.bytes.begin(), item.bytes.begin() + static_cast<std::ptrdiff_t>(done));
            return;
        }
        if (!item.bytes.empty() && !item.note.empty()) {
            const std::string& note = item.note;
            const size_t space = note.find("  ");
            log(space == std::string::npos ? note + " " + HexBytes(item.bytes)
                                           : note.substr(0, space) + " " + HexBytes(item.bytes) +
                                                 note.substr(space));
        }
        std::function<void()> after = std::move(item.after);
        out_.pop_front();
        if (after) after();
    }
}

bool VirtualDevice::mayAnswer() {
    if (faults_.muteAfter == 0) return true;
    if (!muted_ && answered_ >= faults_.muteAfter) {
        muted_ = true;
        log(Format("muted after %llu answers: nothing more is answered",
                   static_cast<unsigned long long>(answered_)));
    }
    if (muted_) return false;
    ++answered_;
    return true;
}

void VirtualDevice::sendStatus() {
    if (muted_) return;
    // A host that has the port open but has sent nothing yet listens all the same.
    if (bootloaderOnLine() || decoder_.inFrame() || !out_.empty() || !hostConnected()) return;
    if (hostBaud() != kApplicationBaud) return;
    Frame f;
    f.id = static_cast<uint16_t>(0x0380 | (front_->type().deviceCode & 0x7F));
    f.length = 2;
    const uint16_t boots = front_->eeprom().parameterWord(kParamBootNumber);
    f.data[0] = static_cast<uint8_t>(boots & 0xFF);
    f.data[1] = static_cast<uint8_t>(boots >> 8);
    ++counters_.framesSent;
    enqueue({timers_.nowMs(), EncodeFrame(f), "tx status", nullptr});
    flushOutput();
}

void VirtualDevice::vanish() {
    log("vanishing: pty closed");
    ::close(master_);
    master_ = -1;
    out_.clear();
}

void VirtualDevice::powerCycle(bool holdForBootloader) {
    decoder_.reset();
    out_.clear();
    tunnel_ = false;
    const uint64_t now = timers_.nowMs();
    if (front_ != target_) front_->startApplication(kResetPowerOn, now);
    if (holdForBootloader)
        target_->enterBootloader();
    else if (!target_->startApplication(kResetPowerOn, now))
        holdForBootloader = true;  // nothing to start after a chip erase
    log(holdForBootloader ? "power cycled, bootloader waiting" : "power cycled");
}

bool VirtualDevice::saveEeprom(const std::string& path, std::string& error) const {
    return WriteTextFile(path, FormatIntelHex(eeprom(), false), error);
}

bool VirtualDevice::saveFlash(const std::string& path, std::string& error) const {
    return WriteTextFile(path, FormatIntelHex(flash(), true), error);
}

}  // namespace nvx::sim
