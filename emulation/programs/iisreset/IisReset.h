#pragma once

#include "emulation/programs/Program.h"

namespace emulation::programs {

// iisreset.exe: stops, starts and restarts the Internet services, or shows their state.
int iisreset_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation::programs
