#include "platform/Metabase.h"

namespace platform {

using namespace Qt::Literals::StringLiterals;

QString MetaValue::toString() const {
    switch (kind()) {
    case Kind::String:
        return std::get<QString>(m_v);
    case Kind::Number:
        return QString::number(std::get<std::uint32_t>(m_v));
    case Kind::Boolean:
        return std::get<bool>(m_v) ? u"True"_s : u"False"_s;
    case Kind::StringList:
        return std::get<QStringList>(m_v).join(u' ');
    case Kind::MimeMap:
        break;
    }
    QStringList parts;
    for (const auto& e : std::get<MimeMapList>(m_v))
        parts << e.Extension + u',' + e.MimeType;
    return parts.join(u' ');
}

std::uint32_t MetaValue::toNumber() const {
    switch (kind()) {
    case Kind::Number:
        return std::get<std::uint32_t>(m_v);
    case Kind::Boolean:
        return std::get<bool>(m_v) ? 1u : 0u;
    case Kind::String:
        return std::get<QString>(m_v).trimmed().toUInt();
    default:
        return 0;
    }
}

bool MetaValue::toBool() const {
    switch (kind()) {
    case Kind::Boolean:
        return std::get<bool>(m_v);
    case Kind::Number:
        return std::get<std::uint32_t>(m_v) != 0;
    case Kind::String: {
        const QString s = std::get<QString>(m_v).trimmed();
        return s.compare(u"true"_s, Qt::CaseInsensitive) == 0 || (s.toInt() != 0);
    }
    default:
        return false;
    }
}

QStringList MetaValue::toStringList() const {
    if (kind() == Kind::StringList)
        return std::get<QStringList>(m_v);
    if (kind() == Kind::MimeMap) {
        QStringList out;
        for (const auto& e : std::get<MimeMapList>(m_v))
            out << e.Extension + u',' + e.MimeType;
        return out;
    }
    return {toString()};
}

MimeMapList MetaValue::toMimeMap() const {
    if (kind() == Kind::MimeMap)
        return std::get<MimeMapList>(m_v);
    return {};
}

} // namespace platform
