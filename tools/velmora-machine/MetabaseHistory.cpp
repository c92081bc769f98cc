// velmora-machine metabase history | restore VERSION: the versions of MetaBase.xml that the
// metabase keeps in C:\WINDOWS\system32\inetsrv\History, and the import of one of them.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/machine/Machine.h"
#include "emulation/metabase/History.h"

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

namespace history = emulation::metabase::history;

int runMetabaseHistory(const Invocation& invocation, emulation::machine::Machine& machine) {
    if (invocation.arguments().size() != 1)
        return invocation.usageError(u"history 不接受其他参数：%1"_s.arg(invocation.arguments().last()));
    const auto versions = history::versions(machine.db());
    if (versions.empty()) {
        print(stdout, u"还没有保存的版本（元数据库第一次修改之前保存）。\n"_s);
        return ExitOk;
    }
    print(stdout, u"版本\t保存时间\t网站数\t文件\n"_s);
    for (const auto& v : versions)
        print(stdout, u"%1_%2\t%3\t%4\t%5\n"_s.arg(v.major)
                          .arg(v.minor)
                          .arg(v.saved.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s))
                          .arg(v.sites)
                          .arg(v.name()));
    return ExitOk;
}

int runMetabaseRestore(const Invocation& invocation, emulation::machine::Machine& machine) {
    if (invocation.arguments().size() != 2)
        return invocation.usageError(u"restore 需要一个版本（见 metabase history）"_s);
    const auto version = history::find(machine.db(), invocation.arguments()[1]);
    if (!version)
        return invocation.fail(u"没有这个版本：%1（见 metabase history）"_s.arg(invocation.arguments()[1]));
    if (auto s = history::restore(machine.db(), *version); !s)
        return invocation.fail(s.error().text);
    print(stdout,
          u"已恢复元数据库版本 %1_%2（%3 个网站）。\n"
          "网站的绑定、主目录、应用程序池和匿名用户设置已恢复；网站的文件夹、文件和 Windows "
          "帐户不在元数据库中，不会恢复：请用 velmora-machine check 查看缺少的部分。\n"_s.arg(version->major)
              .arg(version->minor)
              .arg(version->sites));
    return ExitOk;
}

} // namespace velmora_machine
