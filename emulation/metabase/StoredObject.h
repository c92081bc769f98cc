#pragma once

// The bound objects of a MetabaseStore. StoredObject.cpp holds the properties and the children,
// StoredObjectState.cpp the state transitions of a site (ServerState 2, 4, 6).

#include "emulation/metabase/KeyCache.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/PropertyRecord.h"
#include "platform/Metabase.h"

#include <map>
#include <memory>
#include <optional>

namespace emulation::metabase {

// A key as bound objects see it. Children created under a key that is not stored yet share its
// state, so that storing a child first stores its parent's key too.
struct KeyState {
    std::int64_t id = 0; // 0 while the key is not stored
    QString path;        // "/LM/W3SVC/10000", as created
    QString name;
    QString cls;
    std::shared_ptr<KeyState> parent; // kept only while this key is not stored
};

// A bound object: the key as read at its bind, the property cache that SetInfo commits, and the
// methods that change the key at once (Start, Stop, Pause, Continue, AppCreate).
class StoredObject final : public platform::MetabaseObject {
public:
    StoredObject(MetabaseStore& store, std::shared_ptr<KeyState> key, QString record)
        : m_store(store), m_key(std::move(key)), m_record(std::move(record)) {}

    QString Class() const override { return m_key->cls; }
    QString Name() const override { return m_key->name; }
    QString ADsPath() const override { return QStringLiteral("IIS://LocalHost") + m_key->path.mid(3); }

    platform::Outcome<platform::MetaValue> Get(const QString& property) override;
    void Put(const QString& property, const platform::MetaValue& value) override;
    platform::Status SetInfo() override;
    platform::Outcome<std::vector<platform::MetaChild>> Children() override;
    platform::Outcome<std::vector<platform::MetabaseObjectPtr>> Enumerate() override;
    platform::Outcome<platform::MetabaseObjectPtr> Create(const QString& cls, const QString& name) override;
    platform::Status Delete(const QString& cls, const QString& name) override;
    platform::Outcome<platform::MetabaseObjectPtr> GetObject(const QString& cls,
                                                             const QString& name) override;
    platform::Status Start() override;
    platform::Status Stop() override;
    platform::Status Pause() override;
    platform::Status Continue() override;
    platform::Status AppCreate(bool inProcess) override;
    platform::Outcome<platform::MimeMapList> GetEx(const QString& property) override;
    platform::Status PutEx(platform::PutExControl control, const QString& property,
                           const platform::MimeMapList& values) override;

private:
    std::optional<platform::MetaValue> inherited(const QString& property);
    platform::Status storeKeys(std::vector<KeyState*>& stored, MetabaseStore::OwnWrite& write);
    platform::Status storeChanges(const std::map<QString, std::optional<StoredProperty>>& changes,
                                  MetabaseStore::OwnWrite& write);
    // The pending changes with the relative ones applied to the values stored now.
    std::map<QString, std::optional<StoredProperty>> resolvedChanges();
    platform::Status setState(std::uint32_t state, MetabaseStore::OwnWrite& write);
    platform::Status storeState(std::uint32_t state, bool (*allowed)(std::uint32_t stored));
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
        platform::MimeMapList add;
        platform::MimeMapList remove;
    };
    std::map<QString, RelativeChange> m_relative;
    // Whether a property's pending value is relative to the stored one (or none is pending).
    bool pendingIsRelative(const QString& lowerName) const {
        return !m_pending.contains(lowerName) || m_relative.contains(lowerName);
    }
};

// The stored property record of a key, or nullopt when the key is gone.
std::optional<QString> recordOf(Database& db, std::int64_t id);
// A bound object from a row "id, cpath, name, keytype, props" of mb_keys.
std::unique_ptr<StoredObject> objectFromRow(MetabaseStore& store, const Statement& st);
// A bound object from a key kept by the read scope.
platform::MetabaseObjectPtr objectFromKey(MetabaseStore& store, const CachedKey& cached);

} // namespace emulation::metabase
