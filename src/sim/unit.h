#pragma once
// One unit of the family: an AVR with its flash and EEPROM, running either its application (the
// kernel serving requests) or its bootloader (AVR109 command set).

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/device_eeprom.h"
#include "sim/device_types.h"
#include "sim/frame_codec.h"
#include "sim/part_description.h"

namespace nvx::sim {

// Request identifiers the kernel answers.
constexpr uint16_t kKernelCommandId = 0x0080;
constexpr uint16_t kVersionQueryId = 0x0081;
constexpr uint16_t kDebugQueryId = 0x008F;
constexpr uint16_t kStartTextId = 0x0411;

// Kernel command codes (data byte 0 of a 0x0080 request).
enum KernelCode : uint8_t {
    kCodeNull = 0x00,
    kCodeReset = 0xFF,
    kCodeReboot = 0xFE,
    kCodeBootloadStart = 0xFD,
    kCodeEepromClear = 0xFC,
    kCodeMonitorStart = 0xFB,
    kCodeTuvOpen = 0xEF,
    kCodeTuvClose = 0xEE,
    kCodeTuvTunnel = 0xED,
    kCodeAnzCode = 0xE8,
    kCodeAnzFlagOn = 0xE7,
    kCodeAnzFlagOff = 0xE6,
    kCodeAnzFlagToggle = 0xE5,
    kCodeErrorSet = 0xDF,
    kCodeErrorModNum = 0xDB,
    kCodeErrorDate = 0xDA,
    kCodeErrorClear = 0xD8,
    kCodeResetCondition = 0xCF,
    kCodeBootNumber = 0xCE,
    kCodeRtimeErrorFlags = 0xCD,
    kCodeEepromRead = 0xCC,
    kCodeHardwareCode = 0xBF,
    kCodeProductionStatus = 0xBE,
    kCodeProductionDate = 0xBD,
    kCodeConfigCode = 0xBC,
};

// Reply words of the kernel commands besides values.
constexpr uint16_t kReplyOk = 0x0000;
constexpr uint16_t kReplyRefused = 0x0001;    // e.g. BootloadStart for another target
constexpr uint16_t kReplyNoEntry = 0xFFFF;    // error memory entry that does not exist
constexpr uint16_t kReplyUnknown = 0xFFFF;    // command code the kernel does not know

// Erasing the error memory takes the device a while; the monitor waits up to 15 s for it.
constexpr uint32_t kErrorClearBusyMs = 1500;

// Why the application last started; kept in the EEPROM and read by ResetCondition.
enum ResetReason : uint8_t {
    kResetPowerOn = 0,
    kResetCommand = 1,
    kResetReboot = 2,
    kResetBootloaderExit = 3,
};

enum class UnitMode { Application, Bootloader };

// What the line layer does after a request's reply has gone out.
enum class AfterReply { Nothing, Restart, EnterBootloader, TunnelOn, TunnelOff };

struct KernelOutcome {
    std::optional<Frame> reply;  // none: the identifier is not for this unit
    uint32_t delayMs = 0;        // the kernel is busy this long before it answers
    AfterReply after = AfterReply::Nothing;
    ResetReason reason = kResetPowerOn;
};

class Unit;

// AVR109 command interpreter over a unit's memories.
class Bootloader {
public:
    struct Output {
        std::vector<uint8_t> bytes;
        std::optional<size_t> signOnAt;  // where "AVRBOOT" starts in bytes, if it was sent
        bool exit = false;               // 'E' was answered: start the application
        uint32_t busyUs = 0;             // the chip's time for what the command wrote or erased
    };
    // Takes one byte from the line; appends any answer to out.
    void feed(uint8_t byte, Unit& unit, Output& out);
    void reset();
    bool midCommand() const { return !cmd_.empty(); }

private:
    void execute(Unit& unit, Output& out);
    std::vector<uint8_t> cmd_;
    size_t need_ = 0;
    uint32_t address_ = 0;  // words for flash, bytes for EEPROM
    int pendingLowByte_ = -1;  // 'c' before 'C'
    bool programming_ = false;
};

class Unit {
public:
    Unit(const DeviceType& type, PartDescription part);

    const DeviceType& type() const { return *type_; }
    const PartDescription& part() const { return part_; }
    DeviceEeprom& eeprom() { return eeprom_; }
    const DeviceEeprom& eeprom() const { return eeprom_; }
    std::vector<uint8_t>& flash() { return flash_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    Bootloader& bootloader() { return bootloader_; }
    // The application versions the kernel reports now: a new firmware carries a new build.
    const VersionInfo& versions() const { return versions_; }
    // The bootloader changed the flash: the next application start runs a new build, and after
    // a chip erase there is an application again.
    void noteFlashWritten() {
        flashWritten_ = true;
        applicationErased_ = false;
    }

    UnitMode mode() const { return mode_; }
    uint32_t restarts() const { return restarts_; }
    uint32_t lineBaud() const {
        return mode_ == UnitMode::Bootloader ? type_->bootBaud : kApplicationBaud;
    }

    // The application starts (again): counters kept in the EEPROM advance; an erased EEPROM is
    // formatted first. After a chip erase there is no application until flash is written again:
    // the bootloader runs instead and this returns false.
    bool startApplication(ResetReason reason, uint64_t nowMs);
    void enterBootloader();

    // A request addressed to this unit's kernel. tunnelCapable: a unit stands behind this one.
    KernelOutcome handleRequest(const Frame& request, uint64_t nowMs, bool tunnelCapable);

    // A chip erase leaves no application; any flash write puts one back.
    void eraseApplication();
    bool hasApplication() const { return !applicationErased_; }

    uint8_t fuse(int index) const { return fuses_[index]; }
    uint8_t lockBits() const { return lockBits_; }
    void setLockBits(uint8_t v) { lockBits_ = v; }
    uint8_t tuvOpenMask() const { return tuvOpen_; }

private:
    KernelOutcome kernelCommand(const Frame& request, uint64_t nowMs, bool tunnelCapable);
    Frame versionReply(const Frame& request) const;
    Frame debugReply(const Frame& request, uint64_t nowMs) const;
    Frame textReply(const Frame& request);

    const DeviceType* type_;
    PartDescription part_;
    DeviceEeprom eeprom_;
    std::vector<uint8_t> flash_;
    Bootloader bootloader_;
    VersionInfo versions_;
    bool flashWritten_ = false;
    UnitMode mode_ = UnitMode::Application;
    uint32_t restarts_ = 0;
    bool applicationErased_ = false;
    uint64_t startedMs_ = 0;
    uint8_t tuvOpen_ = 0;
    uint8_t lockBits_ = 0xFF;
    uint8_t fuses_[3] = {0xFF, 0xD8, 0xFD};  // low, high (boot reset vector), extended
};

}  // namespace nvx::sim
