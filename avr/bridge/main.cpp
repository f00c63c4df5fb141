// norvix-avrsim: an AVR of the family run instruction by instruction (simavr), its UART0 on a
// pseudo-terminal of its own, its flash and EEPROM kept in files between runs. Simulated time is
// held at or below wall time, so the host's time limits mean what they say; while the firmware
// sleeps the program sleeps too.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "avr_eeprom.h"
#include "avr_uart.h"
#include "sim_avr.h"
#include "sim_cycle_timers.h"
#include "sim_io.h"
#include "sim_irq.h"
#include "sim_time.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: norvix-avrsim --mcu NAME --boot-start ADDRESS --flash FILE --eeprom FILE --link PATH\n"
    "                     [--image HEX]... [--eeprom-image HEX] [--frequency HZ]\n"
    "                     [--power-cut-after BYTES] [-v]\n"
    "Runs an AVR (atmega644p, atmega1284p) with its UART0 on a pseudo-terminal linked as PATH;\n"
    "prints the terminal's path on the first line. The chip starts at the boot section\n"
    "(ADDRESS in bytes), as with the boot reset fuse set.\n"
    "  --flash FILE           the flash as a binary file, read at start when it exists, written\n"
    "                         at the end; when it does not exist the flash starts erased with\n"
    "                         every --image (Intel HEX) in it\n"
    "  --eeprom FILE          the same for the EEPROM; --eeprom-image is its first contents\n"
    "  --frequency HZ         the crystal (default 7372800)\n"
    "  --power-cut-after N    ends as at SIGTERM once N bytes have come from the host, the\n"
    "                         memories kept as they are then (a cut transfer)\n"
    "  -v                     the bytes of the line on standard error\n"
    "Ends on SIGTERM or SIGINT: writes the memories and removes the link.\n";

constexpr uint32_t kDefaultFrequency = 7372800;
// The longest the simulation may run ahead of the host's clock: a sleeping chip is woken this
// often to look at the line, so it is also the longest a byte from the host waits.
constexpr uint32_t kWakeIntervalUs = 2000;
// Instructions between two looks at the clock and the line while the chip runs.
constexpr int kInstructionsPerSlice = 2000;

volatile sig_atomic_t g_stop = 0;
// The chip lives as long as the program: libsimavr has no call that frees all of it.
avr_t* g_chip = nullptr;

void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string mcu;
    uint32_t bootStart = 0;
    bool bootStartGiven = false;
    std::string flashFile;
    std::string eepromFile;
    std::string link;
    std::vector<std::string> images;
    std::string eepromImage;
    uint32_t frequency = kDefaultFrequency;
    uint64_t powerCutAfter = 0;  // 0: never
    bool verbose = false;
};

bool ParseUnsigned(const char* text, uint64_t& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && *end == '\0';
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        auto take = [&](std::string& into) {
            if (!value) return false;
            into = value;
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "--mcu")
            ok = take(o.mcu);
        else if (a == "--flash")
            ok = take(o.flashFile);
        else if (a == "--eeprom")
            ok = take(o.eepromFile);
        else if (a == "--link")
            ok = take(o.link);
        else if (a == "--eeprom-image")
            ok = take(o.eepromImage);
        else if (a == "--image") {
            std::string image;
            ok = take(image);
            o.images.push_back(image);
        } else if (a == "--boot-start" || a == "--frequency" || a == "--power-cut-after") {
            ok = ParseUnsigned(value, n) && n <= UINT32_MAX;
            ++i;
            if (a == "--boot-start") {
                o.bootStart = static_cast<uint32_t>(n);
                o.bootStartGiven = true;
            } else if (a == "--frequency") {
                ok = ok && n > 0;
                o.frequency = static_cast<uint32_t>(n);
            } else {
                o.powerCutAfter = n;
            }
        } else if (a == "-v" || a == "--verbose")
            o.verbose = true;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "norvix-avrsim: bad option '%s'\n%s", a.c_str(), kUsage);
            return std::nullopt;
        }
    }
    if (o.mcu.empty() || !o.bootStartGiven || o.flashFile.empty() || o.eepromFile.empty() ||
        o.link.empty()) {
        std::fputs(kUsage, stderr);
        return std::nullopt;
    }
    return o;
}

// Intel HEX data records (types 00, 02, 04) into memory; false on a malformed file or data
// beyond the memory.
bool LoadHex(const std::string& path, std::vector<uint8_t>& memory, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    uint32_t base = 0;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<uint8_t> b;
        bool ok = line[0] == ':' && line.size() % 2 == 1 && line.size() >= 11;
        for (size_t i = 1; ok && i + 1 < line.size(); i += 2) {
            char* end = nullptr;
            const std::string pair = line.substr(i, 2);
            b.push_back(static_cast<uint8_t>(std::strtoul(pair.c_str(), &end, 16)));
            ok = *end == '\0';
        }
        unsigned sum = 0;
        for (uint8_t v : b) sum += v;
        ok = ok && b.size() == b[0] + 5u && (sum & 0xFF) == 0;
        if (!ok) {
            error = path + ":" + std::to_string(number) + ": not an Intel HEX record";
            return false;
        }
        const uint32_t offset = static_cast<uint32_t>(b[1] << 8 | b[2]);
        switch (b[3]) {
            case 0:
                for (uint32_t k = 0; k < b[0]; ++k) {
                    const uint32_t at = base + offset + k;
                    if (at >= memory.size()) {
                        error = path + ": data beyond the memory's " +
                                std::to_string(memory.size()) + " bytes";
                        return false;
                    }
                    memory[at] = b[4 + k];
                }
                break;
            case 1: return true;
            case 2: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 4; break;
            case 4: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 16; break;
            default: break;
        }
    }
    return true;
}

// A memory file of exactly the memory's size into memory; false when there is none.
bool ReadMemoryFile(const std::string& path, uint8_t* memory, size_t size, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != size) {
        error = path + " holds " + std::to_string(bytes.size()) + " bytes, not " +
                std::to_string(size);
        return false;
    }
    std::memcpy(memory, bytes.data(), size);
    return true;
}

// Replaced in one step, so a reader never sees half a memory.
bool WriteMemoryFile(const std::string& path, const uint8_t* memory, size_t size) {
    const std::string staged = path + ".new";
    {
        std::ofstream out(staged, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(memory), static_cast<std::streamsize>(size));
        if (!out) return false;
    }
    std::error_code ec;
    fs::rename(staged, path, ec);
    return !ec;
}

uint64_t WallNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

class Bridge {
public:
    Bridge(avr_t* avr, int master, const Options& options)
        : avr_(avr), master_(master), options_(options), startNs_(WallNs()) {}

    void Attach() {
        uint32_t flags = 0;
        // No sleeping on each poll of the status register, no echo of the line on the console.
        avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                                &Bridge::OnOutput, this);
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                                &Bridge::OnXon, this);
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                                &Bridge::OnXoff, this);
        input_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
        avr_->sleep = &Bridge::OnSleep;
        self_ = this;
        avr_cycle_timer_register_usec(avr_, kWakeIntervalUs, &Bridge::OnWake, this);
    }

    // Runs until a signal, a power cut or a chip that stopped; the chip's state at the end.
    int Run() {
        int state = cpu_Running;
        while (!g_stop && !powerCut_) {
            for (int i = 0; i < kInstructionsPerSlice && state != cpu_Done && state != cpu_Crashed;
                 ++i)
                state = avr_run(avr_);
            if (state == cpu_Done || state == cpu_Crashed) break;
            Pump();
            const uint64_t sim = SimNs();
            const uint64_t wall = WallNs() - startNs_;
            if (sim > wall) WaitForLine(sim - wall);
        }
        return state;
    }

    bool powerCut() const { return powerCut_; }

private:
    uint64_t SimNs() const {
        return static_cast<uint64_t>(static_cast<long double>(avr_->cycle) * 1e9L /
                                     avr_->frequency);
    }

    static void OnOutput(avr_irq_t*, uint32_t value, void* param) {
        auto* self = static_cast<Bridge*>(param);
        const uint8_t byte = static_cast<uint8_t>(value);
        if (self->options_.verbose) std::fprintf(stderr, "out %02X\n", byte);
        // With no host on the terminal the byte is lost, as on an unplugged line.
        if (::write(self->master_, &byte, 1) < 0) {
        }
    }
    static void OnXon(avr_irq_t*, uint32_t, void* param) {
        auto* self = static_cast<Bridge*>(param);
        self->fifoFull_ = false;
        self->Feed();
    }
    static void OnXoff(avr_irq_t*, uint32_t, void* param) {
        static_cast<Bridge*>(param)->fifoFull_ = true;
    }
    static avr_cycle_count_t OnWake(avr_t* avr, avr_cycle_count_t when, void*) {
        return when + avr_usec_to_cycles(avr, kWakeIntervalUs);
    }
    // The chip sleeps for howLong cycles: the program waits until the host's clock has caught up
    // with the simulation, or a byte comes.
    static void OnSleep(avr_t* avr, avr_cycle_count_t howLong) {
        Bridge* self = self_;
        const uint64_t target = static_cast<uint64_t>(
            static_cast<long double>(avr->cycle + howLong) * 1e9L / avr->frequency);
        const uint64_t wall = WallNs() - self->startNs_;
        if (target > wall) self->WaitForLine(target - wall);
        self->Pump();
    }

    void WaitForLine(uint64_t ns) {
        if (!hangup_) {
            pollfd p{master_, POLLIN, 0};
            timespec t{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
            const int n = ::ppoll(&p, 1, &t, nullptr);
            if (n <= 0 || (p.revents & POLLIN)) return;
            // No host holds the terminal: the master reports a hang-up at once, so wait plainly.
            hangup_ = true;
        }
        timespec t{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
        ::nanosleep(&t, nullptr);
    }

    // Bytes from the host into the chip's receive queue as far as it takes them.
    void Pump() {
        uint8_t buf[256];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                hangup_ = n < 0 && errno == EIO;
                break;
            }
            hangup_ = false;
            pending_.insert(pending_.end(), buf, buf + n);
        }
        Feed();
    }

    void Feed() {
        while (!pending_.empty() && !fifoFull_ && !powerCut_) {
            const uint8_t byte = pending_.front();
            pending_.pop_front();
            if (options_.verbose) std::fprintf(stderr, "in  %02X\n", byte);
            avr_raise_irq(input_, byte);
            if (options_.powerCutAfter != 0 && ++received_ >= options_.powerCutAfter)
                powerCut_ = true;
        }
    }

    static inline Bridge* self_ = nullptr;
    avr_t* avr_;
    int master_;
    const Options& options_;
    uint64_t startNs_;
    avr_irq_t* input_ = nullptr;
    std::deque<uint8_t> pending_;
    bool fifoFull_ = false;
    bool hangup_ = false;
    bool powerCut_ = false;
    uint64_t received_ = 0;
};

// The link to the terminal; an older link there is replaced, a real file never.
bool PlaceLink(const std::string& link, const std::string& target, std::string& error) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(link, ec)))
        fs::remove(link, ec);
    else if (fs::exists(fs::symlink_status(link, ec))) {
        error = link + " exists and is no link";
        return false;
    }
    fs::create_symlink(target, link, ec);
    if (ec) error = link + ": " + ec.message();
    return !ec;
}

void QuietLogger(avr_t*, const int level, const char* format, va_list ap) {
    if (level <= LOG_ERROR) std::vfprintf(stderr, format, ap);
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> parsed = ParseOptions(argc, argv);
    if (!parsed) return 2;
    const Options& o = *parsed;

    avr_global_logger_set(&QuietLogger);
    avr_t* avr = g_chip = avr_make_mcu_by_name(o.mcu.c_str());
    if (!avr) {
        std::fprintf(stderr, "norvix-avrsim: unknown chip %s\n", o.mcu.c_str());
        return 2;
    }
    avr_init(avr);
    avr->frequency = o.frequency;
    avr->log = LOG_ERROR;
    const size_t flashSize = avr->flashend + 1u;
    const size_t eepromSize = avr->e2end + 1u;
    if (o.bootStart >= flashSize) {
        std::fprintf(stderr, "norvix-avrsim: boot start 0x%X beyond the flash\n", o.bootStart);
        return 2;
    }

    std::string error;
    if (!ReadMemoryFile(o.flashFile, avr->flash, flashSize, error)) {
        if (!error.empty()) {
            std::fprintf(stderr, "norvix-avrsim: %s\n", error.c_str());
            return 1;
        }
        std::vector<uint8_t> flash(flashSize, 0xFF);
        for (const std::string& image : o.images)
            if (!LoadHex(image, flash, error)) {
                std::fprintf(stderr, "norvix-avrsim: %s\n", error.c_str());
                return 1;
            }
        std::memcpy(avr->flash, flash.data(), flashSize);
    }
    std::vector<uint8_t> eeprom(eepromSize, 0xFF);
    if (!ReadMemoryFile(o.eepromFile, eeprom.data(), eepromSize, error)) {
        if (!error.empty() || (!o.eepromImage.empty() && !LoadHex(o.eepromImage, eeprom, error))) {
            std::fprintf(stderr, "norvix-avrsim: %s\n", error.c_str());
            return 1;
        }
    }
    avr_eeprom_desc_t ee{eeprom.data(), 0, static_cast<uint32_t>(eepromSize)};
    avr_ioctl(avr, AVR_IOCTL_EEPROM_SET, &ee);
    avr->reset_pc = o.bootStart;
    avr->pc = o.bootStart;

    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        std::fprintf(stderr, "norvix-avrsim: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string pty = ::ttyname(slave);
    // The host's closing must really close the terminal: no descriptor of the slave is kept.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!PlaceLink(o.link, pty, error)) {
        std::fprintf(stderr, "norvix-avrsim: %s\n", error.c_str());
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::printf("%s\n", pty.c_str());
    std::fflush(stdout);

    Bridge bridge(avr, master, o);
    bridge.Attach();
    const int state = bridge.Run();

    avr_ioctl(avr, AVR_IOCTL_EEPROM_GET, &ee);
    int status = 0;
    if (!WriteMemoryFile(o.flashFile, avr->flash, flashSize) ||
        !WriteMemoryFile(o.eepromFile, ee.ee, eepromSize)) {
        std::fprintf(stderr, "norvix-avrsim: cannot write the memories\n");
        status = 1;
    }
    std::error_code ec;
    fs::remove(o.link, ec);
    ::close(master);
    if (state == cpu_Crashed) {
        std::fprintf(stderr, "norvix-avrsim: the chip crashed at 0x%X\n", avr->pc);
        status = 1;
    } else if (state == cpu_Done) {
        std::fprintf(stderr, "norvix-avrsim: the chip stopped (sleep with interrupts off)\n");
        status = 1;
    }
    if (bridge.powerCut()) std::fprintf(stderr, "norvix-avrsim: power cut\n");
    if (o.verbose)
        std::fprintf(stderr, "norvix-avrsim: ended at 0x%X after %.3f s of chip time\n", avr->pc,
                     static_cast<double>(avr->cycle) / avr->frequency);
    return status;
}
