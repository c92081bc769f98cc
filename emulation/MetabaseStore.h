#pragma once

#include "platform/Metabase.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace emulation {

class Database;
struct KeyState;

// Windows' texts for the error numbers the metabase reports.
platform::Error metabaseError(std::uint32_t number);

// The IIS 6 metabase over the machine's SQLite database. Keys are kept by path with their class
// (KeyType), typed properties and children in creation order. Nothing is cached between binds:
// each bound object reads its key afresh, and SetInfo stores its changes in one transaction, so
// several processes can share one machine.
class MetabaseStore final : public platform::Metabase {
public:
    // available(path) is asked before every bind: the IIS services may be stopped.
    explicit MetabaseStore(Database& db, std::function<platform::Status(const QString&)> available = {});

    platform::Outcome<platform::MetabaseObjectPtr> Bind(const QString& adsPath) override;
    std::unique_ptr<platform::MetabaseReadScope> ReadScope() override;

    // "IIS://LocalHost/W3SVC/1" -> "/LM/W3SVC/1"; nullopt for a path of another host or form.
    static std::optional<QString> metabasePath(const QString& adsPath);
    // Binds by metabase path ("/LM/W3SVC"), without the service check.
    platform::Outcome<platform::MetabaseObjectPtr> bindPath(const QString& path);

    Database& db() { return m_db; }

private:
    Database& m_db;
    std::function<platform::Status(const QString&)> m_available;
};

} // namespace emulation
