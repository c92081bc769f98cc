// The state transitions of a site's key: Start refuses bindings that a started site already serves
// and leaves the site stopped; Pause only from started, Continue only from paused; each stores
// ServerState at once, in a transaction of its own.

#include "emulation/metabase/BindingIndex.h"
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

} // namespace emulation::metabase
