#include "emulation/metabase/MetabaseXml.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/BindingIndex.h"
#include "emulation/metabase/MetabaseSchema.h"
#include "emulation/metabase/PropertyRecord.h"
#include "emulation/metabase/SecureValue.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <map>

namespace emulation::metabase {

using machine::Database;

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;

namespace {

QString escape(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'&':
            out += u"&amp;"_s;
            break;
        case u'<':
            out += u"&lt;"_s;
            break;
        case u'>':
            out += u"&gt;"_s;
            break;
        case u'"':
            out += u"&quot;"_s;
            break;
        case u'\n':
            out += u"&#10;"_s;
            break;
        case u'\r':
            out += u"&#13;"_s;
            break;
        case u'\t':
            out += u"&#9;"_s;
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString flagsText(const QString& property, std::uint32_t value) {
    const auto names = schema::flagNames(property);
    if (names.empty() || value == 0)
        return QString::number(value);
    QStringList parts;
    std::uint32_t rest = value;
    for (const auto& [name, bit] : names)
        if (value & bit) {
            parts << name;
            rest &= ~bit;
        }
    if (rest != 0)
        return QString::number(value); // bits without a name: keep the number
    return parts.join(u" | "_s);
}

QString valueText(const QString& property, const MetaValue& value) {
    switch (value.kind()) {
    case MetaValue::Kind::Boolean:
        return value.toBool() ? u"TRUE"_s : u"FALSE"_s;
    case MetaValue::Kind::Number:
        return flagsText(property, value.toNumber());
    case MetaValue::Kind::String:
        return escape(value.toString());
    case MetaValue::Kind::StringList:
    case MetaValue::Kind::MimeMap:
        break;
    }
    QStringList lines;
    for (const QString& s : value.toStringList())
        lines << escape(s);
    return lines.join(u"\n\t\t\t"_s);
}

// Literal line breaks inside attribute values carry the elements of multi-string values; an XML
// reader would fold them into blanks, so they become character references before parsing.
QByteArray protectLineBreaks(const QByteArray& xml) {
    QByteArray out;
    out.reserve(xml.size());
    bool inTag = false;
    char quote = 0;
    for (qsizetype i = 0; i < xml.size(); ++i) {
        const char c = xml[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < xml.size() && xml[i + 1] == '\n')
                    ++i;
                while (i + 1 < xml.size() && (xml[i + 1] == '\t' || xml[i + 1] == ' '))
                    ++i;
                out += "&#10;";
                continue;
            }
        } else if (inTag) {
            if (c == '"' || c == '\'')
                quote = c;
            else if (c == '>')
                inTag = false;
        } else if (c == '<') {
            inTag = true;
        }
        out += c;
    }
    return out;
}

std::optional<std::uint32_t> parseFlags(const QString& property, const QString& text) {
    bool isNumber = false;
    const std::uint32_t n = text.trimmed().toUInt(&isNumber, 0);
    if (isNumber)
        return n;
    const auto names = schema::flagNames(property);
    std::uint32_t value = 0;
    for (const QString& part : text.split(u'|')) {
        const QString name = part.trimmed();
        const auto it = std::find_if(names.begin(), names.end(), [&](const auto& nb) {
            return nb.first.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (it == names.end())
            return std::nullopt;
        value |= it->second;
    }
    return value;
}

std::optional<MetaValue> parseValue(const QString& property, const QString& text) {
    const auto kind = schema::typeOf(property);
    QStringList lines = text.split(u'\n');
    for (QString& l : lines)
        l = l.trimmed();
    switch (kind.value_or(lines.size() > 1 ? MetaValue::Kind::StringList : MetaValue::Kind::String)) {
    case MetaValue::Kind::String:
        return MetaValue(text);
    case MetaValue::Kind::Number:
        if (const auto n = parseFlags(property, text))
            return MetaValue(*n);
        return std::nullopt;
    case MetaValue::Kind::Boolean:
        if (text.trimmed().compare(u"TRUE"_s, Qt::CaseInsensitive) == 0 || text.trimmed() == u"1"_s)
            return MetaValue(true);
        if (text.trimmed().compare(u"FALSE"_s, Qt::CaseInsensitive) == 0 || text.trimmed() == u"0"_s)
            return MetaValue(false);
        return std::nullopt;
    case MetaValue::Kind::StringList:
        if (lines.size() == 1 && lines[0].isEmpty())
            return MetaValue(QStringList{});
        return MetaValue(lines);
    case MetaValue::Kind::MimeMap:
        break;
    }
    lines.removeAll(QString());
    return schema::coerce(property, MetaValue(lines));
}

} // namespace

QByteArray exportMetabaseXml(Database& db) {
    Database::ReadScope scope(db);
    const QByteArray secretKey = machineKey(db);
    struct Key {
        QString path;
        QString cls;
        std::vector<std::pair<QString, MetaValue>> props;
    };
    std::map<std::int64_t, Key> keys;
    {
        auto st = db.prepare("SELECT id, cpath, keytype, props FROM mb_keys");
        while (st.step()) {
            Key key{st.text(1), st.text(2), {}};
            for (auto& p : PropertyRecord::decode(st.text(3)))
                key.props.emplace_back(std::move(p.name), std::move(p.value));
            keys[st.number(0)] = std::move(key);
        }
    }
    std::vector<const Key*> ordered;
    for (const auto& [id, key] : keys)
        ordered.push_back(&key);
    std::sort(ordered.begin(), ordered.end(),
              [](const Key* a, const Key* b) { return a->path.compare(b->path, Qt::CaseInsensitive) < 0; });

    QString out = u"<?xml version =\"1.0\"?>\n"
                  "<configuration xmlns=\"urn:microsoft-catalog:XMLMetabase-V64-0\">\n"
                  "<MBProperty>\n"_s;
    for (const Key* key : ordered) {
        const QString element = key->cls.isEmpty() ? u"IIsConfigObject"_s : key->cls;
        out += u'<' + element + u"\tLocation =\""_s + escape(key->path) + u'"';
        auto props = key->props;
        std::sort(props.begin(), props.end(), [](const auto& a, const auto& b) {
            return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
        });
        for (const auto& [name, value] : props) {
            const QString text = schema::isSecure(name) ? sealSecureValue(secretKey, value.toString())
                                                        : valueText(name, value);
            out += u"\n\t\t"_s + name + u"=\""_s + text + u'"';
        }
        out += u"\n\t>\n</"_s + element + u">\n"_s;
    }
    out += u"</MBProperty>\n</configuration>\n"_s;
    return out.toUtf8();
}

namespace {

// The keys without which the server cannot start nor the window show its sites, with their classes.
const std::pair<QString, QString> RequiredKeys[] = {
    {u"/LM"_s, u"IIsComputer"_s},
    {u"/LM/W3SVC"_s, u"IIsWebService"_s},
    {u"/LM/W3SVC/AppPools"_s, u"IIsApplicationPools"_s},
    {u"/LM/W3SVC/AppPools/DefaultAppPool"_s, u"IIsApplicationPool"_s},
    {u"/LM/W3SVC/1"_s, u"IIsWebServer"_s},
    {u"/LM/MSFTPSVC"_s, u"IIsFtpService"_s},
    {u"/LM/MSFTPSVC/1"_s, u"IIsFtpServer"_s},
};

platform::Error refused(const QString& why) {
    return platform::Error{platform::hr::InvalidArgument, why + u"。没有导入任何内容。"_s};
}

// What is wrong with a Location under /LM; empty when it names a key. Trailing slashes are
// dropped, as the metabase drops them; every other name must be a name.
QString keyPathProblem(QString path) {
    while (path.endsWith(u'/'))
        path.chop(1);
    const QStringList names = path.split(u'/');
    if (names.front() != QString() || names[1].compare(u"LM"_s, Qt::CaseInsensitive) != 0)
        return u"元数据库项的路径 %1 不在 /LM 之下"_s.arg(path);
    for (const QString& name : names.mid(1))
        if (name.trimmed().isEmpty() || name == u"."_s || name == u".."_s)
            return u"元数据库项的路径 %1 中有空的名称或 \".\"、\"..\""_s.arg(path);
    return {};
}

// seedPlaceholders: the seed file of a fresh machine, with its placeholders' texts.
platform::Status importXml(Database& db, const QByteArray& xml,
                           const std::map<QString, QString>* seedPlaceholders) {
    const QByteArray machine = seedPlaceholders ? QByteArray() : machineKey(db);
    QStringList undecryptable; // "path: property" of secure values this machine cannot read
    struct Key {
        QString path;
        QString cls;
        std::vector<std::pair<QString, MetaValue>> props;
    };
    std::vector<Key> keys;
    QXmlStreamReader reader(protectLineBreaks(xml));
    int depth = 0;
    bool inProperties = false;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (reader.name() == u"MBProperty"_s) {
                inProperties = true;
                continue;
            }
            if (!inProperties || !reader.attributes().hasAttribute(u"Location"_s))
                continue;
            Key key;
            key.path = reader.attributes().value(u"Location"_s).toString().trimmed();
            key.cls = reader.name().toString();
            if (key.cls == u"IIsConfigObject"_s)
                key.cls.clear();
            if (!key.path.startsWith(u"/LM"_s, Qt::CaseInsensitive))
                continue; // "." (IIS_Global) and schema entries are not keys of the metabase
            if (const QString problem = keyPathProblem(key.path); !problem.isEmpty())
                return refused(problem);
            while (key.path.endsWith(u'/'))
                key.path.chop(1);
            key.path.replace(0, 3, u"/LM"_s);
            for (const auto& attr : reader.attributes()) {
                const QString name = attr.name().toString();
                if (name == u"Location"_s)
                    continue;
                QString text = attr.value().toString();
                if (seedPlaceholders) {
                    for (const auto& [placeholder, replacement] : *seedPlaceholders)
                        text.replace(placeholder, replacement);
                } else if (schema::isSecure(name) && !text.isEmpty()) {
                    const auto plain = openSecureValue(machine, text);
                    if (!plain) {
                        undecryptable << key.path + u": "_s + name;
                        continue;
                    }
                    text = *plain;
                }
                const auto value = parseValue(name, text);
                if (!value)
                    return platform::Error{platform::hr::InvalidArgument,
                                           u"%1 的属性 %2 的值无效：%3"_s.arg(key.path, name, text)};
                if (const auto flag = schema::flagBit(name)) {
                    // A flag given as an attribute of its own is a bit of its flags property.
                    auto it = std::find_if(key.props.begin(), key.props.end(), [&](const auto& p) {
                        return p.first.compare(flag->flagsProperty, Qt::CaseInsensitive) == 0;
                    });
                    if (it == key.props.end())
                        it = key.props.insert(key.props.end(), {flag->flagsProperty, MetaValue(0u)});
                    const std::uint32_t bits = it->second.toNumber();
                    it->second = MetaValue(value->toBool() ? bits | flag->bit : bits & ~flag->bit);
                    continue;
                }
                key.props.emplace_back(schema::canonicalName(name), *value);
            }
            keys.push_back(std::move(key));
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
            if (reader.name() == u"MBProperty"_s)
                inProperties = false;
        }
    }
    if (reader.hasError())
        return platform::Error{
            platform::hr::InvalidArgument,
            u"MetaBase.xml 第 %1 行有错误：%2"_s.arg(reader.lineNumber()).arg(reader.errorString())};
    if (keys.empty())
        return platform::Error{platform::hr::InvalidArgument, u"MetaBase.xml 中没有任何元数据库项。"_s};
    // Two elements of one key would leave only the second one's properties.
    std::map<QString, const QString*> seen; // lower-case path, as the metabase compares keys
    for (const Key& key : keys) {
        const auto [it, added] = seen.emplace(key.path.toLower(), &key.path);
        if (!added)
            return refused(u"元数据库项 %1 出现了两次（另一次写作 %2）"_s.arg(key.path, *it->second));
    }
    QStringList missing;
    for (const auto& [path, cls] : RequiredKeys) {
        const auto it = std::find_if(keys.begin(), keys.end(), [&](const Key& k) {
            return k.path.compare(path, Qt::CaseInsensitive) == 0 &&
                   k.cls.compare(cls, Qt::CaseInsensitive) == 0;
        });
        if (it == keys.end())
            missing << u"%1（%2）"_s.arg(path, cls);
    }
    if (!missing.isEmpty())
        return refused(u"MetaBase.xml 缺少服务器必需的元数据库项：%1"_s.arg(missing.join(u"、"_s)));
    if (!undecryptable.isEmpty())
        return platform::Error{
            platform::hr::AccessDenied,
            u"MetaBase.xml 中的加密属性不是用本服务器的密钥加密的，无法解密（%1%2）。加密属性只能导入到"
            "导出它们的服务器上，也不能以明文写入文件。没有导入任何内容。"_s.arg(
                undecryptable.first(),
                undecryptable.size() > 1 ? u" 等 %1 项"_s.arg(undecryptable.size()) : QString())};

    Database::Transaction tx(db);
    if (!tx.ok() || !db.exec("DELETE FROM mb_keys"))
        return platform::Error{platform::hr::Fail, db.lastError()};
    std::map<QString, std::int64_t> ids; // lower-case path -> id
    std::function<std::int64_t(const QString&, const QString&)> ensureKey =
        [&](const QString& path, const QString& cls) -> std::int64_t {
        const QString lower = path.toLower();
        if (auto it = ids.find(lower); it != ids.end()) {
            if (!cls.isEmpty()) {
                auto st = db.prepare("UPDATE mb_keys SET keytype = ?2 WHERE id = ?1");
                st.bind(1, it->second).bind(2, cls);
                st.run();
            }
            return it->second;
        }
        const qsizetype slash = path.lastIndexOf(u'/');
        std::int64_t parent = 0;
        if (slash > 0)
            parent = ensureKey(path.left(slash), QString());
        auto st =
            db.prepare("INSERT INTO mb_keys(parent, path, cpath, name, keytype) VALUES (?1, ?2, ?3, ?4, ?5)");
        if (parent)
            st.bind(1, parent);
        else
            st.bindNull(1);
        st.bind(2, lower).bind(3, path).bind(4, path.mid(slash + 1)).bind(5, cls);
        if (!st.run())
            return 0;
        const std::int64_t id = db.lastInsertId();
        ids[lower] = id;
        return id;
    };
    for (const Key& key : keys) {
        const QString& path = key.path;
        const std::int64_t id = ensureKey(path, key.cls);
        if (id == 0)
            return platform::Error{platform::hr::Fail, db.lastError()};
        std::vector<StoredProperty> properties;
        for (const auto& [name, value] : key.props)
            PropertyRecord::set(properties, name, value);
        const QString record = PropertyRecord::encode(properties);
        auto st = db.prepare("UPDATE mb_keys SET props = ?2 WHERE id = ?1");
        st.bind(1, id).bind(2, record);
        if (!st.run() || !bindingindex::store(db, id, record))
            return platform::Error{platform::hr::Fail, db.lastError()};
    }
    if (!tx.commit())
        return platform::Error{platform::hr::Fail, db.lastError()};
    return {};
}

} // namespace

platform::Status importMetabaseXml(Database& db, const QByteArray& xml) {
    return importXml(db, xml, nullptr);
}

platform::Status importSeedMetabaseXml(Database& db, const QByteArray& xml,
                                       const std::map<QString, QString>& placeholders) {
    return importXml(db, xml, &placeholders);
}

} // namespace emulation::metabase
