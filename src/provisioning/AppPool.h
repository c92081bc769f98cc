#pragma once

#include "platform/CommandRunner.h"
#include "platform/Outcome.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace platform {
class Accounts;
class Metabase;
class Pacing;
} // namespace platform

// Metabase and account tasks of site creation that do not touch the window.
namespace AppPool {

// Runs one command line hidden and waits for it (the window's RunHidden, which records a failure
// on the operation under way).
using RunCommand = std::function<platform::Outcome<platform::CommandResult>(const QString&)>;

// Makes the FTP virtual directory `name` under the root of FTP site ftpSiteNumber, pointing at
// folder, readable and writable. Returns 1 when it was created and stored, 0 when binding the FTP
// root, creating the directory or storing it failed (an existing directory of that name is left as
// it is); the error is then put into *error when one is given.
int CreateFtpVirtualDir(platform::Metabase& metabase, std::int32_t ftpSiteNumber, const QString& folder,
                        const QString& name, platform::Error* error = nullptr);

// Makes the application pool `name` under "IIS://localhost/w3svc/AppPools" with the service's
// defaults. Fails when a pool of that name exists.
platform::Status CreateAppPool(platform::Metabase& metabase, const QString& name);

// What CreateSiteUser achieved. The commands' failures are recorded by run itself.
struct SiteUser {
    bool created = false;     // "net user ... /add" made the account
    platform::Status flags{}; // SetUserFlags: the never-expiring password
};

// Creates the site's own account: "net user" with the fixed full name and comment and a password
// the user may not change, then a 100 ms wait; when the account was made, takes it out of Users,
// puts it into velmorausers and sets its password never to expire. When "net user" failed nothing
// more is done, so an account that this create did not make is never changed.
SiteUser CreateSiteUser(const RunCommand& run, platform::Pacing& pacing, platform::Accounts& accounts,
                        const QString& name, const QString& password);

// Sets "password never expires" (UserFlags bit 0x10000) on every account whose WMI Name equals
// name exactly; an account that has the bit already is not written.
platform::Status SetUserFlags(platform::Accounts& accounts, const QString& name);

// Makes the account the anonymous user of site siteNumber: on the root virtual directory and then
// on the site, AuthFlags 5 (anonymous and integrated Windows), AnonymousUserName and
// AnonymousUserPass, each stored with SetInfo. The first failing step ends it and is returned.
platform::Status SetAnonymousUser(platform::Metabase& metabase, platform::Pacing& pacing,
                                  const QString& siteNumber, const QString& name, const QString& password);

} // namespace AppPool
