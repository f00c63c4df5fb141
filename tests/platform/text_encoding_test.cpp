#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace nvx {
namespace {

TEST(TextEncoding, Utf8AndLatin1BothWays) {
    const struct {
        const char* utf8;
        const char* latin1;
    } both[] = {
        {"ABC", "ABC"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xFC\xDF" "e"},
        {"\xC2\xB0\xC3\xBF", "\xB0\xFF"},
        {"E> Can\xC2\xB4t find notepad.exe", "E> Can\xB4t find notepad.exe"},
        {"\xC3\xA4\xC3\x96", "\xE4\xD6"},
        {"", ""},
    };
    for (const auto& c : both) {
        EXPECT_EQ(Utf8ToLatin1(c.utf8), c.latin1) << c.utf8;
        EXPECT_EQ(Latin1ToUtf8(c.latin1), c.utf8) << c.utf8;
    }
    const struct {
        const char* utf8;
        const char* latin1;
    } oneWay[] = {
        {"\xE2\x82\xAC 5", "? 5"},       // beyond ISO 8859-1
        {"\xF0\x9F\x98\x80!", "?!"},     // four bytes
        {"a\xC3", "a?"},                 // cut sequence
        {"\x80x", "?x"},                 // stray continuation byte
        {"\xC0\x81", "??"},              // overlong
        {"\xC3(", "?("},                 // lead byte without continuation
    };
    for (const auto& c : oneWay) EXPECT_EQ(Utf8ToLatin1(c.utf8), c.latin1) << c.latin1;
}

TEST(TextEncoding, ControlCharactersAreShownEscapedAndNothingElse) {
    const struct {
        std::string latin1;
        const char* shown;
    } cases[] = {
        {"\x1B[2J", "\\x1B[2J"},
        {"a\tb\bc\rd\n", "a\\x09b\\x08c\\x0Dd\\x0A"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"\x7F\x80\x9B\x9F", "\\x7F\\x80\\x9B\\x9F"},
        // Printable ISO 8859-1 stays as it is, umlauts and the no-break space included.
        {"K\xFChlraum \xA0\xC4\xFF ~", "K\xFChlraum \xA0\xC4\xFF ~"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeControlCharacters(c.latin1), c.shown) << c.shown;
}

TEST(TextEncoding, ConsoleTextIsUtf8UnlessRawIsAsked) {
    EXPECT_EQ(ConsoleText("W\xE4rmetechnik", false), "W\xC3\xA4rmetechnik");
    EXPECT_EQ(ConsoleText("W\xE4rmetechnik", true), "W\xE4rmetechnik");
    EXPECT_EQ(ConsoleText("I> API Command OK", false), "I> API Command OK");
}

}  // namespace
}  // namespace nvx
