#include "emulation/w3svc/UrlPath.h"

#include <QStringDecoder>

#include <algorithm>
#include <vector>

namespace w3svc {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The number spelled by count hex digits at raw[at], or -1.
int hexNumber(std::string_view raw, size_t at, size_t count) {
    if (at + count > raw.size())
        return -1;
    int n = 0;
    for (size_t i = 0; i < count; ++i) {
        const int d = hexValue(raw[at + i]);
        if (d < 0)
            return -1;
        n = n * 16 + d;
    }
    return n;
}

bool forbidden(QChar c) {
    const char16_t u = c.unicode();
    return u < 0x20 || u == 0x7F || u == u'\\' || u == u':' || u == u'*' || u == u'?' || u == u'"' ||
           u == u'<' || u == u'>' || u == u'|';
}

} // namespace

std::optional<std::string> removeDotSegments(std::string_view raw) {
    if (raw.empty() || raw.front() != '/')
        return std::nullopt;
    std::vector<std::string_view> kept;
    bool slash = false; // the result names a folder
    size_t at = 1;
    for (;;) {
        const size_t end = std::min(raw.find('/', at), raw.size());
        const std::string_view segment = raw.substr(at, end - at);
        const bool last = end == raw.size();
        if (segment == ".") {
            slash = true;
        } else if (segment == "..") {
            if (kept.empty())
                return std::nullopt; // above the home directory
            kept.pop_back();
            slash = true;
        } else {
            kept.push_back(segment);
            slash = false;
        }
        if (last)
            break;
        at = end + 1;
    }
    std::string out;
    out.reserve(raw.size());
    for (const std::string_view segment : kept) {
        out += '/';
        out += segment;
    }
    if (out.empty() || (slash && out.back() != '/'))
        out += '/';
    return out;
}

std::optional<UrlPath> decodeUrlPath(std::string_view rawPath) {
    const auto normalised = removeDotSegments(rawPath);
    if (!normalised)
        return std::nullopt;
    const std::string_view raw = *normalised;
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(raw.size()));
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            bytes += raw[i];
            continue;
        }
        if (i + 1 < raw.size() && (raw[i + 1] == 'u' || raw[i + 1] == 'U')) {
            // IIS also takes %uXXXX, a UTF-16 code unit; a lone surrogate names nothing.
            const int unit = hexNumber(raw, i + 2, 4);
            if (unit < 0 || (unit >= 0xD800 && unit <= 0xDFFF))
                return std::nullopt;
            bytes += QString(QChar(static_cast<char16_t>(unit))).toUtf8();
            i += 5;
            continue;
        }
        const int byte = hexNumber(raw, i + 1, 2);
        if (byte < 0)
            return std::nullopt;
        bytes += static_cast<char>(byte);
        i += 2;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString path = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;

    UrlPath out;
    out.endsInSlash = path.endsWith(u'/');
    for (const QString& name : path.split(u'/', Qt::SkipEmptyParts)) {
        if (name == QStringLiteral(".") || name == QStringLiteral("..") || name.endsWith(u'.') ||
            name.endsWith(u' '))
            return std::nullopt;
        for (QChar c : name)
            if (forbidden(c))
                return std::nullopt;
        out.names << name;
    }
    return out;
}

} // namespace w3svc
