#include "platform/text_encoding.h"

#include <cstdint>

namespace nvx {

std::string Latin1ToUtf8(const std::string& latin1) {
    std::string utf8;
    utf8.reserve(latin1.size());
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

std::string EscapeControlCharacters(const std::string& latin1) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(latin1.size());
    for (const unsigned char c : latin1) {
        if (c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F)) {
            shown += static_cast<char>(c);
            continue;
        }
        shown += "\\x";
        shown += kDigits[c >> 4];
        shown += kDigits[c & 0x0F];
    }
    return shown;
}

Utf8Character NextUtf8Character(const std::string& utf8, std::size_t at) {
    const unsigned char c = static_cast<unsigned char>(utf8[at]);
    const Utf8Character stray{c, 1, false};
    if (c < 0x80) return {c, 1, true};
    std::size_t length = 0;
    uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        code = c & 0x07;
    } else {
        return stray;  // a stray continuation byte or an invalid lead byte
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= utf8.size() || (utf8[at + k] & 0xC0) != 0x80) return stray;
        code = (code << 6) | (static_cast<unsigned char>(utf8[at + k]) & 0x3F);
    }
    // Overlong forms of a single byte are not accepted as characters.
    if (length == 2 && code < 0x80) return stray;
    return {code, length, true};
}

std::string Utf8ToLatin1(const std::string& utf8) {
    std::string latin1;
    for (std::size_t i = 0; i < utf8.size();) {
        const Utf8Character ch = NextUtf8Character(utf8, i);
        latin1 += ch.valid && ch.code <= 0xFF ? static_cast<char>(ch.code) : '?';
        i += ch.length;
    }
    return latin1;
}

}  // namespace nvx
