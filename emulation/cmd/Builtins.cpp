// Commands built into cmd.exe.

#include "emulation/cmd/Builtins.h"

#include "emulation/files/FileSystem.h"
#include "emulation/files/HostFile.h"
#include "emulation/programs/Program.h"
#include "platform/AnsiCodePage.h"

#include <QFile>
#include <QFileInfo>

namespace emulation::cmd {

namespace rights = accounts::rights;
using files::WinPath;
namespace fserr = files::fserr;
using programs::ProgramContext;

using namespace Qt::Literals::StringLiterals;

namespace {

const QString CurrentFolder = u"C:\\WINDOWS\\system32"_s;

int mkdir(ProgramContext& ctx, const QString& rest) {
    const QStringList args = cmdArguments(rest);
    if (args.isEmpty()) {
        ctx.eprintln(u"命令语法不正确。"_s);
        return 1;
    }
    int status = 0;
    for (const QString& arg : args) {
        if (arg.startsWith(u'/')) {
            ctx.eprintln(u"命令语法不正确。"_s);
            status = 1;
            continue;
        }
        const WinPath path = absolute(arg);
        if (const QString problem = fserr::problemText(path); !problem.isEmpty()) {
            ctx.eprintln(problem);
            status = 1;
            continue;
        }
        if (ctx.files.hostPath(WinPath{path.drive, {}}).isEmpty()) {
            ctx.eprintln(u"系统找不到指定的驱动器。"_s);
            status = 1;
            continue;
        }
        // Missing parents are made too; the nearest existing folder must let the operator add one.
        const WinPath existing = ctx.files.nearestExisting(path);
        if (existing.names.size() == path.names.size()) {
            ctx.eprintln(u"子目录或文件 %1 已经存在。"_s.arg(arg));
            status = 1;
            continue;
        }
        if (!ctx.files.isFolder(existing)) {
            ctx.eprintln(fserr::PathNotFound);
            status = 1;
            continue;
        }
        if (!(ctx.files.operatorRights(existing) & rights::AppendData)) {
            ctx.eprintln(fserr::AccessDenied);
            status = 1;
            continue;
        }
        if (const QString problem = files::makeFolders(ctx.files.hostPath(path)); !problem.isEmpty()) {
            ctx.eprintln(problem);
            status = 1;
        }
    }
    return status;
}

// rd [/s] [/q] folder...: an empty folder, or with /s the folder with everything in it. Without /q
// cmd asks on its standard input first; a hidden window gives no answer, so nothing is removed.
int rmdir(ProgramContext& ctx, const QString& rest) {
    bool tree = false;
    bool quiet = false;
    QStringList folders;
    for (const QString& a : cmdArguments(rest)) {
        if (a.compare(u"/s"_s, Qt::CaseInsensitive) == 0)
            tree = true;
        else if (a.compare(u"/q"_s, Qt::CaseInsensitive) == 0)
            quiet = true;
        else if (a.startsWith(u'/')) {
            ctx.eprintln(u"参数格式不正确 - \"%1\"。"_s.arg(a));
            return 1;
        } else
            folders << a;
    }
    if (folders.isEmpty()) {
        ctx.eprintln(u"命令语法不正确。"_s);
        return 1;
    }
    int status = 0;
    for (const QString& arg : folders) {
        const WinPath path = absolute(arg);
        if (const QString problem = fserr::problemText(path); !problem.isEmpty()) {
            ctx.eprintln(problem);
            status = 1;
            continue;
        }
        if (!ctx.files.exists(path)) {
            ctx.eprintln(fserr::FileNotFound);
            status = 1;
            continue;
        }
        if (!ctx.files.isFolder(path)) {
            ctx.eprintln(u"目录名称无效。"_s);
            status = 1;
            continue;
        }
        if (!tree && !ctx.files.children(path).isEmpty()) {
            ctx.eprintln(u"目录不是空的。"_s);
            status = 1;
            continue;
        }
        if (tree && !quiet) {
            ctx.println(u"%1, 是否确认(Y/N)? "_s.arg(arg));
            status = 1;
            continue;
        }
        // The drive root is never removed; every entry must let the operator delete it.
        if (const auto removed = ctx.files.DeleteTree(ctx.files.displayPath(path)); !removed) {
            ctx.eprintln(removed.error().text);
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
        ctx.eprintln(u"命令语法不正确。"_s);
        return 1;
    }
    auto failed = [&](const QString& message) {
        ctx.eprintln(message);
        copied(0);
        return 1;
    };
    const WinPath source = absolute(args[0]);
    if (const QString problem = fserr::problemText(source); !problem.isEmpty())
        return failed(problem);
    if (!ctx.files.exists(source) || ctx.files.isFolder(source) || source.names.isEmpty())
        return failed(fserr::FileNotFound);
    WinPath target = args.size() == 2 ? absolute(args[1]) : absolute(source.names.last());
    if (const QString problem = fserr::problemText(target); !problem.isEmpty())
        return failed(problem);
    const bool intoFolder = args.size() == 2 && (args[1].endsWith(u'\\') || ctx.files.isFolder(target));
    if (intoFolder) {
        target.names << source.names.last();
        if (target.toString().size() > WinPath::MaxPath)
            return failed(fserr::TooLong);
    }
    if (!(ctx.files.operatorRights(source) & rights::ReadData))
        return failed(fserr::AccessDenied);
    if (ctx.files.exists(target) && !overwrite) {
        // cmd asks on its standard input; a hidden window gives no answer: nothing is overwritten.
        ctx.print(u"覆盖 %1 吗? (Yes/No/All): "_s.arg(ctx.files.displayPath(target)));
        const QString answer = ctx.readLine().value_or(QString()).trimmed().toUpper();
        ctx.println();
        if (!answer.startsWith(u'Y') && !answer.startsWith(u'A')) {
            copied(0);
            return 0;
        }
    }
    if (const QString problem = checkWritable(ctx, target, false); !problem.isEmpty())
        return failed(problem);
    // The file replaced is replaced whole or kept: the copy is made beside it and renamed over it.
    if (const QString problem = files::copyFile(ctx.files.hostPath(source), ctx.files.hostPath(target));
        !problem.isEmpty())
        return failed(problem);
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
        ctx.eprintln(u"命令语法不正确。"_s);
        return 1;
    }
    const WinPath path = absolute(args[0]);
    if (const QString problem = fserr::problemText(path); !problem.isEmpty()) {
        ctx.eprintln(problem);
        return 1;
    }
    QFile f(ctx.files.hostPath(path));
    if (f.fileName().isEmpty() || ctx.files.isFolder(path) || !f.open(QIODevice::ReadOnly)) {
        ctx.eprintln(fserr::FileNotFound);
        return 1;
    }
    if (!(ctx.files.operatorRights(path) & rights::ReadData)) {
        ctx.eprintln(fserr::AccessDenied);
        return 1;
    }
    ctx.print(platform::fromAnsi(f.readAll())); // files hold the ANSI code page
    return 0;
}

int rem(ProgramContext&, const QString&) {
    return 0;
}

int exitCommand(ProgramContext& ctx, const QString& rest) {
    ctx.exited = true;
    const QStringList args = cmdArguments(rest);
    for (const QString& a : args)
        if (!a.startsWith(u'/'))
            return a.toInt();
    return 0;
}

} // namespace

WinPath absolute(const QString& path) {
    const QString t = path.trimmed();
    if (t.size() >= 2 && t[1] == u':')
        return WinPath::parse(t);
    if (t.startsWith(u'\\') || t.startsWith(u'/'))
        return WinPath::parse(u"C:"_s + t);
    return WinPath::parse(CurrentFolder + u'\\' + t);
}

QString checkWritable(ProgramContext& ctx, const WinPath& file, bool append) {
    if (const QString problem = fserr::problemText(file); !problem.isEmpty())
        return problem;
    if (file.names.isEmpty() || ctx.files.isFolder(file))
        return fserr::AccessDenied;
    WinPath folder = file;
    folder.names.removeLast();
    if (!ctx.files.isFolder(folder))
        return fserr::PathNotFound;
    // An existing file must let the operator write (or append); a new one needs the right to add
    // a file to its folder.
    const std::uint32_t needed = append ? rights::AppendData : rights::WriteData;
    const bool exists = ctx.files.exists(file);
    if (!(ctx.files.operatorRights(exists ? file : folder) & needed))
        return fserr::AccessDenied;
    return {};
}

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
    if (n == u"rd"_s || n == u"rmdir"_s)
        return &rmdir;
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
