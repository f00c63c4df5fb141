#include "sim/part_description.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "sim/device_types.h"
#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx::sim {
namespace {

const char kGood[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- a comment with <name>Wrong</name> inside -->\n"
    "<part>\n"
    "  <name>ATmega644P</name>\n"
    "  <avrdudePart>m644p</avrdudePart>\n"
    "  <signature>1E 96 0a</signature>\n"
    "  <flashSize>0x10000</flashSize>\n"
    "  <flashPageSize>256</flashPageSize>\n"
    "  <eepromSize>2048</eepromSize>\n"
    "</part>\n";

TEST(PartDescription, ReadsEveryValue) {
    PartDescription p;
    std::string error;
    ASSERT_TRUE(ParsePartDescription(kGood, p, error)) << error;
    EXPECT_EQ(p.name, "ATmega644P");
    EXPECT_EQ(p.avrdudePart, "m644p");
    EXPECT_EQ(p.signature, (std::array<uint8_t, 3>{0x1E, 0x96, 0x0A}));
    EXPECT_EQ(p.flashSize, 65536u);
    EXPECT_EQ(p.flashPageSize, 256u);
    EXPECT_EQ(p.eepromSize, 2048u);
}

struct Broken {
    const char* name;
    const char* from;
    const char* to;
    const char* reason;
};

void PrintTo(const Broken& b, std::ostream* os) { *os << b.name; }

class BrokenPartTest : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenPartTest, IsRefusedWithTheReason) {
    std::string xml = kGood;
    const size_t at = xml.find(GetParam().from);
    ASSERT_NE(at, std::string::npos);
    xml.replace(at, std::string(GetParam().from).size(), GetParam().to);
    PartDescription p;
    std::string error;
    EXPECT_FALSE(ParsePartDescription(xml, p, error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenPartTest,
    ::testing::Values(
        Broken{"NoPart", "<part>", "<parts>", "no <part>"},
        Broken{"NoAvrdudeId", "<avrdudePart>m644p</avrdudePart>", "", "<avrdudePart>"},
        Broken{"EmptyName", "ATmega644P", "", "<name>"},
        Broken{"TwoSignatureBytes", "1E 96 0a", "1E 96", "three hexadecimal bytes"},
        Broken{"FourSignatureBytes", "1E 96 0a", "1E 96 0A 01", "three hexadecimal bytes"},
        Broken{"SignatureNotHex", "1E 96 0a", "1E 96 GG", "three hexadecimal bytes"},
        Broken{"SignatureTooWide", "1E 96 0a", "1E 96 10A", "three hexadecimal bytes"},
        Broken{"FlashNotNumber", "0x10000", "64K", "<flashSize>"},
        Broken{"ZeroEeprom", ">2048<", ">0<", "<eepromSize>"},
        Broken{"PartialPages", ">256<", ">300<", "whole number of pages"}),
    [](const auto& tp) { return std::string(tp.param.name); });

// What avrdude's own configuration says about a part, from "avrdude -p <id>/St".
struct AvrdudePart {
    std::string signature;  // "0x1e 0x96 0x0a"
    unsigned long flashSize = 0;
    unsigned long flashPage = 0;
    unsigned long eepromSize = 0;
    unsigned long bootSections = 0;     // how many sizes the fuses choose from
    unsigned long smallestBootSection = 0;
    bool found = false;
};

AvrdudePart AskAvrdude(const std::string& id) {
    AvrdudePart a;
    const std::string cmd = "avrdude -p '" + id + "/St' 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return a;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t')) cols.push_back(col);
        if (!cols.empty() && !cols.back().empty() && cols.back().back() == '\n') cols.back().pop_back();
        if (cols.size() == 4 && cols[0] == ".pt" && cols[2] == "id") a.found = cols[3] == "\"" + id + "\"";
        if (cols.size() == 4 && cols[0] == ".pt" && cols[2] == "signature") a.signature = cols[3];
        if (cols.size() == 4 && cols[0] == ".pt" && cols[2] == "n_boot_sections")
            a.bootSections = std::stoul(cols[3], nullptr, 0);
        if (cols.size() == 4 && cols[0] == ".pt" && cols[2] == "boot_section_size")
            a.smallestBootSection = std::stoul(cols[3], nullptr, 0);
        if (cols.size() == 5 && cols[0] == ".ptmm" && (cols[3] == "size" || cols[3] == "page_size")) {
            const unsigned long v = std::stoul(cols[4], nullptr, 0);
            if (cols[2] == "flash" && cols[3] == "size") a.flashSize = v;
            if (cols[2] == "flash" && cols[3] == "page_size") a.flashPage = v;
            if (cols[2] == "eeprom" && cols[3] == "size") a.eepromSize = v;
        }
    }
    ::pclose(f);
    return a;
}

TEST(PartFiles, EveryChipOfTheDeviceListHasAFileThatAvrdudeAgreesWith) {
    std::set<std::string> chips;
    for (const DeviceType& t : DeviceTypes()) chips.insert(t.chip);
    EXPECT_EQ(chips.size(), 7u);
    for (const std::string& chip : chips) {
        SCOPED_TRACE(chip);
        PartDescription p;
        std::string error;
        ASSERT_TRUE(ReadPartDescription(std::string(NVX_SOURCE_DIR) + "/devices/" + chip + ".xml",
                                        p, error))
            << error;
        // The file name is the part's name in lower case.
        std::string lower = p.name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(lower, chip);

        const AvrdudePart a = AskAvrdude(p.avrdudePart);
        ASSERT_TRUE(a.found) << "avrdude does not know part id " << p.avrdudePart;
        char sig[32];
        std::snprintf(sig, sizeof sig, "0x%02x 0x%02x 0x%02x", p.signature[0], p.signature[1],
                      p.signature[2]);
        EXPECT_EQ(a.signature, sig);
        EXPECT_EQ(a.flashSize, p.flashSize);
        EXPECT_EQ(a.flashPage, p.flashPageSize);
        EXPECT_EQ(a.eepromSize, p.eepromSize);
        // The programmer must not write into the bootloader: each file keeps the largest boot
        // section the fuses allow (each choice doubles the smallest).
        ASSERT_GT(a.bootSections, 0u);
        const std::string xml = test::ReadText(std::string(NVX_SOURCE_DIR) + "/devices/" + chip + ".xml");
        const std::size_t at = xml.find("<bootSize>");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(std::stoul(xml.substr(at + 10), nullptr, 0),
                  a.smallestBootSection << (a.bootSections - 1));
    }
}

TEST(PartFiles, LoadLooksInThePreferredDirectoryFirst) {
    PartDescription p;
    std::string error;
    ASSERT_TRUE(LoadPartDescription("atmega32", std::string(NVX_SOURCE_DIR) + "/devices", p, error))
        << error;
    EXPECT_EQ(p.avrdudePart, "m32");
    EXPECT_FALSE(LoadPartDescription("atmega9999", "/nonexistent", p, error));
    EXPECT_NE(error.find("atmega9999.xml"), std::string::npos);
    EXPECT_NE(error.find("/nonexistent/atmega9999.xml"), std::string::npos);
}

// An installed norvix-sim reads the part descriptions of the tree it lies in
// (bin/../share/norvix-monitor/devices), before the copy in the source tree: a damaged one there
// is the one it complains about.
TEST(PartFiles, AnInstalledProgramReadsTheCopyOfItsOwnTree) {
    namespace fs = std::filesystem;
    const char* chip = nullptr;
    for (const DeviceType& t : DeviceTypes())
        if (t.stem && std::string(t.stem) == "solreg") chip = t.chip;
    ASSERT_NE(chip, nullptr);
    test::ScratchDir scratch("installed-sim");
    const fs::path root = fs::path(scratch.path()) / "usr";
    const fs::path devices = root / "share/norvix-monitor/devices";
    fs::create_directories(root / "bin");
    fs::create_directories(devices);
    fs::create_directories(root / "work");
    fs::copy_file(fs::path(NVX_BINARY_DIR) / "src/sim/norvix-sim", root / "bin/norvix-sim");
    const fs::path damaged = devices / (std::string(chip) + ".xml");
    test::WriteText(damaged, "<part><name>damaged</name></part>\n");

    const std::string program = (root / "bin/norvix-sim").string();
    // A device that found a good description runs until stopped.
    test::Child sim(program, {program, "--device", "solreg"}, (root / "work").string());
    const test::ProgramRun run = sim.FinishWithin(10000);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(damaged.string()), std::string::npos) << run.err;
}

}  // namespace
}  // namespace nvx::sim
