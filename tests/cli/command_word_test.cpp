// The command word of nvx: first on the line, or after options that then belong to it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

using Args = std::vector<std::string>;
const std::string kImage = NVX_FIXTURES_DIR "/eeprom/small_image.hex";

TEST(CommandWord, OptionsBeforeItBelongToTheCommand) {
    const std::string report =
        test::ReadText(NVX_FIXTURES_DIR "/eeprom/small_image_row24_details.txt");
    for (const Args& args : {Args{"report", kImage, "--row", "24", "--details", "--latin1"},
                             Args{"--latin1", "report", "--row", "24", kImage, "--details"},
                             Args{"--row", "24", "--details", "--latin1", "report", kImage}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const test::ProgramRun run = test::RunNvx(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, report);
    }
}

TEST(CommandWord, WithoutOneTheUsageIsShown) {
    struct Case {
        Args args;
        const char* says;
    };
    const Case cases[] = {
        {{"repot", kImage}, "unknown command 'repot'"},
        // A word that is no option comes first: it is taken as the command.
        {{kImage, "report"}, "unknown command"},
        {{"--latin1", kImage}, "no command among the arguments"},
        {{"--latin1", "--", "report", kImage}, "no command among the arguments"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const test::ProgramRun run = test::RunNvx(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("usage: nvx COMMAND"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace nvx
