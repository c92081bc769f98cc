// iisreset.exe: stops and starts the Internet services. Sites keep the state they had.

#include "emulation/Machine.h"
#include "emulation/programs/Program.h"

namespace emulation {

using namespace Qt::Literals::StringLiterals;

int iisreset_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    for (const QString& a : args) {
        const QString sw = a.toLower();
        if (sw != u"/restart"_s && sw != u"/noforce"_s && sw != u"/timeout"_s &&
            !sw.startsWith(u"/timeout:"_s)) {
            ctx.println(u"无效参数“%1”。"_s.arg(a));
            return 87;
        }
    }
    ctx.println();
    ctx.println(u"正在尝试停止..."_s);
    ctx.println(u"Internet 服务已成功停止"_s);
    ctx.println(u"正在尝试启动..."_s);
    for (const QString& service : {u"iisadmin"_s, u"w3svc"_s, u"msftpsvc"_s})
        ctx.machine.setFact(u"service."_s + service, u"running"_s);
    const int restarts = ctx.machine.fact(u"iisreset.count"_s).toInt() + 1;
    ctx.machine.setFact(u"iisreset.count"_s, QString::number(restarts));
    ctx.println(u"Internet 服务已成功重新启动"_s);
    return 0;
}

} // namespace emulation
