#pragma once

// The Windows programs of the machine. Each one lives in a folder of its own below programs/
// (net/Net.h and net/Net.cpp) and is a row of the table in Programs.cpp; cmd.exe starts a program
// by its file name once it has found that file on the machine.
//
// A new program:
//  1. its folder programs/<name>/ with <Name>.h declaring <name>_main (a ProgramMain, see
//     Program.h) and <Name>.cpp defining it; it writes through the ProgramContext it is given and
//     returns its exit status;
//  2. its row in the table in Programs.cpp: the file name, lower case, and <name>_main;
//  3. <name>/<Name>.cpp in programs/CMakeLists.txt;
//  4. its file on the fresh machine (seed/drives.txt, "C:\WINDOWS\system32\<name>.exe = MZ"), since
//     a program runs only when its file exists;
//  5. its tests in tests/programs/<Name>Test.cpp, listed in tests/programs/CMakeLists.txt.

#include "emulation/programs/Program.h"

#include <QString>

namespace emulation::programs {

// The program whose file has that name ("net.exe", lower case); null when there is no such
// program, so that the file is only a file.
const ProgramMain* programNamed(const QString& fileName);

} // namespace emulation::programs
