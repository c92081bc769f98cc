#include "settings/IniDocument.h"

#include "platform/AnsiCodePage.h"

namespace settings {

namespace {
const QByteArray Utf8Bom("\xEF\xBB\xBF");
}

IniDocument IniDocument::parse(const QByteArray& bytes) {
    IniDocument doc;
    QByteArray body = bytes;
    if (body.startsWith(Utf8Bom)) {
        doc.m_utf8 = true;
        body.remove(0, Utf8Bom.size());
    }
    const qsizetype firstNl = body.indexOf('\n');
    if (firstNl > 0 && body.at(firstNl - 1) != '\r')
        doc.m_eol = "\n";
    if (body.isEmpty())
        return doc;
    QList<QByteArray> lines = body.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // the file ended with a newline
    for (QByteArray& l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
        doc.m_lines << l;
    }
    return doc;
}

QByteArray IniDocument::serialize() const {
    QByteArray out;
    if (m_utf8)
        out += Utf8Bom;
    for (const QByteArray& l : m_lines) {
        out += l;
        out += m_eol;
    }
    return out;
}

QString IniDocument::decode(const QByteArray& bytes) const {
    return m_utf8 ? QString::fromUtf8(bytes) : platform::fromAnsi(bytes);
}

QByteArray IniDocument::encode(const QString& text) const {
    return m_utf8 ? text.toUtf8() : platform::toAnsi(text);
}

IniDocument::Parsed IniDocument::parseLine(const QByteArray& line) const {
    Parsed p;
    const QByteArray t = line.trimmed();
    if (t.startsWith('[')) {
        qsizetype close = t.indexOf(']');
        if (close < 0)
            close = t.size();
        p.kind = Kind::Section;
        p.name = decode(t.mid(1, close - 1).trimmed());
        return p;
    }
    if (t.startsWith(';'))
        return p;
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return p; // a stray line: kept, never read
    p.kind = Kind::Entry;
    p.name = decode(t.left(eq).trimmed());
    QByteArray v = t.mid(eq + 1).trimmed();
    if (v.size() >= 2 && ((v.startsWith('"') && v.endsWith('"')) || (v.startsWith('\'') && v.endsWith('\''))))
        v = v.mid(1, v.size() - 2);
    p.value = v;
    return p;
}

QList<std::pair<int, int>> IniDocument::sections(const QString& name) const {
    QList<std::pair<int, int>> out;
    int open = -1;
    for (int i = 0; i < m_lines.size(); ++i) {
        const Parsed p = parseLine(m_lines[i]);
        if (p.kind != Kind::Section)
            continue;
        if (open >= 0)
            out.append({open, i});
        open = p.name.compare(name, Qt::CaseInsensitive) == 0 ? i : -1;
    }
    if (open >= 0)
        out.append({open, static_cast<int>(m_lines.size())});
    return out;
}

int IniDocument::findEntry(const QString& section, const QString& key) const {
    // The first section of the name answers; keys of a later duplicate section are still found.
    for (const auto& [begin, end] : sections(section)) {
        for (int i = begin + 1; i < end; ++i) {
            const Parsed p = parseLine(m_lines[i]);
            if (p.kind == Kind::Entry && p.name.compare(key, Qt::CaseInsensitive) == 0)
                return i;
        }
    }
    return -1;
}

std::optional<QByteArray> IniDocument::rawValue(const QString& section, const QString& key) const {
    const int i = findEntry(section, key);
    if (i < 0)
        return std::nullopt;
    return parseLine(m_lines[i]).value;
}

std::optional<QString> IniDocument::value(const QString& section, const QString& key) const {
    const auto raw = rawValue(section, key);
    if (!raw)
        return std::nullopt;
    return decode(*raw);
}

void IniDocument::setValue(const QString& section, const QString& key, const QString& value) {
    const QByteArray line = encode(key) + '=' + encode(value);
    const int existing = findEntry(section, key);
    if (existing >= 0) {
        m_lines[existing] = line;
        return;
    }
    const auto found = sections(section);
    if (!found.isEmpty()) {
        // After the section's last entry, before any blank lines that end it.
        int at = found.first().second;
        while (at - 1 > found.first().first && m_lines[at - 1].trimmed().isEmpty())
            --at;
        m_lines.insert(at, line);
        return;
    }
    m_lines << ('[' + encode(section) + ']') << line;
}

void IniDocument::removeKey(const QString& section, const QString& key) {
    const int i = findEntry(section, key);
    if (i >= 0)
        m_lines.removeAt(i);
}

void IniDocument::removeSection(const QString& section) {
    const auto found = sections(section);
    for (auto it = found.crbegin(); it != found.crend(); ++it)
        m_lines.remove(it->first, it->second - it->first);
}

} // namespace settings
