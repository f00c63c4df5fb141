// Firmware updates and EEPROM transfers end to end: nvx (or the monitor with /A) runs the update
// procedure in real time against norvix-sim, linked as com1 in a scratch start directory that
// holds the real adapter and the part descriptions; the adapter runs avrdude.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "journal/service_journal.h"
#include "progtool/update_procedure.h"
#include "progtool/adapter_e2e_support.h"

namespace nvx::test {
namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// A run that has not ended by then has hung; the test says so instead of waiting for ever.
constexpr int kRunLimitMs = 90 * 1000;

// The bytes of an image against the device's memory: every address either holds, the rest
// erased (0xFF) on both sides. Addresses in `ignored` are left out.
::testing::AssertionResult SameMemory(const std::map<uint32_t, uint8_t>& want,
                                      const std::map<uint32_t, uint8_t>& got,
                                      const std::vector<uint32_t>& ignored = {}) {
    std::map<uint32_t, uint8_t> all = want;
    all.insert(got.begin(), got.end());
    int differences = 0;
    std::string first;
    for (const auto& [address, unused] : all) {
        if (std::find(ignored.begin(), ignored.end(), address) != ignored.end()) continue;
        const auto w = want.find(address);
        const auto g = got.find(address);
        const uint8_t wv = w == want.end() ? 0xFF : w->second;
        const uint8_t gv = g == got.end() ? 0xFF : g->second;
        if (wv != gv && differences++ == 0)
            first = "address " + std::to_string(address) + ": want " + std::to_string(wv) +
                    ", got " + std::to_string(gv);
    }
    if (differences == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differences << " bytes differ, first at " << first;
}

// Every start of the application counts itself in the EEPROM (boot number word, reset condition
// byte at the start of the parameter section), so an image read or written before a restart
// differs from the device's memory afterwards in these three bytes only.
std::vector<uint32_t> RestartBookkeeping(const std::map<uint32_t, uint8_t>& eeprom) {
    const auto sectionStart = eeprom.find(27);  // header: parameter section start / 16
    if (sectionStart == eeprom.end()) return {};
    const uint32_t parameter = 16u * sectionStart->second;
    return {parameter + 2, parameter + 3, parameter + 4};
}

std::map<uint32_t, uint8_t> BytesFrom(const std::vector<uint8_t>& bytes) {
    std::map<uint32_t, uint8_t> m;
    for (std::size_t i = 0; i < bytes.size(); ++i) m[static_cast<uint32_t>(i)] = bytes[i];
    return m;
}

struct SimOptions {
    Strings device;           // {"--device", "solbed"} or {"--row", "16"}
    bool bootloader = false;  // waiting in its bootloader, as after a manual start
    std::string eepromIn;     // file in the start directory
    Strings faults = {};      // e.g. {"--mute-after", "30"}
    // On a real wire's time (line speed, chip times). Off, the device answers at once: these
    // tests are about what the procedures do, and the paced ones about whether their time limits
    // hold.
    bool paced = false;
    // Every frame and change of state the device sees is logged into this file of the start
    // directory (--verbose).
    std::string wireLog = {};
};

class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        for (const char* exe : {NVX_ADAPTER_EXE, NVX_SIM_EXE, NVX_CLI_EXE})
            ASSERT_TRUE(fs::exists(exe)) << exe << " is not built";
        if (const std::string why = MissingProgram("/usr/bin/avrdude"); !why.empty())
            GTEST_SKIP() << why;
        fs::create_symlink(NVX_ADAPTER_EXE, dir_.file("norvixosp.exe"));
        for (const auto& entry : fs::directory_iterator(std::string(NVX_SOURCE_DIR) + "/devices"))
            if (entry.path().extension() == ".xml")
                fs::copy_file(entry.path(), dir_.file(entry.path().filename().string()));
    }

    // The device on COM port (linked as com<port>); its memories go to flash.out and
    // eeprom.out on COM 1, flash<port>.out and eeprom<port>.out on the others.
    void StartDevice(const SimOptions& options, int port = 1) {
        Strings argv = {"norvix-sim"};
        argv.insert(argv.end(), options.device.begin(), options.device.end());
        const std::string com = "com" + std::to_string(port);
        // The part descriptions of the source tree: a test may spoil those of the start directory.
        argv.insert(argv.end(), {"--link", dir_.file(com), "--devices",
                                 std::string(NVX_SOURCE_DIR) + "/devices", "--flash-out",
                                 dir_.file(MemoryFile("flash", port)), "--eeprom-out",
                                 dir_.file(MemoryFile("eeprom", port))});
        if (options.bootloader) argv.push_back("--bootloader");
        if (!options.paced) argv.push_back("--instant");
        if (!options.eepromIn.empty()) argv.insert(argv.end(), {"--eeprom-in", options.eepromIn});
        argv.insert(argv.end(), options.faults.begin(), options.faults.end());
        ChildStreams streams;
        if (!options.wireLog.empty()) {
            argv.push_back("--verbose");
            streams.stderrFile = dir_.file(options.wireLog);
        }
        auto& sim = sims_[port];
        sim = std::make_unique<Child>(NVX_SIM_EXE, argv, dir_.path(), Strings{}, streams);
        ASSERT_TRUE(sim->started());
        // The terminal's path comes once the link is in place.
        const std::string pty = sim->ReadLine();
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty;
        ASSERT_TRUE(fs::is_symlink(dir_.file(com)));
    }

    // Ends the device; it writes its memories on the way out.
    void StopDevice(int port = 1) {
        auto& sim = sims_[port];
        ASSERT_TRUE(sim);
        sim->Signal(SIGTERM);
        const ProgramRun run = sim->FinishWithin(kRunLimitMs);
        sim.reset();
        ASSERT_EQ(run.status, 0) << run.err;
    }

    static std::string MemoryFile(const std::string& memory, int port) {
        return memory + (port == 1 ? "" : std::to_string(port)) + ".out";
    }

    std::map<uint32_t, uint8_t> DeviceMemory(const char* file) {
        std::map<uint32_t, uint8_t> bytes;
        EXPECT_TRUE(ParseHex(ReadText(dir_.file(file)), bytes)) << file;
        return bytes;
    }

    // nvx in the start directory; its temporary directory is the scratch one's "tmp", so that
    // a test sees what it leaves there.
    std::unique_ptr<Child> StartNvx(const Strings& args, const ChildStreams& streams = {},
                                    const Strings& environment = {}) {
        Strings argv = {"nvx"};
        argv.insert(argv.end(), args.begin(), args.end());
        fs::create_directories(dir_.file("tmp"));
        Strings env = {"TMPDIR=" + dir_.file("tmp")};
        env.insert(env.end(), environment.begin(), environment.end());
        return std::make_unique<Child>(NVX_CLI_EXE, argv, dir_.path(), env, streams);
    }
    ProgramRun Nvx(const Strings& args, const ChildStreams& streams = {}) {
        const auto child = StartNvx(args, streams);
        if (!child->started()) return {};
        return child->FinishWithin(kRunLimitMs);
    }

    // The monitor program with the given switches, in the start directory, without a screen.
    ProgramRun Monitor(const Strings& switches) {
        Strings argv = {"norvix-monitor"};
        argv.insert(argv.end(), switches.begin(), switches.end());
        Child child(NVX_MONITOR_EXE, argv, dir_.path(), {"QT_QPA_PLATFORM=offscreen"});
        if (!child.started()) return {};
        return child.FinishWithin(kRunLimitMs);
    }

    // The log lines the procedure printed, in order (nvx prints them oldest first).
    static Strings LogLines(const ProgramRun& run) {
        Strings log;
        for (const std::string& line : Lines(run.out))
            if (line.size() >= 3 && (line.compare(1, 2, "> ") == 0)) log.push_back(line);
        return log;
    }

    // A settings file naming COM 1: without one the monitor asks about it in a message box.
    void WriteMonitorSettings() {
        WriteText(dir_.file("monitor.ini"),
                  "# Norvix-PC-Monitor INI-File\r\n# Version 1.00\r\n# test\r\n#\r\n"
                  "# !!! DO NOT EDIT THIS FILE !!!\r\n#\r\n\r\n\r\n[COM]\r\nCOM_PORT 1\r\n");
    }

    ScratchDir dir_{"e2e"};
    std::map<int, std::unique_ptr<Child>> sims_;
};

// ---- firmware of every chip of the catalogue

struct ChipCase {
    const char* chip;
    Strings device;   // the device for both sides
    const char* file; // begins with the device key
    std::size_t size;
    bool manual;      // the row starts by hand: the device waits in its bootloader
};

void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.chip; }

class FirmwareOfEveryChip : public UpdateEndToEnd,
                            public ::testing::WithParamInterface<ChipCase> {};

TEST_P(FirmwareOfEveryChip, FlashEqualsTheFileAfterTheUpdate) {
    const ChipCase& c = GetParam();
    const std::vector<uint8_t> image = RandomBytes(c.size, static_cast<uint32_t>(c.size));
    WriteText(dir_.file(c.file), HexImage(image));
    StartDevice({c.device, c.manual, ""});

    Strings args = {"update", "--port", "1", "--wait", "1"};
    args.insert(args.end(), c.device.begin(), c.device.end());
    args.push_back(c.file);
    const ProgramRun run = Nvx(args);
    EXPECT_EQ(run.status, 0) << run.out << run.err;

    Strings want = {" > Bootloader activ", " > Leaving Program Mode", " > Device restarted",
                    "I> Update finished"};
    if (!c.manual) want.insert(want.begin(), " > Bootloader started");
    EXPECT_EQ(LogLines(run), want) << run.err;
    // The plain image handed to the programmer is gone.
    EXPECT_FALSE(fs::exists(dir_.file("temp.ntf")));

    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FirmwareOfEveryChip,
    ::testing::Values(
        ChipCase{"atmega64", {"--device", "solbed"}, "SolBed_fw.hex", 1500, false},
        ChipCase{"atmega644p", {"--device", "solgrabed64"}, "SolGrb_fw.hex", 2048, false},
        // The one big image: 64 KB, the lower half of the chip's flash.
        ChipCase{"atmega1284p", {"--device", "solgrabed128"}, "SolGrb_big.hex", 65536, false},
        ChipCase{"atxmega128d3", {"--device", "soltbed"}, "SolTbed_fw.hex", 1024, false},
        ChipCase{"atmega168p", {"--row", "16"}, "SolMinibed_fw.hex", 700, false},
        ChipCase{"atmega324p", {"--device", "prxareg"}, "PrxaReg_fw.hex", 1200, false},
        ChipCase{"atmega32", {"--device", "frostwarn32k"}, "5362_fw.hex", 900, true}),
    [](const ::testing::TestParamInfo<ChipCase>& p) { return std::string(p.param.chip); });

// ---- a routed device, an NPF file, EEPROM transfers, a programmer that fails

TEST_F(UpdateEndToEnd, ARoutedControllerIsUpdatedThroughItsTunnelFromAnNpfFile) {
    const std::vector<uint8_t> image = RandomBytes(1800, 10);
    WriteText(dir_.file("SolReg_fw.hex"), HexImage(image));
    const ProgramRun convert = Nvx({"convert", "SolReg_fw.hex"});
    ASSERT_EQ(convert.status, 0) << convert.err;
    ASSERT_TRUE(fs::exists(dir_.file("SolReg_fw.npf")));
    StartDevice({{"--device", "solreg"}, false, ""});

    const ProgramRun run = Nvx({"update", "--port", "1", "--wait", "1", "--device", "solreg",
                                "SolReg_fw.npf"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LogLines(run),
              (Strings{" > Connected to Controller", " > Bootloader started", " > Bootloader activ",
                       " > Leaving Program Mode", " > Device restarted",
                       " > Disconnected from Controller", "I> Update finished"}))
        << run.err;
    StopDevice();
    // The unit behind the controller holds the unscrambled image.
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

TEST_F(UpdateEndToEnd, AnEepromReadEqualsTheDevicesImage) {
    // The chip with a 4 KB EEPROM: the whole image of the device.
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun run =
        Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device", "solgrabed128", "image"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LogLines(run).back(), "I> Read Process finished") << run.out;
    EXPECT_FALSE(fs::exists(dir_.file("temp.hex")));
    StopDevice();

    const std::string text = ReadText(dir_.file("image"));
    std::map<uint32_t, uint8_t> read;
    ASSERT_TRUE(ParseHex(text, read));
    const std::map<uint32_t, uint8_t> device = DeviceMemory("eeprom.out");
    ASSERT_EQ(read.size(), 4096u);
    EXPECT_TRUE(SameMemory(device, read, RestartBookkeeping(device)));
    // A text file of the monitor: CR LF line ends.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(text.begin(), text.end(), '\r'));
}

TEST_F(UpdateEndToEnd, AnEditedEepromImageWrittenBackIsTheDevicesMemory) {
    // As a technician does it: read the image, change the error memory, write it back.
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun read =
        Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device", "solgrabed128", "image"});
    ASSERT_EQ(read.status, 0) << read.out << read.err;
    std::map<uint32_t, uint8_t> image;
    ASSERT_TRUE(ParseHex(ReadText(dir_.file("image")), image));
    ASSERT_EQ(image.size(), 4096u);
    const uint32_t errorStart = 16u * image[24];
    const std::vector<uint8_t> noise = RandomBytes(256, 77);
    std::vector<uint8_t> edited(4096);
    for (uint32_t a = 0; a < 4096; ++a) edited[a] = image[a];
    for (uint32_t i = 0; i < noise.size(); ++i) edited[errorStart + i] = noise[i];
    WriteText(dir_.file("new.hex"), HexImage(edited));

    // Options stand anywhere, also before the word that says write.
    const ProgramRun run = Nvx({"eeprom", "--yes", "write", "new.hex", "--wait=1", "--device",
                                "solgrabed128", "--port", "1"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // --yes has answered the question: it is not printed.
    EXPECT_EQ(run.err.find("YOU PROCEED ON YOUR OWN RISK"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("YOU PROCEED ON YOUR OWN RISK"), std::string::npos) << run.out;
    EXPECT_EQ(LogLines(run),
              (Strings{" > Bootloader started", " > Bootloader activ",
                       " > Leaving EEPROM Program Mode", " > Device restarted",
                       "I> Write Process finished"}))
        << run.err;
    EXPECT_FALSE(fs::exists(dir_.file("temp.hex")));
    StopDevice();
    const std::map<uint32_t, uint8_t> written = BytesFrom(edited);
    EXPECT_TRUE(SameMemory(written, DeviceMemory("eeprom.out"), RestartBookkeeping(written)));
}

// On a real wire's time, the largest part: a 120 KB update (the most an application can take
// with the largest boot section) and a write of its whole 4 KB EEPROM, each byte 3.3 ms of the
// chip's. Both must end well inside the programmer's time limit and the procedures' own, with
// the memories right: a limit tried only against an instant device may cut a bench short.
TEST_F(UpdateEndToEnd, OnARealWiresTimeTheLargestPartsUpdateAndEepromWriteFinish) {
    constexpr int kPacedRunLimitMs = 240 * 1000;
    const std::vector<uint8_t> image = RandomBytes(120 * 1024, 128);
    WriteText(dir_.file("SolGrb_big.hex"), HexImage(image));
    std::vector<uint8_t> eeprom = RandomBytes(4096, 4096);
    // A header the firmware knows as its own (signature, section starts): its restart keeps it.
    for (const auto& [at, value] : {std::pair{2, 0x58}, {3, 0x4E}, {24, 0x18}, {25, 0x04}, {26, 0x08}, {27, 0x0C}})
        eeprom[at] = static_cast<uint8_t>(value);
    WriteText(dir_.file("new.hex"), HexImage(eeprom));
    SimOptions device{{"--device", "solgrabed128"}, false, ""};
    device.paced = true;
    StartDevice(device);

    const auto update = StartNvx({"update", "--port", "1", "--wait", "1", "--device", "solgrabed128",
                                  "SolGrb_big.hex"});
    const ProgramRun updated = update->FinishWithin(kPacedRunLimitMs);
    EXPECT_EQ(updated.status, 0) << updated.out << updated.err;
    EXPECT_NE(updated.out.find("I> Update finished"), std::string::npos) << updated.out;

    const auto write = StartNvx({"eeprom", "--yes", "write", "new.hex", "--wait=1", "--device",
                                 "solgrabed128", "--port", "1"});
    const ProgramRun written = write->FinishWithin(kPacedRunLimitMs);
    EXPECT_EQ(written.status, 0) << written.out << written.err;
    EXPECT_NE(written.out.find("I> Write Process finished"), std::string::npos) << written.out;

    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
    const std::map<uint32_t, uint8_t> wanted = BytesFrom(eeprom);
    EXPECT_TRUE(SameMemory(wanted, DeviceMemory("eeprom.out"), RestartBookkeeping(wanted)));
}

TEST_F(UpdateEndToEnd, AProgrammerThatFailsAbortsTheUpdateAndTheDeviceRunsAgain) {
    // A description naming another part: avrdude finds the wrong signature and writes nothing.
    std::string wrongPart = ReadText(std::string(NVX_SOURCE_DIR) + "/devices/atmega64.xml");
    wrongPart.replace(wrongPart.find("<avrdudePart>m64<"), 17, "<avrdudePart>m32<");
    WriteText(dir_.file("atmega64.xml"), wrongPart);
    const std::vector<uint8_t> image = RandomBytes(600, 5);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solbed"}, false, ""});

    const ProgramRun run =
        Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const Strings log = LogLines(run);
    ASSERT_GE(log.size(), 2u);
    // The exit command went out: what to do if the device stays silent comes last.
    EXPECT_EQ(Strings(log.end() - 2, log.end()),
              (Strings{"E> Update aborted", kRecoveryFromIncompleteFirmwareText}));
    EXPECT_NE(std::find(log.begin(), log.end(), "E> Command NorvixOSP: exit status 1"), log.end())
        << run.out;
    EXPECT_NE(std::find(log.begin(), log.end(), " > Device restarted"), log.end()) << run.out;
    // avrdude's own words say why, on standard error and in the log.
    EXPECT_NE(run.err.find("signature"), std::string::npos) << run.err;
    const auto reason = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("E> norvixosp: avrdude ended with status 1: ", 0) == 0;
    });
    ASSERT_NE(reason, log.end()) << run.out;
    EXPECT_NE(reason->find("signature"), std::string::npos) << *reason;

    // The device answers in its application again: a second update with the right part works.
    fs::copy_file(std::string(NVX_SOURCE_DIR) + "/devices/atmega64.xml", dir_.file("atmega64.xml"),
                  fs::copy_options::overwrite_existing);
    const ProgramRun again =
        Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed", "SolBed_fw.hex"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

// ---- several devices at once

// The rows of the outcome table, by port: outcome, then the line (seconds left out).
std::map<std::string, Strings> OutcomeRows(const std::string& out) {
    std::map<std::string, Strings> rows;
    bool inTable = false;
    for (const std::string& line : Lines(out)) {
        if (line.rfind("PORT ", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || line.empty()) continue;
        std::istringstream fields(line);
        std::string port, outcome, seconds;
        fields >> port >> outcome >> seconds;
        std::string rest;
        std::getline(fields, rest);
        const std::size_t text = rest.find_first_not_of(' ');
        rows[port] = {outcome, text == std::string::npos ? "" : rest.substr(text)};
    }
    return rows;
}

TEST_F(UpdateEndToEnd, TwoUpdatesAtOnceFromOneDirectoryEachGiveTheirDeviceItsOwnFirmware) {
    const std::vector<uint8_t> first = RandomBytes(3000, 101), second = RandomBytes(3000, 202);
    WriteText(dir_.file("SolBed_first.hex"), HexImage(first));
    WriteText(dir_.file("SolBed_second.hex"), HexImage(second));
    StartDevice({{"--device", "solbed"}, false, ""}, 1);
    StartDevice({{"--device", "solbed"}, false, ""}, 2);

    const auto one = StartNvx({"update", "--port", "1", "--wait", "1", "--device", "solbed",
                               "SolBed_first.hex"});
    const auto two = StartNvx({"update", "--port", "2", "--wait", "1", "--device", "solbed",
                               "SolBed_second.hex"});
    const ProgramRun runOne = one->FinishWithin(kRunLimitMs);
    const ProgramRun runTwo = two->FinishWithin(kRunLimitMs);
    EXPECT_EQ(runOne.status, 0) << runOne.out << runOne.err;
    EXPECT_EQ(runTwo.status, 0) << runTwo.out << runTwo.err;
    for (const Strings& log : {LogLines(runOne), LogLines(runTwo)}) {
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "I> Update finished");
    }
    // One journal line each, whole, from the two programs writing at once.
    const JournalContents journal = ParseJournal(ReadText(dir_.file("service-journal.csv")));
    EXPECT_TRUE(journal.warnings.empty());
    ASSERT_EQ(journal.records.size(), 2u);
    Strings ports;
    for (const JournalRecord& r : journal.records) {
        ports.push_back(r.port.substr(0, 5));
        EXPECT_EQ(r.outcome, "I> Update finished");
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (Strings{"COM1 ", "COM2 "}));
    // No work file of either is left, in the start directory or in a private one.
    EXPECT_FALSE(fs::exists(dir_.file("temp.ntf")));
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp")));

    StopDevice(1);
    StopDevice(2);
    EXPECT_TRUE(SameMemory(BytesFrom(first), DeviceMemory("flash.out")));
    EXPECT_TRUE(SameMemory(BytesFrom(second), DeviceMemory("flash2.out")));
}

TEST_F(UpdateEndToEnd, OneCommandUpdatesSeveralPortsAndAPortWithoutDeviceDisturbsNoOther) {
    const std::vector<uint8_t> image = RandomBytes(2500, 303);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solbed"}, false, ""}, 1);
    StartDevice({{"--device", "solbed"}, false, ""}, 2);

    // COM 3 leads nowhere.
    const ProgramRun run = Nvx({"update", "--port", "1,3", "--port=2", "--wait", "1", "--device",
                                "solbed", "--versions", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto rows = OutcomeRows(run.out);
    EXPECT_EQ(rows.size(), 3u) << run.out;
    // With --versions the last line of a finished update is the version the device reports.
    EXPECT_EQ(rows.at("COM1"), (Strings{"finished", "I> Now: Application V 2.7, Build 12-15"}))
        << run.out;
    EXPECT_EQ(rows.at("COM2"), (Strings{"finished", "I> Now: Application V 2.7, Build 12-15"}))
        << run.out;
    EXPECT_EQ(rows.at("COM3"), (Strings{"failed", "-"})) << run.out;
    // Every line comes with its port.
    EXPECT_NE(run.out.find("COM2:  > Bootloader activ"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("COM3: "), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp")));

    StopDevice(1);
    StopDevice(2);
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash2.out")));
}

TEST_F(UpdateEndToEnd, EepromsOfSeveralPortsAreReadIntoAFileEach) {
    StartDevice({{"--device", "solgrabed128"}, false, ""}, 1);
    StartDevice({{"--device", "solgrabed128"}, false, ""}, 2);
    // On a terminal: a line per port, drawn again in place, then the table.
    const ProgramRun run = Nvx({"eeprom", "read", "--port", "1,2", "--wait", "1", "--device",
                                "solgrabed128", "image_{port}.hex"},
                               {.stdoutIsTerminal = true});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (const char* port : {"COM1", "COM2"})
        EXPECT_NE(run.out.find(std::string("\033[K") + port + "   [" +
                               std::string(30, '#') + "] 100%"),
                  std::string::npos)
            << run.out;
    EXPECT_NE(run.out.find("\033[2A"), std::string::npos) << run.out;
    const auto rows = OutcomeRows(run.out);
    EXPECT_EQ(rows.at("COM1"), (Strings{"finished", "I> Read Process finished"})) << run.out;
    EXPECT_EQ(rows.at("COM2"), (Strings{"finished", "I> Read Process finished"})) << run.out;
    StopDevice(1);
    StopDevice(2);
    for (const int port : {1, 2}) {
        SCOPED_TRACE(port);
        std::map<uint32_t, uint8_t> read;
        ASSERT_TRUE(ParseHex(ReadText(dir_.file("image_" + std::to_string(port) + ".hex")), read));
        const std::map<uint32_t, uint8_t> device = DeviceMemory(MemoryFile("eeprom", port).c_str());
        ASSERT_EQ(read.size(), 4096u);
        EXPECT_TRUE(SameMemory(device, read, RestartBookkeeping(device)));
    }
}

TEST_F(UpdateEndToEnd, ReadingIntoAFileNamedLikeAWorkFileKeepsTheImage) {
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun run = Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device",
                                "solgrabed128", "temp.hex"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    StopDevice();
    std::map<uint32_t, uint8_t> read;
    ASSERT_TRUE(ParseHex(ReadText(dir_.file("temp.hex")), read));
    EXPECT_EQ(read.size(), 4096u);

    // And written back from it, the file stays.
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun write = Nvx({"eeprom", "write", "--port", "1", "--wait", "1", "--device",
                                  "solgrabed128", "--yes", "temp.hex"});
    EXPECT_EQ(write.status, 0) << write.out << write.err;
    StopDevice();
    EXPECT_TRUE(fs::exists(dir_.file("temp.hex")));
}

TEST_F(UpdateEndToEnd, CtrlCEndsEveryUpdateWithTheDevicesBackInTheirApplication) {
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(RandomBytes(2000, 404)));
    StartDevice({{"--device", "solbed"}, false, ""}, 1);
    StartDevice({{"--device", "solbed"}, false, ""}, 2);
    const Strings update = {"update", "--port", "1,2", "--wait", "1", "--device", "solbed",
                            "SolBed_fw.hex"};
    const auto nvx = StartNvx(update);
    // Interrupted once both devices wait in their bootloaders.
    int active = 0;
    while (active < 2) {
        const std::string line = nvx->ReadLine(kRunLimitMs);
        ASSERT_FALSE(line.empty()) << "the run ended early";
        if (line.find(" > Bootloader activ") != std::string::npos) ++active;
    }
    nvx->Signal(SIGINT);
    const ProgramRun run = nvx->FinishWithin(kRunLimitMs);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto rows = OutcomeRows(run.out);
    EXPECT_EQ(rows.at("COM1"), (Strings{"aborted", "E> Update aborted"})) << run.out;
    EXPECT_EQ(rows.at("COM2"), (Strings{"aborted", "E> Update aborted"})) << run.out;
    EXPECT_NE(run.out.find("COM1:  > Device restarted"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("COM2:  > Device restarted"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp")));

    // Both answer their kernel again: the automatic start works at once.
    const ProgramRun again = Nvx(update);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    StopDevice(1);
    StopDevice(2);
}

// ---- firmware that cannot be written whole, a device that vanishes

// A bootloader whose sign-on always arrives in two parts is taken at its first answer.
TEST_F(UpdateEndToEnd, ABootloaderThatSignsOnInTwoPartsIsRecognised) {
    const std::vector<uint8_t> image = RandomBytes(600, 12);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solbed", "--split-avrboot", "always"}, false, ""});
    const ProgramRun run =
        Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const Strings log = LogLines(run);
    EXPECT_NE(std::find(log.begin(), log.end(), " > Bootloader activ"), log.end()) << run.out;
    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

// The first lines of a file, each with its line end: a transfer cut at a line boundary.
std::string CutAfterLine(const std::string& text, int lines) {
    std::size_t at = 0;
    for (int i = 0; i < lines && at != std::string::npos; ++i) at = text.find('\n', at) + 1;
    return text.substr(0, at);
}

TEST_F(UpdateEndToEnd, FirmwareThatCannotBeWrittenWholeNeverReachesTheDevice) {
    struct Case {
        const char* name;
        std::string text;
        const char* line;
    };
    const Case cases[] = {
        {"no bytes at all", "", "E> Program file holds no data"},
        {"the end record only", ":00000001FF\r\n", "E> Program file holds no data"},
        {"80 KB for a 64 KB part", HexImage(RandomBytes(80 * 1024, 3)),
         "E> Program file does not fit ATmega64: ends at 0x13FFF, application area ends at 0xDFFF"},
        {"data in the bootloader section", HexImage(RandomBytes(0xFF10, 5)),
         "E> Program file does not fit ATmega64: ends at 0xFF0F, application area ends at 0xDFFF"},
        {"a record type no programmer knows", ":020000090102F2\r\n" + HexImage(RandomBytes(64, 6)),
         "E> Program file holds a record of unknown type 09, line 1"},
        {"cut at a line boundary", CutAfterLine(HexImage(RandomBytes(4096, 7)), 99),
         "E> Program file incomplete: no end-of-file record"},
    };
    StartDevice({{"--device", "solbed"}, false, ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(dir_.file("SolBed_fw.hex"), c.text);
        const ProgramRun run =
            Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed", "SolBed_fw.hex"});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(LogLines(run), Strings{c.line}) << run.err;
    }
    // The device still runs its application: it answers the bootloader start of a real update.
    const std::vector<uint8_t> image = RandomBytes(500, 8);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    const ProgramRun run =
        Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const Strings log = LogLines(run);
    EXPECT_NE(std::find(log.begin(), log.end(), " > Bootloader started"), log.end()) << run.out;
    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

TEST_F(UpdateEndToEnd, AnEepromImageThatDoesNotFitThePartNeverReachesTheDevice) {
    struct Case {
        const char* name;
        std::string text;
        const char* line;
    };
    const Case cases[] = {
        {"no bytes at all", "", "E> EEPROM file refused: holds no data"},
        {"4 KB for a 2 KB part", HexImage(RandomBytes(4096, 11)),
         "E> EEPROM file refused: does not fit ATmega64: ends at 0xFFF, EEPROM ends at 0x7FF"},
        {"a record type no programmer knows", ":020000090102F2\r\n" + HexImage(RandomBytes(64, 12)),
         "E> EEPROM file refused: record of unknown type 09, line 1"},
        {"cut at a line boundary", CutAfterLine(HexImage(RandomBytes(2048, 13)), 50),
         "E> EEPROM file refused: incomplete: no end-of-file record"},
    };
    // The device's EEPROM before: no restart may count itself in it, no byte may change.
    const std::vector<uint8_t> before = RandomBytes(2048, 10);
    WriteText(dir_.file("before.hex"), HexImage(before));
    StartDevice({{"--device", "solbed"}, false, dir_.file("before.hex"), {}, false, "wire.log"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(dir_.file("new.hex"), c.text);
        const ProgramRun run = Nvx({"eeprom", "--yes", "write", "new.hex", "--port", "1", "--wait",
                                    "1", "--device", "solbed"});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(LogLines(run), Strings{c.line}) << run.err;
    }
    // Not a frame reached the device, so no BootloadStart either.
    const std::string refusedWire = ReadText(dir_.file("wire.log"));
    EXPECT_EQ(refusedWire.find(" rx "), std::string::npos) << refusedWire;
    EXPECT_EQ(refusedWire.find("bootloader"), std::string::npos) << refusedWire;
    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(before), DeviceMemory("eeprom.out")));

    // The same device and log see a write that fits: the log would have shown the bootloader.
    StartDevice({{"--device", "solbed"}, false, dir_.file("before.hex"), {}, false, "wire.log"});
    WriteText(dir_.file("new.hex"), HexImage(RandomBytes(2048, 14)));
    const ProgramRun fits = Nvx({"eeprom", "--yes", "write", "new.hex", "--port", "1", "--wait",
                                 "1", "--device", "solbed"});
    EXPECT_EQ(fits.status, 0) << fits.out << fits.err;
    StopDevice();
    EXPECT_NE(ReadText(dir_.file("wire.log")).find("bootloader started"), std::string::npos);
}

// A file of /proc; empty when its process has gone meanwhile (a stream would throw then).
std::string ReadProcFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// Whether a process named avrdude holds the terminal open, looked up in /proc until it does.
bool WaitForAvrdudeOn(const std::string& terminal) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunLimitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        // Processes come and go while they are looked at: every step tolerates that.
        std::error_code ec;
        for (fs::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
            if (ReadProcFile((p->path() / "comm").string()) != "avrdude\n") continue;
            std::error_code fdError;
            for (fs::directory_iterator fd(p->path() / "fd", fdError); !fdError && fd != end;
                 fd.increment(fdError))
                if (std::error_code linkError;
                    fs::read_symlink(fd->path(), linkError).string() == terminal)
                    return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// What nvx writes before the programmer's percentage with --progress-lines.
constexpr const char* kProgressLinePrefix = "PROGRESS ";

// Takes the number of a vanished terminal for a new one as soon as it is free again, as the next
// terminal some other program makes would: numbers are given lowest first, so the lower ones
// found on the way are kept until then, the higher ones given back.
class TerminalNumberTaker {
public:
    explicit TerminalNumberTaker(std::string path) : path_(std::move(path)), number_(Number(path_)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~TerminalNumberTaker() {
        stop_ = true;
        thread_.join();
        for (const int fd : kept_) ::close(fd);
    }
    bool took() const { return took_; }

private:
    static long Number(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        return std::strtol(path.c_str() + slash + 1, nullptr, 10);
    }
    void Run() {
        while (!stop_ && !took_) {
            const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) return;
            const char* name = ::grantpt(fd) == 0 && ::unlockpt(fd) == 0 ? ::ptsname(fd) : nullptr;
            const long number = name != nullptr ? Number(name) : -1;
            if (number >= 0 && number <= number_) {
                kept_.push_back(fd);
                took_ = number == number_;
                continue;
            }
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const std::string path_;
    const long number_;
    std::vector<int> kept_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> took_{false};
    std::thread thread_;
};

TEST_F(UpdateEndToEnd, ADeviceThatVanishesDuringTheTransferEndsTheCommand) {
    struct Case {
        const char* name;
        Strings args;
        const char* abortLine;
    };
    const Case cases[] = {
        {"update", {"update", "--port", "1", "--wait", "1", "--device", "solgrabed128",
                    "--progress-lines", "SolGrb_big.hex"}, "E> Update aborted"},
        {"EEPROM read", {"eeprom", "read", "--port", "1", "--wait", "1", "--device",
                         "solgrabed128", "--progress-lines", "image.hex"}, "E> Read Process aborted"},
    };
    WriteText(dir_.file("SolGrb_big.hex"), HexImage(RandomBytes(65536, 4)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartDevice({{"--device", "solgrabed128"}, false, ""});
        Strings argv = {"nvx"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child nvx(NVX_CLI_EXE, argv, dir_.path());
        ASSERT_TRUE(nvx.started());
        // The device goes away under avrdude once it has the terminal open.
        const std::string terminal = fs::read_symlink(dir_.file("com1")).string();
        ASSERT_TRUE(WaitForAvrdudeOn(terminal)) << nvx.FinishWithin(kRunLimitMs).out;
        // During the transfer: the programmer has reported some of it, not all.
        std::string before;
        for (int percent = 0; percent <= 0 || percent >= 100;) {
            const std::string line = nvx.ReadLine(kRunLimitMs);
            ASSERT_FALSE(line.empty()) << "the run ended before its transfer\n" << before;
            before += line + "\n";
            if (line.rfind(kProgressLinePrefix, 0) == 0)
                percent = std::atoi(line.c_str() + std::strlen(kProgressLinePrefix));
        }
        sims_[1]->Signal(SIGKILL);
        sims_[1]->FinishWithin(kRunLimitMs);
        sims_.erase(1);
        // Another program's terminal takes the vanished one's number once it is free: another
        // device all the same, never told to leave a bootloader.
        const TerminalNumberTaker another(terminal);
        ProgramRun run = nvx.FinishWithin(kRunLimitMs);
        run.out.insert(0, before);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        const Strings log = LogLines(run);
        ASSERT_GE(log.size(), 2u) << run.err;
        // No exit command reached it: whatever answers on COM 1 next may wait in its bootloader.
        EXPECT_EQ(Strings(log.end() - 2, log.end()),
                  (Strings{c.abortLine, kRecoveryFromBootloaderText}))
            << run.out;
        EXPECT_EQ(std::find(log.begin(), log.end(), " > Device restarted"), log.end()) << run.out;
        fs::remove(dir_.file("com1"));
    }
}

// ---- a device that goes quiet but keeps its line open

// The programmer's time limit for these runs, through the variable a bench would set.
constexpr int kShortLimitS = 3;
// A quiet run ends within the limit and the procedure's own waits; generous for a loaded
// machine, far below the minutes the computed limit allows.
constexpr double kQuietRunEndsWithinS = 40;
// Once interrupted, nvx ends within a few seconds.
constexpr double kInterruptEndsWithinS = 10;

double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processes other than those in `kept` whose working directory lies in dir: an adapter or
// avrdude left behind runs in the private work directory below it.
Strings ProcessesLeftIn(const std::string& dir, const std::vector<pid_t>& kept) {
    Strings left;
    std::error_code ec;
    for (fs::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
        const std::string name = p->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (std::find(kept.begin(), kept.end(), pid) != kept.end()) continue;
        std::error_code linkError;
        const std::string cwd = fs::read_symlink(p->path() / "cwd", linkError).string();
        if (linkError || cwd.rfind(dir, 0) != 0) continue;
        // A zombie has no working directory: whatever is listed here still runs.
        left.push_back(name + " " + ReadProcFile((p->path() / "comm").string()));
    }
    return left;
}

struct QuietCase {
    const char* stage;
    Strings args;          // after "nvx"
    int muteAfter;         // answers (frames and bootloader commands) before the silence
    Strings lines;         // that the log holds, in this order
    bool programmerRan;    // the device is left in its bootloader, maybe erased
};

// 8 KB for an ATmega64: one version query (asked for), BootloadStart, the probe, ten setup
// commands of avrdude and the erase come first (14 answers), then 32 blocks of two commands each.
const Strings kQuietUpdate = {"update", "--port", "1", "--wait", "1", "--device", "solbed",
                              "--versions", "SolBed_fw.hex"};
// EEPROM: BootloadStart, the probe, ten setup commands, then blocks of nine commands.
const Strings kQuietRead = {"eeprom", "read", "--port", "1", "--wait", "1", "--device",
                            "solbed", "image.hex"};
const Strings kQuietWrite = {"eeprom", "write", "--yes", "--port", "1", "--wait", "1",
                             "--device", "solbed", "image.hex"};
const char* const kTimedOut = "E> Programmer timed out after 3 s";
const char* const kErasedLine =
    "E> The device may be erased and wait in its bootloader: program it again with Manual "
    "Update Start Mode";
const char* const kWaitsLine =
    "E> The device may wait in its bootloader: repeat with Manual Update Start Mode";

const QuietCase kQuietCases[] = {
    // BootloadStart unanswered: the device never left its application.
    {"BootloadStart", kQuietUpdate, 1, {"E> No Reply to API Command", kRecoveryFromBootloaderText},
     false},
    {"flash write", kQuietUpdate, 34, {kTimedOut, kErasedLine, "E> Update aborted"}, true},
    {"verify", kQuietUpdate, 84, {kTimedOut, kErasedLine, "E> Update aborted"}, true},
    {"EEPROM read", kQuietRead, 30, {kTimedOut, kWaitsLine, "E> Read Process aborted"}, true},
    {"EEPROM write", kQuietWrite, 30, {kTimedOut, kWaitsLine, "E> Write Process aborted"}, true},
};

bool HoldsInOrder(const Strings& log, const Strings& lines) {
    auto at = log.begin();
    for (const std::string& line : lines) {
        at = std::find(at, log.end(), line);
        if (at == log.end()) return false;
        ++at;
    }
    return true;
}

class QuietDevice : public UpdateEndToEnd {
protected:
    void SetUp() override {
        UpdateEndToEnd::SetUp();
        WriteText(dir_.file("SolBed_fw.hex"), HexImage(image_));
        WriteText(dir_.file("image.hex"), HexImage(RandomBytes(2048, 7)));
    }

    // The device is back (switched off and on): one left in its bootloader waits there, and
    // the operation done again with a manual start works.
    void ExpectTheNextRunWorks(const QuietCase& c) {
        StopDevice();
        StartDevice({{"--device", "solbed"}, c.programmerRan, ""});
        Strings again = c.args;
        if (c.programmerRan) again.insert(again.begin() + (again[0] == "update" ? 1 : 2), "--manual");
        const ProgramRun run = Nvx(again);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        StopDevice();
        if (c.args[0] == "update") {
            EXPECT_TRUE(SameMemory(BytesFrom(image_), DeviceMemory("flash.out")));
        }
    }

    void ExpectNothingLeft() {
        std::vector<pid_t> sims;
        for (const auto& [port, sim] : sims_)
            if (sim) sims.push_back(sim->pid());
        EXPECT_EQ(ProcessesLeftIn(dir_.path(), sims), Strings{});
        EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << "work files or the lock left";
    }

    const std::vector<uint8_t> image_ = RandomBytes(8192, 27);
};

TEST_F(QuietDevice, TheTimeLimitEndsEveryStageAndTheNextRunWorks) {
    for (const QuietCase& c : kQuietCases) {
        SCOPED_TRACE(c.stage);
        StartDevice({{"--device", "solbed"}, false, "", {"--mute-after", std::to_string(c.muteAfter)}});
        const double cpuBefore = ChildrenCpuSeconds();
        const auto started = std::chrono::steady_clock::now();
        const auto nvx = StartNvx(c.args, {}, {std::string(kProgrammerLimitVariable) + "=" +
                                               std::to_string(kShortLimitS)});
        const ProgramRun run = nvx->FinishWithin(kRunLimitMs);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double cpu = ChildrenCpuSeconds() - cpuBefore;
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_LT(seconds, kQuietRunEndsWithinS);
        // Waiting on a silent device costs next to no processor time.
        EXPECT_LT(cpu, 0.5 * seconds) << cpu << " s CPU in " << seconds << " s";
        const Strings log = LogLines(run);
        EXPECT_TRUE(HoldsInOrder(log, c.lines)) << run.out;
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), c.lines.back());
        ExpectNothingLeft();
        ExpectTheNextRunWorks(c);
    }
}

struct InterruptedQuietCase {
    const QuietCase* quiet;
    int signal;
};

TEST_F(QuietDevice, SigintAndSigtermEndEveryStageWithinSeconds) {
    const InterruptedQuietCase cases[] = {
        {&kQuietCases[0], SIGINT}, {&kQuietCases[1], SIGTERM}, {&kQuietCases[2], SIGINT},
        {&kQuietCases[3], SIGTERM}, {&kQuietCases[4], SIGINT},
    };
    for (const InterruptedQuietCase& c : cases) {
        SCOPED_TRACE(std::string(c.quiet->stage) + (c.signal == SIGINT ? ", SIGINT" : ", SIGTERM"));
        StartDevice({{"--device", "solbed"}, false, "",
                     {"--mute-after", std::to_string(c.quiet->muteAfter)}});
        // The computed limit: minutes. Only the signal can end this run in time.
        const auto nvx = StartNvx(c.quiet->args);
        ASSERT_TRUE(nvx->started());
        const std::string terminal = fs::read_symlink(dir_.file("com1")).string();
        if (c.quiet->programmerRan) {
            ASSERT_TRUE(WaitForAvrdudeOn(terminal));
        }
        // Past the last answer (within a second of avrdude's start, or of the version query).
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto signalled = std::chrono::steady_clock::now();
        nvx->Signal(c.signal);
        const ProgramRun run = nvx->FinishWithin(kRunLimitMs);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_LT(seconds, kInterruptEndsWithinS) << run.out;
        const Strings log = LogLines(run);
        ASSERT_FALSE(log.empty()) << run.err;
        EXPECT_EQ(log.back(), c.quiet->lines.back()) << run.out;
        if (c.quiet->programmerRan) {
            EXPECT_TRUE(HoldsInOrder(log, {"E> Command NorvixOSP: interrupted",
                                           c.quiet->lines[1]}))
                << run.out;
        }
        ExpectNothingLeft();
        StopDevice();
    }
}

TEST_F(QuietDevice, ASignalEndsSeveralPortsWithinSecondsEachSayingItsState) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        // COM 1 quiet in the flash write, COM 2 quiet at BootloadStart, COM 3 answering.
        StartDevice({{"--device", "solbed"}, false, "", {"--mute-after", "34"}}, 1);
        StartDevice({{"--device", "solbed"}, false, "", {"--mute-after", "1"}}, 2);
        StartDevice({{"--device", "solbed"}, false, ""}, 3);
        const auto nvx = StartNvx({"update", "--port", "1,2,3", "--wait", "1", "--device",
                                   "solbed", "SolBed_fw.hex"});
        ASSERT_TRUE(nvx->started());
        ASSERT_TRUE(WaitForAvrdudeOn(fs::read_symlink(dir_.file("com1")).string()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto signalled = std::chrono::steady_clock::now();
        nvx->Signal(signal);
        const ProgramRun run = nvx->FinishWithin(kRunLimitMs);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_LT(seconds, kInterruptEndsWithinS) << run.out;
        const auto rows = OutcomeRows(run.out);
        ASSERT_EQ(rows.count("COM1"), 1u) << run.out;
        ASSERT_EQ(rows.count("COM2"), 1u) << run.out;
        ASSERT_EQ(rows.count("COM3"), 1u) << run.out;
        EXPECT_EQ(rows.at("COM1"), (Strings{"aborted", "E> Update aborted"})) << run.out;
        EXPECT_EQ(rows.at("COM2")[0], "aborted") << run.out;
        // The device that was written to is said to be left erased in its bootloader.
        EXPECT_NE(run.out.find(std::string("COM1: ") + kErasedLine), std::string::npos) << run.out;
        ExpectNothingLeft();
        for (const int port : {1, 2, 3}) StopDevice(port);
    }
}

TEST_F(UpdateEndToEnd, AProgrammerThatFloodsItsErrorsAndHangsIsEndedByTheLimitOnTime) {
    // In place of the adapter: 10 MB on standard error, then it waits, deaf to SIGTERM.
    fs::remove(dir_.file("norvixosp.exe"));
    WriteText(dir_.file("norvixosp.exe"),
              "#!/bin/sh\ntrap '' TERM\nhead -c 10000000 /dev/zero | tr '\\0' x >&2\n"
              "echo ' ***failed;' >&2\nexec sleep 600\n");
    fs::permissions(dir_.file("norvixosp.exe"), fs::perms::owner_all);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(RandomBytes(2000, 5)));
    StartDevice({{"--device", "solbed"}, false, ""});
    const double cpuBefore = ChildrenCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    const auto nvx = StartNvx({"update", "--port", "1", "--wait", "1", "--device", "solbed",
                               "SolBed_fw.hex"},
                              {}, {std::string(kProgrammerLimitVariable) + "=" +
                                   std::to_string(kShortLimitS)});
    const ProgramRun run = nvx->FinishWithin(kRunLimitMs);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double cpu = ChildrenCpuSeconds() - cpuBefore;
    EXPECT_EQ(run.status, 1) << run.out.substr(0, 2000);
    EXPECT_LT(seconds, kQuietRunEndsWithinS);
    EXPECT_LT(cpu, 0.5 * seconds) << cpu << " s CPU in " << seconds << " s";
    const Strings log = LogLines(run);
    EXPECT_TRUE(HoldsInOrder(log, {kTimedOut, kErasedLine, "E> Update aborted"}))
        << ::testing::PrintToString(log);
    // Its diagnostics were passed on only as far as they help.
    EXPECT_LT(run.out.size() + run.err.size(), 1024u * 1024) << "the flood was passed on";
    std::vector<pid_t> sims = {sims_[1]->pid()};
    EXPECT_EQ(ProcessesLeftIn(dir_.path(), sims), Strings{});
    StopDevice();
}

// ---- the automatic update of the monitor program

TEST_F(UpdateEndToEnd, TheMonitorsAutomaticUpdateEndsTheProgramWhenFinished) {
    ASSERT_FALSE(std::string(NVX_MONITOR_EXE).empty()) << "norvix-monitor is not built";
    const std::vector<uint8_t> image = RandomBytes(1300, 21);
    WriteText(dir_.file("SolReg_auto.hex"), HexImage(image));
    WriteMonitorSettings();
    StartDevice({{"--device", "solreg"}, false, ""});

    const ProgramRun run = Monitor({"/A", "/D", "solreg", "/P", dir_.file("SolReg_auto.hex"), "/W", "1"});
    // It ends by itself, and only after "I> Update finished".
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    StopDevice();
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
}

TEST_F(UpdateEndToEnd, TheMonitorsAutomaticUpdateHandsTheProgrammerItsArguments) {
    // The stand-in programmer records what the monitor gave it, without avrdude.
    ASSERT_FALSE(std::string(NVX_MONITOR_EXE).empty()) << "norvix-monitor is not built";
    fs::remove(dir_.file("norvixosp.exe"));
    fs::copy_file(NVX_STANDIN_PROGRAMMER, dir_.file("norvixosp.exe"));
    const std::string firmware = ":10000000A0A1A2A3A4A5A6A7A8A9AAABACADAEAF78\n:00000001FF\n";
    WriteText(dir_.file("SolReg_fw.hex"), firmware);
    WriteMonitorSettings();
    StartDevice({{"--row", "10"}, false, ""});

    const ProgramRun run =
        Monitor({"/A", "/C", "1", "/D", "SOLREG", "/P", dir_.file("SolReg_fw.hex"), "/W", "0"});
    EXPECT_EQ(run.status, 0) << run.err;
    StopDevice();

    EXPECT_EQ(ReadText(dir_.file("standin.log")),
              "run\narg avrosp.exe\narg -datmega64\narg -iftemp.ntf\narg -e\narg -pf\narg -D500\n"
              "arg -cCOM1\ncwd " + dir_.path() + "\nline 19200\nend\n");
    std::string input = ReadText(dir_.file("standin.input"));
    std::erase(input, '\r');
    EXPECT_EQ(input, firmware);
    EXPECT_FALSE(fs::exists(dir_.file("temp.ntf")));
}

// ---- the service record: versions, EEPROM backup, journal

// The digest by coreutils, not by the code under test.
std::string Sha256Sum(const std::string& path) {
    const ProgramRun run = RunProgram("/usr/bin/sha256sum", {"sha256sum", path}, "");
    return run.status == 0 ? run.out.substr(0, 64) : "sha256sum failed: " + run.err;
}

class ServiceRecordEndToEnd : public UpdateEndToEnd {
protected:
    std::vector<JournalRecord> Journal() {
        const JournalContents contents = ParseJournal(ReadText(dir_.file("service-journal.csv")));
        EXPECT_TRUE(contents.warnings.empty()) << contents.warnings.front();
        return contents.records;
    }

    static void ExpectWrittenBy(const JournalRecord& r, const char* program) {
        EXPECT_EQ(r.program, program);
        EXPECT_EQ(r.port.rfind("COM1 /dev/pts/", 0), 0u) << r.port;
        // Local time with its offset: 2026-12-10T17:02:55+01:00.
        ASSERT_EQ(r.time.size(), 25u) << r.time;
        EXPECT_EQ(r.time[10], 'T');
        EXPECT_EQ(r.time[22], ':');
    }
};

TEST_F(ServiceRecordEndToEnd, AnUpdateOfADirectRowLogsAndJournalsTheVersionsAround) {
    const std::vector<uint8_t> image = RandomBytes(900, 31);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solbed"}, false, ""});
    const ProgramRun run = Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed",
                                "--versions", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const Strings log = LogLines(run);
    ASSERT_GE(log.size(), 2u) << run.out;
    // The green display runs V 2.7 of week 14 of 2012; the new flash is the next build.
    EXPECT_EQ(log.front(), "I> Before: Application V 2.7, Build 12-14");
    EXPECT_EQ(log[log.size() - 2], "I> Update finished");
    EXPECT_EQ(log.back(), "I> Now: Application V 2.7, Build 12-15");

    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    const JournalRecord& r = journal[0];
    ExpectWrittenBy(r, "nvx");
    EXPECT_EQ(r.device, "green Display");
    EXPECT_EQ(r.operation, "firmware update");
    EXPECT_EQ(r.file, "SolBed_fw.hex");
    EXPECT_EQ(r.sha256, Sha256Sum(dir_.file("SolBed_fw.hex")));
    EXPECT_EQ(r.versionBefore, "Application V 2.7, Build 12-14");
    EXPECT_EQ(r.versionAfter, "Application V 2.7, Build 12-15");
    EXPECT_EQ(r.outcome, "I> Update finished");
    StopDevice();
}

TEST_F(ServiceRecordEndToEnd, ABackupFirstHoldsTheDevicesEepromAndIsJournalled) {
    const std::vector<uint8_t> image = RandomBytes(1200, 32);
    WriteText(dir_.file("SolGrb_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun run = Nvx({"update", "--port", "1", "--wait", "1", "--device", "solgrabed128",
                                "--backup", "SolGrb_fw.hex"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    StopDevice();

    const std::vector<std::string> backups = FileNames(dir_.file("backup"));
    ASSERT_EQ(backups.size(), 1u) << "nothing staged is left behind";
    const std::string& name = backups[0];
    // SolGrb-yyyymmdd-hhmmss.hex
    EXPECT_EQ(name.size(), std::string("SolGrb-20261210-170255.hex").size()) << name;
    EXPECT_EQ(name.rfind("SolGrb-", 0), 0u) << name;
    std::map<uint32_t, uint8_t> backup;
    ASSERT_TRUE(ParseHex(ReadText(dir_.file("backup/" + name)), backup));
    ASSERT_EQ(backup.size(), 4096u);
    const std::map<uint32_t, uint8_t> device = DeviceMemory("eeprom.out");
    EXPECT_TRUE(SameMemory(device, backup, RestartBookkeeping(device)));
    EXPECT_TRUE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));

    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].operation, "EEPROM read");
    EXPECT_EQ(journal[0].file, "backup/" + name);
    EXPECT_EQ(journal[0].sha256, Sha256Sum(dir_.file("backup/" + name)));
    EXPECT_EQ(journal[0].outcome, "I> Read Process finished");
    EXPECT_EQ(journal[1].operation, "firmware update");
    EXPECT_EQ(journal[1].outcome, "I> Update finished");
}

TEST_F(ServiceRecordEndToEnd, AnUpdateWhoseBackupFailsIsRefusedAndTheDeviceRunsOn) {
    // A file where the backup folder belongs: the image cannot be kept.
    WriteText(dir_.file("backup"), "in the way\n");
    const std::vector<uint8_t> image = RandomBytes(700, 33);
    WriteText(dir_.file("SolBed_fw.hex"), HexImage(image));
    StartDevice({{"--device", "solbed"}, false, ""});
    const ProgramRun run = Nvx({"update", "--port", "1", "--wait", "1", "--device", "solbed",
                                "--backup", "SolBed_fw.hex"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const Strings log = LogLines(run);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "E> Update not started: EEPROM backup failed") << run.out;
    EXPECT_EQ(std::count(log.begin(), log.end(), " > Bootloader started"), 1) << run.out;
    EXPECT_EQ(std::find(log.begin(), log.end(), " > Leaving Program Mode"), log.end()) << run.out;

    // Still running its old application.
    const ProgramRun version = Nvx({"kernel", "--port", "1", "version", "application"});
    EXPECT_EQ(version.status, 0) << version.out << version.err;
    EXPECT_NE(version.out.find("V 2.7, Build 12-14"), std::string::npos) << version.out;
    StopDevice();
    EXPECT_FALSE(SameMemory(BytesFrom(image), DeviceMemory("flash.out")));
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u) << "the backup's read, no update";
    EXPECT_EQ(journal[0].operation, "EEPROM read");
    EXPECT_EQ(journal[0].outcome, "E> Read Process aborted");
    EXPECT_EQ(journal[0].sha256, "");
}

TEST_F(ServiceRecordEndToEnd, EepromWritesAndKernelCommandsAreJournalledAndListed) {
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun read =
        Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device", "solgrabed128",
             "image.hex"});
    ASSERT_EQ(read.status, 0) << read.out << read.err;
    const ProgramRun write = Nvx({"eeprom", "write", "--port", "1", "--wait", "1", "--device",
                                  "solgrabed128", "--yes", "image.hex"});
    EXPECT_EQ(write.status, 0) << write.out << write.err;
    const ProgramRun clear = Nvx({"kernel", "--port", "1", "--yes", "EepromClear", "1"});
    EXPECT_EQ(clear.status, 0) << clear.out << clear.err;
    // Queries change nothing and stay out of the journal.
    ASSERT_EQ(Nvx({"kernel", "--port", "1", "BootNumber"}).status, 0);
    StopDevice();

    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0].operation, "EEPROM read");
    EXPECT_EQ(journal[0].file, "image.hex");
    EXPECT_EQ(journal[0].sha256, Sha256Sum(dir_.file("image.hex")));
    EXPECT_EQ(journal[1].operation, "EEPROM write");
    EXPECT_EQ(journal[1].device, "blue Display, 128K Memory, Version 2010 or newer");
    EXPECT_EQ(journal[1].sha256, Sha256Sum(dir_.file("image.hex")));
    EXPECT_EQ(journal[1].outcome, "I> Write Process finished");
    for (const JournalRecord& r : journal) ExpectWrittenBy(r, "nvx");
    EXPECT_EQ(journal[2].operation, "kernel EepromClear 1");
    EXPECT_EQ(journal[2].sha256, "");
    EXPECT_EQ(journal[2].outcome, "I> API Command OK");

    // The table: titles and rows start every column at the same place.
    const ProgramRun table = Nvx({"journal"});
    ASSERT_EQ(table.status, 0) << table.err;
    const Strings lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 4u) << table.out;
    const std::size_t operationAt = lines[0].find("operation");
    const std::size_t outcomeAt = lines[0].find("outcome");
    EXPECT_EQ(lines[1].find("EEPROM read"), operationAt) << table.out;
    EXPECT_EQ(lines[2].find("EEPROM write"), operationAt) << table.out;
    EXPECT_EQ(lines[3].find("kernel EepromClear 1"), operationAt) << table.out;
    EXPECT_EQ(lines[3].find("I> API Command OK"), outcomeAt) << table.out;
    // Filters: the key picks the EEPROM lines (the kernel line names no device); a later day none.
    EXPECT_EQ(Lines(Nvx({"journal", "--device", "solgrb"}).out).size(), 3u);
    EXPECT_EQ(Lines(Nvx({"journal", "--device", "SolBed"}).out).size(), 1u);
    EXPECT_EQ(Lines(Nvx({"journal", "--since", "2999-01-01"}).out).size(), 1u);
    EXPECT_EQ(Lines(Nvx({"journal", "--since", "2000-01-01"}).out).size(), 4u);
}

TEST_F(ServiceRecordEndToEnd, ADamagedJournalIsReadAroundAndAppendedTo) {
    WriteText(dir_.file("service-journal.csv"),
              JournalTitleLine() + "2026-01-01T10:00:00+01:00,nvx,\"COM1,broken\r\n");
    StartDevice({{"--device", "solbed"}, false, ""});
    EXPECT_EQ(Nvx({"kernel", "--port", "1", "Reset"}).status, 0);
    StopDevice();
    const ProgramRun table = Nvx({"journal"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.err.find("line 2 skipped: quote not closed"), std::string::npos) << table.err;
    const Strings lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 2u) << table.out;
    EXPECT_NE(lines[1].find("kernel Reset"), std::string::npos);
}

TEST_F(ServiceRecordEndToEnd, AJournalThatCannotBeWrittenIsAWarningAndTheCommandKeepsItsOutcome) {
    fs::create_directory(dir_.file("service-journal.csv"));
    StartDevice({{"--device", "solbed"}, false, ""});
    const ProgramRun run = Nvx({"kernel", "--port", "1", "Reboot"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LogLines(run), Strings{"I> API Command OK"}) << run.out;
    EXPECT_EQ(run.err,
              "nvx: warning: service journal not written: service-journal.csv: not a regular file\n");
    StopDevice();
}

// A journal written by any program (or by hand) shows on a terminal as text: no byte of a field
// moves the cursor or starts a sequence, every column starts where its title does, and fields
// stored for a spreadsheet's sake read as written.
TEST(JournalCommand, FieldsShowAsTextInTheirColumns) {
    ScratchDir dir("journal-table");
    JournalRecord a{"2026-12-10T17:02:55+01:00", "nvx", "COM1\t/dev/pts/3", "panel",
                    "firmware update", "\x1B[2Jfw\b\b.hex", "", "", "", "I> Update finished"};
    JournalRecord b = a;
    b.port = "COM12 /dev/ttyUSB0";
    b.file = "=1+2,cmd|calc!A0.hex";
    b.versionBefore = "Application V 3.1, Build 14-09";
    WriteText(dir.file("service-journal.csv"),
              JournalTitleLine() + EncodeJournalLine(a) + EncodeJournalLine(b));
    const ProgramRun run = RunProgram(NVX_CLI_EXE, {"nvx", "journal"}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char c : run.out)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
    const Strings lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[1].find("COM1\\x09/dev/pts/3  "), lines[0].find("port")) << run.out;
    EXPECT_EQ(lines[1].find("panel"), lines[0].find("device")) << run.out;
    EXPECT_EQ(lines[1].find("\\x1B[2Jfw\\x08\\x08.hex"), lines[0].find("file")) << run.out;
    EXPECT_EQ(lines[2].find("panel"), lines[0].find("device")) << run.out;
    EXPECT_EQ(lines[2].find("=1+2,cmd|calc!A0.hex"), lines[0].find("file")) << run.out;
    EXPECT_EQ(lines[2].find("Application V 3.1"), lines[0].find("version before")) << run.out;
}

// ---- the command line itself

TEST(UpdateCommandLine, WrongUsageIsRefusedBeforeAnythingStarts) {
    struct Case {
        Strings args;
        const char* reason;
    };
    const Case cases[] = {
        {{"update", "fw.hex"}, "no device given"},
        {{"update", "--device", "solbed"}, "no file given"},
        {{"update", "--device", "solgrb", "SolGrb.hex"}, "no device word"},
        {{"update", "--row", "9", "x.hex"}, "no device row"},
        {{"update", "--row", "35", "x.hex"}, "no device row"},
        {{"update", "--device", "solbed", "--row", "3", "x.hex"}, "give the device once"},
        {{"update", "--device", "solbed", "a.hex", "b.hex"}, "one file only"},
        {{"update", "--device", "solbed", "--manual", "--auto", "a.hex"}, "exclude each other"},
        {{"update", "--device", "solbed", "--wait", "x", "a.hex"}, "--wait"},
        {{"update", "--device", "solbed", "--port", "0", "a.hex"}, "--port"},
        {{"update", "--device", "solbed", "--yes", "a.hex"}, "unknown option --yes"},
        {{"eeprom", "read", "--device", "solbed", "--versions", "a.hex"},
         "unknown option --versions"},
        {{"eeprom", "--device", "solbed", "a.hex"}, "read or write"},
        {{"eeprom", "write", "--device", "solbed", "a.hex"}, "needs --yes"},
        {{"eeprom", "read", "--port", "1,2", "--device", "solbed", "a.hex"}, "{port}"},
        {{"update", "--port", "1,2", "--port", "2", "--device", "solbed", "a.hex"}, "given twice"},
        {{"update", "--port", "1,,2", "--device", "solbed", "a.hex"}, "--port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Strings argv = {"nvx"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProgramRun run = RunProgram(NVX_CLI_EXE, argv, "");
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// The image goes to the FIFO's reader once; the journal's digest is of what was written, and the
// command ends rather than wait to read the FIFO again.
TEST_F(ServiceRecordEndToEnd, AnEepromReadIntoAFifoEndsAndJournalsWhatItWrote) {
    const std::string fifo = dir_.file("image.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened before the run, so the write finds its reader; the 4 KB image fits the pipe.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    StartDevice({{"--device", "solgrabed128"}, false, ""});
    const ProgramRun run = Nvx({"eeprom", "read", "--port", "1", "--wait", "1", "--device",
                                "solgrabed128", "image.fifo"});
    StopDevice();
    std::string image;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) image.append(buffer, n);
    ::close(reader);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LogLines(run).back(), "I> Read Process finished") << run.out;
    std::map<uint32_t, uint8_t> read;
    ASSERT_TRUE(ParseHex(image, read));
    EXPECT_EQ(read.size(), 4096u);
    WriteText(dir_.file("received.hex"), image);
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].file, "image.fifo");
    EXPECT_EQ(journal[0].sha256, Sha256Sum(dir_.file("received.hex")));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(UpdateCommandLine, APortThatWillNotOpenIsNamedWithItsDeviceAndTheSystemsReason) {
    const ProgramRun run = RunProgram(NVX_CLI_EXE, {"nvx", "kernel", "--port", "9", "test"}, "",
                                      {"NORVIX_COM9=/nonexistent-nvx/tty9"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error open COM9:\n/nonexistent-nvx/tty9: No such file or directory"),
              std::string::npos)
        << run.err;
}

TEST(UpdateCommandLine, HelpNamesTheOptions) {
    for (const Strings& args : {Strings{"update", "--help"}, Strings{"eeprom", "--help"}}) {
        Strings argv = {"nvx"};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProgramRun run = RunProgram(NVX_CLI_EXE, argv, "");
        EXPECT_EQ(run.status, 0);
        for (const char* option :
             {"--port", "--device", "--row", "--manual", "--wait", "--yes", "--versions"})
            EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace nvx::test
