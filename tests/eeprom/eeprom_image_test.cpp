#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "eeprom/eeprom_image.h"

namespace nvx {
namespace {

// An Intel HEX data record written independently of the code under test.
std::string Record(uint16_t address, const std::vector<uint8_t>& data, uint8_t type = 0) {
    static const char* digits = "0123456789ABCDEF";
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                  static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    for (uint8_t b : bytes) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line;
}

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
    return v;
}

TEST(EepromImageTest, FullCoverageInSixteenByteRecords) {
    std::string text;
    std::vector<uint8_t> expected(EepromImage::kSize);
    for (uint16_t a = 0; a < EepromImage::kSize; a += 16) {
        const auto data = Pattern(16, static_cast<uint8_t>(a >> 4));
        std::copy(data.begin(), data.end(), expected.begin() + a);
        text += Record(a, data) + "\r\n";
    }
    text += ":00000001FF\r\n";
    const EepromImage image = ParseEepromImage(text);
    EXPECT_EQ(image.lastDataAddress, 0x0FFFu);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.bytes.begin()));
}

TEST(EepromImageTest, DescendingOrderGivesTheSameBytesAndTheLastRecordsAddress) {
    std::string up, down;
    for (uint16_t a = 0; a < 0x100; a += 16) up += Record(a, Pattern(16, static_cast<uint8_t>(a))) + "\n";
    for (int a = 0xF0; a >= 0; a -= 16)
        down += Record(static_cast<uint16_t>(a), Pattern(16, static_cast<uint8_t>(a))) + "\n";
    const EepromImage ascending = ParseEepromImage(up);
    const EepromImage descending = ParseEepromImage(down);
    EXPECT_EQ(ascending.bytes, descending.bytes);
    EXPECT_EQ(ascending.lastDataAddress, 0xFFu);
    EXPECT_EQ(descending.lastDataAddress, 0x0Fu);
}

TEST(EepromImageTest, DigitCaseStartCharacterAndChecksumDoNotMatter) {
    struct Case {
        const char* line;
        const char* why;
    };
    // Each line puts AB CD EF at 0x0010.
    const Case cases[] = {
        {":03001000ABCDEF86", "upper case"},
        {":03001000abcdef86", "lower case"},
        {":03001000aBcDeF86", "mixed case"},
        {"X03001000ABCDEF86", "start character not tested"},
        {":03001000ABCDEF00", "checksum not verified"},
        {":03001000ABCDEF", "checksum missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const EepromImage image = ParseEepromImage(c.line);
        EXPECT_EQ(image.bytes[0x10], 0xAB);
        EXPECT_EQ(image.bytes[0x11], 0xCD);
        EXPECT_EQ(image.bytes[0x12], 0xEF);
        EXPECT_EQ(image.bytes[0x13], 0xFF);
        EXPECT_EQ(image.lastDataAddress, 0x12u);
    }
}

TEST(EepromImageTest, LinesThatAreNotUsableDataRecordsChangeNothing) {
    const std::string longLine = ":" + std::string(EepromImage::kMaxLineLength, '0');
    struct Case {
        std::string line;
        const char* why;
    };
    const Case cases[] = {
        {"", "empty line"},
        {"hello world", "not a record"},
        {":0300", "fields missing"},
        {":0G001000ABCDEF86", "count not hexadecimal"},
        {": 3001000ABCDEF86", "blank in the count"},
        {":03001000ABCD", "data digits missing"},
        {":03001000ABCDXF86", "data digit not hexadecimal"},
        {":03001001ABCDEF85", "end-of-file type"},
        {":03001004ABCDEF82", "extended address type"},
        {":03001003ABCDEF83", "start address type"},
        {":00001000F0", "data record without bytes"},
        {longLine, "longer than the line limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const EepromImage image = ParseEepromImage(c.line + "\r\n");
        EXPECT_EQ(image.lastDataAddress, 0u);
        for (uint8_t b : image.bytes) ASSERT_EQ(b, 0xFF);
    }
}

TEST(EepromImageTest, LineAtTheLimitIsRead) {
    // 121 data bytes: 253 characters without the line end.
    std::vector<uint8_t> data(121, 0x5A);
    const std::string line = Record(0x0100, data);
    ASSERT_EQ(line.size(), EepromImage::kMaxLineLength);
    const EepromImage image = ParseEepromImage(line + "\r\n");
    EXPECT_EQ(image.bytes[0x100], 0x5A);
    EXPECT_EQ(image.bytes[0x100 + 120], 0x5A);
    EXPECT_EQ(image.lastDataAddress, 0x100u + 120);
    // One byte more is beyond the limit and the whole line is skipped.
    data.push_back(0x5A);
    EXPECT_EQ(ParseEepromImage(Record(0x0100, data)).bytes[0x100], 0xFF);
}

TEST(EepromImageTest, RecordsAreReadToTheEndWhateverComesBetween) {
    const std::string text = Record(0x00, {1, 2}) + "\n" + ":00000001FF\n" + "garbage\n" +
                             Record(0x20, {3}) + "\n";
    const EepromImage image = ParseEepromImage(text);
    EXPECT_EQ(image.bytes[0x00], 1);
    EXPECT_EQ(image.bytes[0x01], 2);
    EXPECT_EQ(image.bytes[0x20], 3);
    EXPECT_EQ(image.lastDataAddress, 0x20u);
    // Without any line end after the last record, and with LF only.
    EXPECT_EQ(ParseEepromImage(Record(0x30, {9})).bytes[0x30], 9);
}

TEST(EepromImageTest, BytesBeyondTheImageAreDropped) {
    const EepromImage image = ParseEepromImage(Record(0x0FF8, Pattern(16, 0x40)) + "\n" +
                                               Record(0xFFF0, Pattern(16, 0x10)) + "\n");
    for (int i = 0; i < 8; ++i) EXPECT_EQ(image.bytes[0x0FF8 + i], static_cast<uint8_t>(0x40 + 7 * i));
    // The last record read lies wholly outside; its end is still the last data address.
    EXPECT_EQ(image.lastDataAddress, 0xFFFFu);
    // Nothing else changed: the first bytes are still erased.
    EXPECT_EQ(image.bytes[0], 0xFF);
    EXPECT_EQ(image.bytes[0x0FF7], 0xFF);
}

TEST(EepromImageTest, LaterRecordsOverwriteOnlyTheirOwnBytes) {
    const EepromImage image =
        ParseEepromImage(Record(0x10, {1, 2, 3, 4}) + "\n" + Record(0x11, {0xAA, 0xBB}) + "\n");
    const uint8_t expected[] = {1, 0xAA, 0xBB, 4};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(image.bytes[0x10 + i], expected[i]);
    EXPECT_EQ(image.lastDataAddress, 0x12u);
}

TEST(EepromImageTest, SectionStartsComeFromTheHeaderInUnitsOfSixteen) {
    std::vector<uint8_t> header(28, 0);
    header[24] = 0xF0;
    header[25] = 0x02;
    header[26] = 0x10;
    header[27] = 0xFF;
    const EepromImage image = ParseEepromImage(Record(0, header));
    EXPECT_EQ(image.errorStart(), 0xF00u);
    EXPECT_EQ(image.exworksStart(), 0x20u);
    EXPECT_EQ(image.textStart(), 0x100u);
    EXPECT_EQ(image.parameterStart(), 0xFF0u);
}

TEST(EepromImageTest, LoadsAFileAndReportsOneThatCannotBeRead) {
    EepromImage image;
    std::string error;
    ASSERT_TRUE(LoadEepromImage(NVX_FIXTURES_DIR "/eeprom/small_image.hex", image, &error)) << error;
    EXPECT_EQ(image.bytes[2], 0x34);
    EXPECT_EQ(image.bytes[0x34], 0x0B);  // from the record written in lower case
    EXPECT_EQ(image.lastDataAddress, 0x7Fu);

    const EepromImage before = image;
    for (const std::string& path : {std::string(NVX_FIXTURES_DIR "/eeprom/no_such_file.hex"),
                                   std::string(NVX_FIXTURES_DIR "/eeprom")}) {
        SCOPED_TRACE(path);
        error.clear();
        EXPECT_FALSE(LoadEepromImage(path, image, &error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(image.bytes, before.bytes);
    }
}

}  // namespace
}  // namespace nvx
