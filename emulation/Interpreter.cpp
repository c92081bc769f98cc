#include "emulation/Interpreter.h"

#include "emulation/AccountStore.h"
#include "emulation/FileSystem.h"
#include "emulation/Machine.h"
#include "emulation/programs/Program.h"
#include "emulation/programs/cmd/Builtins.h"
#include "emulation/programs/velmoraconv/Velmoraconv.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace emulation {

using namespace Qt::Literals::StringLiterals;
using platform::CommandResult;
using platform::Error;
using platform::Outcome;

namespace {

const QString SystemFolder = u"C:\\WINDOWS\\system32"_s;

// The programs that exist on the machine as files, by file name.
const std::map<QString, ProgramMain>& programs() {
    static const std::map<QString, ProgramMain> table = {
        {u"net.exe"_s, net_main},       {u"net1.exe"_s, net_main},          {u"cacls.exe"_s, cacls_main},
        {u"icacls.exe"_s, icacls_main}, {u"iisreset.exe"_s, iisreset_main},
        {u"velmoraconv.exe"_s, velmoraconv_main},
    };
    return table;
}

bool isOperator(QChar c) {
    return c == u'&' || c == u'|';
}

// The first token of a process command line and the text after it.
std::pair<QString, QString> splitProgram(const QString& line) {
    const QString t = line.trimmed();
    if (t.startsWith(u'"')) {
        const qsizetype close = t.indexOf(u'"', 1);
        if (close < 0)
            return {t.mid(1), QString()};
        return {t.mid(1, close - 1), t.mid(close + 1).trimmed()};
    }
    qsizetype end = 0;
    while (end < t.size() && !t[end].isSpace())
        ++end;
    return {t.left(end), t.mid(end).trimmed()};
}

} // namespace

Interpreter::Interpreter(Machine& machine) : m_machine(machine) {}

std::map<QString, QString> Interpreter::environment() const {
    const QString name = m_machine.fact(u"name"_s);
    return {
        {u"ALLUSERSPROFILE"_s, u"C:\\Documents and Settings\\All Users"_s},
        {u"COMPUTERNAME"_s, name},
        {u"COMSPEC"_s, u"C:\\WINDOWS\\system32\\cmd.exe"_s},
        {u"OS"_s, u"Windows_NT"_s},
        {u"PATH"_s, u"C:\\WINDOWS\\system32;C:\\WINDOWS;C:\\WINDOWS\\System32\\Wbem"_s},
        {u"PATHEXT"_s, u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"_s},
        {u"PROGRAMFILES"_s, u"C:\\Program Files"_s},
        {u"SYSTEMDRIVE"_s, u"C:"_s},
        {u"SYSTEMROOT"_s, u"C:\\WINDOWS"_s},
        {u"TEMP"_s, u"C:\\WINDOWS\\TEMP"_s},
        {u"TMP"_s, u"C:\\WINDOWS\\TEMP"_s},
        {u"USERDOMAIN"_s, name},
        {u"USERNAME"_s, u"Administrator"_s},
        {u"USERPROFILE"_s, u"C:\\Documents and Settings\\Administrator"_s},
        {u"WINDIR"_s, u"C:\\WINDOWS"_s},
    };
}

QString Interpreter::expand(const QString& text, const std::map<QString, QString>& environment) {
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        if (text[i] != u'%') {
            out += text[i++];
            continue;
        }
        const qsizetype close = text.indexOf(u'%', i + 1);
        if (close > i + 1) {
            const auto it = environment.find(text.mid(i + 1, close - i - 1).toUpper());
            if (it != environment.end()) {
                out += it->second;
                i = close + 1;
                continue;
            }
        }
        out += u'%'; // an unknown name stays as written
        ++i;
    }
    return out;
}

std::optional<QString> Interpreter::findProgram(const QString& name) const {
    FileSystem& fs = m_machine.files();
    const QStringList extensions{u".COM"_s, u".EXE"_s, u".BAT"_s, u".CMD"_s};
    auto candidate = [&](const QString& path) -> std::optional<QString> {
        if (QFileInfo(path).suffix().isEmpty()) {
            for (const QString& ext : extensions)
                if (fs.FileExists(path + ext))
                    return fs.displayPath(WinPath::parse(path + ext));
            return std::nullopt;
        }
        if (fs.FileExists(path))
            return fs.displayPath(WinPath::parse(path));
        return std::nullopt;
    };
    if (name.contains(u'\\') || name.contains(u':'))
        return WinPath::parse(name).valid() ? candidate(name) : candidate(SystemFolder + u'\\' + name);
    const QString path = environment().at(u"PATH"_s);
    for (const QString& folder : (SystemFolder + u';' + path).split(u';', Qt::SkipEmptyParts))
        if (auto found = candidate(folder + u'\\' + name))
            return found;
    return std::nullopt;
}

Outcome<CommandResult> Interpreter::RunHidden(const QString& commandLine) {
    auto result = startProcess(commandLine);
    journal(commandLine, result);
    return result;
}

Outcome<CommandResult> Interpreter::startProcess(const QString& commandLine) {
    const auto env = environment();
    const auto [program, argText] = splitProgram(commandLine);
    const auto path = findProgram(program);
    if (!path)
        return Error{0x80070002, fserr::FileNotFound};
    ProgramContext ctx{m_machine, m_machine.accounts(), m_machine.files(), env, {}};
    const auto status = runFile(ctx, *path, argText);
    if (!status)
        return Error{0x800700C1, u"%1 不是有效的 Win32 应用程序。"_s.arg(*path)};
    CommandResult result;
    result.exitCode = *status;
    result.output = ctx.output;
    return result;
}

std::optional<int> Interpreter::runFile(ProgramContext& ctx, const QString& path, const QString& argText) {
    const QString file = path.section(u'\\', -1).toLower();
    if (file == u"cmd.exe"_s) {
        // cmd.exe [/Q] [/D] [/S] /C string: everything after /C is the command string.
        const qsizetype c = argText.indexOf(QRegularExpression(u"(^|\\s)/[cCkK](\\s|$)"_s));
        QString command = c < 0 ? QString() : argText.mid(argText.indexOf(u'/', c) + 2).trimmed();
        // With a quote first, the first and the last quote are taken off.
        if (command.startsWith(u'"')) {
            const qsizetype last = command.lastIndexOf(u'"');
            command = last > 0 ? command.mid(1, last - 1) + command.mid(last + 1) : command.mid(1);
        }
        return runCommandString(ctx, command);
    }
    if (const auto it = programs().find(file); it != programs().end())
        return it->second(ctx, splitArguments(argText), argText);
    return std::nullopt; // a file that is no program of this machine
}

int Interpreter::runCommandString(ProgramContext& ctx, const QString& commandString) {
    const QString text = expand(commandString, ctx.environment);
    // Split into commands at & && || |; quotes and ^ make the characters literal.
    struct Piece {
        QString text;
        QList<bool> literal;
        QString opBefore;
    };
    QList<Piece> pieces{{}};
    bool inQuotes = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        Piece& cur = pieces.last();
        if (c == u'"') {
            inQuotes = !inQuotes;
            cur.text += c;
            cur.literal << true;
            continue;
        }
        if (!inQuotes && c == u'^') {
            if (i + 1 < text.size()) {
                cur.text += text[++i];
                cur.literal << true;
            }
            continue;
        }
        // In "2>&1" the & belongs to the redirection.
        const bool afterRedirect = c == u'&' && !cur.text.isEmpty() &&
                                   (cur.text.back() == u'>' || cur.text.back() == u'<') &&
                                   !cur.literal.back();
        if (!inQuotes && isOperator(c) && !afterRedirect) {
            QString op(c);
            if (i + 1 < text.size() && text[i + 1] == c)
                op += text[++i];
            pieces.append({{}, {}, op});
            continue;
        }
        cur.text += c;
        cur.literal << inQuotes;
    }
    int status = 0;
    bool first = true;
    for (const Piece& piece : pieces) {
        if (!first) {
            if (piece.opBefore == u"&&"_s && status != 0)
                continue;
            if (piece.opBefore == u"||"_s && status == 0)
                continue;
        }
        first = false;
        if (piece.text.trimmed().isEmpty()) {
            if (piece.opBefore.isEmpty() && pieces.size() == 1)
                return 0;
            ctx.println(u"此时不应有 %1。"_s.arg(piece.opBefore.isEmpty() ? u"&"_s : piece.opBefore));
            return 255;
        }
        status = runOne(ctx, piece.text, piece.literal);
    }
    return status;
}

int Interpreter::runOne(ProgramContext& ctx, QString command, const QList<bool>& literal) {
    QList<bool> lit = literal;
    // Redirections: >, >>, 2>, 2>&1 and < outside quotes.
    QString outFile;
    bool append = false;
    for (qsizetype i = 0; i < command.size(); ++i) {
        if (lit[i] || (command[i] != u'>' && command[i] != u'<'))
            continue;
        qsizetype start = i;
        if (start > 0 && (command[start - 1] == u'1' || command[start - 1] == u'2') && !lit[start - 1])
            --start;
        qsizetype j = i + 1;
        const bool isInput = command[i] == u'<';
        if (!isInput && j < command.size() && command[j] == u'>') {
            append = true;
            ++j;
        }
        if (j + 1 < command.size() && command[j] == u'&' && command[j + 1].isDigit()) {
            j += 2; // 2>&1: both streams go to the same place already
        } else {
            while (j < command.size() && command[j].isSpace())
                ++j;
            qsizetype end = j;
            bool q = false;
            while (end < command.size() && (q || !command[end].isSpace())) {
                if (command[end] == u'"')
                    q = !q;
                ++end;
            }
            if (!isInput)
                outFile = command.mid(j, end - j).remove(u'"');
            j = end;
        }
        command.remove(start, j - start);
        lit.remove(start, j - start);
        i = start - 1;
    }

    // Blanks before the command go; blanks after it stay (echo writes them).
    QString t = command;
    while (!t.isEmpty() && (t[0].isSpace() || t[0] == u'@'))
        t.remove(0, 1);
    // The command name ends at a blank, or at the closing quote of a quoted name.
    QString name;
    QString rest;
    if (t.startsWith(u'"')) {
        const qsizetype close = t.indexOf(u'"', 1);
        name = close < 0 ? t.mid(1) : t.mid(1, close - 1);
        rest = close < 0 ? QString() : t.mid(close + 1);
    } else {
        qsizetype end = 0;
        while (end < t.size() && !t[end].isSpace() && t[end] != u'/')
            ++end;
        name = t.left(end);
        rest = t.mid(end);
    }

    const QString before = ctx.output;
    ctx.output.clear();
    int status;
    if (const auto builtin = cmd::builtin(name)) {
        status = (*builtin)(ctx, rest);
    } else if (const auto path = findProgram(name)) {
        const auto ran = runFile(ctx, *path, rest.trimmed());
        if (!ran)
            ctx.println(u"%1 不是有效的 Win32 应用程序。"_s.arg(*path));
        status = ran.value_or(193);
    } else {
        ctx.println(u"'%1' 不是内部或外部命令，也不是可运行的程序\r\n或批处理文件。"_s.arg(name));
        status = 9009;
    }
    QString produced = ctx.output;
    ctx.output = before;
    if (!outFile.isEmpty() && outFile.compare(u"nul"_s, Qt::CaseInsensitive) != 0) {
        const WinPath target =
            WinPath::parse(outFile.contains(u':') ? outFile : SystemFolder + u'\\' + outFile);
        QFile f(ctx.files.hostPath(target));
        if (!target.valid() || !f.open(append ? QIODevice::Append : QIODevice::WriteOnly)) {
            ctx.println(fserr::PathNotFound);
            return 1;
        }
        f.write(produced.toUtf8());
    } else if (outFile.isEmpty()) {
        ctx.print(produced);
    }
    return status;
}

void Interpreter::journal(const QString& commandLine, const Outcome<CommandResult>& result) const {
    QFile f(m_machine.folder() + u"/journal.log"_s);
    if (!f.open(QIODevice::Append))
        return;
    QString entry =
        QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' + commandLine + u'\t';
    if (result) {
        entry += u"exit "_s + QString::number(result.value().exitCode) + u'\n';
        for (const QString& line : result.value().output.split(u"\r\n"_s, Qt::SkipEmptyParts))
            entry += u"\t| "_s + line + u'\n';
    } else {
        entry += u"not started: "_s + result.error().text + u'\n';
    }
    f.write(entry.toUtf8());
}

} // namespace emulation
