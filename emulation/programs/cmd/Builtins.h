#pragma once

#include <QString>

#include <optional>

namespace emulation {
struct ProgramContext;
}

namespace emulation::cmd {

// A command built into cmd.exe; rest is the command line after the command's name.
using Builtin = int (*)(ProgramContext& ctx, const QString& rest);

// The built-in command of that name (MkDir/md, copy, echo, type, rem, exit), if there is one.
std::optional<Builtin> builtin(const QString& name);

// Splits built-in arguments as cmd.exe does: blanks separate, quotes group and are dropped.
QStringList cmdArguments(const QString& rest);

} // namespace emulation::cmd
