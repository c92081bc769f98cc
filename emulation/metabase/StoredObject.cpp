#include "emulation/metabase/StoredObject.h"

#include "emulation/metabase/BindingIndex.h"
#include "emulation/metabase/MetabaseErrors.h"
#include "emulation/metabase/MetabaseSchema.h"

#include <algorithm>
#include <array>
#include <string>

namespace emulation::metabase {

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::MetabaseObjectPtr;
using platform::MetaChild;
using platform::MetaValue;
using platform::MimeMapList;
using platform::Outcome;
using platform::Status;
namespace hr = platform::hr;

namespace {

QString parentPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QString() : path.left(slash);
}

} // namespace

std::optional<QString> recordOf(Database& db, std::int64_t id) {
    auto st = db.prepare("SELECT props FROM mb_keys WHERE id = ?1");
    st.bind(1, id);
    if (!st.step())
        return std::nullopt;
    return st.text(0);
}

Outcome<MetaValue> StoredObject::Get(const QString& property) {
    if (sameIgnoringCase(property, u"KeyType"))
        return MetaValue(m_key->cls);
    if (sameIgnoringCase(property, u"Name"))
        return MetaValue(m_key->name);
    // The usual case first: a property the key holds itself, with nothing put since the bind.
    if (m_pending.empty()) {
        if (auto own = PropertyRecord::find(m_record, property))
            return *own;
    }
    if (const auto flag = schema::flagBit(property)) {
        const auto flags = Get(flag->flagsProperty);
        if (!flags)
            return flags.error();
        return MetaValue((flags.value().toNumber() & flag->bit) != 0);
    }
    if (const auto it = m_pending.find(property.toLower()); it != m_pending.end()) {
        if (it->second)
            return it->second->value;
    } else if (auto own = PropertyRecord::find(m_record, property)) {
        return *own;
    }
    if (schema::isInheritable(property))
        if (auto value = inherited(property))
            return *value;
    return metabaseError(hr::PropertyNotFound);
}

std::optional<MetaValue> StoredObject::inherited(const QString& property) {
    auto fromKey = [&](const QString& path) -> std::optional<MetaValue> {
        const auto record = m_store.recordAt(path);
        if (!record)
            return std::nullopt;
        return PropertyRecord::find(*record, property);
    };
    for (QString path = parentPath(m_key->path); !path.isEmpty(); path = parentPath(path))
        if (auto value = fromKey(path))
            return value;
    // Keys without a MimeMap of their own read the machine's default list.
    if (property.compare(u"MimeMap"_s, Qt::CaseInsensitive) == 0)
        return fromKey(u"/LM/MimeMap"_s);
    return std::nullopt;
}

void StoredObject::Put(const QString& property, const MetaValue& value) {
    if (const auto flag = schema::flagBit(property)) {
        const QString lower = flag->flagsProperty.toLower();
        const bool relative = pendingIsRelative(lower);
        RelativeChange change = relative ? m_relative[lower] : RelativeChange{};
        std::uint32_t flags = Get(flag->flagsProperty).valueOr(MetaValue(0u)).toNumber();
        flags = value.toBool() ? (flags | flag->bit) : (flags & ~flag->bit);
        Put(flag->flagsProperty, MetaValue(flags));
        if (relative) {
            change.set = value.toBool() ? change.set | flag->bit : change.set & ~flag->bit;
            change.clear = value.toBool() ? change.clear & ~flag->bit : change.clear | flag->bit;
            m_relative[lower] = change;
        }
        return;
    }
    const QString name = schema::canonicalName(property);
    m_pending[property.toLower()] = StoredProperty{name, schema::coerce(name, value)};
    m_relative.erase(property.toLower());
}

std::map<QString, std::optional<StoredProperty>> StoredObject::resolvedChanges() {
    auto changes = m_pending;
    if (m_relative.empty())
        return changes;
    const QString record = m_key->id == 0 ? QString() : recordOf(m_store.db(), m_key->id).value_or(QString());
    for (const auto& [lower, change] : m_relative) {
        auto it = changes.find(lower);
        if (it == changes.end() || !it->second)
            continue;
        const QString& name = it->second->name;
        std::optional<MetaValue> stored = PropertyRecord::find(record, name);
        if (!stored && schema::isInheritable(name))
            stored = inherited(name);
        if (it->second->value.kind() == MetaValue::Kind::Number) {
            const std::uint32_t base = stored.value_or(MetaValue(0u)).toNumber();
            it->second->value = MetaValue((base & ~change.clear) | change.set);
        } else {
            MimeMapList list = stored ? stored->toMimeMap() : MimeMapList{};
            for (const auto& v : change.remove)
                list.removeAll(v);
            list.append(change.add);
            it->second->value = MetaValue(list);
        }
    }
    return changes;
}

Status StoredObject::storeKeys(std::vector<KeyState*>& stored, MetabaseStore::OwnWrite& write) {
    // Store this key and any parent created with it, parents first.
    std::vector<KeyState*> chain;
    for (KeyState* k = m_key.get(); k && k->id == 0; k = k->parent.get())
        chain.push_back(k);
    auto idOf = [&](const QString& path) -> std::int64_t {
        auto find = m_store.db().prepare("SELECT id FROM mb_keys WHERE path = ?1");
        find.bind(1, path.toLower());
        return find.step() ? find.number(0) : 0;
    };
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        KeyState* k = *it;
        const std::int64_t parentId = idOf(parentPath(k->path));
        if (parentId == 0)
            return metabaseError(hr::PathNotFound);
        if (idOf(k->path) != 0)
            return metabaseError(hr::AlreadyExists);
        auto insert = m_store.db().prepare(
            "INSERT INTO mb_keys(parent, path, cpath, name, keytype, props) VALUES (?1, ?2, ?3, ?4, ?5, '')");
        insert.bind(1, parentId).bind(2, k->path.toLower()).bind(3, k->path).bind(4, k->name).bind(5, k->cls);
        if (!insert.run())
            return Error{hr::Fail, m_store.db().lastError()};
        k->id = m_store.db().lastInsertId();
        stored.push_back(k);
        write.note({MetabaseStore::KeyEdit::Kind::Inserted, k->path, k->id, k->cls, QString()});
    }
    return {};
}

// Applies changes to the key's record as stored now (another process may have changed other
// properties since the bind); the caller holds the transaction.
Status StoredObject::storeChanges(const std::map<QString, std::optional<StoredProperty>>& changes,
                                  MetabaseStore::OwnWrite& write) {
    Database& db = m_store.db();
    auto current = recordOf(db, m_key->id);
    if (!current)
        return metabaseError(hr::PathNotFound); // deleted since it was bound
    auto properties = PropertyRecord::decode(*current);
    QString cls = m_key->cls;
    for (const auto& [lname, prop] : changes) {
        if (lname == u"keytype"_s) {
            cls = prop ? prop->value.toString() : QString();
            continue;
        }
        PropertyRecord::set(properties, prop ? prop->name : lname,
                            prop ? std::optional(prop->value) : std::nullopt);
    }
    const QString record = PropertyRecord::encode(properties);
    auto st = db.prepare("UPDATE mb_keys SET props = ?2, keytype = ?3 WHERE id = ?1");
    st.bind(1, m_key->id).bind(2, record).bind(3, cls);
    if (!st.run())
        return Error{hr::Fail, db.lastError()};
    if (changes.contains(u"serverbindings"_s) && !bindingindex::store(db, m_key->id, record))
        return Error{hr::Fail, db.lastError()};
    m_record = record;
    m_key->cls = cls;
    write.note({MetabaseStore::KeyEdit::Kind::Changed, m_key->path, m_key->id, cls, record});
    return {};
}

Status StoredObject::SetInfo() {
    Database& db = m_store.db();
    MetabaseStore::OwnWrite write(m_store);
    Database::Transaction tx(db);
    if (!tx.ok())
        return Error{hr::Fail, db.lastError()};
    std::vector<KeyState*> stored;
    const QString recordBefore = m_record;
    const QString classBefore = m_key->cls;
    auto fail = [&](Error e) -> Status {
        for (KeyState* k : stored)
            k->id = 0;
        m_record = recordBefore;
        m_key->cls = classBefore;
        return e;
    };
    if (Status keys = storeKeys(stored, write); !keys)
        return fail(keys.error());
    if (Status changes = storeChanges(resolvedChanges(), write); !changes)
        return fail(changes.error());
    if (!tx.commit())
        return fail(Error{hr::Fail, db.lastError()});
    write.committed();
    for (KeyState* k : stored)
        k->parent.reset();
    m_pending.clear();
    m_relative.clear();
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
    if (m_key->id == 0)
        return std::vector<MetabaseObjectPtr>{};
    return m_store.children(m_key->id, m_key->path);
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
    return MetabaseObjectPtr(std::make_unique<StoredObject>(m_store, std::move(key), QString()));
}

Status StoredObject::Delete(const QString& /*cls*/, const QString& name) {
    MetabaseStore::OwnWrite write(m_store);
    const QString path = m_key->path + u'/' + name;
    auto st = m_store.db().prepare("DELETE FROM mb_keys WHERE path = ?1");
    st.bind(1, path.toLower());
    if (!st.run())
        return Error{hr::Fail, m_store.db().lastError()};
    if (m_store.db().changes() == 0)
        return metabaseError(hr::PathNotFound);
    write.note({MetabaseStore::KeyEdit::Kind::Deleted, path, 0, QString(), QString()});
    write.committed();
    return {};
}

Outcome<MetabaseObjectPtr> StoredObject::GetObject(const QString& /*cls*/, const QString& name) {
    return m_store.bindPath(m_key->path + u'/' + name);
}

Status StoredObject::AppCreate(bool inProcess) {
    // The application root is the key itself; in-process applications are isolation 0.
    const StoredProperty root{u"AppRoot"_s, MetaValue(m_key->path)};
    const StoredProperty isolated{u"AppIsolated"_s, MetaValue(inProcess ? 0u : 1u)};
    if (m_key->id == 0) {
        // Stored with the key at its SetInfo.
        m_pending[u"approot"_s] = root;
        m_pending[u"appisolated"_s] = isolated;
        return {};
    }
    MetabaseStore::OwnWrite write(m_store);
    Database::Transaction tx(m_store.db());
    if (!tx.ok())
        return Error{hr::Fail, m_store.db().lastError()};
    Status s = storeChanges({{u"approot"_s, root}, {u"appisolated"_s, isolated}}, write);
    if (s && !tx.commit())
        s = Error{hr::Fail, m_store.db().lastError()};
    if (s) {
        write.committed();
        m_pending.erase(u"approot"_s);
        m_pending.erase(u"appisolated"_s);
    }
    return s;
}

Outcome<MimeMapList> StoredObject::GetEx(const QString& property) {
    auto v = Get(property);
    if (!v)
        return v.error();
    return v.value().toMimeMap();
}

Status StoredObject::PutEx(platform::PutExControl control, const QString& property,
                           const MimeMapList& values) {
    switch (control) {
    case platform::PutExControl::Clear:
        m_pending[property.toLower()] = std::nullopt;
        m_relative.erase(property.toLower());
        return {};
    case platform::PutExControl::Update:
        Put(property, MetaValue(values));
        return {};
    case platform::PutExControl::Append:
    case platform::PutExControl::Delete: {
        const QString lower = property.toLower();
        const bool relative = pendingIsRelative(lower);
        const bool append = control == platform::PutExControl::Append;
        RelativeChange change = relative ? m_relative[lower] : RelativeChange{};
        MimeMapList all = GetEx(property).valueOr({});
        for (const auto& v : values)
            if (append)
                all.append(v);
            else
                all.removeAll(v);
        Put(property, MetaValue(all));
        if (relative) {
            for (const auto& v : values) {
                (append ? change.remove : change.add).removeAll(v);
                (append ? change.add : change.remove).append(v);
            }
            m_relative[lower] = change;
        }
        return {};
    }
    }
    return metabaseError(hr::InvalidArgument);
}

std::unique_ptr<StoredObject> objectFromRow(MetabaseStore& store, const Statement& st) {
    auto key = std::make_shared<KeyState>();
    key->id = st.number(0);
    key->path = st.text(1);
    key->name = st.text(2);
    key->cls = st.text(3);
    return std::make_unique<StoredObject>(store, std::move(key), st.text(4));
}

MetabaseObjectPtr objectFromKey(MetabaseStore& store, const CachedKey& cached) {
    auto key = std::make_shared<KeyState>();
    key->id = cached.id;
    key->path = cached.cpath;
    key->name = cached.name;
    key->cls = cached.cls;
    return std::make_unique<StoredObject>(store, std::move(key), cached.props);
}

} // namespace emulation::metabase
