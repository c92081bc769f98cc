#pragma once

#include "emulation/programs/Program.h"

namespace emulation::programs {

// cacls.exe: shows or edits the access-control lists of files and folders.
int cacls_main(ProgramContext& ctx, const QStringList& args, const QString& argText);

} // namespace emulation::programs
