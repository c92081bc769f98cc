// velmora-machine install: lays down a fresh machine.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

int runInstall(const Invocation& invocation) {
    emulation::machine::Machine::InstallOptions options;
    if (invocation.isSet(u"name"_s))
        options.name = invocation.value(u"name"_s);
    const QString folder = invocation.machineFolder();
    auto machine = emulation::machine::Machine::install(folder, options);
    if (!machine)
        return invocation.fail(machine.error().text);
    print(stdout, u"已安装模拟服务器 %1（Windows Server 2003 SP2，IIS 6）：%2\n"_s.arg(options.name.toUpper(),
                                                                                       folder));
    return ExitOk;
}

} // namespace velmora_machine
