#include "emulation/cmd/Interpreter.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Builtins.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Machine.h"
#include "emulation/programs/Program.h"
#include "emulation/programs/Programs.h"
#include "platform/AnsiCodePage.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace emulation::cmd {

namespace rights = accounts::rights;
using files::FileSystem;
using files::WinPath;
namespace fserr = files::fserr;
using machine::Machine;
using programs::ProgramContext;
using programs::ProgramMain;
using programs::splitArguments;

using namespace Qt::Literals::StringLiterals;
using platform::CommandResult;
using platform::Error;
using platform::Outcome;

namespace {

const QString SystemFolder = u"C:\\WINDOWS\\system32"_s;
const QString LineTooLong = u"输入行太长。"_s;
// The longest command line cmd.exe takes, before and after %VAR% expansion.
constexpr qsizetype MaxLine = 8191;
// cmd.exe processes started inside one another before the machine has no room for another.
constexpr int MaxNesting = 32;
// The most standard input a command reads from a file.
constexpr qint64 MaxInput = 1 << 20;

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
    // The line goes to the journal before it runs, so that a command that never ends still
    // leaves it there, and again with its outcome after.
    journalStart(commandLine);
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
    ProgramContext ctx{m_machine, m_machine.accounts(), m_machine.files(), env, {}, std::nullopt, 0};
    const auto status = runFile(ctx, *path, argText);
    if (!status)
        return Error{0x800700C1, u"%1 不是有效的 Win32 应用程序。"_s.arg(*path)};
    CommandResult result;
    result.exitCode = *status;
    result.output = ctx.shown();
    return result;
}

std::optional<int> Interpreter::runFile(ProgramContext& ctx, const QString& path, const QString& argText) {
    const QString file = path.section(u'\\', -1).toLower();
    if (file == u"cmd.exe"_s) {
        if (ctx.nesting >= MaxNesting) {
            // Every cmd.exe inside another is one more process; the machine runs out of them.
            ctx.eprintln(u"存储空间不足，无法处理此命令。"_s);
            return 8;
        }
        // cmd.exe [/Q] [/D] [/S] /C string: everything after /C is the command string.
        const qsizetype c = argText.indexOf(QRegularExpression(u"(^|\\s)/[cCkK](\\s|$)"_s));
        QString command = c < 0 ? QString() : argText.mid(argText.indexOf(u'/', c) + 2).trimmed();
        // With a quote first, the first and the last quote are taken off.
        if (command.startsWith(u'"')) {
            const qsizetype last = command.lastIndexOf(u'"');
            command = last > 0 ? command.mid(1, last - 1) + command.mid(last + 1) : command.mid(1);
        }
        ++ctx.nesting;
        const int status = runCommandString(ctx, command);
        --ctx.nesting;
        ctx.exited = false; // EXIT ended this cmd.exe, not the one that started it
        return status;
    }
    if (const ProgramMain* program = programs::programNamed(file))
        return (*program)(ctx, splitArguments(argText), argText);
    return std::nullopt; // a file that is no program of this machine
}

namespace {

// One command of a line with the characters that quotes or ^ made literal.
struct Piece {
    QString text;
    QList<bool> literal;
    QString opBefore; // & && || | before it; empty for the first
};

// Splits a command string into commands at & && || |; quotes and ^ make the characters literal.
QList<Piece> splitCommands(const QString& text) {
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
        const bool afterRedirect =
            c == u'&' && !cur.text.isEmpty() && cur.text.back() == u'>' && !cur.literal.back();
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
    return pieces;
}

} // namespace

int Interpreter::runCommandString(ProgramContext& ctx, const QString& commandString) {
    if (commandString.size() > MaxLine) {
        ctx.eprintln(LineTooLong);
        return 1;
    }
    const QString text = expand(commandString, ctx.environment);
    if (text.size() > MaxLine) {
        ctx.eprintln(LineTooLong);
        return 1;
    }
    const QList<Piece> pieces = splitCommands(text);
    // cmd.exe reads the whole line before it runs any of it: a separator with no command before
    // it (or a | with none after it) runs nothing.
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].text.trimmed().isEmpty())
            continue;
        if (pieces.size() == 1)
            return 0;
        const bool lastAfterAmpersand = i == pieces.size() - 1 && pieces[i].opBefore == u"&"_s;
        if (lastAfterAmpersand)
            continue;
        const QString op = i + 1 < pieces.size() ? pieces[i + 1].opBefore : pieces[i].opBefore;
        ctx.eprintln(u"此时不应有 %1。"_s.arg(op));
        return 255;
    }
    int status = 0;
    for (qsizetype i = 0; i < pieces.size();) {
        // A pipeline: this command and every one joined to it by |.
        qsizetype end = i + 1;
        while (end < pieces.size() && pieces[end].opBefore == u"|"_s)
            ++end;
        const QString& op = pieces[i].opBefore;
        const bool skip = (op == u"&&"_s && status != 0) || (op == u"||"_s && status == 0);
        if (!skip && !pieces[i].text.trimmed().isEmpty()) {
            // The first command reads what this cmd.exe reads; the others read the pipe.
            std::optional<QString> piped = ctx.input;
            for (qsizetype k = i; k < end; ++k) {
                QString out;
                const bool toPipe = k + 1 < end;
                status = runOne(ctx, pieces[k].text, pieces[k].literal, piped, toPipe ? &out : nullptr);
                piped = toPipe ? std::optional<QString>(out) : std::nullopt;
            }
        }
        if (ctx.exited)
            break;
        i = end;
    }
    return status;
}

namespace {

// Where one stream of a command goes.
struct Sink {
    enum Kind { Parent, File, Nul, Pipe } kind = Parent;
    int parentStream = 1; // Parent: the stream of the cmd.exe that runs the command
    int file = -1;        // File: index into the opened files
};

struct Redirection {
    int stream = 1; // 0 input, 1 output, 2 error
    bool append = false;
    int duplicate = -1; // n>&m
    QString target;
};

} // namespace

int Interpreter::runOne(ProgramContext& ctx, const QString& text, const QList<bool>& literal,
                        const std::optional<QString>& input, QString* pipe) {
    // Take the redirections out of the command, in the order written.
    QString command;
    QList<Redirection> redirections;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (literal[i] || (c != u'>' && c != u'<')) {
            command += c;
            continue;
        }
        Redirection r;
        r.stream = c == u'<' ? 0 : 1;
        // A digit just before the operator names the stream ("2>"), when it stands alone.
        if (!command.isEmpty() && command.back().isDigit() && !literal[i - 1] &&
            (command.size() == 1 || command[command.size() - 2].isSpace())) {
            r.stream = command.back().digitValue();
            command.chop(1);
        }
        qsizetype j = i + 1;
        if (c == u'>' && j < text.size() && text[j] == u'>' && !literal[j]) {
            r.append = true;
            ++j;
        }
        if (j + 1 < text.size() && text[j] == u'&' && text[j + 1].isDigit()) {
            r.duplicate = text[j + 1].digitValue();
            j += 2;
        } else {
            while (j < text.size() && text[j].isSpace())
                ++j;
            bool quoted = false;
            while (j < text.size() &&
                   (quoted || literal[j] || (!text[j].isSpace() && text[j] != u'>' && text[j] != u'<'))) {
                if (text[j] == u'"')
                    quoted = !quoted;
                else
                    r.target += text[j];
                ++j;
            }
        }
        redirections << r;
        i = j - 1;
    }

    // Open the files before the command runs, as cmd.exe does; a file it cannot open runs nothing.
    std::vector<std::unique_ptr<QFile>> files;
    std::map<int, Sink> sinks{{1, {pipe ? Sink::Pipe : Sink::Parent, 1}}, {2, {Sink::Parent, 2}}};
    std::optional<QString> stdIn = input;
    for (const Redirection& r : redirections) {
        if (r.stream > 2) {
            continue; // handles 3 to 9 exist in cmd.exe but nothing here writes to them
        }
        if (r.duplicate >= 0) {
            if (r.stream == 0 || r.duplicate == 0 || r.duplicate > 2) {
                ctx.eprintln(u"句柄无效。"_s);
                return 1;
            }
            sinks[r.stream] = sinks[r.duplicate];
            continue;
        }
        if (r.target.isEmpty()) {
            ctx.eprintln(u"命令语法不正确。"_s);
            return 1;
        }
        const QString device = r.target.trimmed().toUpper();
        if (device == u"NUL"_s || device.startsWith(u"NUL."_s)) {
            if (r.stream == 0)
                stdIn = QString();
            else
                sinks[r.stream] = {Sink::Nul};
            continue;
        }
        if (device == u"CON"_s && r.stream != 0) {
            sinks[r.stream] = {Sink::Parent, r.stream};
            continue;
        }
        const WinPath path = cmd::absolute(r.target);
        if (r.stream == 0) {
            QFile in(ctx.files.hostPath(path));
            if (in.fileName().isEmpty() || ctx.files.isFolder(path) || !in.open(QIODevice::ReadOnly)) {
                ctx.eprintln(path.problem == WinPath::Problem::TooLong ? fserr::TooLong
                                                                       : fserr::FileNotFound);
                return 1;
            }
            if (!(ctx.files.operatorRights(path) & rights::ReadData)) {
                ctx.eprintln(fserr::AccessDenied);
                return 1;
            }
            stdIn = platform::fromAnsi(in.read(MaxInput));
            continue;
        }
        if (const QString problem = cmd::checkWritable(ctx, path, r.append); !problem.isEmpty()) {
            ctx.eprintln(problem);
            return 1;
        }
        auto f = std::make_unique<QFile>(ctx.files.hostPath(path));
        if (!f->open(r.append ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate)) {
            ctx.eprintln(fserr::AccessDenied);
            return 1;
        }
        files.push_back(std::move(f));
        sinks[r.stream] = {Sink::File, 1, static_cast<int>(files.size() - 1)};
    }

    // Blanks before the command go; blanks after it stay (echo writes them).
    qsizetype from = 0;
    while (from < command.size() && (command[from].isSpace() || command[from] == u'@'))
        ++from;
    const QString t = command.mid(from);
    if (t.isEmpty())
        return 0; // only redirections: the files are made, nothing runs
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

    ProgramContext run{ctx.machine, ctx.accounts, ctx.files, ctx.environment, {}, stdIn, ctx.nesting};
    int status;
    if (const auto builtin = cmd::builtin(name)) {
        status = (*builtin)(run, rest);
        ctx.exited = ctx.exited || run.exited;
    } else if (const auto path = findProgram(name)) {
        const auto ran = runFile(run, *path, rest.trimmed());
        if (!ran)
            run.eprintln(u"%1 不是有效的 Win32 应用程序。"_s.arg(*path));
        status = ran.value_or(193);
    } else {
        run.eprintln(u"'%1' 不是内部或外部命令，也不是可运行的程序\r\n或批处理文件。"_s.arg(name));
        status = 9009;
    }
    for (const ProgramContext::Chunk& chunk : run.written) {
        const Sink& sink = sinks[chunk.stream];
        switch (sink.kind) {
        case Sink::Parent:
            ctx.write(sink.parentStream, chunk.text);
            break;
        case Sink::File:
            // A console program writes its text in the code page of the console: GBK.
            files[static_cast<size_t>(sink.file)]->write(platform::toAnsi(chunk.text));
            break;
        case Sink::Pipe:
            *pipe += chunk.text;
            break;
        case Sink::Nul:
            break;
        }
    }
    return status;
}

void Interpreter::journalStart(const QString& commandLine) const {
    writeJournal(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' +
                 maskPasswords(commandLine) + u"\tstarted\n"_s);
}

void Interpreter::journal(const QString& commandLine, const Outcome<CommandResult>& result) const {
    QString entry = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) + u'\t' +
                    maskPasswords(commandLine) + u'\t';
    if (result) {
        entry += u"exit "_s + QString::number(result.value().exitCode) + u'\n';
        for (const QString& line : result.value().output.split(u"\r\n"_s, Qt::SkipEmptyParts))
            entry += u"\t| "_s + line + u'\n';
    } else {
        entry += u"not started: "_s + result.error().text + u'\n';
    }
    writeJournal(entry);
}

void Interpreter::writeJournal(const QString& entry) const {
    // The journal holds what the operator did: readable by the machine's owner only.
    QFile f(m_machine.folder() + u"/journal.log"_s);
    if (!f.open(QIODevice::Append))
        return;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(entry.toUtf8());
}

QString Interpreter::maskPasswords(const QString& line) {
    // net user NAME PASSWORD ...: the second word after "user" that is no switch is the password.
    static const QRegularExpression netUser(u"(^|[\\s\"&|(\\\\])net1?(\\.exe)?\"?\\s+users?(?=\\s)"_s,
                                            QRegularExpression::CaseInsensitiveOption);
    QString out = line;
    qsizetype from = 0;
    for (;;) {
        const auto match = netUser.match(out, from);
        if (!match.hasMatch())
            return out;
        qsizetype i = match.capturedEnd();
        from = i;
        int words = 0;
        while (i < out.size()) {
            while (i < out.size() && out[i].isSpace())
                ++i;
            if (i >= out.size() || out[i] == u'&' || out[i] == u'|' || out[i] == u'<' || out[i] == u'>')
                break;
            const qsizetype start = i;
            bool quoted = false;
            while (i < out.size() && (quoted || !out[i].isSpace())) {
                if (out[i] == u'"')
                    quoted = !quoted;
                else if (!quoted && (out[i] == u'&' || out[i] == u'|' || out[i] == u'<' || out[i] == u'>'))
                    break;
                ++i;
            }
            const QString word = out.mid(start, i - start);
            if (word.startsWith(u'/'))
                continue;
            if (++words == 2) {
                if (word != u"*"_s) {
                    out.replace(start, i - start, u"********"_s);
                    from = start + 8;
                }
                break;
            }
        }
    }
}

} // namespace emulation::cmd
