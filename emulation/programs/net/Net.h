#pragma once

#include "emulation/programs/Program.h"

namespace emulation::programs {

// net.exe and net1.exe: NET USER and NET LOCALGROUP, with the messages of the Chinese edition.
int net_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation::programs
