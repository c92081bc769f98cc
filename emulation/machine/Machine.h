#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>

namespace emulation::accounts {
class AccountStore;
}
namespace emulation::files {
class FileSystem;
}
namespace emulation::cmd {
class Interpreter;
}
namespace emulation::metabase {
class MetabaseStore;
}

namespace emulation::machine {

class Database;

// The emulated Windows Server 2003 + IIS 6 machine: a folder holding machine.db (SQLite: the
// metabase, accounts, permissions and the machine's facts) and drives/<letter>/ for its disks.
class Machine {
public:
    ~Machine();

    // The default machine: $VELMORA_MACHINE, or the per-user data folder.
    static QString defaultFolder();

    // Opens an installed machine. A missing machine is named with the command that installs one;
    // a damaged database is reported, never replaced.
    static platform::Outcome<std::unique_ptr<Machine>> open(const QString& folder);

    struct InstallOptions {
        QString name = QStringLiteral("VELMORA"); // the computer name
        // The passwords of IUSR_<name> and IWAM_<name>; random ones when empty.
        QString anonymousPassword;
        QString wamPassword;
    };
    // Lays down a fresh Windows Server 2003 SP2 (Chinese edition) with IIS 6 at a folder that
    // does not exist yet or is empty. The machine is built beside it and renamed into place once
    // complete. Opening refuses a machine that is not complete.
    static platform::Outcome<std::unique_ptr<Machine>> install(const QString& folder,
                                                               const InstallOptions& options);

    QString folder() const { return m_folder; }
    QString drivesFolder() const;
    // The file on this computer behind a Windows path of the machine; empty when the path is
    // not on one of its drives.
    QString hostPath(const QString& windowsPath) const;

    Database& db() { return *m_db; }
    metabase::MetabaseStore& metabase() { return *m_metabase; }
    accounts::AccountStore& accounts() { return *m_accounts; }
    files::FileSystem& files() { return *m_files; }
    cmd::Interpreter& interpreter() { return *m_interpreter; }

    QString fact(const QString& name) const;
    // False when the fact could not be stored (db().lastError() says why).
    bool setFact(const QString& name, const QString& value);

    // The version the database's layout has once this build has opened it.
    static int schemaVersion();

private:
    Machine(QString folder, std::unique_ptr<Database> db);
    static platform::Outcome<std::unique_ptr<Machine>> installInto(const QString& folder,
                                                                   const InstallOptions& options);
    platform::Status serving(const QString& metabasePath) const;
    platform::Status seedAccounts(const QByteArray& list, const std::map<QString, QString>& placeholders);
    platform::Status seedPermissions(const QByteArray& list);

    QString m_folder;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<metabase::MetabaseStore> m_metabase;
    std::unique_ptr<accounts::AccountStore> m_accounts;
    std::unique_ptr<files::FileSystem> m_files;
    std::unique_ptr<cmd::Interpreter> m_interpreter;
    mutable QStringList m_stopped;            // services found stopped
    mutable std::uint64_t m_stoppedScope = 0; // the read scope they were read in
};

} // namespace emulation::machine

// Also reachable as emulation::Machine, the name callers outside the emulation know it by.
namespace emulation {
using machine::Machine;
}
