#pragma once

#include "emulation/programs/Program.h"

namespace emulation::programs {

// velmoraconv.exe in the drivers folder: the log-conversion tool on the machine's paths.
int velmoraconv_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation::programs
