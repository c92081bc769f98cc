#include "emulation/metabase/MetabaseStore.h"

#include "emulation/metabase/BindingIndex.h"
#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseSchema.h"
#include "emulation/metabase/PropertyRecord.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <array>
#include <map>
#include <string>

namespace emulation::metabase {

using machine::Database;
using machine::Statement;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::MetabaseObjectPtr;
using platform::MetaChild;
using platform::MetaValue;
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

QString parentPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QString() : path.left(slash);
}

} // namespace

// A path or a name compared and hashed without regard to case, as the metabase compares them.
struct PathKey {
    QStringView path;
};
inline bool operator==(PathKey a, PathKey b) {
    return sameIgnoringCase(a.path, b.path);
}
inline size_t qHash(PathKey key, size_t seed) {
    // Hashed in lower case, as sameIgnoringCase compares.
    auto hash = [seed](QStringView text) {
        size_t h = seed;
        for (const QChar c : text)
            h = (h ^ asciiLower(c.unicode())) * 1099511628211ULL;
        return h;
    };
    const QStringView p = key.path;
    if (std::all_of(p.begin(), p.end(), [](QChar c) { return c.unicode() < 128; }))
        return hash(p);
    return hash(p.toString().toLower());
}

// A key as read inside a read scope, with its children once they are all read.
struct CachedKey {
    std::int64_t id = 0;
    QString cpath;
    QString name;
    QString cls;
    QString props;
    bool stub = false;                 // only a parent for listed children: the key itself is not read
    bool listed = false;               // children holds every child
    bool grandchildren = false;        // and every child of those is listed too
    std::vector<CachedKey*> children;  // in creation order
    QHash<PathKey, CachedKey*> byName; // made at the first search among many children
    std::size_t cursor = 0;            // where the last child was found: binds follow the list
    std::size_t at = 0;                // this key's place among its parent's children

    CachedKey* child(QStringView childName) {
        const std::size_t n = children.size();
        // Children are mostly bound in the order they were listed.
        for (std::size_t i = cursor > 0 ? cursor - 1 : 0; i < std::min(n, cursor + 1); ++i)
            if (PathKey{children[i]->name} == PathKey{childName}) {
                cursor = i + 1;
                return children[i];
            }
        if (n <= 8) {
            for (CachedKey* c : children)
                if (PathKey{c->name} == PathKey{childName})
                    return c;
            return nullptr;
        }
        if (byName.isEmpty()) {
            byName.reserve(static_cast<qsizetype>(n));
            for (std::size_t i = 0; i < n; ++i) {
                children[i]->at = i;
                byName.insert(PathKey{children[i]->name}, children[i]);
            }
        }
        CachedKey* found = byName.value(PathKey{childName}, nullptr);
        if (found)
            cursor = found->at + 1; // the next bind is likely the next child
        return found;
    }
};

// The keys read inside one read scope, for the length of the scope.
struct ScopeCache {
    std::uint64_t scope = 0;
    Database::OwnChanges changes;
    std::int64_t dataVersion = -1;
    // The keys, in blocks that never move.
    static constexpr std::size_t Block = 256;
    std::vector<std::unique_ptr<CachedKey[]>> blocks;
    std::size_t usedInBlock = Block;
    CachedKey& newKey() {
        if (usedInBlock == Block) {
            blocks.push_back(std::make_unique<CachedKey[]>(Block));
            usedInBlock = 0;
        }
        return blocks.back()[usedInBlock++];
    }
    QHash<PathKey, CachedKey*> tops; // keys read by path rather than as a child of a listed key
    QSet<QString> absent;            // lower-case paths read and not found
    std::vector<std::pair<QByteArray, QString>> classes; // one copy of each class name for all keys

    // A key from a row "id, cpath, name, keytype, props".
    CachedKey& add(const Statement& st) {
        const QByteArrayView cls = st.utf8(3);
        auto known =
            std::find_if(classes.begin(), classes.end(), [&](const auto& c) { return c.first == cls; });
        if (known == classes.end())
            known = classes.insert(known, {cls.toByteArray(), QString::fromUtf8(cls)});
        return add(st.number(0), st.text(1), st.text(2), known->second, st.text(4));
    }
    CachedKey& add(std::int64_t id, QString cpath, QString name, const QString& cls, QString props) {
        CachedKey& key = newKey();
        key.id = id;
        key.cpath = std::move(cpath);
        key.name = std::move(name);
        key.cls = cls;
        key.props = std::move(props);
        return key;
    }
    // The key at a path (perhaps a stub), or null; absent tells when it is known not to exist.
    CachedKey* find(QStringView path, bool& isAbsent) {
        isAbsent = false;
        const qsizetype slash = path.lastIndexOf(u'/');
        // Binds mostly go to a child of a key just used: a site of the service, then its root.
        if (slash > 0)
            for (CachedKey* parent : recent)
                if (parent && PathKey{parent->cpath} == PathKey{path.left(slash)})
                    return childOf(*parent, path.mid(slash + 1), isAbsent);
        // Or to a child of a child of one: the root of the next site.
        if (const qsizetype up = slash > 0 ? path.lastIndexOf(u'/', slash - 1) : -1; up > 0)
            for (CachedKey* grandparent : recent)
                if (grandparent && PathKey{grandparent->cpath} == PathKey{path.left(up)}) {
                    CachedKey* parent = childOf(*grandparent, path.sliced(up + 1, slash - up - 1), isAbsent);
                    if (!parent)
                        return nullptr;
                    if (parent->listed)
                        return childOf(*parent, path.mid(slash + 1), isAbsent);
                    break;
                }
        if (CachedKey* top = tops.value(PathKey{path}, nullptr))
            return top;
        if (slash > 0) {
            CachedKey* parent = find(path.left(slash), isAbsent);
            if (isAbsent)
                return nullptr;
            if (parent && parent->listed)
                return childOf(*parent, path.mid(slash + 1), isAbsent);
        }
        isAbsent = !absent.isEmpty() && absent.contains(path.toString().toLower());
        return nullptr;
    }

    // The last listed keys whose children were looked for, the latest first.
    std::array<CachedKey*, 3> recent{};
    CachedKey* childOf(CachedKey& parent, QStringView name, bool& isAbsent) {
        if (recent[0] != &parent) {
            const auto at = std::find(recent.begin(), recent.end(), &parent);
            std::move_backward(recent.begin(), at == recent.end() ? at - 1 : at,
                               at == recent.end() ? at : at + 1);
            recent[0] = &parent;
        }
        CachedKey* c = parent.child(name);
        isAbsent = c == nullptr;
        return c;
    }

    // Every kept copy of the key at a path: a key read by path before its parent was listed is
    // kept both ways, and an edit must reach each.
    void copiesOf(QStringView path, std::vector<CachedKey*>& out) {
        if (CachedKey* top = tops.value(PathKey{path}, nullptr))
            out.push_back(top);
        const qsizetype slash = path.lastIndexOf(u'/');
        if (slash <= 0)
            return;
        std::vector<CachedKey*> parents;
        copiesOf(path.left(slash), parents);
        for (CachedKey* parent : parents)
            if (parent->listed)
                if (CachedKey* c = parent->child(path.mid(slash + 1));
                    c && std::find(out.begin(), out.end(), c) == out.end())
                    out.push_back(c);
    }

    // Lays one committed write of this connection onto the kept keys.
    void apply(const MetabaseStore::KeyEdit& edit) {
        using Kind = MetabaseStore::KeyEdit::Kind;
        const qsizetype slash = edit.path.lastIndexOf(u'/');
        const QStringView name = QStringView(edit.path).mid(slash + 1);
        std::vector<CachedKey*> parents;
        if (slash > 0)
            copiesOf(QStringView(edit.path).left(slash), parents);
        switch (edit.kind) {
        case Kind::Inserted:
            absent.remove(edit.path.toLower());
            // Under a parent not listed, the key is read from the database when it is bound.
            for (CachedKey* parent : parents) {
                if (!parent->listed)
                    continue;
                CachedKey& key = add(edit.id, edit.path, name.toString(), edit.cls, edit.record);
                // A new key has no children; where its siblings' children are all listed, so are its.
                key.listed = parent->grandchildren;
                // Keys are numbered in creation order: the newest is the last child.
                key.at = parent->children.size();
                parent->children.push_back(&key);
                if (!parent->byName.isEmpty())
                    parent->byName.insert(PathKey{key.name}, &key);
            }
            return;
        case Kind::Changed: {
            std::vector<CachedKey*> keys;
            copiesOf(edit.path, keys);
            for (CachedKey* key : keys)
                if (!key->stub) {
                    key->props = edit.record;
                    key->cls = edit.cls;
                }
            return;
        }
        case Kind::Deleted: {
            recent.fill(nullptr);
            // The key goes with every key below it; the ones read by path are forgotten.
            const QString below = edit.path + u'/';
            for (auto it = tops.begin(); it != tops.end();)
                if (PathKey{it.value()->cpath} == PathKey{edit.path} ||
                    sameIgnoringCase(QStringView(it.value()->cpath).left(below.size()), below))
                    it = tops.erase(it);
                else
                    ++it;
            for (CachedKey* parent : parents) {
                if (!parent->listed)
                    continue;
                auto& siblings = parent->children;
                const auto gone = std::find_if(siblings.begin(), siblings.end(), [&](const CachedKey* c) {
                    return PathKey{c->name} == PathKey{name};
                });
                if (gone == siblings.end())
                    continue;
                parent->byName.remove(PathKey{(*gone)->name});
                for (auto after = siblings.erase(gone); after != siblings.end(); ++after)
                    --(*after)->at;
                parent->cursor = 0;
            }
            return;
        }
        }
    }
};

namespace {

// The stored property record of a key, or nullopt when the key is gone.
std::optional<QString> recordOf(Database& db, std::int64_t id) {
    auto st = db.prepare("SELECT props FROM mb_keys WHERE id = ?1");
    st.bind(1, id);
    if (!st.step())
        return std::nullopt;
    return st.text(0);
}

class StoredObject;
// A bound object from a row "id, cpath, name, keytype, props" of mb_keys.
std::unique_ptr<StoredObject> objectFromRow(MetabaseStore& store, const Statement& st);

class StoredObject final : public platform::MetabaseObject {
public:
    StoredObject(MetabaseStore& store, std::shared_ptr<KeyState> key, QString record)
        : m_store(store), m_key(std::move(key)), m_record(std::move(record)) {}

    QString Class() const override { return m_key->cls; }
    QString Name() const override { return m_key->name; }
    QString ADsPath() const override { return u"IIS://LocalHost"_s + m_key->path.mid(3); }

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
    std::optional<MetaValue> inherited(const QString& property);
    Status storeKeys(std::vector<KeyState*>& stored, MetabaseStore::OwnWrite& write);
    Status storeChanges(const std::map<QString, std::optional<StoredProperty>>& changes,
                        MetabaseStore::OwnWrite& write);
    // The pending changes with the relative ones applied to the values stored now.
    std::map<QString, std::optional<StoredProperty>> resolvedChanges();
    Status setState(std::uint32_t state, MetabaseStore::OwnWrite& write);
    Status storeState(std::uint32_t state, bool (*allowed)(std::uint32_t stored));
    std::uint32_t storedState();

    MetabaseStore& m_store;
    std::shared_ptr<KeyState> m_key;
    QString m_record; // the property cache: the key's properties as read at bind or stored since
    std::map<QString, std::optional<StoredProperty>> m_pending; // Put since SetInfo, by lower-case name
    // Changes relative to the stored value (a flag bit put, entries appended or deleted by PutEx),
    // by lower-case name: SetInfo applies them to the value stored at that moment, so that a
    // change another process made meanwhile is kept. A whole value put replaces them.
    struct RelativeChange {
        std::uint32_t set = 0;
        std::uint32_t clear = 0;
        MimeMapList add;
        MimeMapList remove;
    };
    std::map<QString, RelativeChange> m_relative;
    // Whether a property's pending value is relative to the stored one (or none is pending).
    bool pendingIsRelative(const QString& lowerName) const {
        return !m_pending.contains(lowerName) || m_relative.contains(lowerName);
    }
};

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

std::uint32_t StoredObject::storedState() {
    const auto record = recordOf(m_store.db(), m_key->id);
    if (!record)
        return 0;
    return PropertyRecord::find(*record, u"ServerState").value_or(MetaValue(0u)).toNumber();
}

Status StoredObject::setState(std::uint32_t state, MetabaseStore::OwnWrite& write) {
    // A method call, not a cached Put: the state is stored at once.
    Status s = storeChanges({{u"serverstate"_s, StoredProperty{u"ServerState"_s, MetaValue(state)}}}, write);
    if (s)
        m_pending.erase(u"serverstate"_s);
    return s;
}

Status StoredObject::Start() {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    Database& db = m_store.db();
    MetabaseStore::OwnWrite write(m_store);
    Database::Transaction tx(db);
    if (!tx.ok())
        return Error{hr::Fail, db.lastError()}; // without its transaction nothing is stored
    const auto record = recordOf(db, m_key->id);
    if (!record)
        return metabaseError(hr::PathNotFound);
    QSet<QString> mine;
    for (const QString& b :
         PropertyRecord::find(*record, u"ServerBindings").value_or(MetaValue()).toStringList())
        if (!b.isEmpty())
            mine.insert(bindingindex::key(b));
    // Bindings already served by a started site of the same service refuse the start. The
    // binding index names the only sites that can hold one of them.
    bool clash = false;
    if (!mine.isEmpty()) {
        std::string sql = "SELECT k.props FROM mb_bindings b JOIN mb_keys k ON k.id = b.key "
                          "WHERE k.parent = (SELECT parent FROM mb_keys WHERE id = ?1) AND k.id <> ?1 "
                          "AND b.binding IN (";
        for (qsizetype i = 0; i < mine.size(); ++i)
            sql += (i == 0 ? "?" : ", ?") + std::to_string(i + 2);
        sql += ")";
        auto others = db.prepare(sql.c_str());
        others.bind(1, m_key->id);
        int index = 2;
        for (const QString& k : std::as_const(mine))
            others.bind(index++, k);
        while (!clash && others.step()) {
            const QString other = others.text(0);
            if (PropertyRecord::find(other, u"ServerState").value_or(MetaValue(0u)).toNumber() != 2)
                continue;
            for (const QString& b :
                 PropertyRecord::find(other, u"ServerBindings").value_or(MetaValue()).toStringList())
                if (mine.contains(bindingindex::key(b))) {
                    clash = true;
                    break;
                }
        }
    }
    Status result = setState(clash ? 4u : 2u, write);
    if (result && !tx.commit())
        result = Error{hr::Fail, db.lastError()};
    if (!result)
        return result;
    write.committed();
    return clash ? metabaseError(hr::AlreadyExists) : Status{};
}

Status StoredObject::storeState(std::uint32_t state, bool (*allowed)(std::uint32_t stored)) {
    if (m_key->id == 0)
        return metabaseError(hr::PathNotFound);
    MetabaseStore::OwnWrite write(m_store);
    Database::Transaction tx(m_store.db());
    if (!tx.ok())
        return Error{hr::Fail, m_store.db().lastError()};
    if (allowed && !allowed(storedState()))
        return metabaseError(hr::ServiceNotActive);
    Status s = setState(state, write);
    if (!s || !tx.commit())
        return Error{hr::Fail, m_store.db().lastError()};
    write.committed();
    return s;
}

Status StoredObject::Stop() {
    return storeState(4, nullptr);
}

Status StoredObject::Pause() {
    // Only a running site can pause.
    return storeState(6, [](std::uint32_t stored) { return stored == 2u || stored == 6u; });
}

Status StoredObject::Continue() {
    return storeState(2, [](std::uint32_t stored) { return stored == 6u; });
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

class StoreReadScope final : public platform::MetabaseReadScope {
public:
    explicit StoreReadScope(MetabaseStore& store) { m_scope.emplace(store.db()); }
    // The keys read stay with the store: the next scope uses them again when nothing was
    // written in between (an operation mostly follows the list refresh that read every site).
    ~StoreReadScope() override = default;
    StoreReadScope(const StoreReadScope&) = delete;
    StoreReadScope& operator=(const StoreReadScope&) = delete;

private:
    std::optional<Database::ReadScope> m_scope;
};

// Reads one key into the scope's cache (filling in its stub); null when there is no such key.
const CachedKey* fetch(Database& db, ScopeCache& cache, const QString& path, CachedKey* stub) {
    auto st = db.prepare("SELECT id, cpath, name, keytype, props FROM mb_keys WHERE path = ?1");
    const QString lower = path.toLower();
    st.bind(1, lower);
    if (!st.step()) {
        cache.absent.insert(lower);
        return nullptr;
    }
    if (stub) {
        // The index views the stub's path: it goes before the path is replaced.
        cache.tops.remove(PathKey{stub->cpath});
        stub->id = st.number(0);
        stub->cpath = st.text(1);
        stub->name = st.text(2);
        stub->cls = st.text(3);
        stub->props = st.text(4);
        stub->stub = false;
        cache.tops.insert(PathKey{stub->cpath}, stub);
        return stub;
    }
    CachedKey& key = cache.add(st);
    cache.tops.insert(PathKey{key.cpath}, &key);
    return &key;
}

// Reads every child of every child of a listed key in one query: after enumerating a service,
// binding any of its sites' roots reads nothing more.
void fetchGrandchildren(Database& db, ScopeCache& cache, CachedKey& parent) {
    parent.grandchildren = true;
    auto& children = parent.children;
    // Children already listed keep their lists: those keys may be bound or edited through them.
    std::vector<bool> listedBefore(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        listedBefore[i] = children[i]->listed;
        children[i]->listed = true;
    }
    if (children.empty())
        return;
    // Under many children (a service's sites) one pass over the table in creation order, as the
    // rows lie, from the first child on (a key is made after its parent), is cheaper than looking
    // up each child's own children through the parent index. The children are in id order, so a
    // row's parent is found next to the last one, or else by a binary search.
    const bool many = children.size() >= 1000;
    auto st = many ? db.prepare("SELECT id, cpath, name, keytype, props, parent FROM mb_keys "
                                "WHERE id > ?1 ORDER BY id")
                   : db.prepare("SELECT id, cpath, name, keytype, props, parent FROM mb_keys "
                                "WHERE parent IN (SELECT id FROM mb_keys WHERE parent = ?1) ORDER BY id");
    st.bind(1, many ? children.front()->id : parent.id);
    std::size_t at = 0;
    while (st.step()) {
        const std::int64_t parentId = st.number(5);
        if (parentId < children.front()->id)
            continue; // a sibling of the children, or a key elsewhere in the metabase
        if (at >= children.size() || children[at]->id != parentId) {
            const auto found =
                std::lower_bound(children.begin(), children.end(), parentId,
                                 [](const CachedKey* c, std::int64_t id) { return c->id < id; });
            if (found == children.end() || (*found)->id != parentId)
                continue; // a child that the listing did not hold cannot be bound through it
            at = static_cast<std::size_t>(found - children.begin());
        }
        if (!listedBefore[at])
            children[at]->children.push_back(&cache.add(st));
    }
}

} // namespace

MetabaseStore::MetabaseStore(Database& db, std::function<Status(const QString&)> available)
    : m_db(db), m_available(std::move(available)) {}

MetabaseStore::~MetabaseStore() = default;

std::unique_ptr<platform::MetabaseReadScope> MetabaseStore::ReadScope() {
    return std::make_unique<StoreReadScope>(*this);
}

ScopeCache* MetabaseStore::scopeCache() {
    const std::uint64_t scope = m_db.readScope();
    if (scope == 0)
        return nullptr; // outside a scope every read goes to the database
    const Database::OwnChanges changes = m_db.ownChanges();
    if (m_cache && m_cache->scope != scope && m_cache->changes == changes && m_cache->dataVersion >= 0 &&
        m_cache->dataVersion == m_db.scopeDataVersion()) {
        // Nobody wrote since the scope the keys were read in: this scope sees the same state.
        m_cache->scope = scope;
        return m_cache.get();
    }
    if (!m_cache || m_cache->scope != scope || !(m_cache->changes == changes)) {
        // A changed state: a new scope after a commit, or this connection wrote or rolled back.
        m_cache.reset(); // before the new one is made: never two sets of keys at once
        m_cache = std::make_unique<ScopeCache>();
        m_cache->scope = scope;
        m_cache->changes = changes;
        m_cache->dataVersion = m_db.scopeDataVersion();
    }
    return m_cache.get();
}

const CachedKey* MetabaseStore::cachedKey(ScopeCache& cache, const QString& path) {
    bool absent = false;
    CachedKey* key = cache.find(path, absent);
    if (key && !key->stub)
        return key;
    if (absent)
        return nullptr;
    if (!key) {
        // A child of a child of a listed key: all of those are read at once.
        const qsizetype last = path.lastIndexOf(u'/');
        const qsizetype before = last > 0 ? path.lastIndexOf(u'/', last - 1) : -1;
        if (before > 0) {
            CachedKey* grandparent = cache.find(QStringView(path).left(before), absent);
            if (grandparent && grandparent->listed && !grandparent->grandchildren) {
                fetchGrandchildren(m_db, cache, *grandparent);
                key = cache.find(path, absent);
                if (key && !key->stub)
                    return key;
                if (absent)
                    return nullptr;
            }
        }
    }
    return fetch(m_db, cache, path, key);
}

std::optional<QString> MetabaseStore::recordAt(const QString& path) {
    if (ScopeCache* cache = scopeCache()) {
        if (const CachedKey* key = cachedKey(*cache, path))
            return key->props;
        return std::nullopt;
    }
    auto st = m_db.prepare("SELECT props FROM mb_keys WHERE path = ?1");
    st.bind(1, path.toLower());
    if (!st.step())
        return std::nullopt;
    return st.text(0);
}

std::vector<MetabaseObjectPtr> MetabaseStore::children(std::int64_t id, const QString& path) {
    std::vector<MetabaseObjectPtr> out;
    ScopeCache* cache = scopeCache();
    CachedKey* parent = nullptr;
    if (cache) {
        bool absent = false;
        parent = cache->find(path, absent);
        if (parent && parent->id != id) {
            // An object bound before its key was deleted and made again: its children are read
            // as they are, but kept under the path they are not.
            parent = nullptr;
            cache = nullptr;
        } else if (parent && parent->listed) {
            out.reserve(parent->children.size());
            for (const CachedKey* child : parent->children)
                out.push_back(objectFromKey(*this, *child));
            return out;
        } else if (!parent) {
            auto now = m_db.prepare("SELECT id FROM mb_keys WHERE path = ?1");
            now.bind(1, path.toLower());
            if (absent || !now.step() || now.number(0) != id) {
                cache = nullptr;
            } else {
                // The key was bound before the scope: it stands in the cache only as a parent.
                parent = &cache->newKey();
                parent->id = id;
                parent->cpath = path;
                parent->stub = true;
                cache->tops.insert(PathKey{parent->cpath}, parent);
            }
        }
    }
    // One read for all children with their properties, as an enumeration hands out bound objects.
    auto st =
        m_db.prepare("SELECT id, cpath, name, keytype, props FROM mb_keys WHERE parent = ?1 ORDER BY id");
    st.bind(1, id);
    while (st.step()) {
        if (cache) {
            CachedKey& key = cache->add(st);
            parent->children.push_back(&key);
            out.push_back(objectFromKey(*this, key));
        } else {
            out.push_back(objectFromRow(*this, st));
        }
    }
    if (parent)
        parent->listed = true;
    return out;
}

MetabaseStore::OwnWrite::OwnWrite(MetabaseStore& store)
    : m_store(store), m_before(store.m_db.ownChanges()), m_outermost(store.m_db.autocommit()) {}

void MetabaseStore::OwnWrite::committed() {
    ScopeCache* cache = m_store.m_cache.get();
    // Kept keys that missed a change already are dropped by the next scope; inside a scope the
    // write is not stored until the scope ends, so the scope's keys are dropped as well.
    if (!cache || !m_outermost || !(cache->changes == m_before))
        return;
    for (const KeyEdit& edit : m_edits)
        cache->apply(edit);
    cache->changes = m_store.m_db.ownChanges();
}

std::optional<QString> MetabaseStore::metabasePath(const QString& adsPath) {
    static const QString prefix = u"IIS://"_s;
    if (!adsPath.startsWith(prefix, Qt::CaseInsensitive))
        return std::nullopt;
    const QStringView rest = QStringView(adsPath).mid(prefix.size());
    const qsizetype slash = rest.indexOf(u'/');
    const QStringView host = slash < 0 ? rest : rest.left(slash);
    if (host.compare(u"localhost", Qt::CaseInsensitive) != 0 && host != u"127.0.0.1")
        return std::nullopt;
    QStringView path = slash < 0 ? QStringView() : rest.mid(slash);
    while (path.endsWith(u'/'))
        path.chop(1);
    if (path.contains(u"//"))
        return std::nullopt;
    QString full;
    full.reserve(3 + path.size());
    full.append(u"/LM").append(path);
    return full;
}

Outcome<MetabaseObjectPtr> MetabaseStore::Bind(const QString& adsPath) {
    const auto path = metabasePath(adsPath);
    if (!path)
        return metabaseError(hr::BadPathname);
    if (m_available) {
        Status up = m_available(*path);
        if (!up)
            return up.error();
    }
    return bindPath(*path);
}

Outcome<MetabaseObjectPtr> MetabaseStore::bindPath(const QString& path) {
    if (ScopeCache* cache = scopeCache()) {
        if (const CachedKey* key = cachedKey(*cache, path))
            return objectFromKey(*this, *key);
        return metabaseError(hr::PathNotFound);
    }
    auto st = m_db.prepare("SELECT id, cpath, name, keytype, props FROM mb_keys WHERE path = ?1");
    st.bind(1, path.toLower());
    if (!st.step())
        return metabaseError(hr::PathNotFound);
    return MetabaseObjectPtr(objectFromRow(*this, st));
}

} // namespace emulation::metabase
