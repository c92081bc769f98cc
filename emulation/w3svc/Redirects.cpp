#include "emulation/w3svc/Redirects.h"

#include <QStringList>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

std::string headerSafe(const std::string& location) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(location.size());
    for (const char ch : location) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string htmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string movedBody(const std::string& location) {
    return "<head><title>文档已移动</title></head>\n<body><h1>对象已移动</h1>可以在<a HREF=\"" +
           htmlEscaped(location) + "\">此处</a>找到该文档</body>";
}

Redirect redirectOf(const QString& httpRedirect, const std::string& rawPath, const std::string& query) {
    Redirect r;
    const QStringList parts = httpRedirect.split(u',');
    QString location = parts.first().trimmed();
    bool exact = false;
    for (const QString& flag : parts.mid(1)) {
        const QString f = flag.trimmed().toUpper();
        if (f == u"EXACT_DESTINATION"_s)
            exact = true;
        else if (f == u"PERMANENT"_s)
            r.status = 301;
        else if (f == u"TEMPORARY"_s)
            r.status = 307;
    }
    const QString path = QString::fromUtf8(rawPath);
    const QString qs = QString::fromUtf8(query);
    if (location.contains(u'$')) {
        // One pass, so that a "$Q" in the request's own path stays text.
        QString built;
        for (qsizetype i = 0; i < location.size(); ++i) {
            const QChar next = i + 1 < location.size() ? location[i + 1].toUpper() : QChar();
            if (location[i] != u'$' || (next != u'S' && next != u'V' && next != u'Q' && next != u'P')) {
                built += location[i];
                continue;
            }
            if (next == u'S' || next == u'V')
                built += path;
            else if (next == u'Q')
                built += qs.isEmpty() ? QString() : u'?' + qs;
            else
                built += qs;
            ++i;
        }
        location = built;
    } else if (!exact) {
        if (location.endsWith(u'/'))
            location.chop(1);
        location += path;
    }
    r.location = headerSafe(location.toStdString());
    return r;
}

} // namespace w3svc
