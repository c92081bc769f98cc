// velmora-machine metabase: exports and imports the metabase as an IIS 6 MetaBase.xml.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"
#include "emulation/metabase/History.h"
#include "emulation/metabase/MetabaseXml.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

namespace {

int exportMetabase(const Invocation& invocation, emulation::machine::Machine& machine) {
    if (invocation.arguments().size() != 1)
        return invocation.usageError(u"export 不接受其他参数：%1"_s.arg(invocation.arguments().last()));
    const QByteArray xml = emulation::metabase::exportMetabaseXml(machine.db());
    const QString output = invocation.value(u"output"_s);
    if (output.isEmpty()) {
        // A pipe or file behind standard output can be full or gone: a short export is a failure,
        // never a success with half a metabase.
        errno = 0;
        const bool whole = std::fwrite(xml.constData(), 1, static_cast<size_t>(xml.size()), stdout) ==
                               static_cast<size_t>(xml.size()) &&
                           std::fflush(stdout) == 0 && !std::ferror(stdout);
        if (!whole)
            return invocation.fail(errno == ENOSPC ? u"无法写入标准输出：磁盘空间不足。"_s
                                                   : u"无法写入标准输出：%1"_s.arg(
                                                         QString::fromLocal8Bit(std::strerror(errno))));
        return ExitOk;
    }
    // The file holds the machine's secrets, encrypted: readable by its owner only.
    QSaveFile f(output);
    if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size() ||
        !f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !f.commit())
        return invocation.fail(u"无法写入 %1"_s.arg(output));
    return ExitOk;
}

int importMetabase(const Invocation& invocation, emulation::machine::Machine& machine) {
    if (invocation.arguments().size() != 2)
        return invocation.usageError(u"import 需要一个 MetaBase.xml 文件"_s);
    if (invocation.isSet(u"output"_s))
        return invocation.usageError(u"--output 只用于 export"_s);
    const QString file = invocation.arguments()[1];
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return invocation.fail(u"无法读取 %1"_s.arg(file));
    emulation::metabase::history::beforeChange(machine.db());
    if (auto s = emulation::metabase::importMetabaseXml(machine.db(), f.readAll()); !s)
        return invocation.fail(s.error().text);
    print(stdout, u"已导入元数据库：%1\n"_s.arg(file));
    return ExitOk;
}

} // namespace

int runMetabase(const Invocation& invocation) {
    const QString what = invocation.arguments().first();
    if (what != u"export"_s && what != u"import"_s && what != u"history"_s && what != u"restore"_s)
        return invocation.usageError(
            u"未知的操作：%1（应为 export、import、history 或 restore）"_s.arg(what));
    auto machine = invocation.openMachine();
    if (!machine)
        return invocation.fail(machine.error().text);
    if (what == u"history"_s || what == u"restore"_s)
        return what == u"history"_s ? runMetabaseHistory(invocation, *machine.value())
                                    : runMetabaseRestore(invocation, *machine.value());
    return what == u"export"_s ? exportMetabase(invocation, *machine.value())
                               : importMetabase(invocation, *machine.value());
}

} // namespace velmora_machine
