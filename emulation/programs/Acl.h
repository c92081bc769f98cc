#pragma once

#include "emulation/FileSystem.h"
#include "emulation/programs/Program.h"

#include <functional>

namespace emulation::acl {

// The name icacls and cacls show for a SID: "BUILTIN\Administrators", "VELMORA\shop", "Everyone",
// or the SID itself when no account has it any more.
QString displayName(AccountStore& accounts, const QString& sid);

// The path and, with recurse, every file and folder below it, parents first.
QList<WinPath> objects(FileSystem& files, const WinPath& root, bool recurse);

} // namespace emulation::acl
