// norvix-sim: a virtual device of the family on a pseudo-terminal.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.h"
#include "platform/poll_loop.h"
#include "sim/virtual_device.h"

namespace {

using nvx::sim::DeviceOptions;
using nvx::sim::FaultRate;

const char kUsage[] =
    "Usage: norvix-sim [options]\n"
    "A virtual device of the Norvix family on a pseudo-terminal. Prints the terminal's path on\n"
    "the first line of standard output and runs until SIGINT or SIGTERM.\n"
    "\n"
    "Device:\n"
    "  --device STEM        device type by its stem (default solbed); see --list\n"
    "  --row N              device type by its row of the device list\n"
    "  --list               list the device types and exit\n"
    "  --bootloader         start in the bootloader, as after a manual start\n"
    "  --devices DIR        where the part descriptions <chip>.xml are looked for first\n"
    "  --status-ms MS       send a status frame (identifier 0x0380 + code) every MS ms\n"
    "  --instant            answer at once, as fast as the host reads: no line speed, no chip\n"
    "                       times (by default bytes take the line's time at 10 bits a byte, and\n"
    "                       the bootloader the chip's time to erase and write)\n"
    "\n"
    "Files:\n"
    "  --link PATH          place a symbolic link to the terminal at PATH (e.g. ./com1)\n"
    "  --eeprom-in FILE     EEPROM image (Intel HEX) to start with, instead of factory data\n"
    "  --eeprom-out FILE    write the EEPROM as Intel HEX on exit\n"
    "  --flash-out FILE     write the flash as Intel HEX on exit\n"
    "\n"
    "Faults (RATE: N = the next N occasions, P% = each occasion with probability P, always):\n"
    "  --drop RATE          drop replies\n"
    "  --delay MS[:RATE]    delay replies by MS ms (every reply when RATE is left out)\n"
    "  --jitter MS[:RATE]   delay replies by a random 0 to MS ms more, in order (RATE: which\n"
    "                       replies; every reply when left out)\n"
    "  --corrupt RATE       send replies with a wrong check byte\n"
    "  --parity RATE        send replies with a broken identifier parity bit\n"
    "  --wrong-length RATE  send replies with the wrong number of data bytes\n"
    "  --noise RATE         put noise bytes before replies\n"
    "  --echo RATE          send received bytes straight back\n"
    "  --no-bootloader RATE acknowledge BootloadStart but stay in the application\n"
    "  --split-avrboot RATE answer \"AVRBOOT\" in two parts 20 ms apart\n"
    "  --vanish-after N     answer N frames, close the terminal when the next one comes\n"
    "  --mute-after N       answer N frames and bootloader commands, then nothing more while\n"
    "                       the terminal stays open\n"
    "  --seed N             seed for faults given as probabilities and for jitter\n"
    "                       (default 1)\n"
    "\n"
    "  -v, --verbose        log every frame received and sent (hex, one line each) to stderr\n"
    "  -h, --help           show this text\n"
    "  --version            show the version\n";

nvx::PollLoop* g_loop = nullptr;

extern "C" void OnSignal(int) {
    if (g_loop) g_loop->quit();
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "norvix-sim: %s\n", text.c_str());
    return 2;
}

void ListDevices() {
    std::printf("row  stem          chip          code  boot baud  target  device\n");
    for (const nvx::sim::DeviceType& t : nvx::sim::DeviceTypes()) {
        std::printf("%3d  %-12s  %-12s  %4u  %9u  %6u  %s\n", t.row, t.stem ? t.stem : "-",
                    t.chip, t.deviceCode, t.bootBaud, t.bootTarget, t.label);
    }
}

bool ParseUnsigned(const std::string& s, unsigned long max, unsigned long& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && out <= max;
}

// "MS" or "MS:RATE" (RATE: which occasions; every one when left out).
bool ParseMsAndRate(const std::string& s, uint32_t& ms, FaultRate& rate) {
    const size_t colon = s.find(':');
    unsigned long n = 0;
    if (!ParseUnsigned(s.substr(0, colon), 600000, n) || n == 0) return false;
    ms = static_cast<uint32_t>(n);
    rate = FaultRate::Always();
    return colon == std::string::npos || nvx::sim::ParseFaultRate(s.substr(colon + 1), rate);
}

}  // namespace

int main(int argc, char** argv) {
    DeviceOptions options;
    options.paced = true;
    std::string linkPath, eepromOut, flashOut;
    bool verbose = false;
    std::vector<std::string> args(argv + 1, argv + argc);

    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        auto next = [&](std::string& out) {
            if (hasInlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        auto rateOption = [&](FaultRate& rate) {
            std::string v;
            if (!next(v) || !nvx::sim::ParseFaultRate(v, rate)) return false;
            return true;
        };
        unsigned long n = 0;
        std::string v;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("norvix-sim (Norvix PC Monitor) " NVX_VERSION "\n");
            return 0;
        } else if (arg == "--list") {
            ListDevices();
            return 0;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg == "--instant") {
            options.paced = false;
        } else if (arg == "--bootloader") {
            options.startInBootloader = true;
        } else if (arg == "--device") {
            if (!next(options.device)) return Fail("--device needs a stem");
        } else if (arg == "--row") {
            if (!next(v) || !ParseUnsigned(v, 1000, n)) return Fail("--row needs a row number");
            options.row = static_cast<int>(n);
        } else if (arg == "--devices") {
            if (!next(options.devicesDir)) return Fail("--devices needs a directory");
        } else if (arg == "--status-ms") {
            if (!next(v) || !ParseUnsigned(v, 3600000, n)) return Fail("--status-ms needs milliseconds");
            options.statusIntervalMs = static_cast<uint32_t>(n);
        } else if (arg == "--link") {
            if (!next(linkPath)) return Fail("--link needs a path");
        } else if (arg == "--eeprom-in") {
            if (!next(options.eepromIn)) return Fail("--eeprom-in needs a file");
        } else if (arg == "--eeprom-out") {
            if (!next(eepromOut)) return Fail("--eeprom-out needs a file");
        } else if (arg == "--flash-out") {
            if (!next(flashOut)) return Fail("--flash-out needs a file");
        } else if (arg == "--seed") {
            if (!next(v) || !ParseUnsigned(v, 0xFFFFFFFFul, n)) return Fail("--seed needs a number");
            options.seed = static_cast<uint32_t>(n);
        } else if (arg == "--drop") {
            if (!rateOption(options.faults.dropReply)) return Fail("--drop needs a rate");
        } else if (arg == "--delay") {
            if (!next(v) || !ParseMsAndRate(v, options.faults.delayMs, options.faults.delayReply))
                return Fail("--delay needs MS[:RATE]");
        } else if (arg == "--jitter") {
            if (!next(v) || !ParseMsAndRate(v, options.faults.jitterMs, options.faults.jitterReply))
                return Fail("--jitter needs MS[:RATE]");
        } else if (arg == "--corrupt") {
            if (!rateOption(options.faults.corruptCheckByte)) return Fail("--corrupt needs a rate");
        } else if (arg == "--parity") {
            if (!rateOption(options.faults.breakParity)) return Fail("--parity needs a rate");
        } else if (arg == "--wrong-length") {
            if (!rateOption(options.faults.wrongLength)) return Fail("--wrong-length needs a rate");
        } else if (arg == "--noise") {
            if (!rateOption(options.faults.noise)) return Fail("--noise needs a rate");
        } else if (arg == "--echo") {
            if (!rateOption(options.faults.echo)) return Fail("--echo needs a rate");
        } else if (arg == "--no-bootloader") {
            if (!rateOption(options.faults.neverEnterBootloader))
                return Fail("--no-bootloader needs a rate");
        } else if (arg == "--split-avrboot") {
            if (!rateOption(options.faults.splitSignOn)) return Fail("--split-avrboot needs a rate");
        } else if (arg == "--vanish-after") {
            if (!next(v) || !ParseUnsigned(v, 0xFFFFFFFFul, n) || n == 0)
                return Fail("--vanish-after needs a frame count");
            options.faults.vanishAfterFrames = static_cast<uint32_t>(n);
        } else if (arg == "--mute-after") {
            if (!next(v) || !ParseUnsigned(v, 0xFFFFFFFFul, n) || n == 0)
                return Fail("--mute-after needs a count of answers");
            options.faults.muteAfter = static_cast<uint32_t>(n);
        } else {
            return Fail("unknown option " + args[i] + " (see --help)");
        }
    }
    if (verbose) {
        options.log = [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        };
    }

    nvx::PollLoop loop;
    std::unique_ptr<nvx::sim::VirtualDevice> device;
    try {
        device = std::make_unique<nvx::sim::VirtualDevice>(loop, options);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    if (!linkPath.empty() && !device->linkAs(linkPath))
        return Fail("cannot place the link " + linkPath + ": " + std::strerror(errno));

    std::printf("%s\n", device->slavePath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "norvix-sim: %s (row %d, %s)%s%s\n", device->deviceType().label,
                 device->deviceType().row, device->part().name.c_str(),
                 linkPath.empty() ? "" : " linked as ", linkPath.c_str());

    g_loop = &loop;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    nvx::sim::VirtualDevice* d = device.get();
    loop.watch(d->masterFd(), [&loop, d] {
        d->service();
        if (d->vanished()) loop.quit();
    });
    // The device's own step timer may also make it vanish.
    const int watchdog = loop.start(100, [&loop, d] {
        if (d->vanished()) loop.quit();
    });
    // Status frames are due whether or not the host sends anything.
    const int statusTimer = options.statusIntervalMs == 0
                                ? 0
                                : loop.start(options.statusIntervalMs, [d] { d->service(); });
    loop.run();
    if (statusTimer != 0) loop.stop(statusTimer);
    loop.stop(watchdog);
    g_loop = nullptr;

    int status = 0;
    std::string error;
    if (!eepromOut.empty() && !device->saveEeprom(eepromOut, error)) {
        std::fprintf(stderr, "norvix-sim: %s\n", error.c_str());
        status = 1;
    }
    if (!flashOut.empty() && !device->saveFlash(flashOut, error)) {
        std::fprintf(stderr, "norvix-sim: %s\n", error.c_str());
        status = 1;
    }
    if (d->vanished()) std::fprintf(stderr, "norvix-sim: vanished after %u frames\n", options.faults.vanishAfterFrames);
    if (d->muted()) std::fprintf(stderr, "norvix-sim: muted after %u answers\n", options.faults.muteAfter);
    device.reset();  // removes the link
    return status;
}
