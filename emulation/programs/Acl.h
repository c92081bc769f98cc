#pragma once

#include "emulation/FileSystem.h"
#include "emulation/programs/Program.h"

#include <functional>

namespace emulation::acl {

// The name icacls and cacls show for a SID: "BUILTIN\Administrators", "VELMORA\shop", "Everyone",
// or the SID itself when no account has it any more.
QString displayName(AccountStore& accounts, const QString& sid);

// Prints the entries that apply to a path, as cacls and icacls show a list: the path before the
// first entry, the others lined up under it; entry(ace) gives "name:permission".
void printList(ProgramContext& ctx, const WinPath& path, const std::function<QString(const Ace&)>& entry);

// The path and, with recurse, every file and folder below it, parents first.
QList<WinPath> objects(FileSystem& files, const WinPath& root, bool recurse);

} // namespace emulation::acl
