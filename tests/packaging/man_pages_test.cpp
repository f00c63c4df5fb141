// The manual pages against what the built programs say with --help: the commands and option
// names one lists, the other describes, section by section, in both directions.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

using Names = std::set<std::string>;

// Option names as help texts and scdoc sources write them: "--long-name", "-x" and the
// monitor's "/X" switches, each after a blank, a bracket, a bar, a comma or scdoc's bold mark.
// Paths such as /dev/ttyS0 and words such as right-aligned are none.
Names OptionNames(const std::string& text) {
    static const std::regex option(
        R"((?:^|[\s\[(|,*])(--[a-z0-9][a-z0-9-]*|-[A-Za-z](?![A-Za-z0-9_-])|/[A-Z](?![A-Za-z0-9_/])))");
    Names names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator();
         ++it)
        names.insert((*it)[1]);
    return names;
}

// The commands a usage text lists, one per line: two blanks, the word, two or more blanks, the
// summary.
Names CommandNames(const std::string& usage) {
    static const std::regex command(R"(^  ([a-z][a-z0-9-]*)  +\S)");
    Names names;
    std::istringstream in(usage);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, command)) names.insert(m[1]);
    return names;
}

// An scdoc source cut at its headings: "# SECTION" holds everything up to the next section,
// its "## sub" parts included; "SECTION/sub" holds one part.
std::map<std::string, std::string> Sections(const std::string& source) {
    std::map<std::string, std::string> sections;
    std::string section, part;
    std::istringstream in(source);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# ", 0) == 0) {
            section = line.substr(2);
            part.clear();
            continue;
        }
        if (line.rfind("## ", 0) == 0) {
            part = section + "/" + line.substr(3);
            sections[part];
            continue;
        }
        if (section.empty()) continue;
        sections[section] += line + "\n";
        if (!part.empty()) sections[part] += line + "\n";
    }
    return sections;
}

// The parts of one section, by name.
Names PartsOf(const std::map<std::string, std::string>& sections, const std::string& section) {
    Names parts;
    for (const auto& [name, text] : sections)
        if (name.rfind(section + "/", 0) == 0) parts.insert(name.substr(section.size() + 1));
    return parts;
}

std::string Listed(const Names& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out.empty() ? "(none)" : out;
}

// Equal sets, or a message naming what only one side has.
::testing::AssertionResult Agree(const Names& help, const Names& page) {
    Names onlyHelp, onlyPage;
    for (const std::string& n : help)
        if (!page.count(n)) onlyHelp.insert(n);
    for (const std::string& n : page)
        if (!help.count(n)) onlyPage.insert(n);
    if (onlyHelp.empty() && onlyPage.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "only in --help: " << Listed(onlyHelp)
                                         << "; only in the manual page: " << Listed(onlyPage);
}

std::string Help(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--help");
    const test::ProgramRun run = test::RunProgram(program, argv, "");
    EXPECT_EQ(run.status, 0) << program << " " << run.err;
    return run.out;
}

std::string ManSource(const std::string& page) {
    const std::string text = test::ReadText(std::string(NVX_SOURCE_DIR) + "/docs/man/" + page + ".scd");
    EXPECT_FALSE(text.empty()) << page;
    return text;
}

// ---- The extraction itself, on texts of both kinds.

TEST(ManPageNames, OptionsAreFoundAndProseIsNot) {
    const struct {
        const char* text;
        Names expected;
    } cases[] = {
        {"usage: nvx report IMAGE.hex [--row N | --device STEM] [-o FILE]", {"--row", "--device", "-o"}},
        {"  -v, --verbose        log every frame", {"-v", "--verbose"}},
        {"*--delay* _MS_[:_RATE_]\n\tDelay replies; see *--list*.", {"--delay", "--list"}},
        {"*-h*, *--help*", {"-h", "--help"}},
        {"Usage: norvix-monitor [/T] [/W n]\n  /C n   use COM port n", {"/T", "/W", "/C"}},
        {"/dev/ttyS(N-1), ISO 8859-1, right-aligned, a 15-character text, \"/\" exactly", {}},
        {"norvix-monitor-start - the launcher; --x2 and -- alone", {"--x2"}},
    };
    for (const auto& c : cases) EXPECT_EQ(OptionNames(c.text), c.expected) << c.text;
}

TEST(ManPageNames, SectionsAndPartsOfAnScdocSource) {
    const auto sections = Sections(
        "nvx(1)\n\n# OPTIONS\n\n*--a*\n\n# COMMANDS\n\nintro *--b*\n\n## one\n\n*--c*\n\n## two\n\n*--d*\n"
        "\n# SEE ALSO\n\n*--e*\n");
    EXPECT_EQ(OptionNames(sections.at("OPTIONS")), (Names{"--a"}));
    EXPECT_EQ(OptionNames(sections.at("COMMANDS")), (Names{"--b", "--c", "--d"}));
    EXPECT_EQ(OptionNames(sections.at("COMMANDS/one")), (Names{"--c"}));
    EXPECT_EQ(OptionNames(sections.at("COMMANDS/two")), (Names{"--d"}));
    EXPECT_EQ(PartsOf(sections, "COMMANDS"), (Names{"one", "two"}));
    EXPECT_EQ(CommandNames("usage: x\n\n  ports      list them\n  -h, --help  show\n  two  b\n"),
              (Names{"ports", "two"}));
}

TEST(ManPageNames, DisagreementNamesBothSides) {
    EXPECT_TRUE(Agree({"--a", "-b"}, {"-b", "--a"}));
    const ::testing::AssertionResult differ = Agree({"--a", "--b"}, {"--a", "--c"});
    ASSERT_FALSE(differ);
    EXPECT_STREQ(differ.message(), "only in --help: --b; only in the manual page: --c");
}

// ---- The pages against the programs.

#ifdef NVX_PROGRAM_nvx
TEST(ManPages, NvxListsEveryCommandWithTheOptionsOfItsHelp) {
    const auto page = Sections(ManSource("nvx.1"));
    ASSERT_TRUE(page.count("OPTIONS") && page.count("COMMANDS"));
    const std::string usage = Help(NVX_PROGRAM_nvx, {});
    const Names commands = CommandNames(usage);
    EXPECT_GE(commands.size(), 7u) << usage;
    EXPECT_TRUE(Agree(commands, PartsOf(page, "COMMANDS"))) << "commands";
    EXPECT_TRUE(Agree(OptionNames(usage), OptionNames(page.at("OPTIONS")))) << "nvx --help";
    for (const std::string& command : commands) {
        const auto part = page.find("COMMANDS/" + command);
        if (part == page.end()) continue;  // reported above
        EXPECT_TRUE(Agree(OptionNames(Help(NVX_PROGRAM_nvx, {command})), OptionNames(part->second)))
            << "nvx " << command << " --help";
    }
}
#endif

#ifdef NVX_PROGRAM_norvix_sim
TEST(ManPages, NorvixSimDescribesEveryOptionOfItsHelp) {
    const auto page = Sections(ManSource("norvix-sim.1"));
    ASSERT_TRUE(page.count("OPTIONS"));
    const Names help = OptionNames(Help(NVX_PROGRAM_norvix_sim, {}));
    EXPECT_GE(help.size(), 20u);
    EXPECT_TRUE(Agree(help, OptionNames(page.at("OPTIONS"))));
}
#endif

#ifdef NVX_PROGRAM_norvix_monitor
TEST(ManPages, NorvixMonitorDescribesEverySwitchOfItsHelp) {
    const auto page = Sections(ManSource("norvix-monitor.1"));
    ASSERT_TRUE(page.count("OPTIONS"));
    const Names help = OptionNames(Help(NVX_PROGRAM_norvix_monitor, {}));
    EXPECT_GE(help.size(), 9u);
    EXPECT_TRUE(Agree(help, OptionNames(page.at("OPTIONS"))));
}
#endif

}  // namespace
}  // namespace nvx
