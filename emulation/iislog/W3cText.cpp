// Values of W3C extended log lines, written alike by the web service and the log tool.

#include "emulation/iislog/W3cText.h"

#include <cstring>

namespace iislog {

namespace {

// The length of a blank or control character of UTF-8 at p (written as one "+"), 0 for any other.
// Blanks are those of Unicode (U+0009 to U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000); controls U+0000 to U+001F and U+007F to U+009F.
int blankLength(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    if (c <= 0x20 || c == 0x7F)
        return 1;
    if (c < 0xC2 || left < 2)
        return 0;
    if (c == 0xC2)
        return p[1] >= 0x80 && p[1] <= 0xA0 ? 2 : 0;
    if (left < 3)
        return 0;
    if (c == 0xE1)
        return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    if (c == 0xE2) {
        if (p[1] == 0x80)
            return p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF ? 3 : 0;
        return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
    }
    if (c == 0xE3)
        return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    return 0;
}

// The length of the well-formed UTF-8 character at p (not ASCII), 0 when the bytes are none: a
// stray continuation byte, a sequence cut short, an overlong form, a surrogate, beyond U+10FFFF.
int characterLength(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    int n;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (left < static_cast<std::size_t>(n) || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return n;
}

} // namespace

char* writeW3cValue(char* out, std::string_view value) {
    if (value.empty()) {
        *out++ = '-';
        *out++ = ' ';
        return out;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    std::size_t i = 0;
    std::size_t plain = 0; // start of the run not yet copied
    const auto copyPlain = [&] {
        std::memcpy(out, value.data() + plain, i - plain);
        out += i - plain;
    };
    while (i < size) {
        if (p[i] > 0x20 && p[i] < 0x7F) {
            ++i;
            continue;
        }
        const int n = blankLength(p + i, size - i);
        if (n == 0) {
            const int character = characterLength(p + i, size - i);
            if (character > 0) {
                i += static_cast<std::size_t>(character);
                continue;
            }
            static constexpr char Hex[] = "0123456789ABCDEF";
            copyPlain();
            *out++ = '%';
            *out++ = Hex[p[i] >> 4];
            *out++ = Hex[p[i] & 0xF];
            plain = ++i;
            continue;
        }
        copyPlain();
        *out++ = '+';
        i += static_cast<std::size_t>(n);
        plain = i;
    }
    copyPlain();
    *out++ = ' ';
    return out;
}

void appendW3cValue(QByteArray& line, std::string_view value) {
    const qsizetype at = line.size();
    line.resize(at + w3cValueRoom(value));
    line.resize(writeW3cValue(line.data() + at, value) - line.constData());
}

} // namespace iislog
