#include "app/Wiring.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"

namespace app {

MachineServices::MachineServices(emulation::machine::Machine& machine)
    : m_machine(machine), m_profiles([&machine](const QString& path) { return machine.hostPath(path); }),
      m_system(machine) {}

Form1Services MachineServices::services(const Host& host) {
    Form1Services s;
    s.profiles = &m_profiles;
    s.metabase = &m_machine.metabase();
    s.commands = &m_machine.interpreter();
    s.pacing = &host.pacing;
    s.accounts = &m_machine.accounts();
    s.files = &m_machine.files();
    s.dialogs = &host.dialogs;
    s.end = &host.end;
    s.system = &m_system;
    s.shell = &host.shell;
    return s;
}

} // namespace app
