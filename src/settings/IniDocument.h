#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace settings {

// A private-profile file held as its lines, so that everything the program does not touch
// (stray lines, comments, order, duplicated sections) is written back as it was read.
// Names compare without regard to case; values are ANSI (code page 936) bytes, or UTF-8 when
// the file starts with a UTF-8 byte-order mark.
class IniDocument {
public:
    static IniDocument parse(const QByteArray& bytes);
    QByteArray serialize() const;

    // The value of section/key: quotes around it and surrounding blanks removed.
    std::optional<QString> value(const QString& section, const QString& key) const;
    // Replaces the value in place, or appends the key to its section, or appends the section.
    void setValue(const QString& section, const QString& key, const QString& value);
    void removeKey(const QString& section, const QString& key);
    void removeSection(const QString& section);

    // Raw stored bytes of a value, for callers that need the byte length.
    std::optional<QByteArray> rawValue(const QString& section, const QString& key) const;
    QString decode(const QByteArray& bytes) const;
    QByteArray encode(const QString& text) const;

private:
    struct Line {
        QByteArray text;
    };
    enum class Kind { Other, Section, Entry };
    struct Parsed {
        Kind kind = Kind::Other;
        QString name;     // section or key name
        QByteArray value; // entry value bytes
    };
    Parsed parseLine(const QByteArray& line) const;
    // Index ranges [header, end) of every section named so, in file order.
    QList<std::pair<int, int>> sections(const QString& name) const;
    int findEntry(const QString& section, const QString& key) const;

    QList<QByteArray> m_lines;
    bool m_utf8 = false;
    QByteArray m_eol = "\r\n";
};

} // namespace settings
