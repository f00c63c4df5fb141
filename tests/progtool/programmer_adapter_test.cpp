// The programmer adapter: its arguments, the part descriptions, what it asks of avrdude, how it
// reads avrdude's progress, and the whole program against a played system and as a real process
// with a stand-in avrdude.

#include <gtest/gtest.h>

#include <chrono>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "progtool/adapter/programmer_adapter.h"
#include "progtool/adapter_e2e_support.h"

namespace nvx::adapter {
namespace {

using Strings = std::vector<std::string>;

std::string Fixture(const std::string& name) {
    return test::ReadText(std::string(NVX_FIXTURES_DIR) + "/progtool/adapter/" + name);
}

// ---- arguments

TEST(AdapterArguments, TheToolsArgumentListsParse) {
    struct Case {
        Strings args;
        AdapterRequest want;
    };
    AdapterRequest flash;
    flash.part = "atmega644p";
    flash.flashFile = "temp.ntf";
    flash.erase = true;
    flash.programFlash = true;
    flash.delayMs = 0;
    flash.comPort = 3;
    AdapterRequest flashDelayed = flash;
    flashDelayed.part = "atmega64";
    flashDelayed.delayMs = 500;
    flashDelayed.comPort = 1;
    AdapterRequest write;
    write.part = "atmega1284p";
    write.eepromInFile = "temp.hex";
    write.programEeprom = true;
    write.comPort = 12;
    AdapterRequest read;
    read.part = "atxmega128d3";
    read.eepromOutFile = "temp.hex";
    read.readEeprom = true;
    read.comPort = 256;
    const Case cases[] = {
        {{"-datmega644p", "-iftemp.ntf", "-e", "-pf", "-D0", "-cCOM3"}, flash},
        {{"-datmega64", "-iftemp.ntf", "-e", "-pf", "-D500", "-cCOM1"}, flashDelayed},
        {{"-datmega1284p", "-ietemp.hex", "-pe", "-cCOM12"}, write},
        {{"-datxmega128d3", "-oetemp.hex", "-re", "-cCOM256"}, read},
        // The order is the tool's, but nothing depends on it.
        {{"-cCOM256", "-re", "-oetemp.hex", "-datxmega128d3"}, read},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        AdapterRequest got;
        std::string error;
        ASSERT_TRUE(ParseAdapterArguments(c.args, got, error)) << error;
        EXPECT_EQ(got.part, c.want.part);
        EXPECT_EQ(got.flashFile, c.want.flashFile);
        EXPECT_EQ(got.eepromInFile, c.want.eepromInFile);
        EXPECT_EQ(got.eepromOutFile, c.want.eepromOutFile);
        EXPECT_EQ(got.erase, c.want.erase);
        EXPECT_EQ(got.programFlash, c.want.programFlash);
        EXPECT_EQ(got.programEeprom, c.want.programEeprom);
        EXPECT_EQ(got.readEeprom, c.want.readEeprom);
        EXPECT_EQ(got.delayMs, c.want.delayMs);
        EXPECT_EQ(got.comPort, c.want.comPort);
        EXPECT_FALSE(got.help);
    }
}

TEST(AdapterArguments, WrongListsAreRefusedWithTheReason) {
    struct Case {
        Strings args;
        const char* reason;  // part of the message
    };
    const Case cases[] = {
        {{}, "no part"},
        {{"-iftemp.ntf", "-pf", "-cCOM1"}, "no part"},
        {{"-datmega64", "-iftemp.ntf", "-pf"}, "no port"},
        {{"-datmega64", "-pf", "-cCOM1"}, "-pf needs -if"},
        {{"-datmega64", "-iftemp.ntf", "-cCOM1"}, "-if<file> given without -pf"},
        {{"-datmega64", "-ietemp.hex", "-cCOM1"}, "-ie<file> given without -pe"},
        {{"-datmega64", "-re", "-cCOM1"}, "-re needs -oe"},
        {{"-datmega64", "-cCOM1"}, "nothing to do"},
        {{"-datmega64", "-D0", "-cCOM1"}, "nothing to do"},
        {{"-datmega64", "-e", "-e", "-cCOM1"}, "-e given twice"},
        {{"-datmega64", "-datmega32", "-e", "-cCOM1"}, "-d given twice"},
        {{"-datmega64", "-e", "-cCOM1", "-cCOM2"}, "-c given twice"},
        {{"-datmega64", "-e", "-D0", "-D500", "-cCOM1"}, "-D given twice"},
        {{"-datmega64", "-e", "-cCOM0"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-cCOM257"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-cCOM99999999999999999999"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-cCOM"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-cLPT1"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-cCOM-1"}, "COM1 to COM256"},
        {{"-datmega64", "-e", "-Dfast", "-cCOM1"}, "-D needs milliseconds"},
        {{"-datmega64", "-e", "-D-5", "-cCOM1"}, "-D needs milliseconds"},
        {{"-datmega64", "-e", "-D60001", "-cCOM1"}, "-D needs milliseconds"},
        {{"-d../etc/passwd", "-e", "-cCOM1"}, "part name"},
        {{"-d", "-e", "-cCOM1"}, "part name"},
        {{"-datmega64", "-ifC:temp.ntf", "-pf", "-cCOM1"}, "without ':'"},
        {{"-datmega64", "-if-U", "-pf", "-cCOM1"}, "without ':'"},
        {{"-datmega64", "-if", "-pf", "-cCOM1"}, "without ':'"},
        {{"-datmega64", "-e", "-x", "-cCOM1"}, "unknown option \"-x\""},
        {{"-datmega64", "-e", "temp.ntf", "-cCOM1"}, "unexpected argument \"temp.ntf\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        AdapterRequest got;
        std::string error;
        EXPECT_FALSE(ParseAdapterArguments(c.args, got, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST(AdapterArguments, HelpNeedsNothingElse) {
    for (const char* h : {"-?", "-h", "--help"}) {
        AdapterRequest got;
        std::string error;
        EXPECT_TRUE(ParseAdapterArguments({h}, got, error)) << h;
        EXPECT_TRUE(got.help) << h;
    }
}

// ---- part descriptions

TEST(AdapterPartDescription, EveryShippedDescriptionNamesItsAvrdudePart) {
    // avrdude's own short names of the chips of the device list.
    const std::map<std::string, std::string> expected = {
        {"atmega64", "m64"},       {"atmega644p", "m644p"}, {"atmega1284p", "m1284p"},
        {"atxmega128d3", "x128d3"}, {"atmega168p", "m168p"}, {"atmega324p", "m324p"},
        {"atmega32", "m32"},
    };
    for (const auto& [chip, id] : expected) {
        SCOPED_TRACE(chip);
        const std::string xml =
            test::ReadText(std::string(NVX_SOURCE_DIR) + "/devices/" + chip + ".xml");
        ASSERT_FALSE(xml.empty());
        std::string got, error;
        EXPECT_TRUE(ReadAvrdudePartId(xml, got, error)) << error;
        EXPECT_EQ(got, id);
    }
}

TEST(AdapterPartDescription, ReadsTheElementAndRefusesWhatIsNoPartId) {
    struct Case {
        const char* xml;
        const char* id;      // nullptr: refused
        const char* reason;  // part of the message when refused
    };
    const Case cases[] = {
        {"<part><avrdudePart>m64</avrdudePart></part>", "m64", nullptr},
        {"<part>\n  <avrdudePart>\n    m644p \r\n  </avrdudePart>\n</part>", "m644p", nullptr},
        {"<!-- <avrdudePart>m32</avrdudePart> --><part><avrdudePart>m64</avrdudePart></part>",
         "m64", nullptr},
        {"<part><name>ATmega64</name></part>", nullptr, "no <avrdudePart>"},
        {"<!-- <avrdudePart>m32</avrdudePart> --><part/>", nullptr, "no <avrdudePart>"},
        {"<part><!-- never closed <avrdudePart>m64</avrdudePart></part>", nullptr, "comment"},
        {"<part><avrdudePart>m64</part>", nullptr, "not closed"},
        {"<part><avrdudePart></avrdudePart></part>", nullptr, "no part id"},
        {"<part><avrdudePart>m64 -U flash:r:x</avrdudePart></part>", nullptr, "no part id"},
        {"<part><avrdudePart>m64</avrdudePart><avrdudePart>m32</avrdudePart></part>", nullptr,
         "more than one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        std::string got = "unchanged", error;
        const bool ok = ReadAvrdudePartId(c.xml, got, error);
        if (c.id) {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(got, c.id);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(got, "unchanged");
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        }
    }
}

// ---- avrdude's arguments

TEST(AdapterAvrdudeArguments, EachOperationGetsItsMemoryOperation) {
    std::string error;
    struct Case {
        Strings args;
        Strings want;
    };
    const Strings common = {"avrdude", "-c", "avr109", "-P", "/dev/pts/7", "-b", "38400",
                            "-p", "m644p"};
    auto with = [&](Strings tail) {
        Strings v = common;
        v.insert(v.end(), tail.begin(), tail.end());
        return v;
    };
    const Case cases[] = {
        {{"-datmega644p", "-iftemp.ntf", "-e", "-pf", "-D0", "-cCOM1"},
         with({"-e", "-U", "flash:w:temp.ntf:i"})},
        {{"-datmega644p", "-ietemp.hex", "-pe", "-cCOM1"}, with({"-U", "eeprom:w:temp.hex:i"})},
        {{"-datmega644p", "-oetemp.hex", "-re", "-cCOM1"},
         with({"-A", "-U", "eeprom:r:temp.hex:i"})},
        {{"-datmega644p", "-e", "-cCOM1"}, with({"-e"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        AdapterRequest request;
        ASSERT_TRUE(ParseAdapterArguments(c.args, request, error)) << error;
        EXPECT_EQ(AvrdudeArguments("avrdude", request, "/dev/pts/7", 38400, "m644p"), c.want);
    }
}

// ---- progress

struct Fed {
    std::vector<int> percents;
    Strings messages;
};

Fed FeedInChunks(const std::string& output, int expectedBars, std::size_t chunk) {
    AvrdudeProgress progress(expectedBars);
    Fed fed;
    for (std::size_t at = 0; at < output.size(); at += chunk) {
        const std::vector<int> got =
            progress.Feed(std::string_view(output).substr(at, chunk), fed.messages);
        fed.percents.insert(fed.percents.end(), got.begin(), got.end());
    }
    progress.Flush(fed.messages);
    return fed;
}

bool StrictlyRising(const std::vector<int>& v) {
    return std::adjacent_find(v.begin(), v.end(), [](int a, int b) { return b <= a; }) == v.end();
}

TEST(AdapterProgress, BarsWithoutATerminalGiveOnePercentPerMark) {
    // avrdude writing 2000 bytes and reading them back, standard error on a pipe.
    const std::string output = Fixture("avrdude_flash_write.txt");
    ASSERT_FALSE(output.empty());
    std::vector<int> everyPercent;
    for (int p = 1; p <= 100; ++p) everyPercent.push_back(p);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, output.size()}) {
        SCOPED_TRACE(chunk);
        const Fed fed = FeedInChunks(output, 2, chunk);
        EXPECT_EQ(fed.percents, everyPercent);
        // Every line but the bars and the blank ones, as avrdude wrote it.
        EXPECT_EQ(fed.messages.size(), 11u);
        EXPECT_EQ(fed.messages.front(), "avrdude: AVR device initialized and ready to accept instructions");
        EXPECT_EQ(fed.messages.back(), "avrdude done.  Thank you.");
        for (const std::string& m : fed.messages) {
            EXPECT_EQ(m.find('#'), std::string::npos) << m;
            EXPECT_FALSE(m.empty());
        }
    }
}

TEST(AdapterProgress, RedrawnBarsOnATerminalAreReadByTheirFigure) {
    const std::string output = Fixture("avrdude_flash_write_tty.txt");
    ASSERT_FALSE(output.empty());
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{13}, output.size()}) {
        SCOPED_TRACE(chunk);
        const Fed fed = FeedInChunks(output, 2, chunk);
        ASSERT_FALSE(fed.percents.empty());
        EXPECT_TRUE(StrictlyRising(fed.percents));
        EXPECT_EQ(fed.percents.back(), 100);
        // The write bar ends half way through the whole.
        EXPECT_NE(std::find(fed.percents.begin(), fed.percents.end(), 50), fed.percents.end());
        for (const std::string& m : fed.messages) {
            EXPECT_EQ(m.find(" | "), std::string::npos) << m;
        }
        EXPECT_EQ(fed.messages.back(), "avrdude done.  Thank you.");
    }
}

TEST(AdapterProgress, PhasesShareTheWholeAndNeverGoBack) {
    struct Case {
        std::string output;
        int expectedBars;
        std::vector<int> want;
    };
    const std::string fullRead = "\nReading | " + std::string(50, '#') + " | 100% 0.07s\n\n";
    std::vector<int> evenSteps;
    for (int p = 2; p <= 100; p += 2) evenSteps.push_back(p);
    const Case cases[] = {
        // One bar is the whole job: each mark is 2 %.
        {fullRead, 1, evenSteps},
        // A bar more than expected stays at 100.
        {fullRead + fullRead, 1, evenSteps},
        // Four bars (flash and EEPROM written and verified): a quarter each.
        {fullRead + fullRead + fullRead + fullRead, 4, {}},
        // A terminal redraw that goes back does not take the progress back.
        {"\rWriting | " + std::string(20, '#') + std::string(30, ' ') + " | 40% 0.1s" +
             "\rWriting | " + std::string(15, '#') + std::string(35, ' ') + " | 30% 0.1s" +
             "\rWriting | " + std::string(30, '#') + std::string(20, ' ') + " | 60% 0.2s",
         1, std::vector<int>(evenSteps.begin(), evenSteps.begin() + 30)},
        // Nothing for a job without bars.
        {fullRead, 0, {}},
    };
    for (const Case& c : cases) {
        const Fed fed = FeedInChunks(c.output, c.expectedBars, 3);
        if (c.expectedBars == 4) {
            EXPECT_TRUE(StrictlyRising(fed.percents));
            ASSERT_EQ(fed.percents.size(), 100u);
            EXPECT_EQ(fed.percents[24], 25);
            EXPECT_EQ(fed.percents.back(), 100);
        } else {
            EXPECT_EQ(fed.percents, c.want);
        }
    }
}

TEST(AdapterProgress, ABarCutShortByAMessageIsPassedOn) {
    const std::string output =
        "\nWriting | #####avrdude error: programmer is not responding\n"
        "avrdude error: initialization failed, rc=-1\n";
    const Fed fed = FeedInChunks(output, 1, 5);
    EXPECT_EQ(fed.percents, (std::vector<int>{2, 4, 6, 8, 10}));
    EXPECT_EQ(fed.messages, (Strings{"Writing | #####avrdude error: programmer is not responding",
                                     "avrdude error: initialization failed, rc=-1"}));
}

TEST(AdapterProgress, LineEndsBecomeCrLf) {
    EXPECT_EQ(WithCrLf(":00000001FF\n"), ":00000001FF\r\n");
    EXPECT_EQ(WithCrLf(":0A\r\n:0B\n\n"), ":0A\r\n:0B\r\n\r\n");
    EXPECT_EQ(WithCrLf("\n"), "\r\n");
    EXPECT_EQ(WithCrLf(""), "");
}

// ---- the program against a played system

struct PlayedSystem {
    std::map<uint32_t, std::string> ports = {{1, "/dev/pts/9"}};
    std::map<std::string, uint32_t> speeds = {{"/dev/pts/9", 38400}};
    std::map<std::string, std::string> files = {
        {"atmega64.xml", "<part><avrdudePart>m64</avrdudePart></part>"}};
    int avrdudeStatus = 0;           // -1: cannot be started
    std::string avrdudeOutput;       // handed over in one piece
    std::function<void()> avrdudeDoes;  // plays avrdude's effect on files
    Strings events;                  // "delay N", "run", in order
    Strings avrdudeArgv;
    Strings out, err;

    AdapterSystem Make() {
        AdapterSystem s;
        s.resolvePort = [this](uint32_t port) {
            const auto it = ports.find(port);
            return it == ports.end() ? std::string() : it->second;
        };
        s.lineSpeed = [this](const std::string& path, uint32_t& baud, std::string& error) {
            const auto it = speeds.find(path);
            if (it == speeds.end()) {
                error = "No such file or directory";
                return false;
            }
            baud = it->second;
            return true;
        };
        s.readFile = [this](const std::string& path, std::string& text) {
            const auto it = files.find(path);
            if (it == files.end()) return false;
            text = it->second;
            return true;
        };
        s.writeFile = [this](const std::string& path, const std::string& text, std::string&) {
            files[path] = text;
            return true;
        };
        s.delay = [this](uint32_t ms) { events.push_back("delay " + std::to_string(ms)); };
        s.runAvrdude = [this](const Strings& argv,
                              const std::function<void(std::string_view)>& output,
                              std::string& error) {
            events.push_back("run");
            avrdudeArgv = argv;
            if (avrdudeStatus == kAvrdudePortHungUp) {
                error = "the port hung up";
                return kAvrdudePortHungUp;
            }
            if (avrdudeStatus < 0) {
                error = "No such file or directory";
                return -1;
            }
            if (avrdudeDoes) avrdudeDoes();
            output(avrdudeOutput);
            return avrdudeStatus;
        };
        s.standardOutput = [this](const std::string& line) { out.push_back(line); };
        s.standardError = [this](const std::string& line) { err.push_back(line); };
        return s;
    }

    int Run(const Strings& args) { return RunAdapter(args, Make()); }
};

const Strings kFlashArgs = {"-datmega64", "-iftemp.ntf", "-e", "-pf", "-D0", "-cCOM1"};

TEST(AdapterProgram, AFlashWriteRunsAvrdudeOnTheResolvedPortAtItsSpeed) {
    PlayedSystem sys;
    sys.speeds["/dev/pts/9"] = 19200;
    sys.avrdudeOutput = Fixture("avrdude_flash_write.txt");
    EXPECT_EQ(sys.Run(kFlashArgs), 0);
    EXPECT_EQ(sys.avrdudeArgv, (Strings{"avrdude", "-c", "avr109", "-P", "/dev/pts/9", "-b",
                                        "19200", "-p", "m64", "-e", "-U", "flash:w:temp.ntf:i"}));
    ASSERT_EQ(sys.out.size(), 101u);
    for (int p = 0; p <= 100; ++p) EXPECT_EQ(sys.out[static_cast<size_t>(p)], "PROGRESS " + std::to_string(p));
    // A run that worked says nothing else.
    EXPECT_TRUE(sys.err.empty()) << ::testing::PrintToString(sys.err);
}

TEST(AdapterProgram, TheDelayComesBeforeAvrdudeAndOnlyWhenAskedFor) {
    struct Case {
        const char* option;
        Strings events;
    };
    const Case cases[] = {
        {"-D500", {"delay 500", "run"}},
        {"-D0", {"run"}},
        {"-D20", {"delay 20", "run"}},
    };
    for (const Case& c : cases) {
        PlayedSystem sys;
        EXPECT_EQ(sys.Run({"-datmega64", "-iftemp.ntf", "-e", "-pf", c.option, "-cCOM1"}), 0);
        EXPECT_EQ(sys.events, c.events) << c.option;
    }
}

TEST(AdapterProgram, WithoutAvrdudesOutputTheEndStillReportsTheWhole) {
    PlayedSystem sys;
    EXPECT_EQ(sys.Run(kFlashArgs), 0);
    EXPECT_EQ(sys.out, (Strings{"PROGRESS 0", "PROGRESS 100"}));
}

TEST(AdapterProgram, FailuresEndWithTheirStatusAndAReason) {
    struct Case {
        const char* name;
        std::function<void(PlayedSystem&)> setUp;
        Strings args;
        int status;
        const char* reason;
        bool avrdudeRuns;
    };
    const Case cases[] = {
        {"wrong arguments", [](PlayedSystem&) {}, {"-datmega64", "-pf", "-cCOM1"}, kExitUsage,
         "-pf needs -if", false},
        {"port resolves to nothing", [](PlayedSystem& s) { s.ports.clear(); }, kFlashArgs,
         kExitSetup, "COM1 leads to no device", false},
        {"port cannot be opened", [](PlayedSystem& s) { s.speeds.clear(); }, kFlashArgs,
         kExitSetup, "COM1 (/dev/pts/9): No such file or directory", false},
        {"no part description", [](PlayedSystem& s) { s.files.clear(); }, kFlashArgs,
         kExitSetup, "atmega64.xml", false},
        {"description without id",
         [](PlayedSystem& s) { s.files["atmega64.xml"] = "<part><name>x</name></part>"; },
         kFlashArgs, kExitSetup, "no <avrdudePart>", false},
        {"avrdude missing", [](PlayedSystem& s) { s.avrdudeStatus = -1; }, kFlashArgs,
         kExitNotStarted, "cannot start avrdude: No such file or directory", true},
        {"avrdude fails",
         [](PlayedSystem& s) {
             s.avrdudeStatus = 1;
             s.avrdudeOutput =
                 "\navrdude error: programmer is not responding\n"
                 "avrdude error: initialization failed, rc=-1\n"
                 "        - double check the connections and try again\n"
                 "avrdude error: programmer did not respond to command: exit bootloader\n"
                 "\navrdude done.  Thank you.\n\n";
         },
         kFlashArgs, 1, "avrdude ended with status 1: programmer is not responding", true},
        {"avrdude killed", [](PlayedSystem& s) { s.avrdudeStatus = 128 + 9; }, kFlashArgs,
         128 + 9, "status 137", true},
        {"port hung up", [](PlayedSystem& s) { s.avrdudeStatus = kAvrdudePortHungUp; },
         kFlashArgs, kExitPortHungUp, "COM1 (/dev/pts/9): the port hung up, avrdude ended", true},
        {"read left no image", [](PlayedSystem&) {},
         {"-datmega64", "-oetemp.hex", "-re", "-cCOM1"}, kExitSetup, "left no temp.hex", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlayedSystem sys;
        c.setUp(sys);
        EXPECT_EQ(sys.Run(c.args), c.status);
        // The last line is the reason: the one line the tool passes on to its log.
        ASSERT_FALSE(sys.err.empty());
        EXPECT_NE(sys.err.back().find(c.reason), std::string::npos)
            << ::testing::PrintToString(sys.err);
        EXPECT_EQ(!sys.events.empty(), c.avrdudeRuns);
        // Only a run that worked reports the whole job done.
        EXPECT_EQ(std::count(sys.out.begin(), sys.out.end(), "PROGRESS 100"), 0);
    }
}

TEST(AdapterProgram, AFloodOfFailedBlocksIsReportedByItsFirstErrorAndItsLastLines) {
    // A device that stops answering mid-write: avrdude fails once per block it cannot write.
    PlayedSystem sys;
    sys.avrdudeStatus = 1;
    sys.avrdudeOutput = "avrdude error: programmer is not responding\n";
    const int blocks = 200000;
    for (int b = 0; b < blocks; ++b) sys.avrdudeOutput += " ***failed;\n";
    sys.avrdudeOutput += "avrdude error: programmer did not respond to command: exit bootloader\n";
    EXPECT_EQ(sys.Run(kFlashArgs), 1);
    ASSERT_LE(sys.err.size(), KeptMessages::kKeptLastLines + 3) << "passed on without limit";
    EXPECT_EQ(sys.err.front(), "avrdude error: programmer is not responding");
    EXPECT_EQ(sys.err[1], "[" + std::to_string(blocks + 1 - KeptMessages::kKeptLastLines) +
                              " more lines of avrdude left out]");
    EXPECT_EQ(sys.err[sys.err.size() - 2],
              "avrdude error: programmer did not respond to command: exit bootloader");
    EXPECT_EQ(sys.err.back(),
              "norvixosp: avrdude ended with status 1: programmer is not responding");
}

TEST(AdapterKeptMessages, FewLinesAreKeptWholeAndTheCauseIsNeverLost) {
    struct Case {
        const char* name;
        int before;  // plain lines before the error
        int after;   // plain lines after it
        Strings first;  // the first lines of the report
    };
    const Case cases[] = {
        {"all fit", 2, 3, {"a0", "a1", "avrdude error: x", "b0"}},
        {"the error among the last", 50, 5, {"[36 more lines of avrdude left out]", "a36"}},
        {"the error before the last", 3, 30,
         {"avrdude error: x", "[13 more lines of avrdude left out]", "b10"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeptMessages kept;
        for (int i = 0; i < c.before; ++i) kept.Add("a" + std::to_string(i));
        kept.Add("avrdude error: x");
        for (int i = 0; i < c.after; ++i) kept.Add("b" + std::to_string(i));
        const Strings lines = kept.Lines();
        ASSERT_GE(lines.size(), c.first.size());
        EXPECT_EQ(Strings(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(c.first.size())),
                  c.first);
        EXPECT_EQ(lines.back(), c.after > 0 ? "b" + std::to_string(c.after - 1) : "avrdude error: x");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "avrdude error: x"), 1);
    }
}

TEST(AdapterProgram, AnEepromImageReadIsLeftWithCrLfLineEnds) {
    PlayedSystem sys;
    sys.avrdudeDoes = [&] { sys.files["temp.hex"] = ":020000000102FB\n:00000001FF\n"; };
    EXPECT_EQ(sys.Run({"-datmega64", "-oetemp.hex", "-re", "-cCOM1"}), 0);
    EXPECT_EQ(sys.files["temp.hex"], ":020000000102FB\r\n:00000001FF\r\n");
    EXPECT_EQ(sys.out.back(), "PROGRESS 100");
}

TEST(AdapterProgram, HelpGoesToStandardOutput) {
    PlayedSystem sys;
    EXPECT_EQ(sys.Run({"--help"}), 0);
    ASSERT_EQ(sys.out.size(), 1u);
    EXPECT_EQ(sys.out[0], kAdapterUsage);
    EXPECT_TRUE(sys.events.empty());
}

// ---- the program as a process, with a stand-in avrdude

std::string AdapterPath() { return NVX_ADAPTER_EXE; }

// A script in place of avrdude: records its arguments, draws one bar, and ends as told.
void WriteStandInAvrdude(const std::string& path, const std::string& body) {
    test::WriteText(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

class AdapterProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(slave_, &t), 0);
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B19200);
        ::cfsetospeed(&t, B19200);
        ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &t), 0);
        char name[128];
        ASSERT_EQ(::ttyname_r(slave_, name, sizeof name), 0);
        slavePath_ = name;
        std::filesystem::create_symlink(slavePath_, dir_.file("com4"));
        test::WriteText(dir_.file("atmega324p.xml"),
                        "<part>\n  <avrdudePart>m324p</avrdudePart>\n</part>\n");
    }
    void TearDown() override {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }

    test::ProgramRun Run(const Strings& args) {
        Strings argv = {"avrosp.exe"};
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunProgram(AdapterPath(), argv, dir_.path(),
                                {"NORVIX_AVRDUDE=" + dir_.file("avrdude.sh")});
    }

    test::ScratchDir dir_{"adapter"};
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

TEST_F(AdapterProcess, PassesThePortLinkAndItsSpeedAndEndsWithAvrdudesStatus) {
    WriteStandInAvrdude(dir_.file("avrdude.sh"),
                        "printf '%s\\n' \"$@\" > args.txt\n"
                        "printf '\\nWriting | ' >&2\n"
                        "printf '##########' >&2\n"
                        "echo 'avrdude error: verification mismatch' >&2\n"
                        "exit 3\n");
    const test::ProgramRun run =
        Run({"-datmega324p", "-ietemp.hex", "-pe", "-cCOM4"});
    EXPECT_EQ(run.status, 3);
    const std::string args = test::ReadText(dir_.file("args.txt"));
    EXPECT_EQ(args, "-c\navr109\n-P\n" + dir_.file("com4") +
                        "\n-b\n19200\n-p\nm324p\n-U\neeprom:w:temp.hex:i\n");
    // Standard output holds progress lines only; the failure's words are on standard error.
    // Ten marks of the first of two bars: a tenth of the whole, one percent a mark.
    std::string progress;
    for (int p = 0; p <= 10; ++p) progress += "PROGRESS " + std::to_string(p) + "\n";
    EXPECT_EQ(run.out, progress);
    EXPECT_NE(run.err.find("avrdude error: verification mismatch"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("status 3"), std::string::npos) << run.err;
}

TEST_F(AdapterProcess, ALineWithoutSpeedIsRefusedBeforeAvrdudeRuns) {
    termios t{};
    ASSERT_EQ(::tcgetattr(slave_, &t), 0);
    ::cfsetospeed(&t, B0);
    ::cfsetispeed(&t, B0);
    ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &t), 0);
    WriteStandInAvrdude(dir_.file("avrdude.sh"), "touch ran.txt\n");
    const test::ProgramRun run = Run({"-datmega324p", "-ietemp.hex", "-pe", "-cCOM4"});
    EXPECT_EQ(run.status, kExitSetup);
    EXPECT_NE(run.err.find("no line speed"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("ran.txt")));
}

TEST_F(AdapterProcess, EndingTheAdapterEndsAvrdudeToo) {
    // The stand-in tells the test its process id through a FIFO, then waits for ever.
    const std::string fifo = dir_.file("started");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WriteStandInAvrdude(dir_.file("avrdude.sh"), "echo $$ > started\nexec tail -f /dev/null\n");
    Strings argv = {"avrosp.exe", "-datmega324p", "-ietemp.hex", "-pe", "-cCOM4"};
    test::Child adapter(AdapterPath(), argv, dir_.path(),
                        {"NORVIX_AVRDUDE=" + dir_.file("avrdude.sh")});
    ASSERT_TRUE(adapter.started());
    const std::string pidText = test::ReadText(fifo);  // blocks until the stand-in runs
    const pid_t avrdude = static_cast<pid_t>(std::stol(pidText));
    ASSERT_GT(avrdude, 0);
    ASSERT_EQ(::kill(avrdude, 0), 0);

    adapter.Signal(SIGTERM);
    const test::ProgramRun run = adapter.Finish();
    EXPECT_EQ(run.status, 128 + SIGTERM);
    // The adapter has reaped it: no process of that id is left to hold the port.
    EXPECT_NE(::kill(avrdude, 0), 0);
}

TEST_F(AdapterProcess, AnAvrdudeDeafToSigtermIsKilledWithinSeconds) {
    const std::string fifo = dir_.file("started");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WriteStandInAvrdude(dir_.file("avrdude.sh"),
                        "trap '' TERM\necho $$ > started\n"
                        "while :; do echo ' ***failed;' >&2; sleep 0.01; done\n");
    Strings argv = {"avrosp.exe", "-datmega324p", "-ietemp.hex", "-pe", "-cCOM4"};
    test::Child adapter(AdapterPath(), argv, dir_.path(),
                        {"NORVIX_AVRDUDE=" + dir_.file("avrdude.sh")});
    ASSERT_TRUE(adapter.started());
    const pid_t avrdude = static_cast<pid_t>(std::stol(test::ReadText(fifo)));
    ASSERT_GT(avrdude, 0);

    const auto told = std::chrono::steady_clock::now();
    adapter.Signal(SIGTERM);
    const test::ProgramRun run = adapter.FinishWithin(30000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - told).count();
    EXPECT_EQ(run.status, 128 + SIGTERM);
    // A second of grace, then SIGKILL; the rest is room for a loaded machine.
    EXPECT_LT(seconds, 10.0);
    EXPECT_NE(::kill(avrdude, 0), 0);
}

TEST_F(AdapterProcess, AMissingAvrdudeIsNamed) {
    const test::ProgramRun run =
        test::RunProgram(AdapterPath(), {"avrosp.exe", "-datmega324p", "-e", "-cCOM4"},
                         dir_.path(), {"NORVIX_AVRDUDE=" + dir_.file("no-such-avrdude")});
    EXPECT_EQ(run.status, kExitNotStarted);
    EXPECT_NE(run.err.find("cannot start " + dir_.file("no-such-avrdude")), std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace nvx::adapter
