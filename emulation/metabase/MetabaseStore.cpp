#include "emulation/metabase/MetabaseStore.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/History.h"
#include "emulation/metabase/KeyCache.h"
#include "emulation/metabase/MetabaseErrors.h"
#include "emulation/metabase/StoredObject.h"

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
    : m_store(store), m_before(store.m_db.ownChanges()), m_outermost(store.m_db.autocommit()) {
    history::beforeChange(store.m_db); // the version from before this change, when one is due
}

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
