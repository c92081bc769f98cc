#pragma once

// The one wiring of the window's services over an emulated machine, used by the program, the
// tests and the benchmarks alike. The machine provides the metabase, the accounts, the files, the
// command interpreter, its facts and the settings file on its drive; the caller gives what differs
// between them: message boxes, pacing, the program's end and the shell.

#include "emulation/machine/MachineInfo.h"
#include "settings/ProfileFile.h"
#include "window/Form1.h"

namespace emulation::machine {
class Machine;
}

namespace app {

// What the program, a test or a benchmark puts beside the machine.
struct Host {
    platform::Dialogs& dialogs;
    platform::Pacing& pacing;
    platform::ProgramEnd& end;
    platform::Shell& shell;
};

class MachineServices {
public:
    explicit MachineServices(emulation::machine::Machine& machine);
    MachineServices(const MachineServices&) = delete;
    MachineServices& operator=(const MachineServices&) = delete;

    // Every service the window uses; valid as long as this object, the machine and the host.
    Form1Services services(const Host& host);

    emulation::machine::Machine& machine() { return m_machine; }
    settings::ProfileFile& profiles() { return m_profiles; }
    emulation::machine::MachineInfo& system() { return m_system; }

private:
    emulation::machine::Machine& m_machine;
    settings::ProfileFile m_profiles;
    emulation::machine::MachineInfo m_system;
};

} // namespace app
