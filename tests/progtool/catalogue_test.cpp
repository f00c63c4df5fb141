#include <gtest/gtest.h>

#include <set>
#include <string>

#include "progtool/device_catalogue.h"

namespace nvx {
namespace {

TEST(DeviceCatalogueTest, RowsLabelsAndKinds) {
    const auto& rows = DeviceCatalogue();
    ASSERT_EQ(rows.size(), 35u);
    const std::string separator(94, '-');
    const std::set<int> separators = {1, 8, 14, 18, 22, 27, 31};
    const std::set<int> headings = {2, 9, 15, 19, 23, 28, 32};
    const std::set<int> devices = {3, 4, 5, 6, 7, 10, 11, 12, 13, 16, 17, 20, 21, 24, 25, 26, 29, 30, 33};
    for (int row = 0; row < 35; ++row) {
        SCOPED_TRACE(row);
        const DeviceEntry& e = rows[static_cast<std::size_t>(row)];
        const DeviceRowKind kind = separators.count(row)  ? DeviceRowKind::Separator
                                   : headings.count(row) ? DeviceRowKind::Heading
                                   : devices.count(row)  ? DeviceRowKind::Device
                                                         : DeviceRowKind::None;
        EXPECT_EQ(e.kind, kind);
        if (kind == DeviceRowKind::Separator) {
            EXPECT_EQ(e.label, separator);
        }
        EXPECT_EQ(DeviceRowEntry(row) != nullptr, kind == DeviceRowKind::Device);
        if (kind != DeviceRowKind::Device) {
            EXPECT_EQ(e.deviceCode, 0u);
        }
    }
    const std::pair<int, const char*> labels[] = {
        {0, "< no Device selected >"},
        {2, "Solvane - Operating Panel (Operator):"},
        {5, "> blue Display, 128K Memory, Version 2010 or newer"},
        {9, "Solvane - Controller"},
        {13, "> Emergency Update (direct connection)"},
        {15, "Room Sensor:"},
        {17, "> 6120 / 6121 (orange Display)"},
        {19, "Ice/Snow Detector:"},
        {21, "> 5362 64K, since 2012"},
        {23, "PRXA:"},
        {26, "> Operating Panel Emergency Update (direct connection)"},
        {28, "GlenVal:"},
        {29, "> Operating Panel (via Controller)"},
        {32, "Special Devices:"},
        {33, "> 3184 KTE AirCase"},
        {34, ""},
    };
    for (auto [row, label] : labels) EXPECT_STREQ(rows[static_cast<std::size_t>(row)].label, label) << row;
    for (int32_t outside : {-1, 35, 1000}) EXPECT_EQ(DeviceRowEntry(outside), nullptr) << outside;
}

TEST(DeviceCatalogueTest, DeviceRowValues) {
    struct Case {
        int32_t row;
        const char* chip;
        uint32_t code;
        const char* key;
        int32_t baud;
        uint8_t target;
        const char* delay;
        bool manual;
    };
    const Case cases[] = {
        {3, "atmega64", 4, "SolBed", 38400, 0, "-D0", false},
        {4, "atmega644p", 4, "SolGrb", 38400, 0, "-D0", false},
        {5, "atmega1284p", 4, "SolGrb", 38400, 0, "-D0", false},
        {6, "atmega644p", 10, "SolHyb", 38400, 0, "-D0", false},
        {7, "atxmega128d3", 4, "SolTbed", 38400, 0, "-D0", false},
        {10, "atmega64", 259, "SolReg", 19200, 25, "-D500", false},
        {11, "atmega64", 515, "SolReg", 38400, 0, "-D0", false},
        {12, "atmega644p", 3, "SolReg", 38400, 0, "-D0", false},
        {13, "atmega64", 3, "SolReg", 38400, 0, "-D0", true},
        {16, "atmega168p", 13, "SolMinibed", 38400, 7, "-D0", false},
        {17, "atmega324p", 13, "SolMinibed", 38400, 7, "-D0", false},
        {20, "atmega32", 5, "5362", 38400, 0, "-D0", true},
        {21, "atmega644p", 5, "5362", 38400, 0, "-D0", true},
        {24, "atmega324p", 264, "PrxaBed", 19200, 15, "-D0", false},
        {25, "atmega324p", 7, "PrxaReg", 38400, 0, "-D0", false},
        {26, "atmega324p", 8, "PrxaBed", 38400, 0, "-D0", true},
        {29, "atmega324p", 275, "GlenValBed", 19200, 15, "-D0", false},
        {30, "atmega324p", 18, "GlenValReg", 38400, 0, "-D0", false},
        {33, "atmega32", 15, "3184", 38400, 0, "-D0", true},
    };
    // Start from a different accepted row each time, so nothing is left over from before.
    DeviceSelection selection;
    AcceptDeviceRow(*DeviceRowEntry(10), selection);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        const DeviceEntry* e = DeviceRowEntry(c.row);
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e->chip, c.chip);
        EXPECT_EQ(e->manualStart, c.manual);
        AcceptDeviceRow(*e, selection);
        EXPECT_EQ(selection.deviceCode, c.code);
        EXPECT_EQ(selection.deviceKey, c.key);
        EXPECT_EQ(selection.bootBaud, c.baud);
        EXPECT_EQ(selection.bootTarget, c.target);
        EXPECT_STREQ(ProgrammerDelayOption(selection.ProgrammerDelayFlag), c.delay);
        EXPECT_EQ(selection.programmerDevice, std::string("-d") + c.chip);
        EXPECT_EQ(DeviceDescriptionFileName(e->chip), std::string(c.chip) + ".xml");
        EXPECT_EQ(IsRoutedDevice(selection.deviceCode), c.row == 10 || c.row == 24 || c.row == 29);
    }
}

TEST(DeviceCatalogueTest, RoutedCodes) {
    for (uint32_t code : {259u, 264u, 275u}) EXPECT_TRUE(IsRoutedDevice(code)) << code;
    for (uint32_t code : {0u, 3u, 4u, 258u, 260u, 515u, 259u + 65536u}) EXPECT_FALSE(IsRoutedDevice(code)) << code;
}

TEST(DeviceCatalogueTest, StemsSelectTheirRows) {
    const std::pair<const char*, int32_t> cases[] = {
        {"solbed", 3},        {"solgrabed64", 4},   {"solgrabed128", 5}, {"solhyb", 6},
        {"soltbed", 7},       {"solreg", 10},       {"frostwarn32k", 20}, {"frostwarn64k", 21},
        {"prxabed", 24},      {"prxareg", 25},      {"glenvalbed", 29},  {"glenvalreg", 30},
        {"aircase", 33},
        // Exact matches only: the caller lower-cases, and keys are not stems.
        {"SOLREG", 0},        {"solgrb", 0},        {"solre", 0},        {"solregx", 0},
        {"", 0},              {"SolBed", 0},
    };
    for (auto [stem, row] : cases) EXPECT_EQ(DeviceRowForStem(stem), row) << stem;
    for (const DeviceStemRow& s : DeviceStems()) EXPECT_NE(DeviceRowEntry(s.row), nullptr) << s.stem;
}

}  // namespace
}  // namespace nvx
