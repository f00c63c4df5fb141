#include "sim/virtual_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
    if (lineTimerId_ != 0) timers_.stop(lineTimerId_);
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
    std::vector<uint8_t> fresh;
    const bool hostClosed = readInput(fresh);
    const uint64_t now = timers_.nowMs();
    const std::vector<uint8_t> bytes = takeFromLine(std::move(fresh), hostClosed);
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
        rxPending_.clear();
        if (Unit* u = bootloaderOnLine()) u->bootloader().reset();
    }
    flushOutput();
    if (options_.statusIntervalMs != 0 && now >= nextStatusMs_) {
        nextStatusMs_ = now + options_.statusIntervalMs;
        sendStatus();
    }
    keepLineTime();
}

void VirtualDevice::keepLineTime() {
    if (!options_.paced) return;
    const bool underWay = !rxPending_.empty() || !out_.empty() || timers_.nowMs() < chipBusyUntilMs_;
    if (underWay && lineTimerId_ == 0) {
        lineTimerId_ = timers_.startFine(kLineStepMs, [this] { service(); });
    } else if (!underWay && lineTimerId_ != 0) {
        timers_.stop(lineTimerId_);
        lineTimerId_ = 0;
    }
}

uint64_t VirtualDevice::lineByteNs() const {
    constexpr uint64_t kBitsPerByte = 10;  // 8N1: start, eight data bits, stop
    return kBitsPerByte * 1'000'000'000ull / std::max<uint32_t>(listeningBaud(), 1);
}

// How many of the wanted bytes the line begins to carry before the device's next step, the first
// starting when the line was free; moves lineFreeNs past them. Counting to the next step, not to
// now, keeps a short command or reply from waiting a whole step: the host sees a byte at most one
// step early, never late, and over many bytes the rate is the line's.
size_t VirtualDevice::bytesTheLineCarried(uint64_t& lineFreeNs, size_t wanted) const {
    const uint64_t untilNs = (timers_.nowMs() + kLineStepMs) * 1'000'000ull;
    const uint64_t byteNs = lineByteNs();
    if (untilNs <= lineFreeNs) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, (untilNs - lineFreeNs + byteNs - 1) / byteNs));
    lineFreeNs += n * byteNs;
    return n;
}

// The bytes the device takes from the line in this step: all that came unless the line is paced;
// paced, only what the line could have carried since they could first have been there, and
// nothing while the chip is busy. A host that closes the port has had its bytes on the line.
std::vector<uint8_t> VirtualDevice::takeFromLine(std::vector<uint8_t> fresh, bool hostClosed) {
    if (!options_.paced) return fresh;
    // Bytes the device has just seen began to arrive now at the earliest: the program's loop
    // looks as soon as the terminal turns readable.
    const uint64_t nowNs = timers_.nowMs() * 1'000'000ull;
    if (rxPending_.empty()) rxLineFreeNs_ = std::max(rxLineFreeNs_, nowNs);
    rxPending_.insert(rxPending_.end(), fresh.begin(), fresh.end());
    size_t n = rxPending_.size();
    if (!hostClosed) {
        if (timers_.nowMs() < chipBusyUntilMs_) return {};
        rxLineFreeNs_ = std::max<uint64_t>(rxLineFreeNs_, chipBusyUntilMs_ * 1'000'000ull);
        n = bytesTheLineCarried(rxLineFreeNs_, n);
    }
    std::vector<uint8_t> bytes(rxPending_.begin(), rxPending_.begin() + static_cast<std::ptrdiff_t>(n));
    rxPending_.erase(rxPending_.begin(), rxPending_.begin() + static_cast<std::ptrdiff_t>(n));
    return bytes;
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
        if (timers_.nowMs() < chipBusyUntilMs_) {
            // The chip is writing: the rest waits until the bootloader listens again.
            rxPending_.insert(rxPending_.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(i + 1), bytes.end());
            break;
        }
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
    uint64_t now = timers_.nowMs();
    if (options_.paced && out.busyUs != 0) {
        // A real loader answers once the page or byte is written, and hears nothing meanwhile.
        chipBusyUntilMs_ = now + (out.busyUs + 999) / 1000;
        now = chipBusyUntilMs_;
    }
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
        size_t end = item.bytes.size();
        if (options_.paced && item.sent < end) {
            // The line was idle until the reply was due at the earliest.
            if (item.sent == 0) txLineFreeNs_ = std::max<uint64_t>(txLineFreeNs_, item.dueMs * 1'000'000ull);
            uint64_t lineFreeNs = txLineFreeNs_;
            end = item.sent + bytesTheLineCarried(lineFreeNs, end - item.sent);
        }
        while (item.sent < end) {
            const ssize_t n = ::write(master_, item.bytes.data() + item.sent, end - item.sent);
            if (n > 0) {
                item.sent += static_cast<size_t>(n);
                txLineFreeNs_ += static_cast<uint64_t>(n) * lineByteNs();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;  // the host's input buffer is full: the rest on a later step
        }
        if (item.sent < item.bytes.size()) return;
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
