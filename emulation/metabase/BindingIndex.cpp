#include "emulation/metabase/BindingIndex.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/PropertyRecord.h"

#include <QSet>

#include <utility>
#include <vector>

namespace emulation::metabase::bindingindex {

using machine::Database;

using namespace Qt::Literals::StringLiterals;

QString key(const QString& binding) {
    const QStringList parts = binding.split(u':');
    if (parts.size() < 3)
        return binding.trimmed().toLower();
    return parts[0].trimmed() + u':' + parts[1].trimmed() + u':' +
           parts.mid(2).join(u':').trimmed().toLower();
}

namespace {

// The distinct keys of a record's own ServerBindings (empty entries bind nothing).
QStringList keysOf(const QString& record) {
    QStringList out;
    QSet<QString> seen;
    const auto bindings = PropertyRecord::find(record, u"ServerBindings");
    if (!bindings)
        return out;
    for (const QString& b : bindings->toStringList()) {
        if (b.isEmpty())
            continue;
        QString k = key(b);
        if (!seen.contains(k)) {
            seen.insert(k);
            out << std::move(k);
        }
    }
    return out;
}

bool insert(Database& db, std::int64_t keyId, const QStringList& keys) {
    for (const QString& k : keys) {
        auto st = db.prepare("INSERT INTO mb_bindings(key, binding) VALUES (?1, ?2)");
        st.bind(1, keyId).bind(2, k);
        if (!st.run())
            return false;
    }
    return true;
}

} // namespace

bool store(Database& db, std::int64_t keyId, const QString& record) {
    auto clear = db.prepare("DELETE FROM mb_bindings WHERE key = ?1");
    clear.bind(1, keyId);
    return clear.run() && insert(db, keyId, keysOf(record));
}

bool rebuild(Database& db) {
    if (!db.exec("DELETE FROM mb_bindings"))
        return false;
    std::vector<std::pair<std::int64_t, QStringList>> rows;
    {
        auto st = db.prepare("SELECT id, props FROM mb_keys WHERE props LIKE '%ServerBindings%'");
        while (st.step())
            if (QStringList keys = keysOf(st.text(1)); !keys.isEmpty())
                rows.emplace_back(st.number(0), std::move(keys));
    }
    for (const auto& [id, keys] : rows)
        if (!insert(db, id, keys))
            return false;
    return true;
}

} // namespace emulation::metabase::bindingindex
