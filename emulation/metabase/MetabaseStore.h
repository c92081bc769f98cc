#pragma once

#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseErrors.h"
#include "platform/Metabase.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace emulation::machine {
class Statement;
}

namespace emulation::metabase {

struct KeyState;
struct ScopeCache;
struct CachedKey;

// The IIS 6 metabase over the machine's SQLite database. Keys are kept by path with their class
// (KeyType), typed properties and children in creation order. Nothing is cached between
// operations: each bound object reads its key at its bind, and SetInfo stores its changes in one
// transaction, so several processes can share one machine. Inside a read scope the metabase holds
// still (one SQLite snapshot), so the keys read in it are kept for its binds: an enumeration reads
// all the children with their properties in one query, and binding one of them, or one of their
// own children, reads nothing more. The keys stay kept after the scope: the next scope uses them
// again when nothing changed the metabase meanwhile, and this connection's own writes through
// bound objects are laid onto them once committed. Any other change (another process's commit, a
// write inside a scope, a rollback, an import) drops them.
class MetabaseStore final : public platform::Metabase {
public:
    // available(path) is asked before every bind: the IIS services may be stopped.
    explicit MetabaseStore(machine::Database& db,
                           std::function<platform::Status(const QString&)> available = {});
    ~MetabaseStore() override;

    platform::Outcome<platform::MetabaseObjectPtr> Bind(const QString& adsPath) override;
    std::unique_ptr<platform::MetabaseReadScope> ReadScope() override;

    // "IIS://LocalHost/W3SVC/1" -> "/LM/W3SVC/1"; nullopt for a path of another host or form.
    static std::optional<QString> metabasePath(const QString& adsPath);
    // Binds by metabase path ("/LM/W3SVC"), without the service check.
    platform::Outcome<platform::MetabaseObjectPtr> bindPath(const QString& path);

    machine::Database& db() { return m_db; }

    // For bound objects. The keys kept for the read scope now open, or null outside a scope.
    ScopeCache* scopeCache();
    // The property record of the key at a metabase path; nullopt when there is none.
    std::optional<QString> recordAt(const QString& path);
    // Bound objects for the children of the key with id and path, in creation order.
    std::vector<platform::MetabaseObjectPtr> children(std::int64_t id, const QString& path);

    // What one committed write of a bound object did to one key.
    struct KeyEdit {
        enum class Kind { Inserted, Changed, Deleted } kind;
        QString path; // as created: "/LM/W3SVC/10000"
        std::int64_t id = 0;
        QString cls;
        QString record;
    };
    // A bound object's write, from before its transaction to its commit.
    class OwnWrite {
    public:
        explicit OwnWrite(MetabaseStore& store);
        void note(KeyEdit edit) { m_edits.push_back(std::move(edit)); }
        // After the commit: the kept keys take the edits, when they saw everything before them.
        void committed();

    private:
        MetabaseStore& m_store;
        machine::Database::OwnChanges m_before;
        bool m_outermost;
        std::vector<KeyEdit> m_edits;
    };

private:
    // The key at a path as the open scope has it, read when it is not kept yet; null when none.
    const CachedKey* cachedKey(ScopeCache& cache, const QString& path);

    machine::Database& m_db;
    std::unique_ptr<ScopeCache> m_cache;
    std::function<platform::Status(const QString&)> m_available;
};

} // namespace emulation::metabase

// Also reachable as emulation::MetabaseStore, the name callers outside the emulation know it by.
namespace emulation {
using metabase::MetabaseStore;
}
