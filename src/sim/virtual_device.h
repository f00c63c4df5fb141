#pragma once
// The virtual device: a unit of the family (or, for routed rows, the unit in front and the one
// behind it) on the master side of a pseudo-terminal. The monitor opens the slave side like any
// serial port.
//
// Public API for tests and front ends; keep it stable.
//
//   nvx::VirtualClock clock;
//   nvx::sim::DeviceOptions options;
//   options.device = "solreg";
//   nvx::sim::VirtualDevice device(clock, options);   // throws std::runtime_error on bad options
//   device.linkAs(startDir + "/com1");                  // COM 1 now resolves to the device
//   ... host opens the port, clock.advance(...) ...
//   EXPECT_EQ(device.receivedFrames().back().id, 0x0080);
//
// Line. The device reads the line settings the host applied to the slave (the pty's termios are
// shared by both sides) and takes bytes only at the speed of the unit on the line: 19200 baud
// for the application, the catalogue's speed for a bootloader. Bytes at another speed are
// dropped unanswered, as a UART would drop garbage. Replies carry the request's identifier.
//
// Paced lines. With DeviceOptions::paced the device keeps the line's time in both directions:
// what the host wrote is taken at most at the line's byte rate, counted from when the device first
// saw it, and replies leave at the same rate; a bootloader
// command that erases or writes answers, and the next one is taken, only once the chip is done.
//
// Time. The device registers a service step every 10 ms with the TimerService it is given, and
// all of its own delays (reply delay, busy kernel, split sign-on, frame gap) are counted in that
// service's milliseconds. In a test the TimerService is a VirtualClock and everything is
// deterministic without any real-time waiting: both sides run on the test's thread, and the
// terminal line discipline, when a read (or poll) finds its buffer empty, first flushes the
// kernel's pending delivery work for that terminal. So every byte one side has written before
// the other side reads is seen by that read; it is never "sometimes one step later". The test
// PseudoTerminal.AWriteIsSeenByThePeersVeryNextRead guards this property of the kernel.
// waitForInput() is for code that blocks on the line in real time (the program's loop).
//
// Closing and reopening. The device keeps no slave descriptor of its own: a host that closes the
// port really closes the terminal (its exclusive flag goes with it) and can open the same path
// again. Meanwhile reads on the master fail with EIO, which the device takes as "nobody there".

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/timer_service.h"
#include "sim/device_eeprom.h"
#include "sim/device_types.h"
#include "sim/faults.h"
#include "sim/frame_codec.h"
#include "sim/unit.h"

namespace nvx::sim {

constexpr uint32_t kServicePeriodMs = 10;
constexpr uint32_t kLineStepMs = 1;
// A frame whose next byte takes longer than this is dropped half way (the host gave up on it).
constexpr uint32_t kFrameGapMs = 500;
// How far apart the two halves of a split "AVRBOOT" go out.
constexpr uint32_t kSplitSignOnGapMs = 20;
constexpr size_t kBytesReceivedKept = 65536;

struct DeviceOptions {
    std::string device = "solbed";  // the device list's stem ("solreg", "prxabed", ...)
    int row = 0;                    // a device row of the list (3..33); wins over device
    std::string eepromIn;           // Intel HEX image the EEPROM starts with; empty: factory data
    std::string devicesDir;         // where <chip>.xml is looked for first
    bool startInBootloader = false; // as after a manual start: the bootloader waits
    // A real wire's time: bytes go out and are taken in no faster than the line's speed carries
    // them (10 bits a byte), and the bootloader is deaf while the chip erases or writes (the part
    // description's chip times). Off: every byte at once, as fast as the host can take it.
    bool paced = false;
    Faults faults;
    uint32_t seed = 1;              // for faults given as rates and for noise bytes
    uint32_t statusIntervalMs = 0;  // status frame (0x0380 + code) period; 0 = none
    std::function<void(const std::string&)> log;  // one line per frame and event; may be empty
};

// A request frame the device took from the line (check byte and parity were right).
struct ReceivedFrame {
    uint16_t id = 0;
    uint8_t length = 0;
    std::array<uint8_t, 4> data{};
    uint64_t atMs = 0;
};

struct LineCounters {
    uint64_t framesReceived = 0;
    uint64_t badCheckBytes = 0;
    uint64_t badParity = 0;
    uint64_t bytesAtWrongSpeed = 0;
    uint64_t noiseBytesSkipped = 0;   // bytes between frames
    uint64_t framesSent = 0;
    uint64_t repliesDropped = 0;
};

class VirtualDevice {
public:
    VirtualDevice(TimerService& timers, DeviceOptions options);
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    // The pty's slave path ("/dev/pts/N"): what the host opens.
    const std::string& slavePath() const { return slavePath_; }
    // Places a symbolic link to the slave at path (replacing an older link there, never a real
    // file); removed again when the device goes away. False with errno set when it cannot.
    bool linkAs(const std::string& path);
    int masterFd() const { return master_; }

    // One service step: sends what is due, takes what arrived, answers. Called by the device's
    // own timer; a real-time loop may call it as soon as the master is readable.
    void service();
    // Blocks up to realTimeoutMs (real time) for bytes from the host; true when some are there.
    bool waitForInput(int realTimeoutMs) const;
    // Somebody has the slave side open. What the device sends while nobody does is lost, as on
    // a serial line (a pty would hand it to the next opener).
    bool hostConnected() const;

    // What the catalogue row names: the unit behind for routed rows, else the only unit.
    const DeviceType& deviceType() const { return target_->type(); }
    const PartDescription& part() const { return target_->part(); }
    bool routed() const { return front_ != target_; }

    // State of that unit.
    const std::vector<uint8_t>& eeprom() const { return target_->eeprom().bytes(); }
    const std::vector<uint8_t>& flash() const { return target_->flash(); }
    std::string texts() const { return target_->eeprom().texts(); }  // the 30 characters
    std::vector<ErrorEntry> errorEntries() const { return target_->eeprom().errors(); }
    bool inBootloader() const { return target_->mode() == UnitMode::Bootloader; }
    uint32_t restartCount() const { return target_->restarts(); }
    uint16_t bootNumber() const { return target_->eeprom().parameterWord(kParamBootNumber); }
    Unit& unit() { return *target_; }
    Unit& frontUnit() { return *front_; }  // the same unit unless routed
    bool tunnelOn() const { return tunnel_; }

    // The line as the device saw it.
    const std::vector<ReceivedFrame>& receivedFrames() const { return received_; }
    void clearReceivedFrames() { received_.clear(); }
    // Every byte taken from the line at the right speed, noise included (the newest 64 KB).
    const std::deque<uint8_t>& bytesReceived() const { return bytesReceived_; }
    const LineCounters& counters() const { return counters_; }
    // Speed the device listens at now, and the speed the host set last.
    uint32_t listeningBaud() const;
    uint32_t hostBaud() const;

    // Faults: the live set (counts run down as faults strike).
    Faults& faults() { return faults_; }
    void setFaults(const Faults& faults) { faults_ = faults; }

    // The user switches the device off and on; holding the service key keeps it in the
    // bootloader (the manual start of a firmware update).
    void powerCycle(bool holdForBootloader);

    // Files: the EEPROM image and the flash as Intel HEX.
    bool saveEeprom(const std::string& path, std::string& error) const;
    bool saveFlash(const std::string& path, std::string& error) const;

    // Set once the device closed its pty (vanish fault).
    bool vanished() const { return master_ < 0; }
    // Set once the device has stopped answering (mute fault).
    bool muted() const { return muted_; }

private:
    struct Outgoing {
        uint64_t dueMs = 0;
        std::vector<uint8_t> bytes;
        std::string note;             // for the log line
        std::function<void()> after;  // runs once the bytes are on the line
        size_t sent = 0;              // bytes already on the line
    };

    void log(const std::string& text) const;
    bool readInput(std::vector<uint8_t>& bytes);  // true: the host has just closed the port
    std::vector<uint8_t> takeFromLine(std::vector<uint8_t> fresh, bool hostClosed);
    uint64_t lineByteNs() const;
    size_t bytesTheLineCarried(uint64_t& lineFreeNs, size_t wanted) const;
    void processBytes(const std::vector<uint8_t>& bytes);
    void handleFrame(const Frame& frame);
    void sendReply(Unit& unit, const KernelOutcome& outcome);
    uint32_t drawJitterMs();
    void afterReply(Unit& unit, const KernelOutcome& outcome);
    void feedBootloader(Unit& unit, uint8_t byte);
    Unit* bootloaderOnLine();
    void enqueue(Outgoing item);
    void flushOutput();
    void sendStatus();
    void vanish();
    // Counts an answer about to be given; false (and muted from then on) when the mute fault
    // has struck instead.
    bool mayAnswer();

    TimerService& timers_;
    DeviceOptions options_;
    Faults faults_;
    FaultDice dice_;
    int timerId_ = 0;
    int master_ = -1;
    std::string slavePath_;
    std::string linkPath_;

    std::unique_ptr<Unit> ownTarget_;
    std::unique_ptr<Unit> ownFront_;  // routed rows only
    Unit* target_ = nullptr;
    Unit* front_ = nullptr;
    bool tunnel_ = false;

    FrameDecoder decoder_;
    uint64_t lastByteMs_ = 0;
    // Paced line: bytes the host wrote that the line has not carried in yet, when the receive and
    // the send side are free again, and until when the chip is busy.
    std::deque<uint8_t> rxPending_;
    uint64_t rxLineFreeNs_ = 0;
    uint64_t txLineFreeNs_ = 0;
    uint64_t chipBusyUntilMs_ = 0;
    // While a paced line has bytes under way, the device steps every millisecond, so that its own
    // step adds no time the wire would not take; idle, every kServicePeriodMs.
    int lineTimerId_ = 0;
    void keepLineTime();
    bool peerOpen_ = false;
    std::deque<Outgoing> out_;
    std::vector<ReceivedFrame> received_;
    std::deque<uint8_t> bytesReceived_;
    LineCounters counters_;
    uint64_t nextStatusMs_ = 0;
    uint64_t answered_ = 0;  // frames and bootloader commands, for the mute fault
    bool muted_ = false;
};

// Speed constant of termios for a baud rate and back; 0 / B0 when not a standard rate.
uint32_t SpeedToBaudRate(unsigned speed);

}  // namespace nvx::sim
