#pragma once
// The program's texts are ISO 8859-1 bytes; terminals, pipes and command lines speak UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvx {

std::string Latin1ToUtf8(const std::string& latin1);
// A character beyond ISO 8859-1, or a broken sequence, becomes "?".
std::string Utf8ToLatin1(const std::string& utf8);

// The character of UTF-8 text that begins at byte `at`: its code point and length in bytes. A
// byte that begins no valid sequence is one character by itself, not valid, code = the byte.
struct Utf8Character {
    uint32_t code;
    std::size_t length;
    bool valid;
};
Utf8Character NextUtf8Character(const std::string& utf8, std::size_t at);

// ISO 8859-1 text with its control characters (00-1F, 7F, 80-9F) written as \xHH, so that text
// from a device or a file shows as itself on a terminal and never drives it; one screen column
// per byte of the result.
std::string EscapeControlCharacters(const std::string& latin1);

// Text as the console commands write it: UTF-8 on terminals and pipes alike, the ISO 8859-1 bytes
// as they are only when the user asked for them (--latin1).
inline std::string ConsoleText(const std::string& latin1, bool rawLatin1) {
    return rawLatin1 ? latin1 : Latin1ToUtf8(latin1);
}

}  // namespace nvx
