// End to end with real programs: norvix-sim as a child process, avrdude programming it through
// its AVR109 bootloader. Waits are on file descriptors and child exits, never on the clock. The
// device runs --instant: these check what goes over the line; whether time limits hold on a
// real wire's time is tried through the update procedure.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "sim/intel_hex.h"
#include "support/child_program.h"
#include "support/scratch_files.h"
#include "support/raw_port.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;

std::string BinaryDir() {
    const char* env = std::getenv("NVX_BINARY_DIR");
    return env && *env ? env : NVX_BINARY_DIR;
}

// Writes a frame at the monitor's speed and waits for the reply's bytes.
std::vector<uint8_t> Exchange(const std::string& pty, const std::vector<uint8_t>& frame, size_t replyBytes) {
    RawPort port(pty, 19200);
    if (!port.isOpen()) return {};
    port.write(frame);
    std::vector<uint8_t> got;
    while (got.size() < replyBytes) {
        pollfd p{port.fd(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        const std::vector<uint8_t> more = port.read();
        got.insert(got.end(), more.begin(), more.end());
    }
    return got;
}

class AvrdudeE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("nvx_avrdude_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

TEST_F(AvrdudeE2eTest, WritesAndVerifiesSixtyFourKilobytesAndReadsTheEepromBack) {
    const std::string sim = BinaryDir() + "/src/sim/norvix-sim";
    ASSERT_TRUE(fs::exists(sim)) << sim;

    // A 64 KB flash image and an EEPROM image of the chip's 2 KB, both random.
    std::mt19937 rng(20240615);
    std::vector<uint8_t> image(65536);
    for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> eeprom(4096, 0xFF);
    for (size_t i = 0; i < 2048; ++i) eeprom[i] = static_cast<uint8_t>(rng());
    // A header the firmware knows as its own (signature, section starts), so its restart keeps
    // the image instead of formatting it.
    eeprom[2] = 0x58;
    eeprom[3] = 0x4E;
    eeprom[24] = 0x18;
    eeprom[25] = 0x04;
    eeprom[26] = 0x08;
    eeprom[27] = 0x0C;
    std::string error;
    ASSERT_TRUE(sim::WriteTextFile(path("flash.hex"), sim::FormatIntelHex(image, false), error)) << error;
    ASSERT_TRUE(sim::WriteTextFile(path("eeprom-in.hex"), sim::FormatIntelHex(eeprom, false), error)) << error;

    Child device(sim,
                 {sim, "--instant", "--device", "solgrabed64", "--link", path("com1"), "--eeprom-in",
                  path("eeprom-in.hex"), "--eeprom-out", path("eeprom-out.hex"), "--flash-out",
                  path("flash-out.hex"), "--verbose"},
                 "", {}, {.stderrFile = path("sim.log")});
    ASSERT_TRUE(device.started());
    const std::string pty = device.ReadLine(10000);
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty << ReadText(path("sim.log"));
    ASSERT_EQ(fs::read_symlink(path("com1")).string(), pty);

    // BootloadStart (target 0) at 19200 baud: acknowledged, then the bootloader listens at 38400.
    EXPECT_EQ(Exchange(pty, {0x55, 0x02, 0x02, 0xFD, 0x00, 0xA8}, 6),
              (std::vector<uint8_t>{0x55, 0x02, 0x02, 0x00, 0x00, 0xA6}))
        << ReadText(path("sim.log"));

    Child avrdude("avrdude",
                  {"avrdude", "-c", "avr109", "-p", "m644p", "-P", path("com1"), "-b", "38400",
                   "-U", "flash:w:" + path("flash.hex") + ":i", "-U",
                   "eeprom:r:" + path("eeprom-read.hex") + ":i"},
                  "", {}, {.stderrFile = path("avrdude.log")});
    ASSERT_TRUE(avrdude.started());
    const int status = avrdude.FinishWithin(120000).status;
    const std::string avrdudeLog = ReadText(path("avrdude.log"));
    ASSERT_EQ(status, 0) << avrdudeLog << ReadText(path("sim.log"));
    EXPECT_NE(avrdudeLog.find("65536 bytes of flash verified"), std::string::npos) << avrdudeLog;

    std::vector<uint8_t> read(2048, 0);
    ASSERT_TRUE(sim::ReadIntelHexFile(path("eeprom-read.hex"), read, error)) << error;
    EXPECT_TRUE(std::equal(read.begin(), read.end(), eeprom.begin()))
        << "the EEPROM avrdude read is the image the device started with";

    // avrdude's "E" restarted the application: the monitor's speed works again. The boot number
    // is the image's word at 0x0C2, plus one.
    const uint16_t boots = static_cast<uint16_t>((eeprom[0xC2] | eeprom[0xC3] << 8) + 1);
    const std::vector<uint8_t> reply = Exchange(pty, {0x55, 0x02, 0x02, 0xCE, 0x00, 0xD7}, 6);
    ASSERT_EQ(reply.size(), 6u) << ReadText(path("sim.log"));
    EXPECT_EQ(reply[3] | reply[4] << 8, boots);

    device.Signal(SIGTERM);
    ASSERT_EQ(device.FinishWithin(10000).status, 0) << ReadText(path("sim.log"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("com1")))) << "the link goes with the device";

    std::vector<uint8_t> flashOut(65536, 0xFF);
    ASSERT_TRUE(sim::ReadIntelHexFile(path("flash-out.hex"), flashOut, error)) << error;
    EXPECT_EQ(flashOut, image);
    std::vector<uint8_t> eepromOut(4096, 0);
    ASSERT_TRUE(sim::ReadIntelHexFile(path("eeprom-out.hex"), eepromOut, error)) << error;
    // Apart from the boot counter the EEPROM is the one it started with.
    for (size_t i = 0; i < 4096; ++i) {
        if (i == 0xC2 || i == 0xC3 || i == 0xC4) continue;  // boot number, reset condition
        ASSERT_EQ(eepromOut[i], eeprom[i]) << "address " << i;
    }
    EXPECT_EQ(eepromOut[0xC2] | eepromOut[0xC3] << 8, boots);
}

TEST_F(AvrdudeE2eTest, WritesTheEepromThroughTheBootloader) {
    const std::string sim = BinaryDir() + "/src/sim/norvix-sim";
    std::mt19937 rng(7);
    std::vector<uint8_t> eeprom(2048);
    for (uint8_t& b : eeprom) b = static_cast<uint8_t>(rng());
    std::string error;
    ASSERT_TRUE(sim::WriteTextFile(path("new.hex"), sim::FormatIntelHex(eeprom, false), error)) << error;

    // Row 13 is updated by hand: the device starts in its bootloader.
    Child device(sim, {sim, "--instant", "--row", "13", "--bootloader", "--eeprom-out", path("eeprom-out.hex")},
                 "", {}, {.stderrFile = path("sim.log")});
    const std::string pty = device.ReadLine(10000);
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty << ReadText(path("sim.log"));

    Child avrdude("avrdude",
                  {"avrdude", "-c", "avr109", "-p", "m64", "-P", pty, "-b", "38400", "-U",
                   "eeprom:w:" + path("new.hex") + ":i"},
                  "", {}, {.stderrFile = path("avrdude.log")});
    ASSERT_EQ(avrdude.FinishWithin(120000).status, 0) << ReadText(path("avrdude.log"));

    device.Signal(SIGINT);
    ASSERT_EQ(device.FinishWithin(10000).status, 0) << ReadText(path("sim.log"));
    std::vector<uint8_t> out(4096, 0);
    ASSERT_TRUE(sim::ReadIntelHexFile(path("eeprom-out.hex"), out, error)) << error;
    // The written image carries no signature, so the application that "E" starts formats it:
    // header, texts, counters and error head are rewritten. Everything above them is what
    // avrdude wrote.
    EXPECT_TRUE(std::equal(eeprom.begin() + 0x200, eeprom.end(), out.begin() + 0x200));
    EXPECT_EQ(out[2] | out[3] << 8, 0x4E58) << "formatted at start";
}

}  // namespace
}  // namespace nvx::test
