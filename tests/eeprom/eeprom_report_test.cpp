#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eeprom/eeprom_report.h"

namespace nvx {
namespace {

// A small image: sections Header 0x00, Exworks 0x40, Text 0x80, Parameter 0xA0, Error 0x100.
EepromImage SmallImage() {
    EepromImage image;
    image.bytes[24] = 0x10;
    image.bytes[25] = 0x04;
    image.bytes[26] = 0x08;
    image.bytes[27] = 0x0A;
    image.bytes[0x100] = 0;  // Entries
    image.bytes[0x101] = 0;  // Pointer
    image.lastDataAddress = 0x13F;
    return image;
}

void SetEntry(EepromImage& image, uint32_t ringIndex, uint8_t code, uint8_t module, uint8_t day,
              uint8_t yearMonth) {
    const uint32_t at = image.errorStart() + 4 + 4 * ringIndex;
    image.bytes[at] = code;
    image.bytes[at + 1] = module;
    image.bytes[at + 2] = day;
    image.bytes[at + 3] = yearMonth;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
    return lines;
}

// The lines after the first line equal to title, up to the next empty line.
std::vector<std::string> Block(const std::string& report, const std::string& title, int occurrence = 1) {
    const std::vector<std::string> lines = Lines(report);
    std::vector<std::string> block;
    int seen = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != title || ++seen < occurrence) continue;
        for (std::size_t j = i + 1; j < lines.size() && !lines[j].empty(); ++j) block.push_back(lines[j]);
        return block;
    }
    ADD_FAILURE() << "no block " << title;
    return block;
}

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(NVX_FIXTURES_DIR "/eeprom/") + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(EepromReportTest, MatchesHandWrittenReports) {
    EepromImage image;
    ASSERT_TRUE(LoadEepromImage(NVX_FIXTURES_DIR "/eeprom/small_image.hex", image));
    EXPECT_EQ(BuildEepromReport(image, 24, true), ReadFixture("small_image_row24_details.txt"));
    EXPECT_EQ(BuildEepromReport(image, 0, false), ReadFixture("small_image_row0.txt"));
}

TEST(EepromReportTest, DeviceTypeLines) {
    struct Case {
        int32_t row;
        const char* line;
    };
    const Case cases[] = {
        {0, ""},
        {3, "Device Type:      Solvane Operator, green Display\r\n"},
        {4, "Device Type:      Solvane Operator, blue Display, 64K\r\n"},
        {5, "Device Type:      Solvane Operator, blue Display, 128K\r\n"},
        {6, "Device Type:      Solvane Operator, hybrid, orange Display\r\n"},
        {7, "Device Type:      Solvane Operator, Touch-Display\r\n"},
        {10, "Device Type:      Solvane Controller\r\n"},
        {11, "Device Type:      Solvane Controller\r\n"},
        {12, "Device Type:      Solvane Controller\r\n"},
        {13, "Device Type:      Solvane Controller\r\n"},
        {16, "Device Type:      Room Sensor 4417\r\n"},
        {17, "Device Type:      Room Sensor 6120/6121\r\n"},
        {20, "Device Type:      Ice and Snow Detector 5362\r\n"},
        {21, "Device Type:      unknown\r\n"},
        {24, "Device Type:      PRXA Operator\r\n"},
        {25, "Device Type:      PRXA Controller\r\n"},
        {26, "Device Type:      PRXA Operator\r\n"},
        {29, "Device Type:      unknown\r\n"},
        {30, "Device Type:      unknown\r\n"},
        {33, "Device Type:      Remote Steuerger\xE4t KTE3184\r\n"},
        {1, "Device Type:      unknown\r\n"},
        {34, "Device Type:      unknown\r\n"},
        {-1, "Device Type:      unknown\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(EepromDeviceTypeLine(c.row), c.line);
        const std::string report = BuildEepromReport(SmallImage(), c.row, false);
        EXPECT_EQ(report.substr(0, 46 + std::string(c.line).size() + 2),
                  std::string("Velmor EEPROM Content\r\n---------------------\r\n") + c.line + "\r\n");
    }
}

TEST(EepromReportTest, WithoutDetailsTheErrorMemoryFollowsTheEmptyLine) {
    const std::string report = BuildEepromReport(SmallImage(), 0, false);
    EXPECT_EQ(report.rfind("Velmor EEPROM Content\r\n---------------------\r\n\r\nError Memory\r\n", 0), 0u);
    EXPECT_FALSE(Contains(report, "Header"));
    EXPECT_FALSE(Contains(report, "0x0000 |"));
}

struct HeaderCase {
    std::vector<std::pair<int, uint8_t>> bytes;
    std::vector<std::string> expected;  // lines that must appear in the header block
    std::vector<std::string> absent;    // line starts that must not
};

TEST(EepromReportTest, HeaderBlockLines) {
    const HeaderCase cases[] = {
        {{{6, 0x2D}, {7, 0x4F}}, {"Build:            7945", "Date of Build:    2015-11-13"}, {}},
        {{{6, 0x01}, {7, 0x01}}, {"Build:            0101", "Date of Build:    2001-01-01"}, {}},
        {{{6, 0xFF}, {7, 0xFF}}, {"Date of Build:    not available"}, {"Build:"}},
        {{{6, 0x1F}, {7, 0x00}}, {"Build:            0031", "Date of Build:    not available"}, {}},
        {{{12, 0x11}, {13, 0x45}}, {"Production Date:  0x4511, 20x4-05-17"}, {}},
        {{{12, 0x01}, {13, 0xC9}}, {"Production Date:  0xc901, 20x2-09-01"}, {}},
        {{{4, 0xFF}, {5, 0x00}}, {"CheckSum:         0x00ff"}, {}},
        {{{4, 0xFF}, {5, 0xFF}}, {"CheckSum:         not available"}, {}},
        {{{2, 0xCD}, {3, 0xAB}}, {"Signature:        0xabcd"}, {}},
        {{{8, 0}, {9, 0}}, {"ConfigCode:       0x0000 (not defined if HW-Code available)"}, {}},
        {{{8, 0x0A}, {9, 0}}, {"ConfigCode:       0x000a"}, {}},
        {{{10, 0xE0}, {11, 0xFF}}, {"Production Flags: 0xffe0"}, {"                  "}},
    };
    for (const HeaderCase& c : cases) {
        EepromImage image = SmallImage();
        for (auto [at, value] : c.bytes) image.bytes[at] = value;
        const std::vector<std::string> block = Block(BuildEepromReport(image, 0, true), "Header");
        std::string shown;
        for (const std::string& l : block) shown += l + "\n";
        SCOPED_TRACE(shown);
        for (const std::string& line : c.expected)
            EXPECT_NE(std::find(block.begin(), block.end(), line), block.end()) << line;
        for (const std::string& start : c.absent)
            for (const std::string& line : block) EXPECT_NE(line.rfind(start, 0), 0u) << line;
    }
}

TEST(EepromReportTest, HeaderBlockInOrderWithAllFlags) {
    EepromImage image = SmallImage();
    const uint8_t head[] = {0, 0, 0x02, 0x01, 0x34, 0x12, 0x2D, 0x4F, 0x00, 0x00, 0x1F, 0x00, 0x11, 0x45};
    std::copy(std::begin(head), std::end(head), image.bytes.begin());
    const std::string report = BuildEepromReport(image, 0, true);
    const std::string expected =
        "Velmor EEPROM Content\r\n---------------------\r\n\r\n"
        "Header\r\n"
        "------\r\n"
        "Signature:        0x0102\r\n"
        "CheckSum:         0x1234\r\n"
        "Build:            7945\r\n"
        "Date of Build:    2015-11-13\r\n"
        "ConfigCode:       0x0000 (not defined if HW-Code available)\r\n"
        "Production Flags: 0x001f\r\n"
        "                  EEPROM initialisiert\r\n"
        "                  Ger\xE4t Kodiert\r\n"
        "                  Hardware gepr\xFC" "ft\r\n"
        "                  Hardware kalibriert\r\n"
        "                  Werkseinstellung erfolgt\r\n"
        "Production Date:  0x4511, 20x4-05-17\r\n"
        "\r\n"
        "Error Memory\r\n";
    EXPECT_EQ(report.substr(0, expected.size()), expected);
}

TEST(EepromReportTest, ErrorDescriptions) {
    struct Case {
        uint8_t code;
        uint8_t module;
        const char* description;
    };
    const Case cases[] = {
        {33, 32, "Heiz/K\xFChlkreis, Messfehler R\xFC" "cklauff\xFChler (Kanal 2)"},
        {6, 32, "Heiz/K\xFChlkreis, Software: internes Problem (Kanal 0)"},
        {55, 32, "Heiz/K\xFChlkreis, Messfehler Vorlauff\xFChler Prim\xE4rkreis (Kanal 3)"},
        {2, 32, "Heiz/K\xFChlkreis, unknown status (Kanal 0)"},
        {50, 22, "Raumtemperatur, Messfehler Raumf\xFChler in ABE (Kanal 3)"},
        {99, 22, "Raumtemperatur, unknown status (Kanal 6)"},
        {5, 23, "Werkseinstellung f\xFCr Programm 5 ausgef\xFChrt, "},
        {200, 23, "Werkseinstellung f\xFCr Programm 200 ausgef\xFChrt, "},
        {1, 99, "unknown module, Software: internes Problem"},
        {2, 99, "unknown module, unknown status"},
        {0, 0, "unknown module, unknown status"},
        {50, 37, "Fernw\xE4rme, R\xFC" "cklauf-Temp. zu hoch (Versorgung 3)"},
        {16, 37, "Fernw\xE4rme, Messfehler prim\xE4rer Vorlauff\xFChler (Versorgung 1)"},
        {51, 37, "Fernw\xE4rme, Messfehler sekund\xE4rer Vorlauff\xFChler (Versorgung 3)"},
        {32, 34, "W\xE4rme-/K\xE4lteerzeuger, Messfehler Temperaturf\xFChler (Erzeuger 2)"},
        {48, 34, "W\xE4rme-/K\xE4lteerzeuger, unknown status"},
        {16, 38, "Pufferspeicher, Messfehler Pufferf\xFChler (Speicher 1)"},
        {19, 1, "Norvix Betriebssystem, Software inkompatibel zur Hardware"},
        {1, 1, "Norvix Betriebssystem, unknown status"},
        {24, 3, "TUV-Kommunikation, Fehler im Kommunikationstreiber"},
        {25, 3, "TUV-Kommunikation, unknown status"},
        {16, 8, "Display, St\xF6rung in der Display-Ansteuerung"},
        {16, 9, "Parameter-Speicher, EEPROM: Schreib-/Lesefehler"},
        {16, 10, "Analogwert, Kalibrierdaten fehlerhaft"},
        {16, 11, "Uhr, Uhrzeit ung\xFCltig"},
        {18, 11, "Uhr, Schreib-/Lesefehler"},
        {6, 16, "Reglermanagement, Software: internes Problem"},
        {16, 17, "Aussentemperatur, Messfehler Witterungsf\xFChler"},
        {16, 33, "Kessel/Brenner, Messfehler Kesself\xFChler"},
        {16, 35, "Brauchwasser-Speicher, Messfehler Speicherf\xFChler"},
        {19, 36, "Brauchwasser-W\xE4rmetauscher, Aktivbetrieb: R\xFC" "cklauf-Temp. zu hoch"},
        {1, 39, "Energieverteilung, Software: internes Problem"},
        {17, 41, "Raumklimaf\xFChrung, Software: internes Problem"},
        {1, 41, "Raumklimaf\xFChrung, unknown status"},
        {1, 42, "Mischersteuerung, unknown status"},
        {1, 44, "Ventilsteuerung, Software: internes Problem"},
        {6, 44, "Ventilsteuerung, unknown status"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int(c.code) << " module " << int(c.module));
        EXPECT_EQ(EepromErrorDescription(c.code, c.module), c.description);
    }
}

// The ring indexes listed, newest first, read back from the error codes (code = 100 + index).
std::vector<int> ListedRingIndexes(const std::string& report) {
    std::vector<int> order;
    for (const std::string& line : Block(report, "Entry|Error|Module|Date      |Description"))
        if (line[0] != '-') order.push_back(std::stoi(line.substr(6, 5)) - 100);
    return order;
}

TEST(EepromReportTest, EntriesAreListedNewestFirst) {
    struct Case {
        uint8_t entries;
        uint8_t pointer;
        std::vector<int> order;
    };
    const Case cases[] = {
        {3, 1, {0, 2, 1}},
        {5, 5, {4, 3, 2, 1, 0}},
        {5, 0, {4, 3, 2, 1, 0}},
        {4, 6, {1, 0, 3, 2}},
        {1, 200, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.entries) << " entries, pointer " << int(c.pointer));
        EepromImage image = SmallImage();
        image.bytes[0x100] = c.entries;
        image.bytes[0x101] = c.pointer;
        for (uint32_t i = 0; i < c.entries; ++i) SetEntry(image, i, static_cast<uint8_t>(100 + i), 99, 1, 0x11);
        EXPECT_EQ(ListedRingIndexes(BuildEepromReport(image, 0, false)), c.order);
    }
}

TEST(EepromReportTest, ErrorMemoryBlock) {
    EepromImage image = SmallImage();
    image.bytes[0x100] = 1;
    image.bytes[0x101] = 1;
    image.bytes[0x102] = 0x1F;
    image.bytes[0x103] = 0x9C;
    SetEntry(image, 0, 33, 32, 5, 0x43);
    const std::string expected =
        "Error Memory\r\n"
        "------------\r\n"
        "Entries:   1\r\n"
        "Pointer:   1\r\n"
        "Date of last Deletion: 20x9-12-31\r\n"
        "\r\n"
        "Entry|Error|Module|Date      |Description\r\n"
        "-----|-----|------|----------|--------------------------------------------------------------\r\n"
        "    1|   33|    32|20x4-03-05|Heiz/K\xFChlkreis, Messfehler R\xFC" "cklauff\xFChler (Kanal 2)\r\n"
        "\r\n";
    const std::string report = BuildEepromReport(image, 0, false);
    ASSERT_GE(report.size(), expected.size());
    EXPECT_EQ(report.substr(report.size() - expected.size()), expected);
}

TEST(EepromReportTest, NoEntriesWhateverThePointerHolds) {
    for (uint8_t pointer : {0, 7, 255}) {
        EepromImage image = SmallImage();
        image.bytes[0x101] = pointer;
        SetEntry(image, 0, 33, 32, 5, 0x43);
        const std::string report = BuildEepromReport(image, 0, false);
        const std::string tail =
            "-----|-----|------|----------|--------------------------------------------------------------\r\n"
            "no entries\r\n\r\n";
        ASSERT_GE(report.size(), tail.size());
        EXPECT_EQ(report.substr(report.size() - tail.size()), tail) << int(pointer);
    }
}

TEST(EepromReportTest, EntriesBeyondTheImageAreNotListed) {
    // An erased EEPROM: the error memory head sits at 0xFF0 and claims 255 entries.
    EepromImage image;
    image.bytes[0xFF1] = 0;  // Pointer
    image.lastDataAddress = 0xFFF;
    const std::string report = BuildEepromReport(image, 24, true);
    std::vector<std::string> listed;
    for (const std::string& line : Block(report, "Entry|Error|Module|Date      |Description"))
        if (line[0] != '-') listed.push_back(line.substr(0, 5));
    // Ring indexes 0..2 fit behind the head; with Pointer 0 they are listed last.
    EXPECT_EQ(listed, (std::vector<std::string>{"  253", "  254", "  255"}));
    EXPECT_TRUE(Contains(report, "Entries: 255\r\n"));
}

TEST(EepromReportTest, TemperatureLogOnlyForThePrxaPanels) {
    EepromImage image = SmallImage();
    for (int i = 0; i < 12; ++i) {
        image.bytes[0x40 + 2 * i] = static_cast<uint8_t>(i + 1);
        image.bytes[0x40 + 2 * i + 1] = 0;
    }
    const std::string expected =
        "Temperature Log\r\n"
        "---------------\r\n"
        "T [\xB0" "C] |  <40 |  <45 |  <50 |  <55 |  <60 |  <65 |  <70 |  <75 |  <80 |  <85 |  <90 |  >90 \r\n"
        "-------|------|------|------|------|------|------|------|------|------|------|------|------\r\n"
        "t [h]  |    1 |    2 |    3 |    4 |    5 |    6 |    7 |    8 |    9 |   10 |   11 |   12 \r\n"
        "\r\n"
        "Operating Time\r\n"
        "--------------\r\n"
        "Cumulative [h]: 78\r\n"
        "\r\n";
    for (int32_t row : {24, 26}) {
        const std::string report = BuildEepromReport(image, row, false);
        ASSERT_GE(report.size(), expected.size());
        EXPECT_EQ(report.substr(report.size() - expected.size()), expected) << row;
    }
    for (int32_t row : {0, 3, 25, 29}) EXPECT_FALSE(Contains(BuildEepromReport(image, row, false), "Temperature"));
}

TEST(EepromReportTest, TemperatureCountersStopAtTheTextSection) {
    struct Case {
        uint8_t textStartUnits;
        int counters;
    };
    // Exworks at 0x40: an empty section gives no counter, 16 bytes eight, longer ones twelve.
    EepromImage image = SmallImage();
    for (int i = 0; i < 32; ++i) image.bytes[0x40 + i] = 0x01;  // each counter 257
    const Case cases[] = {{4, 0}, {5, 8}, {6, 12}, {0x0A, 12}};
    for (const Case& c : cases) {
        image.bytes[26] = c.textStartUnits;
        const std::vector<std::string> block = Block(BuildEepromReport(image, 24, false), "Temperature Log");
        ASSERT_EQ(block.size(), 4u);
        std::string row = "t [h]  ";
        for (int i = 0; i < c.counters; ++i) row += "|  257 ";
        EXPECT_EQ(block[3], row) << int(c.textStartUnits);
        EXPECT_EQ(Block(BuildEepromReport(image, 24, false), "Operating Time")[1],
                  "Cumulative [h]: " + std::to_string(257 * c.counters));
    }
}

TEST(EepromReportTest, SectionDumps) {
    EepromImage image = SmallImage();
    image.bytes[25] = 0x10;  // Exworks 0x100
    image.bytes[26] = 0x12;  // Text 0x120
    image.bytes[27] = 0x12;  // Parameter 0x120: empty Text section
    image.bytes[24] = 0x14;  // Error 0x140
    image.bytes[0x140] = 0;
    for (int i = 0; i < 16; ++i) image.bytes[0x120 + i] = static_cast<uint8_t>(0xA0 + i);
    image.lastDataAddress = 0x160;
    const std::string report = BuildEepromReport(image, 0, true);

    const std::vector<std::string> header = Block(report, "Header", 2);
    ASSERT_EQ(header.size(), 17u);
    EXPECT_EQ(header[0], "------");
    const char* rows = "0123456789abcdef";
    for (int r = 0; r < 16; ++r) EXPECT_EQ(header[1 + r].substr(0, 9), std::string("0x00") + rows[r] + "0 | ");

    EXPECT_EQ(Block(report, "Text"), std::vector<std::string>{"----"});
    EXPECT_EQ(Block(report, "Parameter"),
              (std::vector<std::string>{"---------",
                                        "0x0120 | a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af ",
                                        "0x0130 | ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff "}));
    // The Error dump stops below the last data address: the row at 0x160 is not dumped.
    const std::vector<std::string> error = Block(report, "Error");
    ASSERT_EQ(error.size(), 3u);
    EXPECT_EQ(error[1].substr(0, 9), "0x0140 | ");
    EXPECT_EQ(error[2].substr(0, 9), "0x0150 | ");
    // The report ends with the Error dump and its empty line.
    EXPECT_EQ(report.substr(report.size() - 5), " \r\n\r\n");
}

TEST(EepromReportTest, ErrorDumpStopsAtTheImageEnd) {
    EepromImage image = SmallImage();
    image.bytes[24] = 0xF0;  // Error 0xF00
    image.bytes[0xF00] = 0;
    image.lastDataAddress = 0x1000F;
    const std::vector<std::string> error = Block(BuildEepromReport(image, 0, true), "Error");
    ASSERT_EQ(error.size(), 17u);
    EXPECT_EQ(error[16].substr(0, 9), "0x0ff0 | ");
}

TEST(EepromReportTest, ErasedImageReportsWithoutReadingBeyondIt) {
    const EepromImage image;  // all 0xFF, every section at 0xFF0
    const std::string report = BuildEepromReport(image, 24, true);
    EXPECT_TRUE(Contains(report, "CheckSum:         not available\r\n"));
    EXPECT_TRUE(Contains(report, "Date of Build:    not available\r\n"));
    EXPECT_TRUE(Contains(report, "t [h]  \r\n"));
    EXPECT_TRUE(Contains(report, "Cumulative [h]: 0\r\n"));
    // Header dump 0x000 .. 0xFF0: 255 rows.
    EXPECT_EQ(Block(report, "Header", 2).size(), 1u + 255u);
}

}  // namespace
}  // namespace nvx
