// velmora-machine service: stops or starts one of the machine's services.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

int runService(const Invocation& invocation) {
    static const QStringList services{u"iisadmin"_s, u"w3svc"_s, u"msftpsvc"_s, u"winmgmt"_s};
    const QString action = invocation.arguments()[0];
    const QString name = invocation.arguments()[1].toLower();
    if (action != u"stop"_s && action != u"start"_s)
        return invocation.usageError(u"未知的操作：%1（应为 stop 或 start）"_s.arg(action));
    if (!services.contains(name))
        return invocation.usageError(u"未知的服务：%1（应为 %2）"_s.arg(name, services.join(u"、"_s)));
    auto machine = invocation.openMachine();
    if (!machine)
        return invocation.fail(machine.error().text);
    const bool stop = action == u"stop"_s;
    machine.value()->setFact(u"service."_s + name, stop ? u"stopped"_s : u"running"_s);
    print(stdout, (stop ? u"%1 服务已停止。\n"_s : u"%1 服务已启动。\n"_s).arg(name));
    return ExitOk;
}

} // namespace velmora_machine
