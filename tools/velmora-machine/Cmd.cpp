// velmora-machine cmd: runs one command line on the machine.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/cmd/Interpreter.h"
#include "emulation/machine/Machine.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

int runCmd(const Invocation& invocation) {
    auto machine = invocation.openMachine();
    if (!machine)
        return invocation.fail(machine.error().text);
    const auto result = machine.value()->interpreter().RunHidden(invocation.arguments().first());
    if (!result)
        return invocation.fail(result.error().text);
    print(stdout, result.value().output);
    print(stdout, u"[退出代码 %1]\n"_s.arg(result.value().exitCode));
    return result.value().exitCode == 0 ? ExitOk : ExitFailed;
}

} // namespace velmora_machine
