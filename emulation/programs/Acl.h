#pragma once

#include "emulation/files/FileSystem.h"
#include "emulation/programs/Program.h"

#include <functional>

namespace emulation::programs::acl {

// The name icacls and cacls show for a SID: "BUILTIN\Administrators", "VELMORA\shop", "Everyone",
// or the SID itself when no account has it any more.
QString displayName(accounts::AccountStore& accounts, const QString& sid);

// Prints the entries that apply to a path, as cacls and icacls show a list: the path before the
// first entry, the others lined up under it; entry(ace) gives "name:permission".
void printList(ProgramContext& ctx, const files::WinPath& path,
               const std::function<QString(const accounts::Ace&)>& entry);

// The path and, with recurse, every file and folder below it, parents first.
QList<files::WinPath> objects(files::FileSystem& files, const files::WinPath& root, bool recurse);

} // namespace emulation::programs::acl
