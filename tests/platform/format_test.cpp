#include "platform/format.h"

#include <gtest/gtest.h>

#include <string>

namespace nvx {
namespace {

TEST(Format, PrintfFormatsMeanWhatTheySay) {
    EXPECT_EQ(Format("0x%04X", 0x2A), "0x002A");
    EXPECT_EQ(Format("%5d|%-3s|", 42, "ab"), "   42|ab |");
    EXPECT_EQ(Format("Error open COM%d:", 7), "Error open COM7:");
    EXPECT_EQ(Format("%5d,n,8,1", 19200), "19200,n,8,1");
    EXPECT_EQ(Format("%s", ""), "");
    EXPECT_EQ(Format("\xE4%c", '\xB4'), "\xE4\xB4");  // ISO 8859-1 bytes pass untouched
}

TEST(Format, LongResultsAreNotCut) {
    const std::string long_text(5000, 'x');
    const std::string out = Format("[%s]", long_text.c_str());
    ASSERT_EQ(out.size(), 5002u);
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.back(), ']');
}

}  // namespace
}  // namespace nvx
