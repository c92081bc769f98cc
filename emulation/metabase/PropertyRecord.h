#pragma once

#include "platform/Metabase.h"

#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

namespace emulation::metabase {

// An ASCII letter in lower case; any other unit as it is.
inline char16_t asciiLower(char16_t u) {
    return u >= u'A' && u <= u'Z' ? char16_t(u + 32) : u;
}

// Whether two names or paths are equal without regard to case, as the metabase compares them:
// equal in lower case (the database keeps every path lower-cased by QString::toLower). Plain
// ASCII compares here; text with other characters is lower-cased whole.
inline bool sameIgnoringCase(QStringView a, QStringView b) {
    auto lowered = [&] {
        return a.toString().toLower() == b.toString().toLower();
    };
    const qsizetype n = a.size();
    if (n != b.size()) {
        // Lower case keeps the length of every character but U+0130 (to "i" and a combining dot).
        auto dottedI = [](QStringView s) {
            for (const QChar c : s)
                if (c.unicode() == 0x0130)
                    return true;
            return false;
        };
        return (dottedI(a) || dottedI(b)) && lowered();
    }
    const char16_t* x = a.utf16();
    const char16_t* y = b.utf16();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = x[i];
        const char16_t d = y[i];
        if (c == d)
            continue;
        if (c >= 128 || d >= 128)
            return lowered();
        if (asciiLower(c) != asciiLower(d))
            return false;
    }
    return true;
}

// The properties of one metabase key, stored together as one text: records "Name<RS>type<RS>value"
// separated by <GS>; list values hold each element after a <US>. One read of a key then brings
// all its properties, and a property is decoded only when it is asked for.
struct StoredProperty {
    QString name;
    platform::MetaValue value;
};

class PropertyRecord {
public:
    static QString encode(const std::vector<StoredProperty>& properties);
    static std::vector<StoredProperty> decode(const QString& record);
    // The value of one property (name compared without regard to case), without decoding the rest.
    static std::optional<platform::MetaValue> find(QStringView record, QStringView name);
    // Calls visit(name, type, text) for each property in the record's order, until it returns true,
    // without decoding any value: decodeValue(type, text) is the value. For reading several
    // properties of a key in one pass.
    template <typename Visit> static void forEach(QStringView record, Visit&& visit);
    // Replaces, adds (at the end) or, for a null value, removes one property.
    static void set(std::vector<StoredProperty>& properties, const QString& name,
                    const std::optional<platform::MetaValue>& value);

    static std::pair<int, QString> encodeValue(const platform::MetaValue& value);
    static platform::MetaValue decodeValue(int type, QStringView text);

    static constexpr QChar RecordSeparator{0x1D}; // between properties
    static constexpr QChar FieldSeparator{0x1E};  // between name, type and value
    static constexpr QChar Escape{0x1B};          // makes a separator inside a text plain text
    static constexpr int StringType = 0;          // the type of a string value: its text, unescaped
};

// Property records from the most specific key to the most general one: a value is read from the
// first record that holds it, as the metabase inherits (a virtual directory, its site, the service).
class PropertyChain {
public:
    PropertyChain(std::initializer_list<const QString*> records) : m_records(records) {}
    void append(const QString* record) { m_records.push_back(record); }

    std::optional<platform::MetaValue> lookup(QStringView name) const {
        for (const QString* record : m_records)
            if (auto v = PropertyRecord::find(*record, name))
                return v;
        return std::nullopt;
    }
    QString text(QStringView name) const {
        const auto v = lookup(name);
        return v ? v->toString() : QString();
    }
    std::uint32_t number(QStringView name, std::uint32_t fallback) const {
        const auto v = lookup(name);
        return v ? v->toNumber() : fallback;
    }
    bool flag(QStringView name, bool fallback) const {
        const auto v = lookup(name);
        return v ? v->toBool() : fallback;
    }

private:
    std::vector<const QString*> m_records;
};

template <typename Visit> void PropertyRecord::forEach(QStringView record, Visit&& visit) {
    qsizetype pos = 0;
    while (pos < record.size()) {
        qsizetype end = record.indexOf(RecordSeparator, pos);
        if (end < 0)
            end = record.size();
        const QStringView item = record.sliced(pos, end - pos);
        const qsizetype f1 = item.indexOf(FieldSeparator);
        const qsizetype f2 = f1 < 0 ? -1 : item.indexOf(FieldSeparator, f1 + 1);
        if (f2 > f1 && f1 > 0) {
            const int type = item[f1 + 1].unicode() - u'0';
            if (visit(item.first(f1), type, item.sliced(f2 + 1)))
                return;
        }
        pos = end + 1;
    }
}

} // namespace emulation::metabase
