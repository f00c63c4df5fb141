// Bytes from the host as the virtual device takes them: through its frame decoder into the
// kernel while the unit runs its application, into the AVR109 interpreter while it runs its
// bootloader. Replies must survive their own decoder; nothing may read or write out of bounds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sim/device_types.h"
#include "sim/frame_codec.h"
#include "sim/unit.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

nvx::sim::PartDescription SmallPart() {
    nvx::sim::PartDescription p;
    p.name = "ATmega168P";
    p.avrdudePart = "m168p";
    p.signature = {0x1E, 0x94, 0x0B};
    p.flashSize = 16384;
    p.flashPageSize = 128;
    p.eepromSize = 512;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nvx::sim;
    if (size == 0) return 0;
    // The first byte picks the device row among the catalogue's.
    const auto types = DeviceTypes();
    const DeviceType& type = types[data[0] % types.size()];
    Unit unit(type, SmallPart());
    FrameDecoder decoder;
    uint64_t now = 0;
    for (size_t i = 1; i < size; ++i) {
        now += 10;
        if (unit.mode() == UnitMode::Bootloader) {
            Bootloader::Output out;
            unit.bootloader().feed(data[i], unit, out);
            if (out.signOnAt) Check(*out.signOnAt + 7 <= out.bytes.size());
            if (out.exit) unit.startApplication(kResetBootloaderExit, now);
            continue;
        }
        const FrameDecoder::Result r = decoder.feed(data[i]);
        if (r.event != FrameDecoder::Event::Frame) continue;
        const KernelOutcome outcome = unit.handleRequest(r.frame, now, (data[i] & 1) != 0);
        if (!outcome.reply) continue;
        // The reply decodes to itself.
        const std::vector<uint8_t> wire = EncodeFrame(*outcome.reply);
        FrameDecoder back;
        FrameDecoder::Result rr;
        for (uint8_t b : wire) rr = back.feed(b);
        Check(rr.event == FrameDecoder::Event::Frame);
        Check(rr.frame.id == r.frame.id);
        switch (outcome.after) {
            case AfterReply::Restart: unit.startApplication(outcome.reason, now); break;
            case AfterReply::EnterBootloader: unit.enterBootloader(); break;
            default: break;
        }
        Check(unit.eeprom().bytes().size() == kEepromBytes);
        Check(unit.eeprom().errorCount() <= kErrorRingCapacity);
    }
    Check(unit.flash().size() == 16384);
    return 0;
}
