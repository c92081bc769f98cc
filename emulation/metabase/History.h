#pragma once

// The metabase's history as IIS 6 keeps it: before a change, when the newest saved version is
// older than a minute (or there is none), the metabase as it stands is exported as MetaBase.xml
// into C:\WINDOWS\system32\inetsrv\History as MetaBase_<major>_<minor>.xml, beside the matching
// MBSchema_<major>_<minor>.xml. So a version from before a mistake exists whenever the mistake
// follows a quiet minute, and a burst of changes writes one version. MaxHistoryFiles (on /LM, 10
// unless set) versions are kept; older ones go. Whichever process writes, the version is written
// by that process before its change.

#include "platform/Outcome.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace emulation::machine {
class Database;
}

namespace emulation::metabase::history {

// The clock the one-minute rule reads; the system clock unless a test sets another. A null
// function restores the system clock.
void setClock(std::function<QDateTime()> clock);

struct Version {
    int major = 0;
    int minor = 0;
    QDateTime saved;
    int sites = 0;        // web sites in that version
    QString file;         // the file on this computer
    QString name() const; // "MetaBase_0000000003_0000000000.xml"
};

// The History folder on this computer of the machine whose database this is.
QString folder(machine::Database& db);

// Every version kept, oldest first.
std::vector<Version> versions(machine::Database& db);

// Called before every change of the metabase: saves a version when the rule asks for one.
// A failure to save is returned but does not stop the change.
platform::Status beforeChange(machine::Database& db);

// The version a text names: "3", "3_0", "MetaBase_0000000003_0000000000.xml"; nullopt when no
// kept version has that name.
std::optional<Version> find(machine::Database& db, const QString& text);

// Imports a kept version in place of the whole metabase (whole or nothing); the state before it
// goes into the history by the usual rule.
platform::Status restore(machine::Database& db, const Version& version);

} // namespace emulation::metabase::history
