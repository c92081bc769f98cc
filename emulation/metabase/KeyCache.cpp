#include "emulation/metabase/KeyCache.h"

namespace emulation::metabase {

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

} // namespace emulation::metabase
