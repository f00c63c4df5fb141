#include "sim/unit.h"

#include <utility>

namespace nvx::sim {

namespace {

Frame WordReply(uint16_t id, uint16_t word) {
    Frame f;
    f.id = id;
    f.length = 2;
    f.data[0] = static_cast<uint8_t>(word & 0xFF);
    f.data[1] = static_cast<uint8_t>(word >> 8);
    return f;
}

Frame BytesReply(uint16_t id, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    Frame f;
    f.id = id;
    f.length = 4;
    f.data = {b0, b1, b2, b3};
    return f;
}

// Software timers and task slots the debug queries can look at.
constexpr uint32_t kTaskSlots = 12;
constexpr uint32_t kSoftTimers = 8;
constexpr uint8_t kWeeksPerYear = 53;

}  // namespace

Unit::Unit(const DeviceType& type, PartDescription part)
    : type_(&type), part_(std::move(part)), eeprom_(FactoryEeprom(type)),
      flash_(part_.flashSize, 0xFF), versions_(type.versions) {
    // Some application code, so a read-back before the first update shows more than blank flash.
    uint32_t x = type.serialNumber;
    const size_t used = flash_.size() < 8192 ? flash_.size() : 8192;
    for (size_t i = 0; i < used; ++i) {
        x = x * 1103515245u + 12345u;
        flash_[i] = static_cast<uint8_t>(x >> 16);
    }
}

void Unit::eraseApplication() {
    flash_.assign(flash_.size(), 0xFF);
    flashWritten_ = true;
    applicationErased_ = true;
}

bool Unit::startApplication(ResetReason reason, uint64_t nowMs) {
    if (applicationErased_) {
        enterBootloader();
        return false;
    }
    if (!eeprom_.formatted()) eeprom_.format();
    if (flashWritten_) {
        // Build numbers count calendar weeks of two-digit years.
        flashWritten_ = false;
        if (++versions_.buildWeek > kWeeksPerYear) {
            versions_.buildWeek = 1;
            versions_.buildYear = static_cast<uint8_t>((versions_.buildYear + 1) % 100);
        }
    }
    const uint16_t boots = eeprom_.parameterWord(kParamBootNumber);
    eeprom_.setParameterWord(kParamBootNumber, static_cast<uint16_t>(boots + 1));
    eeprom_.setParameterByte(kParamResetCondition, reason);
    ++restarts_;
    mode_ = UnitMode::Application;
    startedMs_ = nowMs;
    tuvOpen_ = 0;
    bootloader_.reset();
    return true;
}

void Unit::enterBootloader() {
    mode_ = UnitMode::Bootloader;
    bootloader_.reset();
}

KernelOutcome Unit::handleRequest(const Frame& request, uint64_t nowMs, bool tunnelCapable) {
    KernelOutcome out;
    if (mode_ != UnitMode::Application) return out;
    switch (request.id) {
        case kKernelCommandId: return kernelCommand(request, nowMs, tunnelCapable);
        case kVersionQueryId: out.reply = versionReply(request); break;
        case kDebugQueryId: out.reply = debugReply(request, nowMs); break;
        case kStartTextId: out.reply = textReply(request); break;
        default: break;  // not addressed to this unit: stay silent
    }
    return out;
}

KernelOutcome Unit::kernelCommand(const Frame& request, uint64_t, bool tunnelCapable) {
    const uint8_t code = request.data[0];
    const uint8_t p8 = request.data[1];
    const uint16_t p16 = static_cast<uint16_t>(request.data[2] | request.data[3] << 8);
    KernelOutcome out;
    uint16_t w = kReplyOk;
    DeviceEeprom& e = eeprom_;

    auto flagCommand = [&](uint8_t flags) {
        e.setParameterByte(kParamDisplayFlags, flags);
        w = flags;
    };
    auto nthError = [&](uint8_t k, ErrorEntry& entry) {
        const std::vector<ErrorEntry> all = e.errors();
        const size_t index = k == 0 ? 0 : k - 1u;
        if (index >= all.size()) return false;
        entry = all[index];
        return true;
    };
    auto headerWord = [&](uint32_t offset) {
        if (p16 != 0) {
            e.setWord(offset, p16);
            e.updateHeaderChecksum();
        }
        w = e.word(offset);
    };

    switch (code) {
        case kCodeNull: break;
        case kCodeReset:
            out.after = AfterReply::Restart;
            out.reason = kResetCommand;
            break;
        case kCodeReboot:
            out.after = AfterReply::Restart;
            out.reason = kResetReboot;
            break;
        case kCodeBootloadStart:
            if (p8 == type_->bootTarget)
                out.after = AfterReply::EnterBootloader;
            else
                w = kReplyRefused;
            break;
        case kCodeMonitorStart:
            e.setParameterByte(kParamMonitorMode, p8);
            w = p8;
            break;
        case kCodeEepromClear:
            // Parameter 0 is the harmless form: the monitor only asks for confirmation otherwise.
            if (p8 != 0) {
                e.erase();
                w = 1;
            }
            break;
        case kCodeTuvOpen:
            tuvOpen_ = static_cast<uint8_t>(tuvOpen_ | 1u << (p8 & 7));
            w = tuvOpen_;
            break;
        case kCodeTuvClose:
            tuvOpen_ = static_cast<uint8_t>(tuvOpen_ & ~(1u << (p8 & 7)));
            w = tuvOpen_;
            break;
        case kCodeTuvTunnel:
            if (!tunnelCapable || (p8 != 0xFF && p8 != 0))
                w = kReplyRefused;
            else
                out.after = p8 == 0xFF ? AfterReply::TunnelOn : AfterReply::TunnelOff;
            break;
        case kCodeAnzCode:
            e.setParameterByte(kParamDisplayCode, p8);
            w = p8;
            break;
        case kCodeAnzFlagOn: flagCommand(e.parameterByte(kParamDisplayFlags) | p8); break;
        case kCodeAnzFlagOff: flagCommand(e.parameterByte(kParamDisplayFlags) & ~p8); break;
        case kCodeAnzFlagToggle: flagCommand(e.parameterByte(kParamDisplayFlags) ^ p8); break;
        case kCodeErrorSet:
            // Parameter 0 only reads the count: code 0 is no error.
            if (p16 != 0) {
                ErrorEntry entry;
                entry.code = static_cast<uint8_t>(p16 & 0xFF);
                entry.module = static_cast<uint8_t>(p16 >> 8);
                TodayForErrorMemory(entry.day, entry.yearMonth);
                e.addError(entry);
            }
            w = static_cast<uint16_t>(e.errorCount());
            break;
        case kCodeErrorModNum: {
            ErrorEntry entry;
            w = nthError(p8, entry) ? static_cast<uint16_t>(entry.module << 8 | entry.code)
                                    : kReplyNoEntry;
            break;
        }
        case kCodeErrorDate: {
            ErrorEntry entry;
            w = nthError(p8, entry) ? static_cast<uint16_t>(entry.yearMonth << 8 | entry.day)
                                    : kReplyNoEntry;
            break;
        }
        case kCodeErrorClear: {
            uint8_t day = 0;
            uint8_t yearMonth = 0;
            TodayForErrorMemory(day, yearMonth);
            e.clearErrors(day, yearMonth);
            out.delayMs = kErrorClearBusyMs;
            break;
        }
        case kCodeResetCondition: w = e.parameterByte(kParamResetCondition); break;
        case kCodeBootNumber: w = e.parameterWord(kParamBootNumber); break;
        case kCodeRtimeErrorFlags: {
            // A non-zero parameter acknowledges (clears) the flags it names.
            uint16_t flags = e.parameterWord(kParamRuntimeErrorFlags);
            if (p16 != 0) {
                flags = static_cast<uint16_t>(flags & ~p16);
                e.setParameterWord(kParamRuntimeErrorFlags, flags);
            }
            w = flags;
            break;
        }
        case kCodeEepromRead: w = e.word(p16 % kEepromBytes); break;
        case kCodeHardwareCode: w = versions_.hardwareCode; break;
        case kCodeProductionStatus: headerWord(kHeaderProductionFlags); break;
        case kCodeProductionDate: headerWord(kHeaderProductionDate); break;
        case kCodeConfigCode: headerWord(kHeaderConfigCode); break;
        default: w = kReplyUnknown; break;
    }
    out.reply = WordReply(kKernelCommandId, w);
    return out;
}

Frame Unit::versionReply(const Frame& request) const {
    const VersionInfo& v = versions_;
    switch (request.data[0]) {
        case 0:
            return BytesReply(kVersionQueryId, v.platform, v.variant,
                              static_cast<uint8_t>(v.hardwareCode & 0xFF),
                              static_cast<uint8_t>(v.hardwareCode >> 8));
        case 1: return BytesReply(kVersionQueryId, v.kernelMinor, v.kernelMajor, v.appNumber, 0);
        case 2:
            return BytesReply(kVersionQueryId, v.appMinor, v.appMajor, v.buildWeek, v.buildYear);
        default: return BytesReply(kVersionQueryId, 0, 0, 0, 0);
    }
}

Frame Unit::debugReply(const Frame& request, uint64_t nowMs) const {
    const uint64_t uptime = nowMs - startedMs_;
    if (request.data[0] == 1) {
        // Free RAM and the stack reserve never touched, both words.
        const uint16_t freeRam = static_cast<uint16_t>(0x0312 + type_->row * 3);
        const uint16_t stackReserve = static_cast<uint16_t>(0x00A0 + type_->row);
        return BytesReply(kDebugQueryId, static_cast<uint8_t>(freeRam & 0xFF),
                          static_cast<uint8_t>(freeRam >> 8),
                          static_cast<uint8_t>(stackReserve & 0xFF),
                          static_cast<uint8_t>(stackReserve >> 8));
    }
    if (request.data[0] != 0) return WordReply(kDebugQueryId, 0xFFFF);
    const uint8_t n = request.data[1];
    if (n >= 0x80) {
        // Timer t is asked for as 255 - t: the time left of its period, in ms.
        const uint32_t t = 255u - n;
        if (t >= kSoftTimers) return WordReply(kDebugQueryId, 0xFFFF);
        const uint64_t period = 1000u * (t + 1);
        return WordReply(kDebugQueryId, static_cast<uint16_t>(period - uptime % period));
    }
    if (n >= kTaskSlots) return WordReply(kDebugQueryId, 0xFFFF);
    // Task slot n runs every 10 * (n + 1) ms; its run counter.
    return WordReply(kDebugQueryId, static_cast<uint16_t>(uptime / (10u * (n + 1u))));
}

Frame Unit::textReply(const Frame& request) {
    const uint8_t address = request.data[0] & 0x7F;
    const bool write = (request.data[0] & 0x80) != 0;
    Frame f;
    f.id = kStartTextId;
    f.length = 2;
    if (address >= kTextLength) {
        f.data[1] = 0xFF;
        return f;
    }
    if (write) eeprom_.setTextChar(address, request.data[1]);
    f.data[0] = eeprom_.textChar(address);
    return f;
}

}  // namespace nvx::sim
