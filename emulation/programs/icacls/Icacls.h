#pragma once

#include "emulation/programs/Program.h"

namespace emulation::programs {

// icacls.exe: shows and edits access-control lists with inheritance flags and specific rights.
int icacls_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation::programs
