// velmora-machine install-program: the program's own installation step.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"

#include <QFile>

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

int runInstallProgram(const Invocation& invocation) {
    auto machine = invocation.openMachine();
    if (!machine)
        return invocation.fail(machine.error().text);
    // Its default page and the log tool go beside the settings file.
    for (const QString& file : {u"index.html"_s, u"velmoraconv.exe"_s}) {
        QFile source(u":/velmora/program/"_s + file);
        const QString target = machine.value()->hostPath(u"C:\\WINDOWS\\system32\\drivers\\"_s + file);
        QFile::remove(target);
        if (!source.open(QIODevice::ReadOnly) || !source.copy(target))
            return invocation.fail(u"无法写入 %1"_s.arg(target));
    }
    print(stdout, u"已安装 index.html 和 velmoraconv.exe 到 C:\\WINDOWS\\system32\\drivers\n"_s);
    return ExitOk;
}

} // namespace velmora_machine
