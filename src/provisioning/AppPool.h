#pragma once

#include <QString>

#include <cstdint>

namespace platform {
class Metabase;
}

// Metabase tasks of site creation that do not touch the window.
namespace AppPool {

// Makes the FTP virtual directory `name` under the root of FTP site ftpSiteNumber, pointing at
// folder, readable and writable. Returns 1 when it was created, 0 when binding the FTP root or
// creating the directory failed (an existing directory of that name is left as it is).
int CreateFtpVirtualDir(platform::Metabase& metabase, std::int32_t ftpSiteNumber, const QString& folder,
                        const QString& name);

} // namespace AppPool
