#include "platform/AnsiCodePage.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace platform {

namespace {

// Converts with iconv; a byte sequence that cannot be converted is replaced and skipped.
QByteArray convert(const char* to, const char* from, const QByteArray& input, const QByteArray& replacement,
                   int skipOnError) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return {};
    QByteArray out;
    out.reserve(input.size() * 2 + 8);
    QByteArray in = input;
    char* inPtr = in.data();
    size_t inLeft = static_cast<size_t>(in.size());
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<qsizetype>(sizeof buffer - outLeft));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: an unconvertible or cut sequence.
            out.append(replacement);
            size_t skip = 1;
            if (skipOnError > 1) {
                // In UTF-8 skip the whole character.
                const auto lead = static_cast<unsigned char>(*inPtr);
                skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            } else if (inLeft >= 2 && static_cast<unsigned char>(*inPtr) >= 0x81) {
                skip = 2; // a lead byte with a trail byte GBK does not define
            }
            skip = std::min(skip, inLeft);
            inPtr += skip;
            inLeft -= skip;
        }
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<qsizetype>(sizeof buffer - outLeft));
    iconv_close(cd);
    return out;
}

bool isAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

QString fromAnsi(const QByteArray& bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    return QString::fromUtf8(convert("UTF-8", "CP936", bytes, QByteArray("\xEF\xBF\xBD"), 1));
}

QByteArray toAnsi(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (isAscii(utf8))
        return utf8;
    return convert("CP936", "UTF-8", utf8, QByteArray("?"), 4);
}

QByteArray truncateAnsi(const QByteArray& bytes, int maxBytes) {
    if (bytes.size() <= maxBytes)
        return bytes;
    int i = 0;
    while (i < bytes.size()) {
        // 0x81..0xFE leads a double-byte character in code page 936.
        const auto b = static_cast<unsigned char>(bytes[i]);
        const int width = (b >= 0x81 && b <= 0xFE && i + 1 < bytes.size()) ? 2 : 1;
        if (i + width > maxBytes)
            break;
        i += width;
    }
    return bytes.left(i);
}

} // namespace platform
