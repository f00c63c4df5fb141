#include "sim/unit.h"

namespace nvx::sim {

namespace {

constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kDone = '\r';
constexpr uint8_t kUnknown = '?';
// Device code offered for the 'T' command; the loader serves its own chip whatever is selected.
constexpr uint8_t kDeviceCode = 0x74;

// Length of a command including its argument bytes ('B' grows once its size is known).
size_t CommandLength(uint8_t command) {
    switch (command) {
        case 'A': return 3;
        case 'H': return 4;
        case 'B':
        case 'g': return 4;
        case 'c':
        case 'C':
        case 'D':
        case 'l':
        case 'T':
        case 'x':
        case 'y': return 2;
        default: return 1;
    }
}

}  // namespace

void Bootloader::reset() {
    cmd_.clear();
    need_ = 0;
    address_ = 0;
    pendingLowByte_ = -1;
    programming_ = false;
}

void Bootloader::feed(uint8_t byte, Unit& unit, Output& out) {
    if (cmd_.empty()) {
        // ESC wakes some loaders up; this one is awake and stays silent, so "S" after it gets a
        // clean "AVRBOOT".
        if (byte == kEscape) return;
        need_ = CommandLength(byte);
    }
    cmd_.push_back(byte);
    if (cmd_[0] == 'B' && cmd_.size() == 4) need_ = 4 + (static_cast<size_t>(cmd_[1]) << 8 | cmd_[2]);
    if (cmd_.size() < need_) return;
    execute(unit, out);
    cmd_.clear();
    need_ = 0;
}

void Bootloader::execute(Unit& unit, Output& out) {
    std::vector<uint8_t>& o = out.bytes;
    std::vector<uint8_t>& flash = unit.flash();
    DeviceEeprom& eeprom = unit.eeprom();
    const PartDescription& part = unit.part();
    auto flashAt = [&](uint64_t byteAddress) -> uint8_t {
        return byteAddress < flash.size() ? flash[byteAddress] : 0xFF;
    };
    auto setFlash = [&](uint64_t byteAddress, uint8_t v) {
        if (byteAddress >= flash.size()) return;
        flash[byteAddress] = v;
        unit.noteFlashWritten();
    };

    switch (cmd_[0]) {
        case 'S': {
            out.signOnAt = o.size();
            static const char kSignOn[] = "AVRBOOT";
            o.insert(o.end(), kSignOn, kSignOn + 7);
            break;
        }
        case 'V': o.push_back('1'); o.push_back('2'); break;
        case 'v': o.push_back(kUnknown); break;
        case 'p': o.push_back('S'); break;
        case 'a': o.push_back('Y'); break;
        case 'b':
            o.push_back('Y');
            o.push_back(static_cast<uint8_t>(part.flashPageSize >> 8));
            o.push_back(static_cast<uint8_t>(part.flashPageSize & 0xFF));
            break;
        case 't': o.push_back(kDeviceCode); o.push_back(0); break;
        case 'T':
        case 'x':
        case 'y': o.push_back(kDone); break;
        case 'P': programming_ = true; o.push_back(kDone); break;
        case 'L': programming_ = false; o.push_back(kDone); break;
        case 'E':
            o.push_back(kDone);
            out.exit = true;
            break;
        case 'e':
            // The loader erases the application page by page; it does not touch the EEPROM.
            unit.eraseApplication();
            out.busyUs += static_cast<uint32_t>(flash.size() / part.flashPageSize) * part.pageEraseUs;
            o.push_back(kDone);
            break;
        case 'A':
            address_ = static_cast<uint32_t>(cmd_[1] << 8 | cmd_[2]);
            o.push_back(kDone);
            break;
        case 'H':
            address_ = static_cast<uint32_t>(cmd_[1] << 16 | cmd_[2] << 8 | cmd_[3]);
            o.push_back(kDone);
            break;
        case 's':
            o.push_back(part.signature[2]);
            o.push_back(part.signature[1]);
            o.push_back(part.signature[0]);
            break;
        case 'F': o.push_back(unit.fuse(0)); break;
        case 'N': o.push_back(unit.fuse(1)); break;
        case 'Q': o.push_back(unit.fuse(2)); break;
        case 'r': o.push_back(unit.lockBits()); break;
        case 'l':
            unit.setLockBits(cmd_[1]);
            o.push_back(kDone);
            break;
        case 'B': {
            const size_t size = static_cast<size_t>(cmd_[1]) << 8 | cmd_[2];
            const uint8_t memory = cmd_[3];
            if (memory == 'F') {
                const uint64_t base = uint64_t{address_} * 2;
                for (size_t i = 0; i < size; ++i) setFlash(base + i, cmd_[4 + i]);
                address_ += static_cast<uint32_t>((size + 1) / 2);
                const size_t pages = (size + part.flashPageSize - 1) / part.flashPageSize;
                out.busyUs += static_cast<uint32_t>(pages) * part.pageWriteUs;
                o.push_back(kDone);
            } else if (memory == 'E') {
                for (size_t i = 0; i < size; ++i) eeprom.setByte(address_ + i, cmd_[4 + i]);
                address_ += static_cast<uint32_t>(size);
                out.busyUs += static_cast<uint32_t>(size) * part.eepromByteUs;
                o.push_back(kDone);
            } else {
                o.push_back(kUnknown);
            }
            break;
        }
        case 'g': {
            const size_t size = static_cast<size_t>(cmd_[1]) << 8 | cmd_[2];
            const uint8_t memory = cmd_[3];
            if (memory == 'F') {
                const uint64_t base = uint64_t{address_} * 2;
                for (size_t i = 0; i < size; ++i) o.push_back(flashAt(base + i));
                address_ += static_cast<uint32_t>((size + 1) / 2);
            } else if (memory == 'E') {
                for (size_t i = 0; i < size; ++i) o.push_back(eeprom.byte(address_ + i));
                address_ += static_cast<uint32_t>(size);
            } else {
                o.push_back(kUnknown);
            }
            break;
        }
        case 'c':
            pendingLowByte_ = cmd_[1];
            o.push_back(kDone);
            break;
        case 'C': {
            const uint64_t a = uint64_t{address_} * 2;
            if (pendingLowByte_ >= 0) setFlash(a, static_cast<uint8_t>(pendingLowByte_));
            setFlash(a + 1, cmd_[1]);
            pendingLowByte_ = -1;
            ++address_;
            o.push_back(kDone);
            break;
        }
        case 'm':  // words went straight to flash with 'C'; the page write takes its time here
            out.busyUs += part.pageWriteUs;
            o.push_back(kDone);
            break;
        case 'R': {
            const uint64_t a = uint64_t{address_} * 2;
            o.push_back(flashAt(a + 1));
            o.push_back(flashAt(a));
            ++address_;
            break;
        }
        case 'D':
            eeprom.setByte(address_, cmd_[1]);
            ++address_;
            out.busyUs += part.eepromByteUs;
            o.push_back(kDone);
            break;
        case 'd':
            o.push_back(eeprom.byte(address_));
            ++address_;
            break;
        default: o.push_back(kUnknown); break;
    }
}

}  // namespace nvx::sim
