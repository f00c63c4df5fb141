// The virtual device over a real pseudo-terminal, driven by the virtual clock; the host side is
// a plain raw port writing the frames as bytes.

#include "sim/virtual_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/timer_service.h"
#include "sim/intel_hex.h"
#include "support/raw_port.h"

namespace nvx::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    std::istringstream ss(hex);
    std::string b;
    while (ss >> b) out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
    return out;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

const std::string kReset = "55 02 02 FF 00 A6";
const std::string kResetReply = "55 02 02 00 00 A6";
const std::string kBootloadStart = "55 02 02 FD 00 A8";
const std::string kBootNumber = "55 02 02 CE 00 D7";
const std::string kVersionHardware = "55 02 07 00 00 A1";

class VirtualDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { Start(DeviceOptions{}); }

    void Start(DeviceOptions options) {
        host.close();
        device.reset();
        options.devicesDir = std::string(NVX_SOURCE_DIR) + "/devices";
        options.log = [this](const std::string& line) { log += line + "\n"; };
        device = std::make_unique<VirtualDevice>(clock, std::move(options));
        ASSERT_TRUE(host.open(device->slavePath(), 19200));
    }

    // Writes the bytes, lets one service step pass and returns what came back.
    std::vector<uint8_t> Exchange(const std::string& hex, uint64_t ms = kServicePeriodMs) {
        EXPECT_TRUE(host.write(Bytes(hex)));
        clock.advance(ms);
        return host.read();
    }
    std::vector<uint8_t> ExchangeText(const std::string& text, uint64_t ms = kServicePeriodMs) {
        EXPECT_TRUE(host.write(Text(text)));
        clock.advance(ms);
        return host.read();
    }

    VirtualClock clock;
    std::unique_ptr<VirtualDevice> device;
    test::RawPort host;
    std::string log;
};

TEST_F(VirtualDeviceTest, AnswersResetWithTheRequestsIdentifierAndRestarts) {
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply))) << log;
    ASSERT_EQ(device->receivedFrames().size(), 1u);
    const ReceivedFrame& f = device->receivedFrames()[0];
    EXPECT_EQ(f.id, 0x0080);
    EXPECT_EQ(f.length, 2);
    EXPECT_EQ(f.data[0], 0xFF);
    EXPECT_EQ(f.data[1], 0x00);
    EXPECT_EQ(device->restartCount(), 1u);
    EXPECT_EQ(device->bootNumber(), 37 + 3 + 1);
    EXPECT_NE(log.find("rx 55 02 02 FF 00 A6"), std::string::npos) << log;
    EXPECT_NE(log.find("tx 55 02 02 00 00 A6"), std::string::npos) << log;
}

TEST_F(VirtualDeviceTest, VersionReplyCarriesFourBytesAndTheSameIdentifier) {
    EXPECT_THAT(Exchange(kVersionHardware), ElementsAreArray(Bytes("56 02 07 01 02 03 01 99")));
}

TEST_F(VirtualDeviceTest, StaysSilentAtAnotherSpeedAndAnswersAtTheRightOne) {
    for (uint32_t baud : {9600u, 38400u, 57600u}) {
        ASSERT_TRUE(host.setBaud(baud));
        EXPECT_THAT(Exchange(kReset, 100), IsEmpty()) << baud;
    }
    EXPECT_EQ(device->counters().bytesAtWrongSpeed, 18u);
    EXPECT_THAT(device->receivedFrames(), IsEmpty());
    EXPECT_EQ(device->restartCount(), 0u);
    ASSERT_TRUE(host.setBaud(19200));
    EXPECT_EQ(device->hostBaud(), 19200u);
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
}

TEST_F(VirtualDeviceTest, IgnoresBytesBetweenFramesAndBadFrames) {
    // Noise, a frame with a bad check byte, one with a broken parity bit, then a good one.
    EXPECT_THAT(Exchange("41 00 FF 54 04 8C 1C 54 04 8D 1A " + kReset),
                ElementsAreArray(Bytes(kResetReply)));
    EXPECT_EQ(device->counters().badCheckBytes, 1u);
    EXPECT_EQ(device->counters().badParity, 1u);
    EXPECT_EQ(device->counters().noiseBytesSkipped, 3u);
    EXPECT_EQ(device->receivedFrames().size(), 1u);
}

TEST_F(VirtualDeviceTest, FramesArrivingOneBytePerStepAreAnsweredAfterTheLastByte) {
    const std::vector<uint8_t> frame = Bytes(kReset);
    for (size_t i = 0; i + 1 < frame.size(); ++i) {
        host.write(std::vector<uint8_t>{frame[i]});
        clock.advance(kServicePeriodMs);
        EXPECT_THAT(host.read(), IsEmpty());
    }
    host.write(std::vector<uint8_t>{frame.back()});
    clock.advance(kServicePeriodMs);
    EXPECT_THAT(host.read(), ElementsAreArray(Bytes(kResetReply)));
}

TEST_F(VirtualDeviceTest, AHalfFrameIsDroppedAfterTheGap) {
    host.write(Bytes("55 02 02"));
    clock.advance(kFrameGapMs + 2 * kServicePeriodMs);
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_EQ(device->receivedFrames().size(), 1u);
}

TEST_F(VirtualDeviceTest, TwoRequestsInOneWriteGetTwoRepliesInOrder) {
    EXPECT_THAT(Exchange(kVersionHardware + " " + kReset),
                ElementsAreArray(Bytes("56 02 07 01 02 03 01 99 " + kResetReply)));
}

TEST_F(VirtualDeviceTest, ForeignIdentifiersGetNoReply) {
    EXPECT_THAT(Exchange("54 04 8C 1B"), IsEmpty());
    EXPECT_EQ(device->receivedFrames().size(), 1u);
}

TEST_F(VirtualDeviceTest, ErrorClearIsAnsweredOnlyWhenTheKernelIsDone) {
    EXPECT_THAT(Exchange("55 02 02 D8 01 CC"), IsEmpty());
    clock.advance(kErrorClearBusyMs - 2 * kServicePeriodMs);
    EXPECT_THAT(host.read(), IsEmpty());
    clock.advance(2 * kServicePeriodMs);
    EXPECT_THAT(host.read(), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_THAT(device->errorEntries(), IsEmpty());
}

TEST_F(VirtualDeviceTest, PortCanBeClosedAndOpenedAgain) {
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
    // Closed in the middle of a frame: the half frame must not spoil the next one.
    host.write(Bytes("55 02"));
    host.close();
    clock.advance(kServicePeriodMs);
    ASSERT_TRUE(host.open(device->slavePath(), 19200));
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
    host.close();
    clock.advance(kServicePeriodMs);
    ASSERT_TRUE(host.open(device->slavePath(), 19200));
    EXPECT_THAT(Exchange(kBootNumber), ElementsAreArray(Bytes("55 02 02 2A 00 7C")));
}

TEST_F(VirtualDeviceTest, WhatIsSentWhileNobodyListensIsLost) {
    Faults f;
    f.delayReply = FaultRate::Always();
    f.delayMs = 100;
    device->setFaults(f);
    host.write(Bytes(kReset));
    clock.advance(kServicePeriodMs);
    host.close();
    EXPECT_FALSE(device->hostConnected());
    clock.advance(200);
    EXPECT_EQ(device->restartCount(), 1u) << "the device acted all the same";
    ASSERT_TRUE(host.open(device->slavePath(), 19200));
    EXPECT_TRUE(device->hostConnected());
    clock.advance(kServicePeriodMs);
    EXPECT_THAT(host.read(), IsEmpty()) << "no stale reply for the next session";
    EXPECT_NE(log.find("nobody listening"), std::string::npos) << log;
}

TEST_F(VirtualDeviceTest, BootloadStartSwitchesToTheBootloaderAtTheCataloguesSpeed) {
    EXPECT_THAT(Exchange(kBootloadStart), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_TRUE(device->inBootloader());
    EXPECT_EQ(device->listeningBaud(), 38400u);
    // Still at the monitor's speed: nothing.
    EXPECT_THAT(ExchangeText("\x1b\x1b\x1bS"), IsEmpty());
    host.close();
    ASSERT_TRUE(host.open(device->slavePath(), 38400));
    EXPECT_THAT(ExchangeText("\x1b\x1b\x1bS"), ElementsAreArray(Text("AVRBOOT")));
    EXPECT_NE(log.find("boot rx 1B 1B 1B 53"), std::string::npos) << log;
    EXPECT_NE(log.find("boot tx 41 56 52 42 4F 4F 54"), std::string::npos) << log;
    EXPECT_THAT(ExchangeText("E"), ElementsAre('\r'));
    EXPECT_FALSE(device->inBootloader());
    EXPECT_EQ(device->restartCount(), 1u);
    ASSERT_TRUE(host.setBaud(19200));
    // Boot number 40 + 1, reset condition "bootloader exit".
    EXPECT_THAT(Exchange(kBootNumber), ElementsAreArray(Bytes("55 02 02 29 00 7D")));
    EXPECT_THAT(Exchange("55 02 02 CF 00 D6"), ElementsAreArray(Bytes("55 02 02 03 00 A3")));
}

TEST_F(VirtualDeviceTest, BytesSentWithTheBootloadStartAtTheOldSpeedAreDropped) {
    EXPECT_THAT(Exchange(kBootloadStart + " 53"), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_EQ(device->counters().bytesAtWrongSpeed, 1u);
}

TEST_F(VirtualDeviceTest, PowerCycleWithTheKeyHeldWaitsInTheBootloader) {
    device->powerCycle(true);
    EXPECT_TRUE(device->inBootloader());
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("S"), ElementsAreArray(Text("AVRBOOT")));
    device->powerCycle(false);
    EXPECT_FALSE(device->inBootloader());
    EXPECT_THAT(ExchangeText("S"), IsEmpty());
}

TEST_F(VirtualDeviceTest, AfterAChipEraseOnlyTheBootloaderRunsUntilFlashIsWrittenAgain) {
    device->powerCycle(true);
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("e"), ElementsAre('\r'));
    // Neither leaving the loader nor switching on again starts an application that is not there.
    EXPECT_THAT(ExchangeText("E"), ElementsAre('\r'));
    EXPECT_TRUE(device->inBootloader());
    EXPECT_NE(log.find("no application"), std::string::npos) << log;
    device->powerCycle(false);
    EXPECT_TRUE(device->inBootloader());
    ASSERT_TRUE(host.setBaud(19200));
    EXPECT_THAT(Exchange(kBootNumber), IsEmpty()) << "no kernel to answer";
    // One flash block written: the application runs again on the way out.
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("S"), ElementsAreArray(Text("AVRBOOT")));
    EXPECT_THAT(Exchange("41 00 00 42 00 02 46 0C 94"), ElementsAre('\r', '\r'));
    EXPECT_THAT(ExchangeText("E"), ElementsAre('\r'));
    EXPECT_FALSE(device->inBootloader());
    ASSERT_TRUE(host.setBaud(19200));
    EXPECT_THAT(Exchange(kBootNumber), Not(IsEmpty()));
}

TEST_F(VirtualDeviceTest, StartsInTheBootloaderWhenAsked) {
    DeviceOptions o;
    o.device = "aircase";
    o.startInBootloader = true;
    Start(o);
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("s"), ElementsAre(0x02, 0x95, 0x1E)) << "ATmega32";
}

TEST_F(VirtualDeviceTest, RoutedDeviceNeedsTheTunnelToReachTheUnitBehind) {
    DeviceOptions o;
    o.device = "solreg";
    Start(o);
    ASSERT_TRUE(device->routed());
    EXPECT_EQ(device->deviceType().row, 10);
    EXPECT_EQ(device->frontUnit().type().row, 4);
    const std::string bootTarget25 = "55 02 02 FD 19 8F";
    const std::string refused = "55 02 02 01 00 A5";
    // Without the tunnel the panel in front refuses the controller's target.
    EXPECT_THAT(Exchange(bootTarget25), ElementsAreArray(Bytes(refused)));
    // The panel's versions first, the controller's through the tunnel.
    const std::vector<uint8_t> panelVersion = Exchange(kVersionHardware);
    EXPECT_THAT(panelVersion, ElementsAreArray(Bytes("56 02 07 02 01 04 02 97")));
    EXPECT_THAT(Exchange("55 02 02 ED FF B8"), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_TRUE(device->tunnelOn());
    EXPECT_THAT(Exchange(kVersionHardware), ElementsAreArray(Bytes("56 02 07 05 02 02 05 92")));
    EXPECT_THAT(Exchange(bootTarget25), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_TRUE(device->inBootloader());
    EXPECT_EQ(device->frontUnit().mode(), UnitMode::Application);
    // The controller's bootloader answers through the panel, at 19200.
    EXPECT_EQ(device->listeningBaud(), 19200u);
    EXPECT_THAT(ExchangeText("\x1b\x1b\x1bS"), ElementsAreArray(Text("AVRBOOT")));
    EXPECT_THAT(ExchangeText("s"), ElementsAre(0x02, 0x96, 0x1E)) << "ATmega64";
    EXPECT_THAT(ExchangeText("E"), ElementsAre('\r'));
    EXPECT_FALSE(device->inBootloader());
    EXPECT_EQ(device->restartCount(), 1u);
    EXPECT_EQ(device->frontUnit().restarts(), 0u);
    EXPECT_THAT(Exchange("55 02 02 ED 00 B8"), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_FALSE(device->tunnelOn());
}

TEST_F(VirtualDeviceTest, ResetOfTheFrontUnitClosesTheTunnel) {
    DeviceOptions o;
    o.device = "prxabed";
    Start(o);
    Exchange("55 02 02 ED FF B8");
    ASSERT_TRUE(device->tunnelOn());
    // Through the tunnel the reset goes to the panel behind.
    Exchange(kReset);
    EXPECT_EQ(device->restartCount(), 1u);
    EXPECT_TRUE(device->tunnelOn());
    Exchange("55 02 02 ED 00 B8");
    Exchange(kReset);
    EXPECT_EQ(device->frontUnit().restarts(), 1u);
    EXPECT_FALSE(device->tunnelOn());
}

TEST_F(VirtualDeviceTest, NonRoutedDeviceRefusesTheTunnel) {
    EXPECT_THAT(Exchange("55 02 02 ED FF B8"), ElementsAreArray(Bytes("55 02 02 01 00 A5")));
    EXPECT_FALSE(device->tunnelOn());
}

TEST_F(VirtualDeviceTest, StartingTextsLiveInTheEepromsTextSection) {
    // Write 'A' to address 3, read it back.
    EXPECT_THAT(Exchange("55 10 45 83 41 90"), ElementsAreArray(Bytes("55 10 45 41 00 14")));
    EXPECT_EQ(device->texts()[3], 'A');
    EXPECT_EQ(device->eeprom()[0x080 + 3], 'A');
}

TEST_F(VirtualDeviceTest, SendsStatusFramesWhenAsked) {
    DeviceOptions o;
    o.statusIntervalMs = 100;
    Start(o);
    // The device only talks once somebody has the port open and has been heard.
    Exchange(kBootNumber);
    clock.advance(100);
    // Identifier 0x0380 + code 4, the boot number (40) as data.
    EXPECT_THAT(host.read(), ElementsAreArray(Bytes("55 0E 10 28 00 64")));
}

// What the in-process determinism rests on: a read that finds nothing waiting first flushes the
// kernel's pending delivery, so a write is always seen by the other side's next read.
TEST(PseudoTerminal, AWriteIsSeenByThePeersVeryNextRead) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    test::RawPort slave(::ptsname(master), 19200);
    ASSERT_TRUE(slave.isOpen());
    int missed = 0;
    for (int i = 0; i < 2000; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        slave.write(std::vector<uint8_t>{b});
        uint8_t got = 0;
        if (::read(master, &got, 1) != 1 || got != b) ++missed;
        ASSERT_EQ(::write(master, &b, 1), 1);
        const std::vector<uint8_t> back = slave.read();
        if (back.size() != 1 || back[0] != b) ++missed;
    }
    EXPECT_EQ(missed, 0);
    ::close(master);
}

// --- faults ---

TEST_F(VirtualDeviceTest, DropFaultLosesTheNextRepliesOnly) {
    device->faults().dropReply = FaultRate::Times(2);
    EXPECT_THAT(Exchange(kBootNumber), IsEmpty());
    EXPECT_THAT(Exchange(kReset), IsEmpty());
    EXPECT_EQ(device->restartCount(), 1u) << "the device still acted on the request";
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_EQ(device->counters().repliesDropped, 2u);
    EXPECT_EQ(device->faults().dropReply.count, 0u);
}

TEST_F(VirtualDeviceTest, DelayFaultHoldsRepliesBack) {
    Faults f;
    f.delayReply = FaultRate::Always();
    f.delayMs = 300;
    device->setFaults(f);
    EXPECT_THAT(Exchange(kReset), IsEmpty());
    clock.advance(300 - 2 * kServicePeriodMs);
    EXPECT_THAT(host.read(), IsEmpty());
    clock.advance(2 * kServicePeriodMs);
    EXPECT_THAT(host.read(), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_EQ(device->restartCount(), 1u);
}

TEST_F(VirtualDeviceTest, JitterFaultHoldsEachReplyBackByARandomAmountUpToItsBound) {
    constexpr uint32_t kJitterMs = 300;
    auto latencies = [&](uint32_t seed) {
        DeviceOptions o;
        o.seed = seed;
        o.faults.jitterReply = FaultRate::Always();
        o.faults.jitterMs = kJitterMs;
        Start(o);
        std::vector<uint64_t> waited;
        for (int i = 0; i < 12; ++i) {
            EXPECT_TRUE(host.write(Bytes(kBootNumber)));
            uint64_t ms = 0;
            std::vector<uint8_t> got;
            while (got.empty() && ms <= kJitterMs + 2 * kServicePeriodMs) {
                clock.advance(kServicePeriodMs);
                ms += kServicePeriodMs;
                got = host.read();
            }
            EXPECT_THAT(got, ElementsAreArray(Bytes("55 02 02 28 00 7E"))) << "request " << i;
            waited.push_back(ms);
        }
        return waited;
    };
    const std::vector<uint64_t> waited = latencies(5);
    // At most the bound plus the step that takes the request and the step that sends.
    EXPECT_LE(*std::max_element(waited.begin(), waited.end()), kJitterMs + 2 * kServicePeriodMs);
    EXPECT_GT(*std::max_element(waited.begin(), waited.end()), kJitterMs / 2);
    EXPECT_GE(std::set<uint64_t>(waited.begin(), waited.end()).size(), 4u) << "spread, not fixed";
    EXPECT_EQ(latencies(5), waited) << "the seed decides the amounts";
    EXPECT_NE(latencies(6), waited) << "another seed, other amounts";
}

TEST_F(VirtualDeviceTest, JitterFaultNeverLetsAReplyOvertakeAnEarlierOne) {
    DeviceOptions o;
    o.seed = 3;
    o.faults.jitterReply = FaultRate::Always();
    o.faults.jitterMs = 600;
    Start(o);
    // Requests 10 ms apart whose replies differ: each reply's own draw would put many of them
    // before the one sent ahead of it.
    auto identifiers = [](const std::vector<uint8_t>& line) {
        std::vector<uint16_t> ids;
        FrameDecoder decoder;
        for (uint8_t b : line) {
            const FrameDecoder::Result r = decoder.feed(b);
            if (r.event == FrameDecoder::Event::Frame) ids.push_back(r.frame.id);
        }
        return ids;
    };
    std::vector<uint8_t> asked, answered;
    for (int i = 0; i < 20; ++i) {
        const std::vector<uint8_t> request = Bytes(i % 2 ? kVersionHardware : kBootNumber);
        asked.insert(asked.end(), request.begin(), request.end());
        EXPECT_TRUE(host.write(request));
        clock.advance(kServicePeriodMs);
        const std::vector<uint8_t> got = host.read();
        answered.insert(answered.end(), got.begin(), got.end());
    }
    clock.advance(700);
    const std::vector<uint8_t> rest = host.read();
    answered.insert(answered.end(), rest.begin(), rest.end());
    ASSERT_EQ(identifiers(asked).size(), 20u);
    EXPECT_EQ(identifiers(answered), identifiers(asked));
}

TEST_F(VirtualDeviceTest, CorruptFaultPutsTheCheckByteOffByOne) {
    device->faults().corruptCheckByte = FaultRate::Times(1);
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes("55 02 02 00 00 A7")));
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
}

TEST_F(VirtualDeviceTest, ParityFaultBreaksTheIdentifierButKeepsTheCheckByteRight) {
    device->faults().breakParity = FaultRate::Times(1);
    const std::vector<uint8_t> reply = Exchange(kReset);
    EXPECT_THAT(reply, ElementsAreArray(Bytes("55 02 03 00 00 A5")));
    FrameDecoder d;
    FrameDecoder::Result r;
    for (uint8_t b : reply) r = d.feed(b);
    EXPECT_EQ(r.event, FrameDecoder::Event::BadParity);
}

TEST_F(VirtualDeviceTest, WrongLengthFaultChangesTheFrameKind) {
    device->faults().wrongLength = FaultRate::Times(2);
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes("56 02 02 00 00 00 00 A5")));
    EXPECT_THAT(Exchange(kVersionHardware), ElementsAreArray(Bytes("55 02 07 01 02 9E")));
}

TEST_F(VirtualDeviceTest, NoiseFaultPutsNonFrameBytesBeforeTheReply) {
    device->faults().noise = FaultRate::Always();
    for (int i = 0; i < 5; ++i) {
        const std::vector<uint8_t> got = Exchange(kReset);
        ASSERT_GE(got.size(), 7u);
        ASSERT_LE(got.size(), 9u);
        const size_t noise = got.size() - 6;
        for (size_t k = 0; k < noise; ++k) {
            EXPECT_NE(got[k], 0x54);
            EXPECT_NE(got[k], 0x55);
            EXPECT_NE(got[k], 0x56);
        }
        EXPECT_THAT(std::vector<uint8_t>(got.begin() + static_cast<long>(noise), got.end()),
                    ElementsAreArray(Bytes(kResetReply)));
    }
}

TEST_F(VirtualDeviceTest, EchoFaultSendsTheHostsBytesBack) {
    device->faults().echo = FaultRate::Times(6);
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kReset + " " + kResetReply)));
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
}

TEST_F(VirtualDeviceTest, NeverEnterBootloaderFaultAcknowledgesButStays) {
    device->faults().neverEnterBootloader = FaultRate::Times(1);
    EXPECT_THAT(Exchange(kBootloadStart), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_FALSE(device->inBootloader());
    EXPECT_THAT(Exchange(kBootloadStart), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_TRUE(device->inBootloader());
}

TEST_F(VirtualDeviceTest, SplitFaultSendsTheSignOnInTwoParts) {
    device->faults().splitSignOn = FaultRate::Times(1);
    Exchange(kBootloadStart);
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("\x1b\x1b\x1bS"), ElementsAreArray(Text("AVR")));
    clock.advance(kSplitSignOnGapMs);
    EXPECT_THAT(host.read(), ElementsAreArray(Text("BOOT")));
    EXPECT_THAT(ExchangeText("S"), ElementsAreArray(Text("AVRBOOT")));
}

TEST_F(VirtualDeviceTest, MuteFaultStopsAllAnswersAfterTheNthButKeepsTheLineOpen) {
    // Frames and bootloader commands count alike: two frames, then the sign-on, then silence.
    device->faults().muteAfter = 3;
    EXPECT_THAT(Exchange(kBootNumber), ElementsAreArray(Bytes("55 02 02 28 00 7E")));
    EXPECT_FALSE(Exchange(kBootloadStart).empty());
    ASSERT_TRUE(host.setBaud(38400));
    EXPECT_THAT(ExchangeText("\x1b\x1b\x1bS"), ElementsAreArray(Text("AVRBOOT")));
    EXPECT_FALSE(device->muted());
    EXPECT_THAT(ExchangeText("S"), IsEmpty());
    EXPECT_TRUE(device->muted());
    EXPECT_THAT(ExchangeText("E"), IsEmpty());
    EXPECT_TRUE(device->inBootloader()) << "the exit command was not taken";
    clock.advance(5000);
    EXPECT_THAT(host.read(), IsEmpty());
    EXPECT_FALSE(device->vanished());
    EXPECT_TRUE(host.write(Text("S"))) << "the line stays open";
}

TEST_F(VirtualDeviceTest, VanishFaultClosesThePtyWhenTheFrameAfterTheNthArrives) {
    device->faults().vanishAfterFrames = 2;
    EXPECT_THAT(Exchange(kBootNumber), ElementsAreArray(Bytes("55 02 02 28 00 7E")));
    EXPECT_THAT(Exchange(kReset), ElementsAreArray(Bytes(kResetReply)));
    EXPECT_FALSE(device->vanished());
    EXPECT_THAT(Exchange(kReset), IsEmpty());
    EXPECT_TRUE(device->vanished());
    EXPECT_EQ(device->restartCount(), 1u) << "the third frame was never taken";
    EXPECT_EQ(device->receivedFrames().size(), 2u);
    EXPECT_FALSE(host.write(Bytes(kReset))) << "the line is gone";
    host.close();
    EXPECT_FALSE(host.open(device->slavePath(), 19200));
}

TEST_F(VirtualDeviceTest, RateFaultsRepeatWithTheSameSeed) {
    auto run = [&](uint32_t seed) {
        DeviceOptions o;
        o.seed = seed;
        o.faults.dropReply = FaultRate::Chance(0.5);
        Start(o);
        std::string pattern;
        for (int i = 0; i < 24; ++i) pattern += Exchange(kBootNumber).empty() ? '-' : 'x';
        return pattern;
    };
    const std::string a = run(7);
    EXPECT_EQ(run(7), a);
    EXPECT_NE(run(8), a) << "another seed, another pattern";
    EXPECT_NE(a.find('-'), std::string::npos);
    EXPECT_NE(a.find('x'), std::string::npos);
}

// --- files, links, options ---

class VirtualDeviceFilesTest : public VirtualDeviceTest {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("nvx_sim_files_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        VirtualDeviceTest::SetUp();
    }
    void TearDown() override {
        device.reset();
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
};

TEST_F(VirtualDeviceFilesTest, EepromComesFromTheGivenImageAndGoesBackOut) {
    std::vector<uint8_t> image(kEepromBytes, 0xFF);
    for (size_t i = 0; i < 2048; ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    std::string error;
    const std::string in = (dir / "in.hex").string();
    ASSERT_TRUE(WriteTextFile(in, FormatIntelHex(image, false), error)) << error;
    DeviceOptions o;
    o.eepromIn = in;
    Start(o);
    EXPECT_EQ(device->eeprom(), image);
    const std::string out = (dir / "out.hex").string();
    ASSERT_TRUE(device->saveEeprom(out, error)) << error;
    std::vector<uint8_t> back(kEepromBytes, 0);
    ASSERT_TRUE(ReadIntelHexFile(out, back, error)) << error;
    EXPECT_EQ(back, image);
}

TEST_F(VirtualDeviceFilesTest, FlashGoesOutWithoutBlankRows) {
    std::string error;
    const std::string out = (dir / "flash.hex").string();
    ASSERT_TRUE(device->saveFlash(out, error)) << error;
    std::vector<uint8_t> back(device->flash().size(), 0xFF);
    ASSERT_TRUE(ReadIntelHexFile(out, back, error)) << error;
    EXPECT_EQ(back, device->flash());
    EXPECT_LT(std::filesystem::file_size(out), device->flash().size());
}

TEST_F(VirtualDeviceFilesTest, BadEepromImageIsRefused) {
    const std::string in = (dir / "bad.hex").string();
    std::ofstream(in) << ":0100000055AB\n";
    DeviceOptions o;
    o.eepromIn = in;
    o.devicesDir = std::string(NVX_SOURCE_DIR) + "/devices";
    EXPECT_THROW(VirtualDevice(clock, o), std::runtime_error);
}

TEST_F(VirtualDeviceFilesTest, LinkPointsAtTheSlaveAndGoesWithTheDevice) {
    const std::string link = (dir / "com1").string();
    // An old link left behind by a crashed run is replaced.
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    ASSERT_TRUE(device->linkAs(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), device->slavePath());
    test::RawPort viaLink(link, 19200);
    ASSERT_TRUE(viaLink.isOpen());
    viaLink.write(Bytes(kReset));
    clock.advance(kServicePeriodMs);
    EXPECT_THAT(viaLink.read(), ElementsAreArray(Bytes(kResetReply)));
    viaLink.close();
    device.reset();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(VirtualDeviceFilesTest, LinkNeverReplacesARealFile) {
    const std::string file = (dir / "com2").string();
    std::ofstream(file) << "keep me";
    EXPECT_FALSE(device->linkAs(file));
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
}

TEST(VirtualDeviceOptions, DeviceTypeByStemOrRowElseRefused) {
    VirtualClock clock;
    DeviceOptions o;
    o.devicesDir = std::string(NVX_SOURCE_DIR) + "/devices";
    o.row = 13;
    EXPECT_EQ(VirtualDevice(clock, o).deviceType().deviceKey, std::string("SolReg"));
    o.row = 0;
    o.device = "glenvalbed";
    {
        VirtualDevice d(clock, o);
        EXPECT_TRUE(d.routed());
        EXPECT_EQ(d.deviceType().deviceCode, 275u);
        EXPECT_EQ(d.frontUnit().type().row, 30);
    }
    o.device = "solgrb";  // a device key, not a stem
    EXPECT_THROW(VirtualDevice(clock, o), std::runtime_error);
    o.row = 9;  // a heading
    EXPECT_THROW(VirtualDevice(clock, o), std::runtime_error);
    o.row = 3;
    o.devicesDir = "/nonexistent";
    // Found elsewhere: the search goes on to the project's devices folder.
    EXPECT_EQ(VirtualDevice(clock, o).part().avrdudePart, "m64");
}

TEST(VirtualDeviceOptions, EveryDeviceRowStartsAndAnswers) {
    for (const DeviceType& t : DeviceTypes()) {
        SCOPED_TRACE(t.row);
        VirtualClock clock;
        DeviceOptions o;
        o.row = t.row;
        o.devicesDir = std::string(NVX_SOURCE_DIR) + "/devices";
        VirtualDevice d(clock, o);
        test::RawPort host(d.slavePath(), 19200);
        ASSERT_TRUE(host.isOpen());
        host.write(Bytes("55 02 02 BF 00 E6"));  // HardwareCode
        clock.advance(kServicePeriodMs);
        const std::vector<uint8_t> reply = host.read();
        ASSERT_EQ(reply.size(), 6u);
        const VersionInfo& v = (d.routed() ? d.frontUnit().type() : t).versions;
        EXPECT_EQ(reply[3] | reply[4] << 8, v.hardwareCode);
        EXPECT_EQ(d.part().flashSize, d.flash().size());
    }
}

// ---- a paced line: the wire's time and the chip's ----

class PacedLineTest : public VirtualDeviceTest {
protected:
    void StartPaced(bool inBootloader) {
        DeviceOptions o;
        o.device = "solbed";  // ATmega64: 64 KB in 256 pages, bootloader at 38400 baud
        o.startInBootloader = inBootloader;
        o.paced = true;
        Start(std::move(o));
        if (inBootloader) {
            ASSERT_TRUE(host.setBaud(38400));
        }
    }

    // As the program's loop does when the terminal turns readable.
    void Write(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(host.write(bytes));
        device->service();
    }

    // Steps the clock 1 ms at a time until `count` bytes came back (or limitMs passed); the
    // times of the first and the last byte are kept.
    std::vector<uint8_t> Collect(size_t count, uint64_t limitMs) {
        std::vector<uint8_t> got;
        const uint64_t start = clock.nowMs();
        while (got.size() < count && clock.nowMs() - start < limitMs) {
            clock.advance(1);
            const std::vector<uint8_t> more = host.read();
            if (more.empty()) continue;
            if (got.empty()) firstMs = clock.nowMs() - start;
            lastMs = clock.nowMs() - start;
            got.insert(got.end(), more.begin(), more.end());
        }
        return got;
    }

    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
};

// Many bytes in a row leave at the line's byte rate (10 bits a byte): a flash read at the
// bootloader's 38400 baud, and the replies to a run of requests at the application's 19200.
TEST_F(PacedLineTest, BytesLeaveAtTheLinesByteRate) {
    struct Case {
        const char* name;
        bool bootloader;
        uint32_t baud;
    };
    for (const Case& c : {Case{"bootloader, 38400 baud", true, 38400}, Case{"application, 19200 baud", false, 19200}}) {
        SCOPED_TRACE(c.name);
        StartPaced(c.bootloader);
        size_t expected = 0;
        if (c.bootloader) {
            ASSERT_TRUE(host.write(Text("A")) && host.write(std::vector<uint8_t>{0x00, 0x00}));
            ASSERT_THAT(Collect(1, 100), ElementsAre('\r'));
            ASSERT_TRUE(host.write(std::vector<uint8_t>{'g', 0x20, 0x00, 'F'}));
            expected = 0x2000;
        } else {
            std::vector<uint8_t> requests;
            for (int i = 0; i < 400; ++i) {
                const std::vector<uint8_t> one = Bytes(kVersionHardware);
                requests.insert(requests.end(), one.begin(), one.end());
            }
            ASSERT_TRUE(host.write(requests));
            expected = 400 * 8;  // the reply carries four bytes
        }
        ASSERT_EQ(Collect(expected, 10000).size(), expected) << log.substr(0, 2000);
        const double lineMs = (expected - 1) * 10.0 * 1000.0 / c.baud;
        const double tookMs = static_cast<double>(lastMs - firstMs);
        EXPECT_NEAR(tookMs / lineMs, 1.0, 0.02) << "took " << tookMs << " ms, the line needs " << lineMs;
    }
}

// The bootloader answers a command that erases or writes only once the chip is done: its reply
// comes after the bytes of the command crossed the line and the chip's time passed, and a
// command sent meanwhile is taken only after it. Instant, every answer comes in the next step.
TEST_F(PacedLineTest, TheBootloaderIsDeafWhileTheChipWrites) {
    auto block = [](char memory, size_t size) {
        std::vector<uint8_t> b{'B', static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size & 0xFF),
                               static_cast<uint8_t>(memory)};
        b.resize(4 + size, 0x5A);
        return b;
    };
    constexpr double kByteMs = 10.0 * 1000.0 / 38400;
    struct Case {
        const char* name;
        std::vector<uint8_t> command;
        double chipMs;  // the part description's times for what the command does
    };
    const Case cases[] = {
        {"chip erase, 256 pages of 4.5 ms", {'e'}, 256 * 4.5},
        {"one flash page", block('F', 256), 4.5},
        {"16 EEPROM bytes of 8.5 ms", block('E', 16), 16 * 8.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartPaced(true);
        std::vector<uint8_t> command = c.command;
        command.push_back('s');  // sent at once, before the first command is answered
        Write(command);
        const std::vector<uint8_t> got = Collect(4, 5000);
        ASSERT_THAT(got, ElementsAre('\r', 0x02, 0x96, 0x1E));  // the signature after the '\r'
        const double earliestMs = c.command.size() * kByteMs + c.chipMs;
        // A byte may show up to one device step early, never late.
        EXPECT_GE(static_cast<double>(firstMs), earliestMs - 2 * kLineStepMs);
        EXPECT_LE(static_cast<double>(lastMs), earliestMs + 3 * kLineStepMs);

        DeviceOptions instant;
        instant.device = "solbed";
        instant.startInBootloader = true;
        Start(std::move(instant));
        ASSERT_TRUE(host.setBaud(38400));
        ASSERT_TRUE(host.write(command));
        device->service();
        EXPECT_EQ(Collect(4, 5000).size(), 4u);
        EXPECT_LE(lastMs, kServicePeriodMs);
    }
}

}  // namespace
}  // namespace nvx::sim
