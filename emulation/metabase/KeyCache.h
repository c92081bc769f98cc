#pragma once

// The keys a MetabaseStore keeps from one read scope to the next: each key as read with its
// property record, and the children of a key once they are all listed, so that an enumeration and
// the binds that follow it read the database once.

#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/PropertyRecord.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace emulation::metabase {

using machine::Database;
using machine::Statement;

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

// Reads one key into the scope's cache (filling in its stub); null when there is no such key.
const CachedKey* fetch(Database& db, ScopeCache& cache, const QString& path, CachedKey* stub);
// Reads every child of every child of a listed key in one query: after enumerating a service,
// binding any of its sites' roots reads nothing more.
void fetchGrandchildren(Database& db, ScopeCache& cache, CachedKey& parent);

} // namespace emulation::metabase
