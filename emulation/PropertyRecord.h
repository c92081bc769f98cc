#pragma once

#include "platform/Metabase.h"

#include <QString>
#include <QStringView>

#include <algorithm>
#include <optional>
#include <vector>

namespace emulation {

// Whether two names or paths are equal without regard to case, as the metabase compares them:
// equal in lower case (the database keeps every path lower-cased by QString::toLower). Plain
// ASCII compares here; text with other characters is lower-cased whole.
inline bool sameIgnoringCase(QStringView a, QStringView b) {
    const qsizetype n = std::min(a.size(), b.size());
    const char16_t* x = a.utf16();
    const char16_t* y = b.utf16();
    auto lowered = [&] {
        return a.toString().toLower() == b.toString().toLower();
    };
    for (qsizetype i = 0; i < n; ++i) {
        char16_t c = x[i];
        char16_t d = y[i];
        if (c >= 128 || d >= 128)
            return lowered();
        if (c == d)
            continue;
        c = c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
        d = d >= u'A' && d <= u'Z' ? char16_t(d + 32) : d;
        if (c != d)
            return false;
    }
    if (a.size() == b.size())
        return true;
    // Lower case can change the length of some other characters.
    auto ascii = [](QStringView s) {
        return std::all_of(s.begin(), s.end(), [](QChar ch) { return ch.unicode() < 128; });
    };
    return !(ascii(a.sliced(n)) && ascii(b.sliced(n))) && lowered();
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
    // Replaces, adds (at the end) or, for a null value, removes one property.
    static void set(std::vector<StoredProperty>& properties, const QString& name,
                    const std::optional<platform::MetaValue>& value);

    static std::pair<int, QString> encodeValue(const platform::MetaValue& value);
    static platform::MetaValue decodeValue(int type, QStringView text);
};

} // namespace emulation
