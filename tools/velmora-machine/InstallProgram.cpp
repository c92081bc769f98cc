// velmora-machine install-program: the program's own installation step.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/files/FileSystem.h"
#include "emulation/files/HostFile.h"
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
        // Replaced whole or kept: a full disk leaves the installed files as they were.
        const QString problem = source.open(QIODevice::ReadOnly)
                                    ? emulation::files::replaceFile(target, source.readAll())
                                    : emulation::files::fserr::AccessDenied;
        if (!problem.isEmpty())
            return invocation.fail(u"无法写入 %1：%2"_s.arg(target, problem));
    }
    print(stdout, u"已安装 index.html 和 velmoraconv.exe 到 C:\\WINDOWS\\system32\\drivers\n"_s);
    return ExitOk;
}

} // namespace velmora_machine
