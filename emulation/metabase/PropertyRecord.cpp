#include "emulation/metabase/PropertyRecord.h"

#include <algorithm>

namespace emulation::metabase {

using platform::MetaValue;
using platform::MimeMapList;

namespace {
constexpr QChar RecordSeparator = PropertyRecord::RecordSeparator;
constexpr QChar FieldSeparator = PropertyRecord::FieldSeparator;
constexpr QChar ListSeparator(0x1F); // before each element of a list

constexpr QChar Escape = PropertyRecord::Escape;

// Texts may hold any character: the separators and the escape itself are written escaped.
QString escaped(const QString& text) {
    if (!std::any_of(text.begin(), text.end(),
                     [](QChar c) { return c.unicode() >= 0x1B && c.unicode() <= 0x1F; }))
        return text;
    QString out;
    for (QChar c : text) {
        if (c.unicode() >= 0x1B && c.unicode() <= 0x1F) {
            out += Escape;
            out += QChar(u'A' + (c.unicode() - 0x1B)); // ESC A .. ESC E
        } else {
            out += c;
        }
    }
    return out;
}

QString unescaped(QStringView text) {
    if (!text.contains(Escape))
        return text.toString();
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == Escape && i + 1 < text.size()) {
            out += QChar(text[++i].unicode() - u'A' + 0x1B);
            continue;
        }
        out += text[i];
    }
    return out;
}

enum ValueType {
    TString = PropertyRecord::StringType,
    TNumber = 1,
    TBoolean = 2,
    TStringList = 3,
    TMimeMap = 4
};

} // namespace

std::pair<int, QString> PropertyRecord::encodeValue(const MetaValue& value) {
    switch (value.kind()) {
    case MetaValue::Kind::String:
        return {TString, escaped(value.toString())};
    case MetaValue::Kind::Number:
        return {TNumber, QString::number(value.toNumber())};
    case MetaValue::Kind::Boolean:
        return {TBoolean, value.toBool() ? QStringLiteral("1") : QStringLiteral("0")};
    case MetaValue::Kind::StringList:
    case MetaValue::Kind::MimeMap:
        break;
    }
    // A separator before each element, so that an empty list and a list of one empty string differ.
    QString text;
    for (const QString& element : value.toStringList())
        text += ListSeparator + escaped(element);
    return {value.kind() == MetaValue::Kind::MimeMap ? TMimeMap : TStringList, text};
}

MetaValue PropertyRecord::decodeValue(int type, QStringView text) {
    switch (type) {
    case TNumber:
        return MetaValue(static_cast<std::uint32_t>(text.toULongLong()));
    case TBoolean:
        return MetaValue(text == u"1");
    case TStringList:
    case TMimeMap: {
        QStringList list;
        for (QStringView element : text.split(ListSeparator).mid(1))
            list << unescaped(element);
        if (type == TStringList)
            return MetaValue(list);
        MimeMapList mm;
        for (const QString& s : list) {
            const qsizetype comma = s.indexOf(u',');
            mm.append({s.left(comma), s.mid(comma + 1)});
        }
        return MetaValue(mm);
    }
    default:
        return MetaValue(unescaped(text));
    }
}

QString PropertyRecord::encode(const std::vector<StoredProperty>& properties) {
    QString out;
    for (const auto& p : properties) {
        if (!out.isEmpty())
            out += RecordSeparator;
        const auto [type, text] = encodeValue(p.value);
        out += escaped(p.name) + FieldSeparator + QChar(u'0' + type) + FieldSeparator + text;
    }
    return out;
}

std::vector<StoredProperty> PropertyRecord::decode(const QString& record) {
    std::vector<StoredProperty> out;
    forEach(record, [&](QStringView name, int type, QStringView value) {
        out.push_back({name.toString(), decodeValue(type, value)});
        return false;
    });
    return out;
}

std::optional<MetaValue> PropertyRecord::find(QStringView record, QStringView name) {
    // Only an item whose name has the length of the one asked for is looked into.
    const qsizetype n = name.size();
    qsizetype pos = 0;
    while (pos < record.size()) {
        qsizetype end = record.indexOf(RecordSeparator, pos);
        if (end < 0)
            end = record.size();
        if (n > 0 && end - pos >= n + 2 && record[pos + n] == FieldSeparator &&
            sameIgnoringCase(record.sliced(pos, n), name)) {
            const QStringView item = record.sliced(pos, end - pos);
            const qsizetype f2 = item.indexOf(FieldSeparator, n + 1);
            if (f2 > n)
                return decodeValue(item[n + 1].unicode() - u'0', item.sliced(f2 + 1));
        }
        pos = end + 1;
    }
    return std::nullopt;
}

void PropertyRecord::set(std::vector<StoredProperty>& properties, const QString& name,
                         const std::optional<MetaValue>& value) {
    for (auto it = properties.begin(); it != properties.end(); ++it) {
        if (it->name.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (value) {
            it->name = name;
            it->value = *value;
        } else {
            properties.erase(it);
        }
        return;
    }
    if (value)
        properties.push_back({name, *value});
}

} // namespace emulation::metabase
