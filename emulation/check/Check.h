#pragma once

// The consistency check of a machine. It reads the metabase, the accounts, the access-control
// entries under the sites root and the folders in one read scope and finds what an interrupted
// operation, a hand edit or another tool left behind; Repair.h mends what can be mended without
// losing anything.

#include "platform/Outcome.h"

#include <QString>

#include <vector>

namespace emulation::machine {
class Machine;
}

namespace emulation::check {

// What a finding is about. The text names (kindName) are what the report and the JSON show.
enum class Kind {
    MissingFolder,     // a site's home directory or its default page is missing
    AnonymousUser,     // a site's anonymous user is missing, disabled, or its password differs
    MissingPool,       // a site's AppPoolId names no pool
    UnusedPool,        // a pool (other than DefaultAppPool) that no site uses
    FtpDirectory,      // an FTP directory whose site or folder is missing
    UnusedAccount,     // an enabled account of velmorausers that nothing uses
    OrphanFolder,      // a folder under the sites root that nothing uses
    DeletedAccountAce, // entries under the sites root of accounts that no longer exist
    ForeignAccountAce, // a site folder that grants another site's own account a right
    RootNotSecured,    // the sites root lacks the securing of the sites-root menu
    SharedBinding,     // a binding that two sites share
};
QString kindName(Kind kind);

// How a finding would be mended.
enum class Repair {
    None,                  // reported only: mending it could lose data or guess
    DeletePool,            // the pool key goes
    ResetPool,             // AppPoolId back to DefaultAppPool
    DeleteFtpDirectory,    // the FTP directory's key goes (never its folder)
    RemoveAces,            // icacls /remove of the deleted accounts' SIDs on that path
    SecureRoot,            // the five command lines that secure the sites root
    DisableAccount,        // net user NAME /active:no
    SyncAnonymousPassword, // the site's own account takes the password the metabase holds
};

struct Finding {
    Kind kind;
    QString site;    // the site's number, or empty
    QString name;    // the site's name (ServerComment), or empty
    QString object;  // what is wrong: a path, a metabase key, an account, a binding
    QString problem; // what is wrong with it, for the operator
    Repair repair = Repair::None;
    QString argument; // what the repair needs: a pool key, an account, SIDs, a password
    bool operator==(const Finding&) const = default;
};

// The state a check found: the sites root it looked at and its findings in a stable order.
struct Result {
    QString sitesRoot;
    std::vector<Finding> findings;
};

// The sites root as the settings file names it ([HomePath] PATH of config.ini in the drivers
// folder), D:\WebRoot when it names none.
QString sitesRoot(machine::Machine& machine);

// Reads everything in one read scope. Fails only when the machine cannot be read.
platform::Outcome<Result> run(machine::Machine& machine);

// What a repair of the finding does, for the operator; "仅报告" for findings not mended.
QString repairText(const Finding& finding);

} // namespace emulation::check
