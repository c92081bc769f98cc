#pragma once

#include "platform/Metabase.h"

#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

namespace emulation {

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
