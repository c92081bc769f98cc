#include "emulation/MetabaseStore.h"

#include "emulation/Database.h"
#include "emulation/MetabaseSchema.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <map>

namespace emulation {

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::MetaChild;
using platform::MetaValue;
using platform::MetabaseObjectPtr;
using platform::MimeMapList;
using platform::Outcome;
using platform::Status;
namespace hr = platform::hr;

Error metabaseError(std::uint32_t number) {
    switch (number) {
    case hr::PathNotFound:
        return {number, u"系统找不到指定的路径。"_s};
    case hr::AlreadyExists:
        return {number, u"当文件已存在时，无法创建该文件。"_s};
    case hr::PropertyNotFound:
        return {number, u"在缓存中找不到此目录属性。"_s};
    case hr::BadPathname:
        return {number, u"发生了无效的目录路径名。"_s};
    case hr::AccessDenied:
        return {number, u"拒绝访问。"_s};
    case hr::RpcUnavailable:
        return {number, u"RPC 服务器不可用。"_s};
    case hr::InvalidArgument:
        return {number, u"参数错误。"_s};
    case hr::ServiceNotActive:
        return {number, u"服务未启动。"_s};
    default:
        return {number, u"未指定的错误"_s};
    }
}

// A key as bound objects see it. Children created under a key that is not stored yet share its
// state, so that storing a child first stores its parent's key too.
struct KeyState {
    std::int64_t id = 0; // 0 while the key is not stored
    QString path;        // "/LM/W3SVC/10000", as created
    QString name;
    QString cls;
    std::shared_ptr<KeyState> parent; // kept only while this key is not stored
};

namespace {

enum ValueType { TString = 0, TNumber = 1, TBoolean = 2, TStringList = 3, TMimeMap = 4 };

QString parentPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QString() : path.left(slash);
}

QString adsPathOf(const QString& path) {
    // "/LM/W3SVC/1" -> "IIS://LocalHost/W3SVC/1"
    return u"IIS://LocalHost"_s + path.mid(3);
}

struct Prop {
    QString name;
    MetaValue value;
};
using PropMap = std::map<QString, Prop>; // by lower-case name

class StoredObject final : public platform::MetabaseObject {
public:
    StoredObject(MetabaseStore& store, std::shared_ptr<KeyState> key, PropMap props)
        : m_store(store), m_key(std::move(key)), m_props(std::move(props)) {}

    QString Class() const override { return m_key->cls; }
    QString Name() const override { return m_key->name; }
    QString ADsPath() const override { return adsPathOf(m_key->path); }

    Outcome<MetaValue> Get(const QString& property) override;
    void Put(const QString& property, const MetaValue& value) override;
    Status SetInfo() override;
    Outcome<std::vector<MetaChild>> Children() override;
    Outcome<std::vector<MetabaseObjectPtr>> Enumerate() override;
    Outcome<MetabaseObjectPtr> Create(const QString& cls, const QString& name) override;
    Status Delete(const QString& cls, const QString& name) override;
    Outcome<MetabaseObjectPtr> GetObject(const QString& cls, const QString& name) override;
    Status Start() override;
    Status Stop() override;
    Status Pause() override;
    Status Continue() override;
    Status AppCreate(bool inProcess) override;
    Outcome<MimeMapList> GetEx(const QString& property) override;
    Status PutEx(platform::PutExControl control, const QString& property, const MimeMapList& values) override;

private:
    std::optional<MetaValue> inherited(const QString& lname);
    Status storeKeys(std::vector<KeyState*>& stored);
    Status setState(std::uint32_t state);
    std::optional<std::uint32_t> storedState();

    MetabaseStore& m_store;
    std::shared_ptr<KeyState> m_key;
    PropMap m_props;                                  // as stored when bound (the property cache)
    std::map<QString, std::optional<Prop>> m_pending; // Put since the last SetInfo; nullopt clears
};

Outcome<MetaValue> StoredObject::Get(const QString& property) {
    const QString lname = property.toLower();
    if (lname == u"keytype"_s)
        return MetaValue(m_key->cls);
    if (lname == u"name"_s)
        return MetaValue(m_key->name);
    if (const auto flag = schema::flagBit(property)) {
        const auto flags = Get(flag->flagsProperty);
        if (!flags)
            return flags.error();
        return MetaValue((flags.value().toNumber() & flag->bit) != 0);
    }
    if (const auto it = m_pending.find(lname); it != m_pending.end()) {
        if (it->second)
            return it->second->value;
    } else if (const auto own = m_props.find(lname); own != m_props.end()) {
        return own->second.value;
    }
    if (schema::isInheritable(property))
        if (auto value = inherited(lname))
            return *value;
    return metabaseError(hr::PropertyNotFound);
}

std::optional<MetaValue> StoredObject::inherited(const QString& lname) {
    auto query = [&](const QString& path) -> std::optional<MetaValue> {
        auto st = m_store.db().prepare("SELECT p.type, p.value FROM mb_keys k JOIN mb_props p ON p.key = k.id "
                                       "WHERE k.path = ?1 AND p.lname = ?2");
        st.bind(1, path.toLower()).bind(2, lname);
        if (st.step())
            return MetabaseStore::decode(static_cast<int>(st.number(0)), st.text(1));
        return std::nullopt;
    };
    for (QString path = parentPath(m_key->path); !path.isEmpty(); path = parentPath(path))
        if (auto value = query(path))
            return value;
    // Keys without a MimeMap of their own read the machine's default list.
    if (lname == u"mimemap"_s)
        return query(u"/LM/MimeMap"_s);
    return std::nullopt;
}

void StoredObject::Put(const QString& property, const MetaValue& value) {
    if (const auto flag = schema::flagBit(property)) {
        std::uint32_t flags = Get(flag->flagsProperty).valueOr(MetaValue(0u)).toNumber();
        flags = value.toBool() ? (flags | flag->bit) : (flags & ~flag->bit);
        Put(flag->flagsProperty, MetaValue(flags));
        return;
    }
    const QString name = schema::canonicalName(property);
    m_pending[property.toLower()] = Prop{name, schema::coerce(name, value)};
}

Status StoredObject::storeKeys(std::vector<KeyState*>& stored) {
    // Store this key and any parent created with it, parents first.
    std::vector<KeyState*> chain;
    for (KeyState* k = m_key.get(); k && k->id == 0; k = k->parent.get())
        chain.push_back(k);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        KeyState* k = *it;
        const QString parent = parentPath(k->path);
        auto find = m_store.db().prepare("SELECT id FROM mb_keys WHERE path = ?1");
        find.bind(1, parent.toLower());
        if (!find.step())
            return metabaseError(hr::PathNotFound);
        const std::int64_t parentId = find.number(0);
        auto exists = m_store.db().prepare("SELECT id FROM mb_keys WHERE path = ?1");
        exists.bind(1, k->path.toLower());
        if (exists.step())
            return metabaseError(hr::AlreadyExists);
        auto insert = m_store.db().prepare(
            "INSERT INTO mb_keys(parent, path, cpath, name, keytype) VALUES (?1, ?2, ?3, ?4, ?5)");
        insert.bind(1, parentId).bind(2, k->path.toLower()).bind(3, k->path).bind(4, k->name).bind(5, k->cls);
        if (!insert.run())
            return Error{hr::Fail, m_store.db().lastError()};
        k->id = m_store.db().lastInsertId();
        stored.push_back(k);
    }
    return {};
}

Status StoredObject::SetInfo() {
    Database& db = m_store.db();
    Database::Transaction tx(db);
    if (!tx.ok())
        return Error{hr::Fail, db.lastError()};
    std::vector<KeyState*> stored;
    auto undo = [&] {
        for (KeyState* k : stored)
            k->id = 0;
    };
    Status keys = storeKeys(stored);
    if (!keys) {
        undo();
        return keys;
    }
    auto still = db.prepare("SELECT keytype FROM mb_keys WHERE id = ?1");
    still.bind(1, m_key->id);
    if (!still.step()) {
        undo();
        return metabaseError(hr::PathNotFound); // deleted since it was bound
    }
    for (const auto& [lname, prop] : m_pending) {
        if (lname == u"keytype"_s) {
            auto st = db.prepare("UPDATE mb_keys SET keytype = ?2 WHERE id = ?1");
            st.bind(1, m_key->id).bind(2, prop ? prop->value.toString() : QString());
            if (!st.run()) {
                undo();
                return Error{hr::Fail, db.lastError()};
            }
            continue;
        }
        bool ok;
        if (prop) {
            const auto [type, text] = MetabaseStore::encode(prop->value);
            auto st = db.prepare("INSERT INTO mb_props(key, lname, name, type, value) VALUES (?1, ?2, ?3, ?4, ?5) "
                                 "ON CONFLICT(key, lname) DO UPDATE SET name = ?3, type = ?4, value = ?5");
            st.bind(1, m_key->id).bind(2, lname).bind(3, prop->name).bind(4, type).bind(5, text);
            ok = st.run();
        } else {
            auto st = db.prepare("DELETE FROM mb_props WHERE key = ?1 AND lname = ?2");
            st.bind(1, m_key->id).bind(2, lname);
            ok = st.run();
        }
        if (!ok) {
            undo();
            return Error{hr::Fail, db.lastError()};
        }
    }
    if (!tx.commit()) {
        undo();
        return Error{hr::Fail, db.lastError()};
    }
    for (KeyState* k : stored)
        k->parent.reset();
    for (auto& [lname, prop] : m_pending) {
        if (lname == u"keytype"_s) {
            m_key->cls = prop ? prop->value.toString() : QString();
        } else if (prop) {
            m_props[lname] = *prop;
        } else {
            m_props.erase(lname);
        }
    }
    m_pending.clear();
    return {};
}

Outcome<std::vector<MetaChild>> StoredObject::Children() {
    std::vector<MetaChild> out;
    if (m_key->id == 0)
        return out;
    auto st = m_store.db().prepare("SELECT keytype, name FROM mb_keys WHERE parent = ?1 ORDER BY id");
    st.bind(1, m_key->id);
    while (st.step())
        out.push_back({st.text(0), st.text(1)});
    return out;
}

Outcome<std::vector<MetabaseObjectPtr>> StoredObject::Enumerate() {
    std::vector<MetabaseObjectPtr> out;
    if (m_key->id == 0)
        return out;
    // One read for all children and their properties, as an enumeration hands out bound objects.
    auto st = m_store.db().prepare("SELECT k.id, k.cpath, k.name, k.keytype, p.lname, p.name, p.type, p.value "
                                   "FROM mb_keys k LEFT JOIN mb_props p ON p.key = k.id "
                                   "WHERE k.parent = ?1 ORDER BY k.id");
    st.bind(1, m_key->id);
    std::shared_ptr<KeyState> key;
    PropMap props;
    auto flush = [&] {
        if (key)
            out.push_back(std::make_unique<StoredObject>(m_store, std::move(key), std::move(props)));
        props = PropMap{};
    };
    while (st.step()) {
        if (!key || key->id != st.number(0)) {
            flush();
            key = std::make_shared<KeyState>();
            key->id = st.number(0);
            key->path = st.text(1);
            key->name = st.text(2);
            key->cls = st.text(3);
        }
        if (!st.isNull(4))
            props.emplace(st.text(4), Prop{st.text(5), MetabaseStore::decode(static_cast<int>(st.number(6)), st.text(7))});
    }
    flush();
    return out;
}

Outcome<MetabaseObjectPtr> StoredObject::Create(const QString& cls, const QString& name) {
    if (name.isEmpty() || name.contains(u'/'))
        return metabaseError(hr::BadPathname);
    const QString path = m_key->path + u'/' + name;
    auto exists = m_store.db().prepare("SELECT 1 FROM mb_keys WHERE path = ?1");
    exists.bind(1, path.toLower());
    if (exists.step())
        return metabaseError(hr::AlreadyExists);
    auto key = std::make_shared<KeyState>();
    key->path = path;
    key->name = name;
    key->cls = cls;
    key->parent = m_key;
    return MetabaseObjectPtr(std::make_unique<StoredObject>(m_store, std::move(key), PropMap{}));
}

Status StoredObject::Delete(const QString& /*cls*/, const QString& name) {
    const QString path = (m_key->path + u'/' + name).toLower();
    auto st = m_store.db().prepare("DELETE FROM mb_keys WHERE path = ?1");
    st.bind(1, path);
    if (!st.run())
        return Error{hr::Fail, m_store.db().lastError()};
    if (m_store.db().changes() == 0)
        return metabaseError(hr::PathNotFound);
    return {};
}

Outcome<MetabaseObjectPtr> StoredObject::GetObject(const QString& /*cls*/, const QString& name) {
    return m_store.bindPath(m_key->path + u'/' + name);
}

std::optional<std::uint32_t> StoredObject::storedState() {
    auto st = m_store.db().prepare("SELECT value FROM mb_props WHERE key = ?1 AND lname = 'serverstate'");
    st.bind(1, m_key->id);
    if (st.step())
        return static_cast<std::uint32_t>(st.text(0).toUInt());
    return std::nullopt;
}

Status StoredObject::setState(std::uint32_t state) {
    auto st = m_store.db().prepare("INSERT INTO mb_props(key, lname, name, type, value) "
                                   "VALUES (?1, 'serverstate', 'ServerState', 1, ?2) "
                                   "ON CONFLICT(key, lname) DO UPDATE SET value = ?2");
    st.bind(1, m_key->id).bind(2, QString::number(state));
    if (!st.run())
        return Error{hr::Fail, m_store.db().lastError()};
    m_props[u"serverstate"_s] = Prop{u"ServerState"_s, MetaValue(state)};
    m_pending.erase(u"serverstate"_s);
    return {};
}

// "ip:port:host" compared as HTTP.sys does: the host without regard to case.
QString bindingKey(const QString& binding) {
    const QStringList parts = binding.split(u':');
    if (parts.size() < 3)
        return binding.trimmed().toLower();
    return parts[0].trimmed() + u':' + parts[1].trimmed() + u':' + parts.mid(2).join(u':').trimmed().toLower();
}

Status StoredObject::Start() {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    Database& db = m_store.db();
    Database::Transaction tx(db);
    QSet<QString> mine;
    {
        auto own = db.prepare("SELECT type, value FROM mb_props WHERE key = ?1 AND lname = 'serverbindings'");
        own.bind(1, m_key->id);
        if (own.step())
            for (const QString& b : MetabaseStore::decode(static_cast<int>(own.number(0)), own.text(1)).toStringList())
                mine.insert(bindingKey(b));
    }
    // Bindings already served by a started site of the same service refuse the start.
    auto others = db.prepare("SELECT b.type, b.value FROM mb_keys k "
                             "JOIN mb_props s ON s.key = k.id AND s.lname = 'serverstate' AND s.value = '2' "
                             "JOIN mb_props b ON b.key = k.id AND b.lname = 'serverbindings' "
                             "WHERE k.parent = (SELECT parent FROM mb_keys WHERE id = ?1) AND k.id <> ?1");
    others.bind(1, m_key->id);
    bool clash = false;
    while (!clash && others.step())
        for (const QString& b : MetabaseStore::decode(static_cast<int>(others.number(0)), others.text(1)).toStringList())
            if (mine.contains(bindingKey(b))) {
                clash = true;
                break;
            }
    Status result = setState(clash ? 4u : 2u);
    if (result && !tx.commit())
        result = Error{hr::Fail, db.lastError()};
    if (!result)
        return result;
    return clash ? metabaseError(hr::AlreadyExists) : Status{};
}

Status StoredObject::Stop() {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    return setState(4);
}

Status StoredObject::Pause() {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    const auto state = storedState();
    if (state != 2u && state != 6u)
        return metabaseError(hr::ServiceNotActive); // only a running site can pause
    return setState(6);
}

Status StoredObject::Continue() {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    if (storedState() != 6u)
        return metabaseError(hr::ServiceNotActive);
    return setState(2);
}

Status StoredObject::AppCreate(bool inProcess) {
    // The application root is the key itself; in-process applications are isolation 0.
    Put(u"AppRoot"_s, MetaValue(m_key->path));
    Put(u"AppIsolated"_s, MetaValue(inProcess ? 0u : 1u));
    if (m_key->id == 0)
        return {}; // stored with the key at its SetInfo
    auto keep = m_pending;
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = (it->first == u"approot"_s || it->first == u"appisolated"_s) ? std::next(it) : m_pending.erase(it);
    Status s = SetInfo();
    keep.erase(u"approot"_s);
    keep.erase(u"appisolated"_s);
    m_pending.insert(keep.begin(), keep.end());
    return s;
}

Outcome<MimeMapList> StoredObject::GetEx(const QString& property) {
    auto v = Get(property);
    if (!v)
        return v.error();
    return v.value().toMimeMap();
}

Status StoredObject::PutEx(platform::PutExControl control, const QString& property, const MimeMapList& values) {
    switch (control) {
    case platform::PutExControl::Clear:
        m_pending[property.toLower()] = std::nullopt;
        return {};
    case platform::PutExControl::Update:
        Put(property, MetaValue(values));
        return {};
    case platform::PutExControl::Append: {
        MimeMapList all = GetEx(property).valueOr({});
        all.append(values);
        Put(property, MetaValue(all));
        return {};
    }
    case platform::PutExControl::Delete: {
        MimeMapList all = GetEx(property).valueOr({});
        for (const auto& v : values)
            all.removeAll(v);
        Put(property, MetaValue(all));
        return {};
    }
    }
    return metabaseError(hr::InvalidArgument);
}

} // namespace

MetabaseStore::MetabaseStore(Database& db, std::function<Status()> available)
    : m_db(db), m_available(std::move(available)) {}

std::optional<QString> MetabaseStore::metabasePath(const QString& adsPath) {
    static const QString prefix = u"IIS://"_s;
    if (!adsPath.startsWith(prefix, Qt::CaseInsensitive))
        return std::nullopt;
    const QString rest = adsPath.mid(prefix.size());
    const qsizetype slash = rest.indexOf(u'/');
    const QString host = slash < 0 ? rest : rest.left(slash);
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) != 0 && host != u"127.0.0.1"_s)
        return std::nullopt;
    QString path = slash < 0 ? QString() : rest.mid(slash);
    while (path.endsWith(u'/'))
        path.chop(1);
    if (path.contains(u"//"_s))
        return std::nullopt;
    return u"/LM"_s + path;
}

Outcome<MetabaseObjectPtr> MetabaseStore::Bind(const QString& adsPath) {
    if (m_available) {
        Status up = m_available();
        if (!up)
            return up.error();
    }
    const auto path = metabasePath(adsPath);
    if (!path)
        return metabaseError(hr::BadPathname);
    return bindPath(*path);
}

Outcome<MetabaseObjectPtr> MetabaseStore::bindPath(const QString& path) {
    auto st = m_db.prepare("SELECT k.id, k.cpath, k.name, k.keytype, p.lname, p.name, p.type, p.value "
                           "FROM mb_keys k LEFT JOIN mb_props p ON p.key = k.id WHERE k.path = ?1");
    st.bind(1, path.toLower());
    auto key = std::make_shared<KeyState>();
    PropMap props;
    bool found = false;
    while (st.step()) {
        if (!found) {
            found = true;
            key->id = st.number(0);
            key->path = st.text(1);
            key->name = st.text(2);
            key->cls = st.text(3);
        }
        if (!st.isNull(4))
            props.emplace(st.text(4), Prop{st.text(5), decode(static_cast<int>(st.number(6)), st.text(7))});
    }
    if (!found)
        return metabaseError(hr::PathNotFound);
    return MetabaseObjectPtr(std::make_unique<StoredObject>(*this, std::move(key), std::move(props)));
}

std::pair<int, QString> MetabaseStore::encode(const MetaValue& value) {
    switch (value.kind()) {
    case MetaValue::Kind::String:
        return {TString, value.toString()};
    case MetaValue::Kind::Number:
        return {TNumber, QString::number(value.toNumber())};
    case MetaValue::Kind::Boolean:
        return {TBoolean, value.toBool() ? u"1"_s : u"0"_s};
    case MetaValue::Kind::StringList:
    case MetaValue::Kind::MimeMap:
        break;
    }
    const QJsonArray array = QJsonArray::fromStringList(value.toStringList());
    return {value.kind() == MetaValue::Kind::MimeMap ? TMimeMap : TStringList,
            QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact))};
}

MetaValue MetabaseStore::decode(int type, const QString& text) {
    switch (type) {
    case TNumber:
        return MetaValue(static_cast<std::uint32_t>(text.toULongLong()));
    case TBoolean:
        return MetaValue(text == u"1"_s);
    case TStringList:
    case TMimeMap: {
        QStringList list;
        for (const auto& v : QJsonDocument::fromJson(text.toUtf8()).array())
            list << v.toString();
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
        return MetaValue(text);
    }
}

} // namespace emulation
