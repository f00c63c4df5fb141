#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nvx {
namespace {

using Words = std::vector<std::string>;

const KnownOption kOutput{"--output", "-o", true};
const KnownOption kDetails{"--details", nullptr, false};
const std::vector<KnownOption> kSpecs = {kHelpOption, kPortOption, kOutput, kDetails};

// Options in the order given, as "name=value", then the operands.
struct Split {
    Words options;
    Words operands;
    bool operator==(const Split&) const = default;
};

void PrintTo(const Split& s, std::ostream* os) {
    *os << testing::PrintToString(s.options) << " " << testing::PrintToString(s.operands);
}

TEST(SplitCommandLine, TakesOptionsAnywhereUntilTheEndMark) {
    struct Case {
        Words args;
        Split split;
    };
    const Case cases[] = {
        {{}, {{}, {}}},
        {{"read"}, {{}, {"read"}}},
        {{"--port", "1", "ErrorSet", "0x1F4", "--details"},
         {{"--port=1", "--details="}, {"ErrorSet", "0x1F4"}}},
        {{"a.hex", "-o", "b.npf", "c"}, {{"--output=b.npf"}, {"a.hex", "c"}}},
        {{"--output=x=y", "--port="}, {{"--output=x=y", "--port="}, {}}},
        // The value of an option is taken as it stands, even when it looks like an option.
        {{"--output", "--details"}, {{"--output=--details"}, {}}},
        {{"-h"}, {{"--help="}, {}}},
        // "--" ends the options; what follows is an operand, "--" included.
        {{"write", "--", "--details", "-o", "--"}, {{}, {"write", "--details", "-o", "--"}}},
        {{"--details", "--"}, {{"--details="}, {}}},
        // Numbers and "-" are operands.
        {{"ErrorSet", "-5", "-", "-0x10"}, {{}, {"ErrorSet", "-5", "-", "-0x10"}}},
        {{"--details", "--details"}, {{"--details=", "--details="}, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CommandLine line;
        std::string error;
        ASSERT_TRUE(SplitCommandLine(c.args, kSpecs, line, error)) << error;
        Split got;
        for (const CommandLine::Given& g : line.options)
            got.options.push_back(g.name + "=" + g.value);
        got.operands = line.operands;
        EXPECT_EQ(got, c.split);
    }
}

TEST(SplitCommandLine, RefusesWhatItCannotTake) {
    struct Case {
        Words args;
        const char* error;
    };
    const Case cases[] = {
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"read", "-x"}, "unknown option '-x'"},
        {{"--frob=3"}, "unknown option '--frob'"},
        {{"-o=a"}, "unknown option '-o=a'"},
        {{"a", "--port"}, "--port needs a value"},
        {{"-o"}, "-o needs a value"},
        {{"--details=1"}, "--details takes no value"},
        {{"----------"}, "unknown option '----------'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CommandLine line;
        std::string error;
        EXPECT_FALSE(SplitCommandLine(c.args, kSpecs, line, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(SplitCommandLine, CountsAndTheLastValue) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(SplitCommandLine({"-o", "a", "x", "--output=b"}, kSpecs, line, error));
    EXPECT_EQ(line.count("--output"), 2u);
    EXPECT_EQ(line.value("--output"), "b");
    EXPECT_TRUE(line.has("--output"));
    EXPECT_FALSE(line.has("--details"));
    EXPECT_EQ(line.value("--details"), "");
}

TEST(ComPortFromCommandLine, OneToTwoHundredFiftySixAndOneWhenLeftOut) {
    struct Case {
        Words args;
        bool ok;
        int port;
    };
    const Case cases[] = {
        {{"read"}, true, 1},
        {{"--port", "3", "read"}, true, 3},
        {{"read", "--port=12"}, true, 12},
        {{"--port", "256"}, true, 256},
        {{"--port", "2", "--port", "7"}, true, 7},
        {{"--port", "0"}, false, 0},
        {{"--port", "257"}, false, 0},
        {{"--port=abc"}, false, 0},
        {{"--port", "4x"}, false, 0},
        {{"--port="}, false, 0},
        {{"--port", "-1"}, false, 0},
        {{"--port", "0012"}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CommandLine line;
        std::string error;
        ASSERT_TRUE(SplitCommandLine(c.args, kSpecs, line, error)) << error;
        int port = -1;
        EXPECT_EQ(ComPortFromCommandLine(line, port, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(port, c.port);
            EXPECT_EQ(error, "");
        } else {
            EXPECT_NE(error.find("COM port number must be 1 to 256"), std::string::npos) << error;
        }
    }
}

}  // namespace
}  // namespace nvx
