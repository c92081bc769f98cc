// iisreset.exe: stops, starts and restarts the Internet services, or shows their state. Sites
// keep the state they had.

#include "emulation/programs/iisreset/IisReset.h"

#include "emulation/machine/Machine.h"

namespace emulation::programs {

using namespace Qt::Literals::StringLiterals;

namespace {

struct Service {
    const char16_t* name;
    const char16_t* shown;
};

// The services iisreset drives, in the order it stops them.
const Service Services[] = {
    {u"iisadmin", u"IIS Admin Service"},
    {u"w3svc", u"World Wide Web Publishing"},
    {u"msftpsvc", u"FTP Publishing"},
};

void setServices(ProgramContext& ctx, const QString& state) {
    for (const Service& s : Services)
        ctx.machine.setFact(u"service."_s + QString::fromUtf16(s.name), state);
}

} // namespace

int iisreset_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    enum { Restart, Stop, Start, Status } action = Restart;
    int actions = 0;
    for (const QString& a : args) {
        const QString sw = a.toLower();
        if (sw == u"/restart"_s) {
            action = Restart;
        } else if (sw == u"/stop"_s) {
            action = Stop;
        } else if (sw == u"/start"_s) {
            action = Start;
        } else if (sw == u"/status"_s) {
            action = Status;
        } else if (sw == u"/noforce"_s || (sw.startsWith(u"/timeout:"_s) && sw.mid(9).toUInt() > 0)) {
            continue;
        } else {
            // /REBOOT, /ENABLE, /DISABLE and the rest are not for this machine.
            ctx.eprintln(u"无效参数“%1”。"_s.arg(a));
            return 87;
        }
        ++actions;
    }
    if (actions > 1) {
        ctx.eprintln(u"只能指定一个操作。"_s);
        return 87;
    }
    ctx.println();
    if (action == Status) {
        for (const Service& s : Services) {
            const bool running = ctx.machine.fact(u"service."_s + QString::fromUtf16(s.name)) != u"stopped"_s;
            ctx.println(u"%1 ( %2 ) 的状态: %3"_s.arg(QString::fromUtf16(s.shown),
                                                      QString::fromUtf16(s.name).toUpper(),
                                                      running ? u"正在运行"_s : u"已停止"_s));
        }
        return 0;
    }
    if (action != Start) {
        ctx.println(u"正在尝试停止..."_s);
        setServices(ctx, u"stopped"_s);
        ctx.println(u"Internet 服务已成功停止"_s);
    }
    if (action == Stop)
        return 0;
    ctx.println(u"正在尝试启动..."_s);
    setServices(ctx, u"running"_s);
    const int restarts = ctx.machine.fact(u"iisreset.count"_s).toInt() + 1;
    ctx.machine.setFact(u"iisreset.count"_s, QString::number(restarts));
    ctx.println(action == Start ? u"Internet 服务已成功启动"_s : u"Internet 服务已成功重新启动"_s);
    return 0;
}

} // namespace emulation::programs
