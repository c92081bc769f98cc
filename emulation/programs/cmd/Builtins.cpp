// Commands built into cmd.exe.

#include "emulation/programs/cmd/Builtins.h"

#include "emulation/FileSystem.h"
#include "emulation/programs/Program.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace emulation::cmd {

using namespace Qt::Literals::StringLiterals;

namespace {

const QString CurrentFolder = u"C:\\WINDOWS\\system32"_s;

WinPath absolute(const QString& path) {
    if (path.size() >= 2 && path[1] == u':')
        return WinPath::parse(path);
    if (path.startsWith(u'\\'))
        return WinPath::parse(u"C:"_s + path);
    return WinPath::parse(CurrentFolder + u'\\' + path);
}

bool validNames(const QString& path) {
    static const QString forbidden = u"<>|*?\""_s;
    const QString rest = path.size() >= 2 && path[1] == u':' ? path.mid(2) : path;
    for (QChar c : rest)
        if (forbidden.contains(c) || c == u':' || c.unicode() < 32)
            return false;
    return true;
}

int mkdir(ProgramContext& ctx, const QString& rest) {
    const QStringList args = cmdArguments(rest);
    if (args.isEmpty()) {
        ctx.println(u"命令语法不正确。"_s);
        return 1;
    }
    int status = 0;
    for (const QString& arg : args) {
        if (arg.startsWith(u'/')) {
            ctx.println(u"命令语法不正确。"_s);
            status = 1;
            continue;
        }
        const WinPath path = absolute(arg);
        if (!validNames(arg) || !path.valid()) {
            ctx.println(fserr::BadSyntax);
            status = 1;
            continue;
        }
        if (ctx.files.hostPath(WinPath{path.drive, {}}).isEmpty()) {
            ctx.println(u"系统找不到指定的驱动器。"_s);
            status = 1;
            continue;
        }
        if (ctx.files.exists(path)) {
            ctx.println(u"子目录或文件 %1 已经存在。"_s.arg(arg));
            status = 1;
            continue;
        }
        // Missing parents are made too; the nearest existing folder must let the operator add one.
        WinPath existing = path;
        while (!existing.names.isEmpty() && !ctx.files.exists(existing))
            existing.names.removeLast();
        if (!ctx.files.isFolder(existing)) {
            ctx.println(fserr::PathNotFound);
            status = 1;
            continue;
        }
        if (!(ctx.files.operatorRights(existing) & rights::AppendData)) {
            ctx.println(fserr::AccessDenied);
            status = 1;
            continue;
        }
        if (!QDir().mkpath(ctx.files.hostPath(path))) {
            ctx.println(fserr::AccessDenied);
            status = 1;
        }
    }
    return status;
}

int copy(ProgramContext& ctx, const QString& rest) {
    QStringList args;
    bool overwrite = false;
    for (const QString& a : cmdArguments(rest)) {
        if (a.compare(u"/y"_s, Qt::CaseInsensitive) == 0)
            overwrite = true;
        else if (a.startsWith(u'/'))
            continue; // /A /B /V /-Y and the like change nothing here
        else
            args << a;
    }
    auto copied = [&](int n) {
        ctx.println(u"已复制 %1 个文件。"_s.arg(n, 9));
    };
    if (args.isEmpty() || args.size() > 2) {
        ctx.println(u"命令语法不正确。"_s);
        return 1;
    }
    const WinPath source = absolute(args[0]);
    if (!validNames(args[0]) || !ctx.files.exists(source) || ctx.files.isFolder(source)) {
        ctx.println(validNames(args[0]) ? fserr::FileNotFound : fserr::BadSyntax);
        copied(0);
        return 1;
    }
    WinPath target = args.size() == 2 ? absolute(args[1]) : absolute(source.names.last());
    const bool intoFolder = args.size() == 2 && (args[1].endsWith(u'\\') || ctx.files.isFolder(target));
    WinPath folder = target;
    if (intoFolder)
        target.names << source.names.last();
    else
        folder.names.removeLast();
    if (!ctx.files.isFolder(folder)) {
        ctx.println(fserr::PathNotFound);
        copied(0);
        return 1;
    }
    if (!(ctx.files.operatorRights(source) & rights::ReadData) ||
        !(ctx.files.operatorRights(folder) & rights::WriteData)) {
        ctx.println(fserr::AccessDenied);
        copied(0);
        return 1;
    }
    if (ctx.files.exists(target) && !overwrite) {
        // The overwrite question gets no answer from a hidden window: nothing is overwritten.
        ctx.println(u"覆盖 %1 吗? (Yes/No/All): "_s.arg(ctx.files.displayPath(target)));
        copied(0);
        return 0;
    }
    const QString to = ctx.files.hostPath(target);
    QFile::remove(to);
    if (!QFile::copy(ctx.files.hostPath(source), to)) {
        ctx.println(fserr::AccessDenied);
        copied(0);
        return 1;
    }
    copied(1);
    return 0;
}

int echo(ProgramContext& ctx, const QString& rest) {
    if (rest.trimmed().isEmpty()) {
        ctx.println(u"ECHO 处于打开状态。"_s);
        return 0;
    }
    ctx.println(rest.mid(1));
    return 0;
}

int type(ProgramContext& ctx, const QString& rest) {
    const QStringList args = cmdArguments(rest);
    if (args.isEmpty()) {
        ctx.println(u"命令语法不正确。"_s);
        return 1;
    }
    const WinPath path = absolute(args[0]);
    QFile f(ctx.files.hostPath(path));
    if (!path.valid() || ctx.files.isFolder(path) || !f.open(QIODevice::ReadOnly)) {
        ctx.println(fserr::FileNotFound);
        return 1;
    }
    ctx.print(QString::fromUtf8(f.readAll()));
    return 0;
}

int rem(ProgramContext&, const QString&) {
    return 0;
}

int exitCommand(ProgramContext&, const QString& rest) {
    const QStringList args = cmdArguments(rest);
    for (const QString& a : args)
        if (!a.startsWith(u'/'))
            return a.toInt();
    return 0;
}

} // namespace

QStringList cmdArguments(const QString& rest) {
    QStringList out;
    QString cur;
    bool inQuotes = false;
    bool have = false;
    for (QChar c : rest) {
        if (c == u'"') {
            inQuotes = !inQuotes;
            have = true;
        } else if (!inQuotes && (c.isSpace() || c == u',' || c == u';' || c == u'=')) {
            if (have)
                out << cur;
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (have)
        out << cur;
    return out;
}

std::optional<Builtin> builtin(const QString& name) {
    const QString n = name.toLower();
    if (n == u"md"_s || n == u"mkdir"_s)
        return &mkdir;
    if (n == u"copy"_s)
        return &copy;
    if (n == u"echo"_s)
        return &echo;
    if (n == u"type"_s)
        return &type;
    if (n == u"rem"_s)
        return &rem;
    if (n == u"exit"_s)
        return &exitCommand;
    return std::nullopt;
}

} // namespace emulation::cmd
