#pragma once

#include "emulation/files/WinPath.h"

#include <QString>

#include <optional>

namespace emulation::programs {
struct ProgramContext;
}

namespace emulation::cmd {

// A command built into cmd.exe; rest is the command line after the command's name.
using Builtin = int (*)(programs::ProgramContext& ctx, const QString& rest);

// The built-in command of that name (MkDir/md, copy, echo, type, rem, exit), if there is one.
std::optional<Builtin> builtin(const QString& name);

// A path as cmd.exe's commands take it: absolute, from the drive root ("\\x") or from the current
// folder (C:\WINDOWS\system32).
files::WinPath absolute(const QString& path);

// Checks a file that a command is about to write (create or overwrite, or append to) as Windows
// does: its name, its folder, the operator's rights. Returns the message cmd.exe prints, or an
// empty text when the file may be written.
QString checkWritable(programs::ProgramContext& ctx, const files::WinPath& file, bool append);

// Splits built-in arguments as cmd.exe does: blanks separate, quotes group and are dropped.
QStringList cmdArguments(const QString& rest);

} // namespace emulation::cmd
