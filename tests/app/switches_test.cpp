#include "app/switches.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "shell/shell.h"

namespace nvx {
namespace {

std::vector<const char*> Argv(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"norvix-monitor"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return argv;
}

TEST(IsSwitchToken, KeysAreSlashOrMinusNotFollowedByADigit) {
    const struct {
        const char* text;
        bool key;
    } cases[] = {
        {"/T", true},  {"-T", true},  {"/t", true},    {"--help", true}, {"/Weird", true},
        {"/ ", true},  {"/", false},  {"-", false},    {"-2", false},    {"/5", false},
        {"", false},   {"T", false},  {"a/b", false},  {"-0x", false},   {"/-", true},
        // Absolute paths are values, so "/P /home/me/fw.hex" keeps its file.
        {"/home/me/fw.hex", false}, {"/tmp/", false}, {"/T/", false}, {"-a/b", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsSwitchToken(c.text), c.key) << '"' << c.text << '"';
}

struct ParseCase {
    const char* name;
    std::vector<std::string> args;
    CommandLineSwitches expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, BuildsTheTable) {
    const ParseCase& c = GetParam();
    CommandLineSwitches switches{{"/stale", {"x"}}};  // cleared first
    const auto argv = Argv(c.args);
    EXPECT_EQ(ParseSwitches(switches, static_cast<int>(argv.size() - 1), argv.data()),
              static_cast<int>(c.expected.size()));
    EXPECT_EQ(switches, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ParseTest,
    ::testing::Values(
        ParseCase{"Nothing", {}, {}},
        ParseCase{"KeyWithValue", {"/W", "5", "/C", "3"}, {{"/W", {"5"}}, {"/C", {"3"}}}},
        ParseCase{"KeyAtTheEndGetsAnEmptyValue", {"/W"}, {{"/W", {""}}}},
        ParseCase{"KeyBeforeKeyGetsAnEmptyValue", {"/W", "/C", "2"}, {{"/W", {""}}, {"/C", {"2"}}}},
        ParseCase{"MinusDigitIsAValue", {"/C", "-2"}, {{"/C", {"-2"}}}},
        ParseCase{"LoneSlashIsAValue", {"/P", "/", "-"}, {{"/P", {"/", "-"}}}},
        ParseCase{"AbsolutePathIsAValue",
                  {"/P", "/home/me/SolReg_fw.hex", "/D", "solreg"},
                  {{"/P", {"/home/me/SolReg_fw.hex"}}, {"/D", {"solreg"}}}},
        ParseCase{"FirstOccurrenceWins", {"/C", "2", "/C", "4"}, {{"/C", {"2"}}}},
        // The repeated key's own value is dropped, later values go to the first entry.
        ParseCase{"LaterValuesOfARepeatedKeyJoinTheFirst",
                  {"/C", "2", "x", "/C", "4", "y"}, {{"/C", {"2", "x", "y"}}}},
        ParseCase{"PlainWordBeforeAnyKeyIsIgnored", {"plain", "/C", "5"}, {{"/C", {"5"}}}},
        ParseCase{"FurtherValuesAreAppended",
                  {"/P", "a.npf", "b.npf"}, {{"/P", {"a.npf", "b.npf"}}}},
        ParseCase{"KeysAreCaseSensitiveAndKeepTheirPrefix",
                  {"/t", "-T", "/T"}, {{"/t", {""}}, {"-T", {""}}, {"/T", {""}}}},
        ParseCase{"UnknownKeysAreKept", {"--help", "/Zz", "1"}, {{"--help", {""}}, {"/Zz", {"1"}}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(GetSwitchValue, ThrowsForAMissingKeyOrIndex) {
    const CommandLineSwitches switches{{"/P", {"a.npf", "b.npf"}}, {"/W", {}}};
    EXPECT_EQ(GetSwitchValue(switches, "/P", 0), "a.npf");
    EXPECT_EQ(GetSwitchValue(switches, "/P", 1), "b.npf");
    EXPECT_THROW(GetSwitchValue(switches, "/P", 2), SwitchLookupError);
    EXPECT_THROW(GetSwitchValue(switches, "/W", 0), SwitchLookupError);
    EXPECT_THROW(GetSwitchValue(switches, "/p", 0), SwitchLookupError);
    EXPECT_TRUE(HasSwitch(switches, "/W"));
    EXPECT_FALSE(HasSwitch(switches, "/w"));
}

TEST(ReadSwitchNumber, ReadsLikeTheCLibraryButNeverOverflows) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"5", 5},       {"-2", -2},       {"+7", 7},       {"  12", 12},    {"12abc", 12},
        {"abc", 0},     {"", 0},          {"-", 0},        {"1 2", 1},      {"\t-3", -3},
        {"2147483647", INT32_MAX},        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},            {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadSwitchNumber(c.text), c.value) << '"' << c.text << '"';
}

// The settings after evaluating a command line; unnamed fields keep their start values.
struct Settings {
    int32_t showHex = 0, headerDetails = 0, offerHex = 0, eepromWrite = 0;
    int32_t stepWait = kDefaultStepWait;
    int32_t switchComPort = 0;
    std::string presetProgramFile;
    std::string deviceStem;
    int32_t autoStart = kAutoStartOff;

    static Settings Current() {
        Settings s;
        s.showHex = ShowHexConversion;
        s.headerDetails = ReportHeaderDetails;
        s.offerHex = OfferHexFiles;
        s.eepromWrite = EepromWriteEnabled;
        s.stepWait = StepWait;
        s.switchComPort = SwitchComPort;
        s.presetProgramFile = PresetProgramFile;
        s.deviceStem = DeviceStem;
        s.autoStart = AutoStartState;
        return s;
    }
    bool operator==(const Settings&) const = default;
};

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{T " << s.showHex << s.headerDetails << s.offerHex << " E " << s.eepromWrite << " W "
        << s.stepWait << " C " << s.switchComPort << " P '" << s.presetProgramFile << "' D '"
        << s.deviceStem << "' A " << s.autoStart << "}";
}

Settings With(void (*change)(Settings&)) {
    Settings s;
    change(s);
    return s;
}

struct EvaluateCase {
    const char* name;
    std::vector<std::string> args;
    Settings expected;
};

void PrintTo(const EvaluateCase& c, std::ostream* os) { *os << c.name; }

class EvaluateTest : public ::testing::TestWithParam<EvaluateCase> {
protected:
    void SetUp() override { ResetShellSettings(); }
    void TearDown() override { ResetShellSettings(); }
};

TEST_P(EvaluateTest, SetsTheShellSettings) {
    const EvaluateCase& c = GetParam();
    CommandLineSwitches switches;
    const auto argv = Argv(c.args);
    ParseSwitches(switches, static_cast<int>(argv.size() - 1), argv.data());
    EXPECT_TRUE(EvaluateSwitches(switches));
    EXPECT_EQ(Settings::Current(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, EvaluateTest,
    ::testing::Values(
        EvaluateCase{"NoSwitches", {}, Settings{}},
        EvaluateCase{"WaitAndPort", {"/W", "5", "/C", "3"},
                     With([](Settings& s) { s.stepWait = 500; s.switchComPort = 3; })},
        EvaluateCase{"WaitWithoutValue", {"/W"}, With([](Settings& s) { s.stepWait = 0; })},
        EvaluateCase{"WaitWithoutValueBeforePort", {"/W", "/C", "2"},
                     With([](Settings& s) { s.stepWait = 0; s.switchComPort = 2; })},
        EvaluateCase{"NegativePort", {"/C", "-2"}, With([](Settings& s) { s.switchComPort = -2; })},
        EvaluateCase{"LettersForWait", {"/W", "abc"}, With([](Settings& s) { s.stepWait = 0; })},
        EvaluateCase{"MinusThreePort", {"/C", "-3"}, With([](Settings& s) { s.switchComPort = -3; })},
        EvaluateCase{"HugeWaitIsHeldAtTheLargestValue", {"/W", "99999999"},
                     With([](Settings& s) { s.stepWait = INT32_MAX; })},
        EvaluateCase{"HugeNegativeWait", {"/W", "-99999999"},
                     With([](Settings& s) { s.stepWait = INT32_MIN; })},
        EvaluateCase{"DeviceStemInLowerCase", {"/D", "SolBed"},
                     With([](Settings& s) { s.deviceStem = "solbed"; })},
        EvaluateCase{"DeviceStemLatin1", {"/D", "\xC4X\xD7\xDE"},
                     With([](Settings& s) { s.deviceStem = "\xE4x\xD7\xFE"; })},
        EvaluateCase{"FirstPortWins", {"/C", "2", "/C", "4"},
                     With([](Settings& s) { s.switchComPort = 2; })},
        EvaluateCase{"PlainWordFirst", {"plain", "/W", "1"}, With([](Settings& s) { s.stepWait = 100; })},
        EvaluateCase{"LowerCaseT", {"/t"}, Settings{}},
        EvaluateCase{"MinusT", {"-T"}, Settings{}},
        EvaluateCase{"TechnicianMode", {"/T"}, With([](Settings& s) {
                         s.showHex = s.headerDetails = s.offerHex = s.eepromWrite = 1;
                     })},
        EvaluateCase{"EepromWriting", {"/E"}, With([](Settings& s) { s.eepromWrite = 1; })},
        EvaluateCase{"ProgramFileFirstValueOnly", {"/P", "a.npf", "b.npf"},
                     With([](Settings& s) { s.presetProgramFile = "a.npf"; })},
        EvaluateCase{"ProgramFileKeptAsWritten", {"/P", "Dir/Solreg V2.NPF"},
                     With([](Settings& s) { s.presetProgramFile = "Dir/Solreg V2.NPF"; })},
        EvaluateCase{"AutoStartIgnoresItsValue", {"/A", "7"},
                     With([](Settings& s) { s.autoStart = kAutoStartRequested; })},
        EvaluateCase{"Everything", {"/A", "/D", "PrxaBed", "/P", "x.npf", "/C", "4", "/W", "3", "/E", "/T"},
                     With([](Settings& s) {
                         s.showHex = s.headerDetails = s.offerHex = s.eepromWrite = 1;
                         s.stepWait = 300;
                         s.switchComPort = 4;
                         s.presetProgramFile = "x.npf";
                         s.deviceStem = "prxabed";
                         s.autoStart = kAutoStartRequested;
                     })}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(EvaluateSwitches, AFailedLookupStopsTheEvaluation) {
    // ParseSwitches never leaves a key without values; a table built by hand can.
    for (const char* key : {"/W", "/C", "/P", "/D"}) {
        SCOPED_TRACE(key);
        ResetShellSettings();
        const CommandLineSwitches switches{{key, {}}, {"/A", {""}}};
        EXPECT_FALSE(EvaluateSwitches(switches));
        EXPECT_EQ(AutoStartState, kAutoStartOff);  // "/A" comes later and is never reached
    }
    ResetShellSettings();
}

TEST(InfoSwitchText, HelpAndVersionFollowTheConventions) {
    const auto text = [](std::vector<std::string> args) {
        const auto argv = Argv(args);
        return InfoSwitchText(static_cast<int>(argv.size() - 1), argv.data());
    };
    EXPECT_EQ(text({"--version"}), std::optional<std::string>("Norvix PC Monitor 1.7.2\n"));
    const auto help = text({"/C", "3", "--help"});
    ASSERT_TRUE(help.has_value());
    for (const char* sw : {"/T", "/E", "/W n", "/C n", "/P file", "/D device", "/A", "--help",
                           "--version"})
        EXPECT_NE(help->find(std::string("\n  ") + sw + " "), std::string::npos) << sw;
    EXPECT_EQ(text({"--help", "--version"}), help);
    EXPECT_FALSE(text({}).has_value());
    EXPECT_FALSE(text({"/T", "-help", "/P", "x"}).has_value());
    EXPECT_FALSE(text({"/P", "-", "--Help"}).has_value());
}

}  // namespace
}  // namespace nvx
