// The monitor against a simulated chip: our firmware and bootloader built for the AVR, run by
// norvix-avrsim instruction by instruction, linked as com1 in a scratch start directory with the
// real programmer adapter (avrdude) and the part descriptions. What passes here passed through a
// real AVR core doing its own self-programming.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "progtool/adapter_e2e_support.h"
#include "support/raw_port.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// A run that has not ended by then has hung.
constexpr int kRunLimitMs = 60 * 1000;
constexpr uint32_t kPageSize = 256;
// The build the chip leaves the factory with, and the update.
constexpr const char* kFactoryBuild = "26-10";
constexpr const char* kUpdateBuild = "26-11";

struct Chip {
    const char* mcu;
    const char* stem;         // the device row with this chip
    uint32_t flashSize;
    uint32_t bootStart;       // the boot section, bytes
    uint32_t eepromSize;
    const char* application;  // "V major.minor" of the version reply
};

void PrintTo(const Chip& c, std::ostream* os) { *os << c.mcu; }

const Chip kChips[] = {
    {"atmega644p", "solgrabed64", 65536, 0xF000, 2048, "V 3.1"},
    {"atmega1284p", "solgrabed128", 131072, 0x1F000, 4096, "V 3.4"},
};

std::string Image(const std::string& name) { return std::string(NVX_AVR_DIR) + "/" + name; }
std::string Firmware(const Chip& c, const char* build) {
    return Image(std::string("firmware-") + c.mcu + "-" + build + ".hex");
}
std::string Bootloader(const Chip& c) { return Image(std::string("bootloader-") + c.mcu + ".hex"); }

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The log lines of a procedure ("I> ...", " > ...", "E> ...").
Strings LogLines(const ProgramRun& run) {
    Strings log;
    for (const std::string& line : Lines(run.out))
        if (line.size() >= 3 && line.compare(1, 2, "> ") == 0) log.push_back(line);
    return log;
}

std::string NowLine(const Chip& c, const char* build) {
    return std::string("I> Now: Application ") + c.application + ", Build " + build;
}

// Every byte of want (by address) is in memory at that address.
::testing::AssertionResult Holds(const std::vector<uint8_t>& memory,
                                 const std::map<uint32_t, uint8_t>& want) {
    for (const auto& [address, value] : want) {
        if (address >= memory.size())
            return ::testing::AssertionFailure() << "address " << address << " beyond the memory";
        if (memory[address] != value)
            return ::testing::AssertionFailure()
                   << "address " << address << ": want " << int(value) << ", got "
                   << int(memory[address]);
    }
    return ::testing::AssertionSuccess();
}

class SimulatedChip : public ::testing::TestWithParam<Chip> {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        for (const char* exe : {NVX_AVRSIM_EXE, NVX_ADAPTER_EXE, NVX_CLI_EXE})
            ASSERT_TRUE(fs::exists(exe)) << exe << " is not built";
        if (const std::string why = MissingProgram("/usr/bin/avrdude"); !why.empty())
            GTEST_SKIP() << why;
        fs::create_symlink(NVX_ADAPTER_EXE, dir_.file("norvixosp.exe"));
        for (const auto& entry : fs::directory_iterator(std::string(NVX_SOURCE_DIR) + "/devices"))
            if (entry.path().extension() == ".xml")
                fs::copy_file(entry.path(), dir_.file(entry.path().filename().string()));
    }
    void TearDown() override {
        if (chip_) StopChip();
    }

    // Powers the chip up. The first time its flash is the bootloader and the factory build;
    // later it keeps what it held when it was last stopped.
    void StartChip(const Strings& extra = {}) {
        const Chip& c = GetParam();
        Strings argv = {"norvix-avrsim", "--mcu", c.mcu, "--boot-start", std::to_string(c.bootStart),
                        "--flash", dir_.file("flash.bin"), "--eeprom", dir_.file("eeprom.bin"),
                        "--link", dir_.file("com1"), "--image", Bootloader(c), "--image",
                        Firmware(c, kFactoryBuild)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        chip_ = std::make_unique<Child>(NVX_AVRSIM_EXE, argv, dir_.path(), Strings{},
                                        ChildStreams{.stderrFile = dir_.file("avrsim.err")});
        ASSERT_TRUE(chip_->started());
        const std::string pty = chip_->ReadLine(10'000);
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty << ReadText(dir_.file("avrsim.err"));
        ASSERT_TRUE(fs::is_symlink(dir_.file("com1")));
    }

    // Ends the chip (or waits for it to end by itself); its memories are in their files then.
    ProgramRun StopChip(bool signal = true) {
        if (signal) chip_->Signal(SIGTERM);
        ProgramRun run = chip_->FinishWithin(kRunLimitMs);
        chip_.reset();
        run.err = ReadText(dir_.file("avrsim.err"));
        return run;
    }

    std::vector<uint8_t> Memory(const char* file) { return Bytes(ReadText(dir_.file(file))); }

    ProgramRun Nvx(const Strings& args) {
        Strings argv = {"nvx"};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child(NVX_CLI_EXE, argv, dir_.path());
        if (!child.started()) return {};
        return child.FinishWithin(kRunLimitMs);
    }

    ProgramRun Update(const std::string& file, bool manual = false) {
        // With the versions before and after: the build the chip reports is what these tests check.
        Strings args = {"update", "--port", "1", "--wait", "1", "--versions", "--device", GetParam().stem};
        if (manual) args.push_back("--manual");
        args.push_back(file);
        return Nvx(args);
    }

    // The update build under a name the device row takes (it begins with the device key).
    std::string UpdateFile() {
        fs::copy_file(Firmware(GetParam(), kUpdateBuild), dir_.file("SolGrb_update.hex"),
                      fs::copy_options::overwrite_existing);
        return "SolGrb_update.hex";
    }

    std::map<uint32_t, uint8_t> HexBytes(const std::string& path) {
        std::map<uint32_t, uint8_t> bytes;
        EXPECT_TRUE(ParseHex(ReadText(path), bytes)) << path;
        return bytes;
    }

    ScratchDir dir_{"avr"};
    std::unique_ptr<Child> chip_;
};

TEST_P(SimulatedChip, AnUpdateWritesTheNewBuildWhichBootsAndReportsIt) {
    const Chip& c = GetParam();
    StartChip();
    const ProgramRun run = Update(UpdateFile());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const Strings log = LogLines(run);
    ASSERT_GE(log.size(), 2u) << run.out;
    EXPECT_EQ(log.front(), std::string("I> Before: Application ") + c.application + ", Build " +
                               kFactoryBuild);
    EXPECT_EQ(Strings(log.begin() + 1, log.end()),
              (Strings{" > Bootloader started", " > Bootloader activ", " > Leaving Program Mode",
                       " > Device restarted", "I> Update finished", NowLine(c, kUpdateBuild)}))
        << run.err;

    ASSERT_EQ(StopChip().status, 0);
    const std::vector<uint8_t> flash = Memory("flash.bin");
    ASSERT_EQ(flash.size(), c.flashSize);
    EXPECT_TRUE(Holds(flash, HexBytes(Firmware(c, kUpdateBuild))));
    // The bootloader wrote around itself, never over itself.
    EXPECT_TRUE(Holds(flash, HexBytes(Bootloader(c))));
}

TEST_P(SimulatedChip, AnEepromImageReadEditedAndWrittenBackIsKeptByTheChip) {
    const Chip& c = GetParam();
    StartChip();
    const ProgramRun read = Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device", c.stem,
                           "first.hex"});
    ASSERT_EQ(read.status, 0) << read.out << read.err;
    std::map<uint32_t, uint8_t> image = HexBytes(dir_.file("first.hex"));
    ASSERT_EQ(image.size(), c.eepromSize);
    // The firmware formatted the EEPROM at its first start: the signature word, low byte first.
    EXPECT_EQ(image[2], 0x58);
    EXPECT_EQ(image[3], 0x4E);

    // The error area filled with a pattern, as a technician's edited image would be.
    std::vector<uint8_t> edited(c.eepromSize);
    for (uint32_t a = 0; a < c.eepromSize; ++a) edited[a] = image[a];
    const std::vector<uint8_t> noise = RandomBytes(512, 26);
    const uint32_t errorStart = 16u * image[24];
    for (uint32_t i = 0; i < noise.size(); ++i) edited[errorStart + i] = noise[i];
    WriteText(dir_.file("edited.hex"), HexImage(edited));
    const ProgramRun write = Nvx({"eeprom", "write", "--yes", "--port", "1", "--wait", "1",
                                  "--device", c.stem, "edited.hex"});
    ASSERT_EQ(write.status, 0) << write.out << write.err;
    EXPECT_EQ(LogLines(write).back(), "I> Write Process finished");

    // The programmer has verified what it wrote; the chip keeps it. Each start of the application
    // counts itself, so boot number and reset condition differ.
    const uint32_t parameter = 16u * image[27];
    std::map<uint32_t, uint8_t> want;
    for (uint32_t a = 0; a < c.eepromSize; ++a)
        if (a < parameter + 2 || a > parameter + 4) want[a] = edited[a];
    ASSERT_EQ(StopChip().status, 0);
    EXPECT_TRUE(Holds(Memory("eeprom.bin"), want));
}

// What is the same on every chip (the application's side of the line) is shown on one.
class FirmwareOnChip : public SimulatedChip {};

TEST_P(FirmwareOnChip, StartingTextsWrittenAreReadBackFromTheEeprom) {
    StartChip();
    const ProgramRun write =
        Nvx({"texts", "--port", "1", "write", "Chip im Test", "Gr\xC3\xBC\xC3\x9F" "e"});
    EXPECT_EQ(write.status, 0) << write.err;
    EXPECT_EQ(write.out, "I> Writing text finished\n");
    const ProgramRun read = Nvx({"texts", "--port", "1", "read"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out,
              "I> Reading text finished\n"
              "Line 1: \"   Chip im Test\"\n"
              "Line 2: \"          Gr\xC3\xBC\xC3\x9F" "e\"\n");

    ASSERT_EQ(StopChip().status, 0);
    const std::vector<uint8_t> eeprom = Memory("eeprom.bin");
    ASSERT_GE(eeprom.size(), 0x80u + 30u);
    const std::string stored(eeprom.begin() + 0x80, eeprom.begin() + 0x80 + 30);
    EXPECT_EQ(stored, "   Chip im Test          Gr\xFC\xDF" "e");
}

TEST_P(FirmwareOnChip, KernelCommandsAndVersionQueriesAnswerFromTheRunningFirmware) {
    StartChip();
    // In order: each restart goes through a watchdog reset and the bootloader's window, and the
    // EEPROM keeps count of the starts and why the last one happened.
    const struct {
        Strings args;
        const char* out;
    } steps[] = {
        {{"test"}, "I> Communication OK\n"},
        {{"version", "hardware"}, "Hardware: P 2, V 1, H 0x02/04\n"},
        {{"version", "norvix"}, "Norvix: V 4.2, App#  2\n"},
        {{"version", "application"}, "Application: V 3.1, Build 26-10\n"},
        {{"HardwareCode"}, "I> API Command OK\nReturncode: 516 0x0204\n"},
        {{"BootNumber"}, "I> API Command OK\nReturncode: 1 0x0001\n"},
        {{"ResetCondition"}, "I> API Command OK\nReturncode: 0 0x0000\n"},
        {{"Reset"}, "I> API Command OK\nReturncode: 0 0x0000\n"},
        {{"BootNumber"}, "I> API Command OK\nReturncode: 2 0x0002\n"},
        {{"ResetCondition"}, "I> API Command OK\nReturncode: 1 0x0001\n"},
        {{"Reboot"}, "I> API Command OK\nReturncode: 0 0x0000\n"},
        {{"ResetCondition"}, "I> API Command OK\nReturncode: 2 0x0002\n"},
        {{"BootloadStart", "7"}, "I> API Command OK\nReturncode: 1 0x0001\n"},
        {{"--yes", "EepromClear", "1"}, "I> API Command OK\nReturncode: 1 0x0001\n"},
        // The erased EEPROM is formatted at the next start, which counts as the first.
        {{"Reset"}, "I> API Command OK\nReturncode: 0 0x0000\n"},
        {{"BootNumber"}, "I> API Command OK\nReturncode: 1 0x0001\n"},
        // A code this firmware does not serve.
        {{"TuvOpen", "1"}, "I> API Command OK\nReturncode: 65535 0xFFFF\n"},
    };
    for (const auto& step : steps) {
        Strings args = {"kernel", "--port", "1"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const ProgramRun run = Nvx(args);
        EXPECT_EQ(run.status, 0) << ::testing::PrintToString(step.args) << run.err;
        EXPECT_EQ(run.out, step.out) << ::testing::PrintToString(step.args);
    }
}

TEST_P(FirmwareOnChip, AnIdleChipSendsItsStatusFrameWithTheBootNumber) {
    StartChip();
    RawPort port(dir_.file("com1"), 19200);
    ASSERT_TRUE(port.isOpen());
    // Identifier 0x0384 (0x0380 + device code 4) as word 0x0E10, both parity bits clear; the
    // first start's boot number 1; check byte 255 - (0x55 + 0x0E + 0x10 + 0x01).
    const std::vector<uint8_t> status = {0x55, 0x0E, 0x10, 0x01, 0x00, 0x8B};
    // Every 5 s of chip time, which never runs ahead of the clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    std::vector<uint8_t> line;
    while (std::search(line.begin(), line.end(), status.begin(), status.end()) == line.end() &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{port.fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
        const std::vector<uint8_t> got = port.read();
        line.insert(line.end(), got.begin(), got.end());
    }
    EXPECT_NE(std::search(line.begin(), line.end(), status.begin(), status.end()), line.end())
        << ::testing::PrintToString(line);
}

TEST_P(SimulatedChip, AfterATransferCutShortTheBootloaderWaitsAndTheNextUpdateSucceeds) {
    const Chip& c = GetParam();
    // The power goes while the third page is on the line: the requests before the programmer
    // and its start take a few dozen bytes, each page 260.
    StartChip({"--power-cut-after", "700"});
    const ProgramRun cut = Update(UpdateFile());
    EXPECT_NE(cut.status, 0) << cut.out;
    // The abort, then what the device is left in and how to go on.
    const Strings cutLog = LogLines(cut);
    ASSERT_GE(cutLog.size(), 2u) << cut.out;
    EXPECT_EQ(cutLog[cutLog.size() - 2], "E> Update aborted") << cut.out;
    EXPECT_EQ(cutLog.back(),
              " > Device may wait in its bootloader: start again with Manual Update Start Mode")
        << cut.out;
    const ProgramRun chipRun = StopChip(false);
    ASSERT_EQ(chipRun.status, 0) << chipRun.err;
    ASSERT_NE(chipRun.err.find("power cut"), std::string::npos) << chipRun.err;

    // Half an image: the first page not yet written, the second one already.
    const std::vector<uint8_t> flash = Memory("flash.bin");
    ASSERT_EQ(flash.size(), c.flashSize);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + kPageSize),
              std::vector<uint8_t>(kPageSize, 0xFF));
    std::map<uint32_t, uint8_t> secondPage;
    for (const auto& [address, value] : HexBytes(Firmware(c, kUpdateBuild)))
        if (address >= kPageSize && address < 2 * kPageSize) secondPage[address] = value;
    ASSERT_FALSE(secondPage.empty());
    EXPECT_TRUE(Holds(flash, secondPage));

    // Powered again: no application answers, longer than the bootloader's window after a start,
    // and still the bootloader answers the manual start.
    StartChip();
    const ProgramRun silent = Nvx({"kernel", "--port", "1", "test"});
    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    const ProgramRun again = Update("SolGrb_update.hex", true);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    const Strings log = LogLines(again);
    ASSERT_GE(log.size(), 2u) << again.out;
    EXPECT_EQ(log.front(), " > Bootloader activ");
    EXPECT_EQ(log.back(), NowLine(c, kUpdateBuild));
    ASSERT_EQ(StopChip().status, 0);
    EXPECT_TRUE(Holds(Memory("flash.bin"), HexBytes(Firmware(c, kUpdateBuild))));
}

INSTANTIATE_TEST_SUITE_P(Chips, SimulatedChip, ::testing::ValuesIn(kChips),
                         [](const ::testing::TestParamInfo<Chip>& p) {
                             return std::string(p.param.mcu);
                         });
INSTANTIATE_TEST_SUITE_P(Chip, FirmwareOnChip, ::testing::Values(kChips[0]),
                         [](const ::testing::TestParamInfo<Chip>& p) {
                             return std::string(p.param.mcu);
                         });

}  // namespace
}  // namespace nvx::test
